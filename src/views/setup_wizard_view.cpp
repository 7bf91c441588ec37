#include "views/setup_wizard_view.h"

#include "bridge/bridge_manager.h"
#include "discovery/openclaw_detector.h"
#include "models/provider_detection_service.h"
#include "platform/session/login_item.h"
#include "platform/settings.h"
#include "views/account_step.h"
#include "views/completion_step.h"
#include "views/connect_phone_step.h"
#include "views/model_selection_step.h"
#include "views/openclaw_config_step.h"
#include "views/product_mark.h"
#include "views/view_support.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace halvex {

namespace {

// Detection keeps its detector alive until it ends, even when the wizard closes first.
QCoro::Task<> runDetection(std::shared_ptr<OpenClawDetector> detector)
{
    co_await detector->detect();
}

QPixmap dot(const QColor &colour)
{
    QPixmap pixmap(8, 8);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawEllipse(pixmap.rect());
    return pixmap;
}

} // namespace

SetupWizardView::SetupWizardView(WindowServices services, std::function<void()> onComplete, QWidget *parent)
    : QWidget(parent), m_services(std::move(services)), m_onComplete(std::move(onComplete))
{
    setAccessibleName(QStringLiteral("Halvex Bridge Setup"));
    m_detector = m_services.makeDetector();
    m_providerDetection = m_services.makeProviderDetection();

    auto *layout = new QVBoxLayout(this);
    auto *top = new QHBoxLayout;
    m_back = new QPushButton(QStringLiteral("‹ Back"), this);
    m_back->setFlat(true);
    m_back->setAccessibleName(QStringLiteral("Back"));
    top->addWidget(m_back);
    top->addStretch();
    for (int i = 0; i < stepCount; ++i) {
        auto *d = new QLabel(this);
        m_dots.append(d);
        top->addWidget(d);
    }
    top->addStretch();
    top->addSpacing(m_back->sizeHint().width());
    layout->addLayout(top);

    m_steps = new QStackedWidget(this);
    m_steps->addWidget(buildWelcome());
    m_account = new AccountStep(m_services.account, this);
    m_connectPhone = new ConnectPhoneStep(m_services.pairing, this);
    m_openClaw = new OpenClawConfigStep(m_services, m_detector, this);
    m_model = new ModelSelectionStep(m_services, m_providerDetection, this);
    m_completion = new CompletionStep(m_services.bridgeManager, this);
    connect(m_account, &AccountStep::done, this, &SetupWizardView::next);
    connect(m_connectPhone, &ConnectPhoneStep::done, this, &SetupWizardView::next);
    connect(m_openClaw, &OpenClawConfigStep::done, this, &SetupWizardView::next);
    connect(m_model, &ModelSelectionStep::done, this, &SetupWizardView::next);
    connect(m_completion, &CompletionStep::done, this, [this] { m_onComplete(); });
    m_steps->addWidget(m_account);
    m_steps->addWidget(m_connectPhone);
    m_steps->addWidget(m_openClaw);
    m_steps->addWidget(m_model);
    m_steps->addWidget(buildAutoStart());
    m_steps->addWidget(m_completion);
    layout->addWidget(m_steps, 1);

    connect(m_back, &QPushButton::clicked, this, [this] { setCurrentStep(m_currentStep - 1); });
    updateFrame();
    // Detection runs while the user reads the first steps.
    QTimer::singleShot(0, this, [detector = m_detector] { runDetection(detector); });
}

SetupWizardView::~SetupWizardView() = default;

