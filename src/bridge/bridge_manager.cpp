#include "bridge/bridge_manager.h"

#include "account/account_service.h"
#include "account/bridge_name.h"
#include "memory/memory_sync_factory.h"
#include "platform/deployment.h"
#include "platform/logging.h"
#include "platform/secrets/credential_store.h"
#include "platform/settings.h"

#include <QTimer>

namespace halvex {

BridgeManager::BridgeManager(Dependencies deps, Timings timings, QObject *parent)
    : QObject(parent), m_deps(std::move(deps)), m_timings(timings),
      m_gatewaySettings(m_deps.settings, m_deps.credentials, m_deps.homeDirectory)
{
    m_relayWebSocket = new RelayWebSocket(m_deps.relayOrigin, m_timings.relay, this);
    m_openClawClient =
        new GatewayHttpClient(GatewayTarget::defaultEndpoint(), QString(), m_timings.openClawClient, this);
    m_openClawWebSocket =
        new GatewayWebSocket(m_deps.credentials, m_timings.openClawWebSocket, m_deps.processRunner, this);

    ChatPipeline::Links links;
    links.webSocket = m_openClawWebSocket;
    links.http = m_openClawClient;
    links.webSocketExpected = [this] { return m_gatewayMonitor->isSocketExpected(); };
    links.wakeWebSocket = [this] {
        if (m_running)
            m_openClawWebSocket->reconnectIfGivenUp();
    };
    links.replies.sendJSON = [this](const QJsonObject &message) { m_relayWebSocket->sendJSON(message); };
    links.replies.sendJSONText = [this](QByteArrayView json, QLatin1StringView type) {
        m_relayWebSocket->sendJSONText(json, type);
    };
    links.replies.send = [this](const RelayResponse &response) { m_relayWebSocket->send(response); };
    m_chatPipeline = new ChatPipeline(std::move(links), m_timings.chat, this);
    QObject::connect(m_chatPipeline, &ChatPipeline::chatAnswered, this, [this] {
        if (m_memorySyncService)
            m_memorySyncService->recordActivity();
    });

    // Streamed answers are read no faster than the relay link takes them.
    // The gateway socket cannot be left unread, so its chunks wait in the
    // pipeline, merged per chat.
    QObject::connect(m_relayWebSocket, &RelayWebSocket::congested, m_openClawClient, [this] {
        if (m_chatPipeline)
            m_chatPipeline->setRelayCongested(true);
        m_openClawClient->setStreamReadingPaused(true);
    });
    QObject::connect(m_relayWebSocket, &RelayWebSocket::drained, m_openClawClient, [this] {
        if (m_chatPipeline)
            m_chatPipeline->setRelayCongested(false);
        m_openClawClient->setStreamReadingPaused(false);
    });
    GatewayMonitor::Timings monitorTimings;
    monitorTimings.healthCheckInterval = m_timings.healthCheckInterval;
    monitorTimings.probeTimeout = m_timings.gatewayProbeTimeout;
    monitorTimings.recentWindow = m_timings.gatewayRecentWindow;
    m_gatewayMonitor = new GatewayMonitor(m_openClawWebSocket, monitorTimings, this);
    QObject::connect(m_gatewayMonitor, &GatewayMonitor::reachabilityUpdated, this,
                     &BridgeManager::setOpenClawReachable);
    // After the monitor's own handler (connected in its constructor), so
    // that a waiting chat finds the monitor's view already up to date.
    QObject::connect(m_openClawWebSocket, &GatewayWebSocket::stateChanged, m_chatPipeline,
                     &ChatPipeline::webSocketStateChanged);
    QObject::connect(m_openClawWebSocket, &GatewayWebSocket::stateChanged, this, &BridgeManager::gatewayStateChanged);

    AgentCardPublisher::Links card;
    card.describe = [this] {
        AgentCardInput input;
        input.name = bridgeName();
        input.version = appShortVersion();
        input.device = m_deps.deviceFacts ? m_deps.deviceFacts() : currentDeviceFacts();
        input.openClawConnected = m_openClawReachable;
        return input;
    };
    card.send = [this](const QJsonObject &message) { m_relayWebSocket->sendJSON(message); };
    card.relayConnected = [this] { return m_connectionState == BridgeConnectionState::connected(); };
    card.localModelDetector = m_deps.localModelDetector;
    m_agentCard = new AgentCardPublisher(std::move(card), m_timings.agentCardInterval, this);

    QObject::connect(m_relayWebSocket, &RelayWebSocket::stateChanged, this, &BridgeManager::updateConnectionState);
    QObject::connect(m_relayWebSocket, &RelayWebSocket::connected, this, &BridgeManager::relayConnected);
    QObject::connect(m_relayWebSocket, &RelayWebSocket::disconnected, this, &BridgeManager::relayDisconnected);
    QObject::connect(m_relayWebSocket, &RelayWebSocket::messageReceived, this, &BridgeManager::relayMessageReceived);
    // The gateway settings come first: the first gateway attempt goes to the
    // configured gateway, never to whatever listens on the default port.
    loadOpenClawConfig();
    m_isEnabled = m_deps.settings->boolean(SettingsKey::bridgeEnabled).value_or(true);
    m_deps.settings->setBoolean(SettingsKey::bridgeEnabled, m_isEnabled);
}

BridgeManager::~BridgeManager()
{
    // The children go after this object; none of them may call back into it.
    QObject::disconnect(m_relayWebSocket, nullptr, this, nullptr);
    QObject::disconnect(m_gatewayMonitor, nullptr, this, nullptr);
    // The pipeline goes first: chats that the links resolve as they go
    // must find it gone rather than reach a relay link already deleted.
    delete std::exchange(m_chatPipeline, nullptr);
    delete std::exchange(m_gatewayMonitor, nullptr); // it watches the gateway socket
}

GatewayLinkState BridgeManager::gatewayState() const
{
    return m_openClawWebSocket->state();
}

QUrl BridgeManager::openClawEndpoint() const
{
    return m_target.endpoint;
}

QString BridgeManager::bridgeName() const
{
    return storedBridgeName(*m_deps.settings, [this] {
        return bridgeNameFor((m_deps.deviceFacts ? m_deps.deviceFacts() : currentDeviceFacts()).computerName);
    });
}

bool BridgeManager::isMemorySyncEnabled() const
{
    return m_deps.settings->boolean(SettingsKey::memorySyncEnabled).value_or(false);
}

BridgeManager::TokenState BridgeManager::bridgeTokenState() const
{
    return halvex::bridgeTokenState(*m_deps.credentials);
}

void BridgeManager::wake(const QString &why)
{
    if (!m_running)
        return;
    qCInfo(lcBridge, "Checking the links: %s", qUtf8Printable(why));
    m_relayWebSocket->wake();
    m_openClawWebSocket->wake();
    m_gatewayMonitor->probeNow();
}

BridgeManager::Readiness BridgeManager::readiness() const
{
    if (!m_isEnabled)
        return Readiness::switchedOff;
    return m_readiness;
}

void BridgeManager::setReadiness(Readiness readiness, const QString &problem)
{
    m_readiness = readiness;
    m_readinessProblem = problem;
    updateConnectionState();
}

void BridgeManager::updateConnectionState()
{
    // One function of the readiness and of the relay link's own state.
    BridgeConnectionState state = BridgeConnectionState::disconnected();
    switch (readiness()) {
    case Readiness::switchedOff:
        break;
    case Readiness::noToken:
    case Readiness::storeLocked:
        state = BridgeConnectionState::error(m_readinessProblem);
        break;
    case Readiness::ready:
        switch (m_relayWebSocket->state()) {
        case RelayWebSocket::State::idle:
            // Between a running link's close and its next opening (a new
            // token): it is on its way.
            if (m_running)
                state = BridgeConnectionState::connecting();
            break;
        case RelayWebSocket::State::opening:
        case RelayWebSocket::State::waitingToRetry:
            state = BridgeConnectionState::connecting();
            break;
        case RelayWebSocket::State::open:
            state = BridgeConnectionState::connected();
            break;
        }
        break;
    }
    setConnectionState(state);
}

void BridgeManager::setConnectionState(const BridgeConnectionState &state)
{
    if (m_connectionState == state)
        return;
    m_connectionState = state;
    Q_EMIT connectionStateChanged(m_connectionState);
}

void BridgeManager::setEnabled(bool enabled)
{
    if (m_isEnabled == enabled)
        return;
    m_isEnabled = enabled;
    Q_EMIT isEnabledChanged(m_isEnabled);
    applyEnabledState();
}

void BridgeManager::applyEnabledState()
{
    m_deps.settings->setBoolean(SettingsKey::bridgeEnabled, m_isEnabled);
    if (m_isEnabled)
        start();
    else
        stop();
}

void BridgeManager::start()
{
    if (!m_isEnabled)
        return;

    const Result<std::optional<QString>> stored = m_deps.credentials->load(CredentialService::bridge());
    if (!stored) {
        // Locked or unreachable is no news about the pairing: say why, and
        // ask again until it answers.
        setReadiness(Readiness::storeLocked, stored.error().description());
        qCCritical(lcBridge, "Cannot start — the credential store cannot be read: %s",
                   qUtf8Printable(stored.error().description()));
        QTimer::singleShot(m_timings.credentialRetryInterval, this, [this] {
            if (!m_running && m_isEnabled)
                start();
        });
        return;
    }
    const std::optional<QString> token = stored.value();
    if (!token || token->isEmpty()) {
        setReadiness(Readiness::noToken, QStringLiteral("No bridge token"));
        qCCritical(lcBridge, "Cannot start — no bridge token in the credential store");
        return;
    }

    m_running = true;
    m_relayToken = *token;
    m_gatewaySettings.adoptUnboundDeviceToken();
    setReadiness(Readiness::ready);
    m_relayWebSocket->connect(*token);
    configureGatewayWebSocket();
    m_gatewayMonitor->start();
    m_agentCard->refreshLocalModels(); // runs on; start() does not wait for it
}

void BridgeManager::stop()
{
    m_running = false;
    m_relayWebSocket->disconnect();
    // Its queue went with the link; answers still streaming finish unhindered.
    m_openClawClient->setStreamReadingPaused(false);
    m_openClawWebSocket->disconnect();
    m_agentCard->cancelScheduled();
    m_gatewayMonitor->stop();
    stopMemorySync();
    setReadiness(Readiness::ready);
}

GatewayTarget BridgeManager::gatewayTargetWith(const std::optional<QUrl> &endpoint,
                                               const std::optional<QString> &token) const
{
    return m_gatewaySettings.targetWith(endpoint, token);
}

Result<GatewaySettings::Change> BridgeManager::reconfigureGateway(const QUrl &endpoint,
                                                                  const std::optional<QString> &token)
{
    Result<GatewaySettings::Change> change = m_gatewaySettings.setEndpoint(endpoint, token);
    reloadGatewaySettings();
    return change;
}

void BridgeManager::reloadGatewaySettings()
{
    const QUrl endpoint = m_target.endpoint;
    const QString token = m_target.token;
    const QByteArray pin = m_target.tlsPin;
    const QStringList owners = m_target.listenerOwners;
    loadOpenClawConfig();
    if (!m_running)
        return;
    const bool changed = endpoint != m_target.endpoint || token != m_target.token || pin != m_target.tlsPin ||
                         owners != m_target.listenerOwners;
    if (changed || !m_openClawWebSocket->isUsableForChat())
        configureGatewayWebSocket();
    if (changed)
        m_gatewayMonitor->start();
}

void BridgeManager::setBridgeName(const QString &name)
{
    storeBridgeName(*m_deps.settings, name);
    Q_EMIT bridgeNameChanged(bridgeName());
    if (m_connectionState == BridgeConnectionState::connected())
        m_agentCard->sendNow();
}

void BridgeManager::setMemorySyncEnabled(bool enabled)
{
    if (isMemorySyncEnabled() == enabled && (enabled == bool(m_memorySyncService) || !m_running))
        return;
    m_deps.settings->setBoolean(SettingsKey::memorySyncEnabled, enabled);
    if (enabled)
        startMemorySyncIfEnabled();
    else
        stopMemorySync();
    Q_EMIT memorySyncEnabledChanged(enabled);
}

void BridgeManager::reloadCredentials()
{
    // `credentials use` may have moved them to the other store.
    m_deps.credentials->followRememberedStore();
    const Result<std::optional<QString>> stored = m_deps.credentials->load(CredentialService::bridge());
    if (!stored && m_running) {
        // The store went away (or is locked): that is no news about the
        // pairing, so the running links stay on the tokens they have.
        qCCritical(lcBridge, "Cannot read the bridge token: %s — keeping the running connection",
                   qUtf8Printable(stored.error().description()));
        reloadGatewaySettings();
        return;
    }
    const std::optional<QString> token = stored.valueOr(std::nullopt);
    if (!m_isEnabled) {
        // Switched off: the new pairing is used when the user switches it on.
        loadOpenClawConfig();
        return;
    }
    if (!m_running || !token || token->isEmpty()) {
        loadOpenClawConfig();
        // start() reports a missing token; a stopped bridge starts on the new one.
        if (m_running)
            stop();
        start();
        return;
    }
    if (*token != m_relayToken) {
        qCInfo(lcBridge, "Bridge token changed — reconnecting to relay");
        m_relayToken = *token;
        m_relayWebSocket->disconnect();
        m_relayWebSocket->connect(*token);
    }
    reloadGatewaySettings();
}

void BridgeManager::signOut()
{
    (void)AccountService::signOut(m_deps.credentials, m_deps.settings);
}

void BridgeManager::loadOpenClawConfig()
{
    GatewayTarget target = m_gatewaySettings.target();
    // A store that cannot answer now says nothing about the token: the one
    // in use stays.
    if (target.tokenUnreadable) {
        qCCritical(lcBridge, "Cannot read the OpenClaw token: %s", qUtf8Printable(target.tokenProblem));
        target.token = m_target.token;
        target.tokenOrigin = m_target.tokenOrigin;
    }
    if (!target.configProblem.isEmpty())
        qCCritical(lcBridge, "Ignoring OpenClaw config file: %s", qUtf8Printable(target.configProblem));
    if (!target.tlsProblem.isEmpty())
        qCCritical(lcBridge, "%s", qUtf8Printable(target.tlsProblem));
    if (target.endpoint != m_target.endpoint || target.endpointOrigin != m_target.endpointOrigin)
        qCInfo(lcBridge, "Gateway endpoint: %s (from %s)", qUtf8Printable(target.endpoint.toString()),
               qUtf8Printable(originName(target.endpointOrigin)));
    target.toolPath = m_target.toolPath;
    target.toolVersion = m_target.toolVersion;
    m_target = std::move(target);
    m_openClawClient->setTarget(m_target);
    m_openClawWebSocket->setTlsPin(m_target.tlsPin);
    m_openClawWebSocket->setListenerOwners(m_target.listenerOwners);
    m_gatewayMonitor->setTarget(m_target);
}

void BridgeManager::configureGatewayWebSocket()
{
    // The socket does not wait for the search (the tool's `--version` or the
    // login shell may be slow): only an approval needs the tool.
    locateOpenClawTool();
    m_openClawWebSocket->connect(m_target.endpoint, m_target.token);
}

QCoro::Task<> BridgeManager::locateOpenClawTool()
{
    const QPointer<BridgeManager> self(this);
    const quint64 search = ++m_toolSearch;
    OpenClawLocator locator(std::make_shared<CommandRunner>(m_deps.processRunner),
                            m_deps.openClawPlaces
                                ? *m_deps.openClawPlaces
                                : OpenClawLocator::standardPlaces(m_deps.homeDirectory, processEnvironment));
    const LocatedOpenClaw located = co_await locator.find();
    // A newer search (a reconfiguration meanwhile) has the last word.
    if (!self || m_toolSearch != search)
        co_return;
    if (located.path)
        qCInfo(lcBridge, "OpenClaw tool for pairing approval: %s (%s)", qUtf8Printable(*located.path),
               qUtf8Printable(quotedForLog(located.version)));
    else
        qCInfo(lcBridge, "No OpenClaw tool for pairing approval%s",
               qUtf8Printable(located.problem.isEmpty() ? QString() : QStringLiteral(": ") + located.problem));
    m_target.toolPath = located.path.value_or(QString());
    m_target.toolVersion = located.version;
    m_target.toolProblem = located.problem;
    m_openClawWebSocket->setOpenClawBinaryPath(located.path);
}

void BridgeManager::setOpenClawReachable(bool reachable)
{
    if (reachable != m_openClawReachable) {
        m_openClawReachable = reachable;
        Q_EMIT openClawReachableChanged(reachable);
        if (m_connectionState == BridgeConnectionState::connected())
            m_agentCard->schedule();
    }
    if (reachable && m_connectionState == BridgeConnectionState::connected())
        startMemorySyncIfEnabled();
    if (!reachable)
        stopMemorySync();
}

void BridgeManager::startMemorySyncIfEnabled()
{
    if (m_memorySyncService || !isMemorySyncEnabled() || !m_deps.memorySync)
        return;
    m_memorySyncService =
        makeMemorySyncService(m_openClawClient, m_openClawWebSocket, m_deps.credentials, m_deps.settings,
                              m_deps.memorySync->timings, m_deps.memorySync->relayOrigin);
    m_memorySyncService->start();
}

void BridgeManager::stopMemorySync()
{
    if (!m_memorySyncService)
        return;
    m_memorySyncService->stop();
    m_memorySyncService.reset();
}

void BridgeManager::relayConnected()
{
    if (!m_running)
        return; // a late report of a link that was stopped since
    m_agentCard->sendNow();
    qCInfo(lcBridge, "Connected to relay");
    if (m_openClawReachable)
        startMemorySyncIfEnabled();
}

void BridgeManager::relayDisconnected(const std::optional<Error> &error)
{
    // The shown state follows the link's own (updateConnectionState()).
    if (error) {
        qCCritical(lcBridge, "Disconnected: %s", qUtf8Printable(error->description()));
        Q_EMIT relayLinkLost(error->description());
    }
}

void BridgeManager::relayMessageReceived(const RelayMessage &message)
{
    if (message.type != QLatin1String("chat_message")) {
        qCInfo(lcBridge, "Ignoring message type: %s", qUtf8Printable(quotedForLog(message.type, 80)));
        return;
    }
    if (!message.id || !message.appUserId) {
        // Nowhere to address a reply.
        qCCritical(lcBridge, "Message missing id or appUserId");
        return;
    }
    m_chatPipeline->handleChatMessage(message); // runs concurrently with later messages
}

} // namespace halvex
