#include "views/model_selection_step.h"

#include "models/local_model_test.h"
#include "models/provider_detection_service.h"
#include "views/model_list_widget.h"
#include "views/view_support.h"
#include "views/window_services.h"

#include <QHBoxLayout>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace halvex {

ModelSelectionStep::ModelSelectionStep(const WindowServices &services,
                                       std::shared_ptr<ProviderDetectionService> detection, QWidget *parent)
    : QWidget(parent), m_services(services), m_detection(std::move(detection))
{
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(makeTitle(QStringLiteral("Choose a model for your companion"), this));
    layout->addWidget(makeText(QStringLiteral("For voice conversations, speed matters more than deep reasoning. "
                                              "We've picked the best option for your setup."),
                               this));
    auto *why = new QPushButton(QStringLiteral("Why this choice?"), this);
    why->setFlat(true);
    layout->addWidget(why, 0, Qt::AlignHCenter);
    m_explanation = makeText(
        QStringLiteral("Local models are free and fast — they run entirely on your hardware with no cloud dependency. "
                       "Cloud models use your API key and may add latency. Reasoning models are powerful but add "
                       "significant latency for voice conversations, so they aren't ideal for real-time chat."),
        this);
    m_explanation->hide();
    layout->addWidget(m_explanation);
    m_scanning = makeText(QStringLiteral("Scanning for available models…"), this);
    layout->addWidget(m_scanning);
    m_busy = makeBusyIndicator(this);
    layout->addWidget(m_busy);
    m_context = makeText(QString(), this);
    layout->addWidget(m_context);
    m_list = new ModelListWidget(this);
    layout->addWidget(m_list, 1);

    // Shown in place of a selection when every detected choice would be
    // refused (the free tier is not served through OpenClaw).
    m_nothingUsable = new QWidget(this);
    auto *alternatives = new QVBoxLayout(m_nothingUsable);
    alternatives->addWidget(makeTitle(QStringLiteral("No usable model found"), m_nothingUsable));
    auto *what = makeText(QStringLiteral("OpenClaw needs a model it can reach for your phone's chats. You can:\n"
                                         "• Install Ollama (ollama.com/download), pull a model such as "
                                         "\"ollama pull llama3.2:3b\", then Rescan.\n"
                                         "• Add a provider key to OpenClaw (openclaw configure --section model), "
                                         "then Rescan.\n"
                                         "• Skip, and choose a model later from the menu (Mobile Model…)."),
                          m_nothingUsable);
    what->setTextFormat(Qt::PlainText);
    alternatives->addWidget(what);
    auto *rescan = new QPushButton(QStringLiteral("Rescan"), m_nothingUsable);
    alternatives->addWidget(rescan, 0, Qt::AlignHCenter);
    m_nothingUsable->hide();
    layout->addWidget(m_nothingUsable);

    m_testLabel = new QLabel(this);
    m_testLabel->setAlignment(Qt::AlignHCenter);
    m_testLabel->hide();
    layout->addWidget(m_testLabel);
    m_error = makeErrorLabel(this);
    m_error->setTextFormat(Qt::PlainText);
    layout->addWidget(m_error);
    auto *buttons = new QHBoxLayout;
    auto *testButton = new QPushButton(QStringLiteral("Test Connection"), this);
    m_continue = new QPushButton(QStringLiteral("Continue"), this);
    makeDefault(m_continue);
    m_skip = new QPushButton(QStringLiteral("Skip"), this);
    m_skip->hide();
    buttons->addStretch();
    buttons->addWidget(testButton);
    buttons->addWidget(m_continue);
    buttons->addWidget(m_skip);
    buttons->addStretch();
    layout->addLayout(buttons);

    connect(why, &QPushButton::clicked, this, [this] { m_explanation->setVisible(m_explanation->isHidden()); });
    connect(m_list, &ModelListWidget::chosen, this, [this](const QString &id) {
        m_selectedModelId = id;
        ++m_testGeneration; // a test still running no longer speaks for this row
        m_testLabel->hide();
        showError(m_error, QString());
        if (const auto model = m_list->selected())
            m_context->setText(ModelListWidget::contextLine(model->contextWindow));
    });
    connect(testButton, &QPushButton::clicked, this, [this] { test(); });
    connect(m_continue, &QPushButton::clicked, this, [this] { saveAndContinue(); });
    connect(m_skip, &QPushButton::clicked, this, &ModelSelectionStep::done);
    connect(rescan, &QPushButton::clicked, this, [this] { load(); });
}

bool ModelSelectionStep::offersAlternatives() const
{
    return !m_nothingUsable->isHidden();
}

QString ModelSelectionStep::errorText() const
{
    return m_error->isHidden() ? QString() : m_error->text();
}

