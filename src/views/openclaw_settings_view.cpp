#include "views/openclaw_settings_view.h"

#include "bridge/bridge_manager.h"
#include "discovery/openclaw_detector.h"
#include "gateway/gateway_probe.h"
#include "platform/deployment.h"
#include "platform/net/tls_pin.h"
#include "platform/secrets/credential_store.h"
#include "platform/settings.h"
#include "views/view_support.h"
#include "views/window_services.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace halvex {

OpenClawSettingsView::OpenClawSettingsView(const WindowServices &services, QWidget *parent)
    : QWidget(parent), m_services(services)
{
    setAccessibleName(QStringLiteral("OpenClaw Settings"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(makeTitle(QStringLiteral("OpenClaw Settings"), this));
    m_endpoint = makeField(QStringLiteral("Endpoint URL"), defaultGatewayText(), false, this);
    m_token = makeField(QStringLiteral("Gateway Token"), QStringLiteral("Paste token here"), true, this);
    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("Endpoint URL"), m_endpoint);
    form->addRow(QStringLiteral("Gateway Token"), m_token);
    layout->addLayout(form);
    m_busy = makeBusyIndicator(this);
    layout->addWidget(m_busy);
    m_result = new QLabel(this);
    m_result->setAlignment(Qt::AlignHCenter);
    m_result->hide();
    layout->addWidget(m_result);
    m_error = makeErrorLabel(this);
    layout->addWidget(m_error);
    m_trust = new QWidget(this);
    auto *trustLayout = new QVBoxLayout(m_trust);
    trustLayout->setContentsMargins(0, 0, 0, 0);
    m_trustText = new QLabel(m_trust);
    m_trustText->setWordWrap(true);
    m_trustText->setTextInteractionFlags(Qt::TextSelectableByMouse);
    trustLayout->addWidget(m_trustText);
    auto *trustButton = new QPushButton(QStringLiteral("Trust This Certificate"), m_trust);
    trustLayout->addWidget(trustButton, 0, Qt::AlignLeft);
    m_trust->hide();
    layout->addWidget(m_trust);
    m_owner = new QWidget(this);
    auto *ownerLayout = new QVBoxLayout(m_owner);
    ownerLayout->setContentsMargins(0, 0, 0, 0);
    m_ownerText = new QLabel(m_owner);
    m_ownerText->setWordWrap(true);
    ownerLayout->addWidget(m_ownerText);
    auto *ownerButton = new QPushButton(QStringLiteral("Trust This Account"), m_owner);
    ownerLayout->addWidget(ownerButton, 0, Qt::AlignLeft);
    m_owner->hide();
    layout->addWidget(m_owner);
    layout->addStretch();
    auto *buttons = new QHBoxLayout;
    m_test = new QPushButton(QStringLiteral("Test Connection"), this);
    m_redetect = new QPushButton(QStringLiteral("Re-detect"), this);
    auto *saveButton = new QPushButton(QStringLiteral("Save"), this);
    makeDefault(saveButton);
    buttons->addWidget(m_test);
    buttons->addWidget(m_redetect);
    buttons->addStretch();
    buttons->addWidget(saveButton);
    layout->addLayout(buttons);

    BridgeManager *bridge = m_services.bridgeManager;
    m_endpoint->setText(
        m_services.settings->string(SettingsKey::openClawEndpoint).value_or(bridge->openClawEndpoint().toString()));
    showTokenSource(bridge->gatewaySettings().target());

    connect(m_test, &QPushButton::clicked, this, [this] { testConnection(); });
    connect(m_redetect, &QPushButton::clicked, this, [this] { redetect(); });
    connect(saveButton, &QPushButton::clicked, this, [this] { save(); });
    connect(trustButton, &QPushButton::clicked, this, [this] { trustPresentedCertificate(); });
    connect(ownerButton, &QPushButton::clicked, this, [this] { trustListenerOwner(); });
    connect(m_endpoint, &QLineEdit::returnPressed, saveButton, &QPushButton::click);
    connect(m_token, &QLineEdit::returnPressed, saveButton, &QPushButton::click);
}

OpenClawSettingsView::~OpenClawSettingsView() = default;

QString OpenClawSettingsView::endpoint() const
{
    return m_endpoint->text();
}

bool OpenClawSettingsView::offersCertificateTrust() const
{
    return !m_trust->isHidden();
}

QString OpenClawSettingsView::token() const
{
    return m_token->text();
}

void OpenClawSettingsView::showTokenSource(const GatewayTarget &target)
{
    // A stored token is never shown or carried in the field: left empty, the
    // writer keeps it for its own address only, and this machine's gateway
    // uses the token of its own file.
    switch (target.tokenOrigin) {
    case GatewayValueOrigin::credentialStore:
        m_token->setPlaceholderText(QStringLiteral("Stored (leave empty to keep it)"));
        break;
    case GatewayValueOrigin::openClawConfig:
        m_token->setPlaceholderText(QStringLiteral("From openclaw.json (leave empty to use it)"));
        break;
    default:
        m_token->setPlaceholderText(QStringLiteral("Paste token here"));
        break;
    }
}

void OpenClawSettingsView::updateBusy()
{
    m_busy->setVisible(isBusy());
    m_test->setEnabled(!m_isTesting);
    m_redetect->setEnabled(!m_isDetecting);
}

QCoro::Task<> OpenClawSettingsView::testConnection()
{
    QPointer<OpenClawSettingsView> self(this);
    m_isTesting = true;
    m_testResult.reset();
    m_result->hide();
    updateBusy();
    m_trust->hide();
    m_owner->hide();
    const GatewayTarget target =
        m_services.bridgeManager->gatewayTargetWith(gatewayURLFromText(m_endpoint->text()), m_token->text());
    const GatewayProbe health = co_await testGatewayEntries(m_services, this, m_endpoint->text(), m_token->text());
    if (!self)
        co_return;
    m_isTesting = false;
    m_testResult = health.reachable && health.listenerRefusal.isEmpty();
    updateBusy();
    setStatus(m_result, health.reachable && health.listenerRefusal.isEmpty(),
              health.reachable && health.listenerRefusal.isEmpty() ? QStringLiteral("Connected")
                                                                   : QStringLiteral("Could not connect"));
    if (!health.listenerRefusal.isEmpty()) {
        // Nothing secret went there. An account of the user's own making
        // (a gateway run as a service user) may be trusted from here.
        m_listenerOwner = health.listenerOwner;
        m_ownerText->setText(health.listenerRefusal);
        m_owner->setVisible(!m_listenerOwner.isEmpty());
        if (m_listenerOwner.isEmpty())
            showError(m_error, health.listenerRefusal);
    }
    // A gateway elsewhere over TLS is trusted only once the user compared
    // its fingerprint; a pin never comes from the network by itself.
    if (target.tlsEnabled && !target.isLocal() && target.tlsPin.isEmpty() && !health.tlsSha256.isEmpty()) {
        m_presentedPin = health.tlsSha256;
        m_presentedFor = target.endpoint;
        m_trustText->setText(
            QStringLiteral("The gateway at %1 presents a certificate with SHA-256\n%2\nCompare it with "
                           "the certificate on that machine (openssl x509 -noout -fingerprint "
                           "-sha256 -in gateway-cert.pem) before you trust it.")
                .arg(target.endpoint.toString(), formatSha256(health.tlsSha256)));
        m_trust->show();
    }
}

QCoro::Task<> OpenClawSettingsView::redetect()
{
    QPointer<OpenClawSettingsView> self(this);
    m_detector = m_services.makeDetector();
    const std::shared_ptr<OpenClawDetector> detector = m_detector;
    m_isDetecting = true;
    showError(m_error, QString());
    updateBusy();
    co_await detector->detect();
    if (!self || detector != m_detector)
        co_return;
    m_isDetecting = false;
    updateBusy();
    if (!detector->detected()) {
        showError(m_error, QStringLiteral("OpenClaw was not detected on this computer."));
        co_return;
    }
    // This machine's gateway is followed with the token of its own file;
    // the field stays empty so that nothing carries it anywhere else.
    m_endpoint->setText(detector->endpointURL().toString());
    m_token->clear();
}

void OpenClawSettingsView::trustPresentedCertificate()
{
    const QUrl url(m_endpoint->text().trimmed(), QUrl::StrictMode);
    if (m_presentedPin.isEmpty() || url != m_presentedFor) {
        showError(m_error, QStringLiteral("Test the connection again: the address changed."));
        m_trust->hide();
        return;
    }
    if (!save())
        return;
    // The pin goes with the address just stored, and with nothing else.
    const Result<GatewayTarget> trusted = m_services.bridgeManager->gatewaySettings().trust(m_presentedPin);
    m_services.bridgeManager->reloadGatewaySettings();
    if (!trusted) {
        showError(m_error, trusted.error().description());
        return;
    }
    m_trust->hide();
}

void OpenClawSettingsView::trustListenerOwner()
{
    const Result<GatewayTarget> trusted =
        m_services.bridgeManager->gatewaySettings().allowListenerOwner(m_listenerOwner);
    m_services.bridgeManager->reloadGatewaySettings();
    if (!trusted) {
        showError(m_error, trusted.error().description());
        return;
    }
    m_owner->hide();
    testConnection();
}

bool OpenClawSettingsView::save()
{
    const QString text = m_endpoint->text().trimmed();
    const QUrl url(text, QUrl::StrictMode);
    if (!text.isEmpty() && (!url.isValid() || url.host().isEmpty())) {
        showError(
            m_error,
            QStringLiteral("The endpoint must be a URL such as %1.").arg(GatewayTarget::defaultEndpoint().toString()));
        return false;
    }
    if (const std::optional<QString> held = gatewayEntriesHeldBack(m_services.bridgeManager, url, m_token->text(),
                                                                   m_warnedInClear, QStringLiteral("Save"))) {
        showError(m_error, *held);
        return false;
    }
    const Result<GatewaySettings::Change> change =
        m_services.bridgeManager->reconfigureGateway(url, typedToken(m_token->text()));
    if (!change) {
        showError(m_error, change.error().description());
        return false;
    }
    showError(m_error, QString());
    m_token->clear();
    showTokenSource(change.value().target);
    setStatus(m_result, true, QStringLiteral("Saved"));
    return true;
}

void OpenClawSettingsView::keyPressEvent(QKeyEvent *event)
{
    if (handleWindowKey(this, event))
        return;
    QWidget::keyPressEvent(event);
}

} // namespace halvex
