#include "views/openclaw_config_step.h"

#include "bridge/bridge_manager.h"
#include "discovery/openclaw_detector.h"
#include "gateway/gateway_probe.h"
#include "platform/net/tls_pin.h"
#include "views/view_support.h"
#include "views/window_services.h"

#include <QFormLayout>
#include <QFrame>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace halvex {

OpenClawConfigStep::OpenClawConfigStep(const WindowServices &services, std::shared_ptr<OpenClawDetector> detector,
                                       QWidget *parent)
    : QWidget(parent), m_services(services), m_detector(std::move(detector))
{
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(makeTitle(QStringLiteral("OpenClaw Configuration"), this));
    m_pages = new QStackedWidget(this);

    auto *detecting = new QWidget(this);
    auto *d = new QVBoxLayout(detecting);
    d->addWidget(makeText(QStringLiteral("Detecting OpenClaw…"), detecting));
    auto *detectingBusy = makeBusyIndicator(detecting);
    detectingBusy->show();
    d->addWidget(detectingBusy);
    d->addStretch();
    m_pages->addWidget(detecting);

    auto *detected = new QWidget(this);
    auto *v = new QVBoxLayout(detected);
    auto *found = new QLabel(detected);
    setStatus(found, true, QStringLiteral("OpenClaw detected"));
    v->addWidget(found, 0, Qt::AlignHCenter);
    auto *form = new QFormLayout;
    m_endpoint = new QLabel(detected);
    m_token = new QLabel(detected);
    m_agent = new QLabel(detected);
    m_status = new QLabel(detected);
    form->addRow(QStringLiteral("Endpoint"), m_endpoint);
    form->addRow(QStringLiteral("Token"), m_token);
    form->addRow(QStringLiteral("Agent"), m_agent);
    form->addRow(QStringLiteral("Status"), m_status);
    v->addLayout(form);
    m_lanWarning = new QFrame(detected);
    static_cast<QFrame *>(m_lanWarning)->setFrameShape(QFrame::StyledPanel);
    auto *w = new QVBoxLayout(m_lanWarning);
    auto *warnTitle = new QLabel(QStringLiteral("⚠ Gateway only accepts local connections"), m_lanWarning);
    QFont bold = warnTitle->font();
    bold.setBold(true);
    warnTitle->setFont(bold);
    w->addWidget(warnTitle);
    w->addWidget(new QLabel(QStringLiteral("Your phone won't be able to connect over your network."), m_lanWarning));
    // The risk, said before the button: what opening the gateway means.
    auto *risk = new QLabel(QStringLiteral("Enabling it makes the gateway listen on every network interface of this "
                                           "computer, and the phone's direct link then carries the gateway's master "
                                           "token, in clear unless OpenClaw's gateway TLS is on "
                                           "(gateway.tls.enabled). The relay alone needs none of this."),
                            m_lanWarning);
    risk->setWordWrap(true);
    w->addWidget(risk);
    auto *warnButtons = new QHBoxLayout;
    m_enableLAN = new QPushButton(QStringLiteral("Enable LAN Access"), m_lanWarning);
    auto *skip = new QPushButton(QStringLiteral("Skip — I only use relay"), m_lanWarning);
    m_enableTls = new QPushButton(QStringLiteral("Turn On Gateway TLS"), m_lanWarning);
    warnButtons->addWidget(m_enableTls);
    warnButtons->addWidget(m_enableLAN);
    warnButtons->addWidget(skip);
    w->addLayout(warnButtons);
    m_lanError = makeErrorLabel(m_lanWarning);
    w->addWidget(m_lanError);
    v->addWidget(m_lanWarning);
    auto *detectedButtons = new QHBoxLayout;
    auto *manual = new QPushButton(QStringLiteral("Configure Manually"), detected);
    auto *use = new QPushButton(QStringLiteral("Use These Settings"), detected);
    makeDefault(use);
    detectedButtons->addStretch();
    detectedButtons->addWidget(manual);
    detectedButtons->addWidget(use);
    detectedButtons->addStretch();
    v->addLayout(detectedButtons);
    v->addStretch();
    m_pages->addWidget(detected);

    auto *manualPage = new QWidget(this);
    auto *m = new QVBoxLayout(manualPage);
    m->addWidget(makeText(QStringLiteral("OpenClaw was not auto-detected. Enter your settings manually."), manualPage));
    auto *back = new QPushButton(QStringLiteral("← Back to auto-detected settings"), manualPage);
    back->setFlat(true);
    m->addWidget(back, 0, Qt::AlignLeft);
    m_manualEndpoint = makeField(QStringLiteral("Endpoint URL"), defaultGatewayText(), false, manualPage);
    m_manualEndpoint->setText(defaultGatewayText());
    m_manualToken = makeField(QStringLiteral("Gateway Token"), QStringLiteral("Paste token here"), true, manualPage);
    auto *manualForm = new QFormLayout;
    manualForm->addRow(QStringLiteral("Endpoint URL"), m_manualEndpoint);
    manualForm->addRow(QStringLiteral("Gateway Token"), m_manualToken);
    m->addLayout(manualForm);
    m->addWidget(makeText(QStringLiteral("The token is gateway.auth.token in ~/.openclaw/openclaw.json "
                                         "(`openclaw config get` prints it masked)"),
                          manualPage));
    m->addWidget(new QLabel(QStringLiteral("Discovered on network:"), manualPage));
    m_discovered = new QListWidget(manualPage);
    m_discovered->setAccessibleName(QStringLiteral("Discovered on network"));
    m_discovered->setMaximumHeight(80);
    m->addWidget(m_discovered);
    auto *manualButtons = new QHBoxLayout;
    m_test = new QPushButton(QStringLiteral("Test Connection"), manualPage);
    auto *next = new QPushButton(QStringLiteral("Continue"), manualPage);
    makeDefault(next);
    manualButtons->addStretch();
    manualButtons->addWidget(m_test);
    manualButtons->addWidget(next);
    manualButtons->addStretch();
    m->addLayout(manualButtons);
    m_busy = makeBusyIndicator(manualPage);
    m->addWidget(m_busy);
    m_testLabel = new QLabel(manualPage);
    m_testLabel->setAlignment(Qt::AlignHCenter);
    m_testLabel->hide();
    m->addWidget(m_testLabel);
    m->addStretch();
    m_pages->addWidget(manualPage);
    layout->addWidget(m_pages);

    connect(use, &QPushButton::clicked, this, [this] { useDetected(); });
    connect(manual, &QPushButton::clicked, this, [this] { m_pages->setCurrentIndex(2); });
    connect(back, &QPushButton::clicked, this, [this] { updateDetected(); });
    connect(skip, &QPushButton::clicked, this, [this] {
        m_lanWarningSkipped = true;
        updateDetected();
    });
    connect(m_enableLAN, &QPushButton::clicked, this, [this] { enableLANAccess(); });
    connect(m_enableTls, &QPushButton::clicked, this, [this] { enableTls(); });
    connect(m_manualEndpoint, &QLineEdit::returnPressed, next, &QPushButton::click);
    connect(m_manualToken, &QLineEdit::returnPressed, next, &QPushButton::click);
    connect(m_test, &QPushButton::clicked, this, [this] { testConnection(); });
    connect(next, &QPushButton::clicked, this, [this] { continueManual(); });
    connect(m_discovered, &QListWidget::itemActivated, this,
            [this](QListWidgetItem *item) { m_manualEndpoint->setText(item->data(Qt::UserRole).toString()); });
    connect(m_discovered, &QListWidget::itemClicked, this,
            [this](QListWidgetItem *item) { m_manualEndpoint->setText(item->data(Qt::UserRole).toString()); });

    connect(m_detector.get(), &OpenClawDetector::isDetectingChanged, this, [this] { updateDetected(); });
    connect(m_detector.get(), &OpenClawDetector::detectedChanged, this, [this] { updateDetected(); });
    connect(m_detector.get(), &OpenClawDetector::gatewayBindChanged, this, [this] { updateDetected(); });
    connect(m_detector.get(), &OpenClawDetector::discoveredGatewaysChanged, this, [this] { updateDiscovered(); });
    updateDetected();
    updateDiscovered();
}