QString ModelSelectionStep::testText() const
{
    return m_testLabel->isHidden() ? QString() : m_testLabel->text();
}

QCoro::Task<> ModelSelectionStep::load()
{
    QPointer<ModelSelectionStep> self(this);
    m_loaded = false;
    m_scanning->show();
    m_busy->show();
    const std::shared_ptr<ProviderDetectionService> keep = m_detection;
    co_await keep->detectAll();
    if (!self)
        co_return;
    m_scanning->hide();
    m_busy->hide();
    m_recommendations =
        buildRecommendations(m_detection->ollamaModels(), m_detection->ollamaHost(), m_detection->cloudProviders());
    m_list->setRecommendations(m_recommendations, {});
    // Never offer a choice the writer will refuse: the recommended entry
    // when it can be written, else the first that can.
    QList<ModelRecommendation> usable;
    for (const ModelRecommendation &model : std::as_const(m_recommendations)) {
        if (!m_detection->refusalOf(model.id, model.contextWindow, model.maxTokens))
            usable.append(model);
    }
    const auto isUsable = [&](const QString &id) {
        return std::any_of(usable.begin(), usable.end(), [&](const ModelRecommendation &m) { return m.id == id; });
    };
    if (m_selectedModelId && !isUsable(*m_selectedModelId))
        m_selectedModelId.reset();
    if (!m_selectedModelId) {
        for (const ModelRecommendation &model : std::as_const(usable)) {
            if (model.isRecommended) {
                m_selectedModelId = model.id;
                break;
            }
        }
        if (!m_selectedModelId && !usable.isEmpty())
            m_selectedModelId = usable.first().id;
    }
    m_nothingUsable->setVisible(usable.isEmpty());
    m_skip->setVisible(usable.isEmpty());
    m_context->clear();
    if (m_selectedModelId) {
        m_list->select(*m_selectedModelId);
        if (const auto model = m_list->selected())
            m_context->setText(ModelListWidget::contextLine(model->contextWindow));
    }
    m_loaded = true;
}

void ModelSelectionStep::showTest(const QString &text, std::optional<bool> ok)
{
    if (ok)
        setStatus(m_testLabel, *ok, text);
    else {
        m_testLabel->setPalette(palette());
        m_testLabel->setText(text);
        m_testLabel->show();
    }
}

QCoro::Task<> ModelSelectionStep::test()
{
    const std::optional<ModelRecommendation> model = m_list->selected();
    if (!model)
        co_return;
    const int generation = ++m_testGeneration;
    showTest(QStringLiteral("Testing…"), std::nullopt);
    if (model->category == ModelRecommendation::Category::cloud) {
        showTest(QStringLiteral("Cloud models are always available"), true);
        co_return;
    }
    if (model->category == ModelRecommendation::Category::managed) {
        showTest(QStringLiteral("Free tier is always available"), true);
        co_return;
    }
    QPointer<ModelSelectionStep> self(this);
    QString name = model->id;
    if (name.startsWith(QLatin1String("ollama/")))
        name = name.mid(7);
    LocalModelTest::Timings timings;
    timings.timeout = m_services.stepModelTestTimeout;
    const Result<int> result = co_await LocalModelTest::run(m_detection->ollamaHost(), name, timings);
    if (!self || generation != m_testGeneration)
        co_return;
    if (result) {
        showTest(QStringLiteral("Connected in %1s").arg(*result / 1000.0, 0, 'f', 1), true);
        co_return;
    }
    const QString words = result.error().description();
    if (words == QLatin1String("Invalid URL"))
        showTest(QStringLiteral("Invalid Ollama URL"), false);
    else if (words.startsWith(QLatin1String("HTTP ")))
        showTest(words, false);
    else
        showTest(QStringLiteral("Could not reach model"), false);
}

QCoro::Task<> ModelSelectionStep::saveAndContinue()
{
    const std::optional<ModelRecommendation> model = m_list->selected();
    if (!model)
        co_return;
    QPointer<ModelSelectionStep> self(this);
    m_continue->setEnabled(false);
    m_busy->show();
    showError(m_error, QString());
    const std::shared_ptr<ProviderDetectionService> keep = m_detection;
    const Result<ConfigEdit> written = co_await keep->setMobileModel(model->id, model->contextWindow, model->maxTokens);
    if (!self)
        co_return;
    m_busy->hide();
    m_continue->setEnabled(true);
    if (!written) {
        // OpenClaw's own reason; the file is untouched. "Skip" goes on
        // without a model (the Mobile Model window can set one later).
        showError(m_error, written.error().description());
        m_skip->show();
        co_return;
    }
    Q_EMIT done();
}

} // namespace halvex
