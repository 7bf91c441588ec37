#include "views/model_selection_view.h"

#include "models/local_model_test.h"
#include "models/provider_detection_service.h"
#include "views/model_list_widget.h"
#include "views/view_support.h"
#include "views/window_services.h"

#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace halvex {

ModelSelectionView::ModelSelectionView(const WindowServices &services, QWidget *parent)
    : ModelSelectionView(services, Timings{}, parent)
{
}

ModelSelectionView::ModelSelectionView(const WindowServices &services, Timings timings, QWidget *parent)
    : QWidget(parent), m_services(services), m_timings(timings), m_detection(services.makeProviderDetection())
{
    setAccessibleName(QStringLiteral("Mobile Model"));
    auto *layout = new QVBoxLayout(this);
    auto *header = new QHBoxLayout;
    header->addWidget(makeTitle(QStringLiteral("Mobile Model"), this), 1);
    auto *rescan =
        new QPushButton(symbolIcon(QStringLiteral("view-refresh"), QChar(0x21BB)), QStringLiteral("Rescan"), this);
    header->addWidget(rescan);
    layout->addLayout(header);
    m_current = makeText(QString(), this);
    layout->addWidget(m_current);
    m_detecting = makeText(QStringLiteral("Detecting providers..."), this);
    layout->addWidget(m_detecting);
    m_busy = makeBusyIndicator(this);
    layout->addWidget(m_busy);

    m_content = new QStackedWidget(this);
    m_list = new ModelListWidget(this);
    m_content->addWidget(m_list);
    auto *empty = new QWidget(this);
    auto *e = new QVBoxLayout(empty);
    e->addStretch();
    auto *warning = new QLabel(empty);
    warning->setPixmap(symbolIcon(QStringLiteral("dialog-warning"), QChar(0x26A0)).pixmap(32, 32));
    warning->setAlignment(Qt::AlignHCenter);
    e->addWidget(warning);
    e->addWidget(makeTitle(QStringLiteral("No models found"), empty));
    e->addWidget(makeText(QStringLiteral("Check that Ollama is running or cloud providers are configured."), empty));
    e->addStretch();
    m_content->addWidget(empty);
    layout->addWidget(m_content, 1);

    m_testLabel = new QLabel(this);
    m_testLabel->setAlignment(Qt::AlignHCenter);
    m_testLabel->hide();
    layout->addWidget(m_testLabel);
    m_summary = makeText(QString(), this);
    m_summary->setTextFormat(Qt::PlainText);
    m_summary->hide();
    layout->addWidget(m_summary);
    m_error = makeErrorLabel(this);
    m_error->setTextFormat(Qt::PlainText);
    layout->addWidget(m_error);
    auto *buttons = new QHBoxLayout;
    auto *testButton = new QPushButton(QStringLiteral("Test Connection"), this);
    m_save = new QPushButton(QStringLiteral("Save"), this);
    makeDefault(m_save);
    m_savedLabel = new QLabel(this);
    m_savedLabel->hide();
    buttons->addStretch();
    buttons->addWidget(testButton);
    buttons->addWidget(m_save);
    buttons->addWidget(m_savedLabel);
    layout->addLayout(buttons);

    connect(rescan, &QPushButton::clicked, this, [this] { load(); });
    connect(m_list, &ModelListWidget::chosen, this, [this](const QString &id) {
        m_selectedModelId = id;
        ++m_testGeneration;
        m_testLabel->hide();
        showError(m_error, QString());
        preview();
    });
    connect(testButton, &QPushButton::clicked, this, [this] { test(); });
    connect(m_save, &QPushButton::clicked, this, [this] { save(); });
    QTimer::singleShot(0, this, [this] { load(); });
}

ModelSelectionView::~ModelSelectionView() = default;

QString ModelSelectionView::currentLine() const
{
    return m_current->text();
}

QString ModelSelectionView::testText() const
{
    return m_testLabel->isHidden() ? QString() : m_testLabel->text();
}

QString ModelSelectionView::errorText() const
{
    return m_error->isHidden() ? QString() : m_error->text();
}

QString ModelSelectionView::summaryText() const
{
    return m_summary->isHidden() ? QString() : m_summary->text();
}

void ModelSelectionView::setBusy(bool busy)
{
    m_busyCount = std::max(0, m_busyCount + (busy ? 1 : -1));
    m_busy->setVisible(m_busyCount > 0);
}