bool OpenClawConfigStep::showsManual() const
{
    return m_pages->currentIndex() == 2;
}

bool OpenClawConfigStep::showsLANWarning() const
{
    return m_pages->currentIndex() == 1 && !m_lanWarning->isHidden();
}

void OpenClawConfigStep::updateDetected()
{
    if (m_detector->isDetecting() && !m_detector->detected()) {
        m_pages->setCurrentIndex(0);
        return;
    }
    if (!m_detector->detected()) {
        m_pages->setCurrentIndex(2);
        return;
    }
    m_endpoint->setText(m_detector->endpointURL().toString());
    m_token->setText(maskedToken(m_detector->gatewayToken()));
    // The bridge always talks to the "mobile" agent; choosing a model creates it when missing.
    const std::optional<bool> mobile = m_detector->target().hasMobileAgent();
    m_agent->setText(mobile == true ? GatewayTarget::mobileAgentId()
                                    : QStringLiteral("%1: not there yet, created when you choose its model in the "
                                                     "next step")
                                          .arg(GatewayTarget::mobileAgentId()));
    m_status->setText(m_detector->gatewayRunning() ? QStringLiteral("Running") : QStringLiteral("Not running"));
    m_lanWarning->setVisible(m_detector->target().isLoopbackOnly() && !m_lanWarningSkipped);
    m_enableTls->setVisible(!m_detector->target().tlsEnabled);
    m_pages->setCurrentIndex(1);
}