QWidget *SetupWizardView::buildWelcome()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    layout->addStretch();
    auto *logo = new QLabel(page);
    logo->setPixmap(QPixmap::fromImage(drawProductMark(96, 88, 4, palette().color(QPalette::WindowText))));
    logo->setAlignment(Qt::AlignHCenter);
    logo->setAccessibleName(QStringLiteral("Halvex logo"));
    layout->addWidget(logo);
    layout->addWidget(makeTitle(QStringLiteral("Halvex Bridge"), page));
    layout->addWidget(makeText(QStringLiteral("Halvex Bridge connects your AI companion apps to your local AI. It runs "
                                              "silently in your system tray, forwarding messages between your phone "
                                              "and your AI server."),
                               page));
    layout->addWidget(makeText(QStringLiteral("No Terminal required — we'll auto-detect your setup."), page));
    auto *start = new QPushButton(QStringLiteral("Get Started"), page);
    makeDefault(start);
    layout->addWidget(start, 0, Qt::AlignHCenter);
    layout->addStretch();
    connect(start, &QPushButton::clicked, this, [this] { next(); });
    return page;
}

QWidget *SetupWizardView::buildAutoStart()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    layout->addStretch();
    layout->addWidget(makeTitle(QStringLiteral("Start Automatically?"), page));
    layout->addWidget(makeText(QStringLiteral("Halvex Bridge can start automatically when you log in, so your AI "
                                              "companion is always reachable."),
                               page));
    m_startAtLogin = new QCheckBox(QStringLiteral("Start at Login"), page);
    m_startAtLogin->setChecked(true);
    layout->addWidget(m_startAtLogin, 0, Qt::AlignHCenter);
    auto *next = new QPushButton(QStringLiteral("Continue"), page);
    makeDefault(next);
    layout->addWidget(next, 0, Qt::AlignHCenter);
    layout->addStretch();
    connect(m_startAtLogin, &QCheckBox::toggled, this, [this](bool on) { setStartAtLogin(on); });
    connect(next, &QPushButton::clicked, this, [this] { this->next(); });
    return page;
}

void SetupWizardView::setStartAtLogin(bool on)
{
    m_services.bridgeManager->settings()->setBoolean(SettingsKey::startAtLogin, on);
    if (!m_services.loginItem)
        return;
    // A failure is not the wizard's to report: the menu's item shows the
    // real state and can try again.
    if (on)
        (void)m_services.loginItem->registerItem();
    else
        (void)m_services.loginItem->unregisterItem();
}

void SetupWizardView::next()
{
    setCurrentStep(m_currentStep + 1);
}

void SetupWizardView::setCurrentStep(int step)
{
    if (step < 0 || step >= stepCount || step == m_currentStep)
        return;
    m_currentStep = step;
    m_steps->setCurrentIndex(step);
    switch (step) {
    case 1:
        m_account->refresh();
        break;
    case 2:
        m_connectPhone->refresh();
        break;
    case 4:
        m_model->load();
        break;
    case 5:
        // The toggle starts on: store it (and register) as if set now.
        setStartAtLogin(m_startAtLogin->isChecked());
        break;
    case 6:
        m_completion->activate();
        break;
    default:
        break;
    }
    updateFrame();
    m_steps->currentWidget()->setFocus();
    if (QWidget *first = m_steps->currentWidget()->nextInFocusChain())
        first->setFocus(Qt::TabFocusReason);
}

void SetupWizardView::updateFrame()
{
    const QColor accent = palette().color(QPalette::Highlight);
    QColor grey = palette().color(QPalette::WindowText);
    grey.setAlphaF(0.3);
    for (int i = 0; i < m_dots.size(); ++i)
        m_dots[i]->setPixmap(dot(i <= m_currentStep ? accent : grey));
    // Kept in the layout but invisible, so the dots never move.
    const bool backVisible = m_currentStep >= 1 && m_currentStep < stepCount - 1;
    m_back->setEnabled(backVisible);
    m_back->setFlat(true);
    QSizePolicy policy = m_back->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    m_back->setSizePolicy(policy);
    m_back->setVisible(backVisible);
}

void SetupWizardView::keyPressEvent(QKeyEvent *event)
{
    if (handleWindowKey(this, event))
        return;
    QWidget::keyPressEvent(event);
}

} // namespace halvex