QCoro::Task<> ModelSelectionView::load()
{
    QPointer<ModelSelectionView> self(this);
    m_loaded = false;
    m_detecting->show();
    setBusy(true);
    const std::shared_ptr<ProviderDetectionService> keep = m_detection;
    co_await keep->detectAll();
    if (!self)
        co_return;
    m_detecting->hide();
    setBusy(false);
    const std::optional<QString> current = m_detection->currentMobileModel();
    m_current->setText(current ? QStringLiteral("Currently using: ") + *current
                               : QStringLiteral("No mobile model configured"));
    m_recommendations =
        buildRecommendations(m_detection->ollamaModels(), m_detection->ollamaHost(), m_detection->cloudProviders());
    ModelListWidget::Options options;
    options.contextLine = true;
    options.currentModel = current.value_or(QString());
    m_list->setRecommendations(m_recommendations, options);
    m_content->setCurrentIndex(m_recommendations.isEmpty() ? 1 : 0);
    m_selectedModelId.reset();
    for (const ModelRecommendation &model : m_recommendations) {
        if (current && model.id == *current)
            m_selectedModelId = model.id;
    }
    if (!m_selectedModelId) {
        for (const ModelRecommendation &model : m_recommendations) {
            if (model.isRecommended) {
                m_selectedModelId = model.id;
                break;
            }
        }
    }
    if (m_selectedModelId)
        m_list->select(*m_selectedModelId);
    m_loaded = true;
    preview();
}

QCoro::Task<> ModelSelectionView::preview()
{
    const std::optional<ModelRecommendation> model = m_list->selected();
    const int generation = ++m_previewGeneration;
    if (!model) {
        m_previewing = false;
        m_summary->hide();
        co_return;
    }
    QPointer<ModelSelectionView> self(this);
    m_previewing = true;
    m_summary->setText(QStringLiteral("Checking what saving %1 would change…").arg(model->id));
    m_summary->show();
    setBusy(true);
    const std::shared_ptr<ProviderDetectionService> keep = m_detection;
    const Result<ConfigEdit> result =
        co_await keep->setMobileModel(model->id, model->contextWindow, model->maxTokens, /*dryRun=*/true);
    if (!self)
        co_return;
    setBusy(false);
    if (generation != m_previewGeneration)
        co_return; // another row was chosen meanwhile
    m_previewing = false;
    m_summary->setText(result ? describeConfigEdit(*result).join(QLatin1Char('\n'))
                              : QStringLiteral("Saving this choice would be refused: ") + result.error().description());
}

void ModelSelectionView::showTest(const QString &text, std::optional<bool> ok)
{
    if (ok) {
        setStatus(m_testLabel, *ok, text);
        return;
    }
    m_testLabel->setPalette(palette());
    m_testLabel->setText(text);
    m_testLabel->show();
}

QCoro::Task<> ModelSelectionView::test()
{
    const std::optional<ModelRecommendation> model = m_list->selected();
    if (!model)
        co_return;
    const int generation = ++m_testGeneration;
    showTest(QStringLiteral("Testing…"), std::nullopt);
    if (model->category != ModelRecommendation::Category::local) {
        showTest(QStringLiteral("0ms"), true);
        co_return;
    }
    QPointer<ModelSelectionView> self(this);
    const QString name = model->id.section(QLatin1Char('/'), 1);
    LocalModelTest::Timings timings;
    timings.timeout = m_services.windowModelTestTimeout;
    const Result<int> result = co_await LocalModelTest::run(m_detection->ollamaHost(), name, timings);
    if (!self || generation != m_testGeneration)
        co_return;
    if (result)
        showTest(QStringLiteral("%1ms").arg(*result), true);
    else
        showTest(result.error().description(), false);
}

QCoro::Task<> ModelSelectionView::save()
{
    const std::optional<ModelRecommendation> model = m_list->selected();
    if (!model || m_saved)
        co_return;
    QPointer<ModelSelectionView> self(this);
    m_save->setEnabled(false);
    setBusy(true);
    showError(m_error, QString());
    const std::shared_ptr<ProviderDetectionService> keep = m_detection;
    const Result<ConfigEdit> result = co_await keep->setMobileModel(model->id, model->contextWindow, model->maxTokens);
    if (!self)
        co_return;
    setBusy(false);
    m_save->setEnabled(true);
    if (!result) {
        // OpenClaw's (or the writer's) own reason; the file is untouched.
        showError(m_error, result.error().description());
        co_return;
    }
    m_saved = true;
    m_save->hide();
    setStatus(m_savedLabel, true, QStringLiteral("Saved!"));
    QTimer::singleShot(m_timings.closeAfterSave, this, [this] { window()->close(); });
}

void ModelSelectionView::keyPressEvent(QKeyEvent *event)
{
    if (handleWindowKey(this, event))
        return;
    QWidget::keyPressEvent(event);
}

} // namespace halvex