void OpenClawConfigStep::updateDiscovered()
{
    m_discovered->clear();
    for (const DiscoveredGateway &gateway : m_detector->discoveredGateways()) {
        // Announced names are anybody's text: control characters escaped.
        // What a gateway says of its TLS is a hint to compare, never a pin.
        QString text =
            QStringLiteral("%1 (%2)").arg(quotedForLog(gateway.name, 80), quotedForLog(gateway.address(), 120));
        if (gateway.txtTls && !gateway.txtTlsSha256.isEmpty())
            text += QStringLiteral(" — TLS, announces SHA-256 %1").arg(formatSha256(gateway.txtTlsSha256));
        else if (!gateway.txtTls)
            text += QStringLiteral(" — plain http");
        auto *item = new QListWidgetItem(text, m_discovered);
        item->setData(Qt::UserRole, gateway.address());
    }
}

void OpenClawConfigStep::useDetected()
{
    // What OpenClaw's file says is followed, not copied: the writer stores
    // only what differs from it, and the file's token never leaves it.
    (void)m_services.bridgeManager->reconfigureGateway(m_detector->endpointURL(), std::nullopt);
    Q_EMIT done();
}

QCoro::Task<> OpenClawConfigStep::continueManual()
{
    const QString text = m_manualEndpoint->text().trimmed();
    // A text that is not a URL goes back to what OpenClaw's own file says.
    const QUrl typed(text, QUrl::StrictMode);
    const QUrl endpoint = typed.isValid() && !typed.host().isEmpty() ? typed : QUrl();
    BridgeManager *bridge = m_services.bridgeManager;
    const auto say = [this](const QString &why) {
        m_testLabel->show();
        setStatus(m_testLabel, false, why);
    };
    if (const std::optional<QString> held = gatewayEntriesHeldBack(bridge, endpoint, m_manualToken->text(),
                                                                   m_warnedInClear, QStringLiteral("Continue"))) {
        say(*held);
        co_return;
    }
    const GatewayTarget target = bridge->gatewayTargetWith(
        endpoint.isEmpty() ? std::nullopt : std::optional<QUrl>(endpoint), typedToken(m_manualToken->text()));
    // A gateway elsewhere over TLS is trusted only once the user compared
    // the certificate it presents: Continue shows it, Continue again trusts it.
    QByteArray pin;
    if (target.tlsEnabled && !target.isLocal() && target.tlsPin.isEmpty()) {
        if (m_offeredPin.isEmpty() || m_offeredFor != target.endpoint) {
            const QPointer<OpenClawConfigStep> self(this);
            const std::optional<QByteArray> presented = co_await presentedCertificateSha256(
                target.endpoint.host(), quint16(target.endpoint.port(443)), m_services.gatewayTestTimeout, this);
            if (!self)
                co_return;
            if (!presented) {
                say(QStringLiteral("The gateway at %1 does not answer over TLS, so its certificate cannot be "
                                   "compared.")
                        .arg(target.endpoint.toString()));
                co_return;
            }
            m_offeredPin = *presented;
            m_offeredFor = target.endpoint;
            QString offer = QStringLiteral("The gateway at %1 presents a certificate with SHA-256\n%2\nCompare it "
                                           "with the certificate on that machine (openssl x509 -noout -fingerprint "
                                           "-sha256 -in gateway-cert.pem). Continue again to trust it.")
                                .arg(target.endpoint.toString(), formatSha256(*presented));
            for (const DiscoveredGateway &gateway : m_detector->discoveredGateways()) {
                if (QUrl(gateway.address()) == target.endpoint && !gateway.txtTlsSha256.isEmpty() &&
                    gateway.txtTlsSha256 != *presented)
                    offer += QStringLiteral("\nIt announced another fingerprint on the network (%1): someone may "
                                            "be in between.")
                                 .arg(formatSha256(gateway.txtTlsSha256));
            }
            say(offer);
            co_return;
        }
        pin = m_offeredPin;
    }
    const Result<GatewaySettings::Change> change =
        bridge->reconfigureGateway(endpoint, typedToken(m_manualToken->text()));
    if (!change) {
        say(change.error().description());
        co_return;
    }
    if (!pin.isEmpty()) {
        const Result<GatewayTarget> trusted = bridge->gatewaySettings().trust(pin);
        bridge->reloadGatewaySettings();
        if (!trusted) {
            say(trusted.error().description());
            co_return;
        }
    }
    Q_EMIT done();
}

QCoro::Task<> OpenClawConfigStep::testConnection()
{
    QPointer<OpenClawConfigStep> self(this);
    m_testResult.reset();
    m_testLabel->hide();
    m_busy->show();
    m_test->setEnabled(false);
    const GatewayProbe health =
        co_await testGatewayEntries(m_services, this, m_manualEndpoint->text(), m_manualToken->text());
    if (!self)
        co_return;
    m_testResult = health.reachable;
    m_busy->hide();
    m_test->setEnabled(true);
    setStatus(m_testLabel, health.reachable,
              health.reachable ? QStringLiteral("Connected") : QStringLiteral("Could not connect"));
}

QCoro::Task<> OpenClawConfigStep::enableTls()
{
    return changeGateway(&OpenClawDetector::enableTls);
}

QCoro::Task<> OpenClawConfigStep::enableLANAccess()
{
    return changeGateway(&OpenClawDetector::enableLANAccess);
}

QCoro::Task<> OpenClawConfigStep::changeGateway(QCoro::Task<bool> (OpenClawDetector::*change)())
{
    if (m_enablingLAN)
        co_return;
    QPointer<OpenClawConfigStep> self(this);
    m_enablingLAN = true;
    m_enableTls->setEnabled(false);
    m_enableLAN->setEnabled(false);
    showError(m_lanError, QString());
    const std::shared_ptr<OpenClawDetector> keep = m_detector;
    const bool ok = co_await ((*keep).*change)();
    if (!self)
        co_return;
    m_enablingLAN = false;
    m_enableTls->setEnabled(true);
    m_enableLAN->setEnabled(true);
    if (!ok)
        showError(m_lanError, m_detector->lanAccessProblem());
    updateDetected();
}

} // namespace halvex
