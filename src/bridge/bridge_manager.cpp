#include "bridge/bridge_manager.h"

#include "bridge/agent_card.h"
#include "platform/deployment.h"
#include "platform/keychain_manager.h"
#include "platform/logging.h"
#include "platform/settings.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <cmath>

namespace halvex {

namespace {

const QString defaultGatewayEndpoint = QStringLiteral("http://127.0.0.1:18789");
constexpr int defaultGatewayPort = 18789;

// What `openclaw config get` prints in place of a secret; never a token.
bool isRedactedToken(const QString &token)
{
    return token.startsWith(QLatin1String("__OPENCLAW_REDACTED"));
}

// A stored endpoint is used only when it is an absolute http(s) URL with a host.
std::optional<QUrl> parseEndpoint(const QString &text)
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return std::nullopt;
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return std::nullopt;
    return url;
}

} // namespace

BridgeManager::BridgeManager(Dependencies deps, Timings timings, QObject *parent)
    : QObject(parent), m_deps(std::move(deps)), m_timings(timings)
{
    // The order matters: the stored switch is applied (and may start the
    // bridge) before the manager is the link's delegate and before the
    // gateway settings are loaded.
    m_relayWebSocket = new RelayWebSocket(m_deps.relayOrigin, m_timings.relay, this);
    m_openClawClient =
        new OpenClawClient(m_deps.network, QUrl(defaultGatewayEndpoint), QString(), m_timings.openClawClient, this);
    m_openClawWebSocket = new OpenClawWebSocket(m_deps.keychain, m_timings.openClawWebSocket, m_deps.processRunner, this);
    // Streamed answers are read no faster than the relay link takes them.
    QObject::connect(m_relayWebSocket, &RelayWebSocket::congested, m_openClawClient,
                     [client = m_openClawClient] { client->setStreamReadingPaused(true); });
    QObject::connect(m_relayWebSocket, &RelayWebSocket::drained, m_openClawClient,
                     [client = m_openClawClient] { client->setStreamReadingPaused(false); });

    m_isEnabled = m_deps.settings->boolean(SettingsKey::bridgeEnabled).value_or(true);
    applyEnabledState();
    m_relayWebSocket->setDelegate(this);
    loadOpenClawConfig();
}

BridgeManager::~BridgeManager()
{
    // The children go after this object; none of them may call back into it.
    m_relayWebSocket->setDelegate(nullptr);
}

RelayWebSocket *BridgeManager::relayWebSocket() const
{
    return m_relayWebSocket;
}
OpenClawClient *BridgeManager::openClawClient() const
{
    return m_openClawClient;
}
OpenClawWebSocket *BridgeManager::openClawWebSocket() const
{
    return m_openClawWebSocket;
}

QString BridgeManager::openClawConfigFilePath() const
{
    return m_deps.homeDirectory + QStringLiteral("/.openclaw/openclaw.json");
}

void BridgeManager::setConnectionState(const BridgeConnectionState &state)
{
    if (m_connectionState == state)
        return;
    m_connectionState = state;
    Q_EMIT connectionStateChanged(m_connectionState);
}

void BridgeManager::setReachableValue(bool reachable)
{
    if (m_openClawReachable == reachable)
        return;
    m_openClawReachable = reachable;
    Q_EMIT openClawReachableChanged(m_openClawReachable);
}

void BridgeManager::setIsEnabled(bool enabled)
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

    const std::optional<QString> token = m_deps.keychain->load(CredentialService::bridge());
    if (!token || token->isEmpty()) {
        setConnectionState(BridgeConnectionState::error(QStringLiteral("No bridge token")));
        qCCritical(lcBridge, "Cannot start — no bridge token in Keychain");
        return;
    }

    m_running = true;
    setConnectionState(BridgeConnectionState::connecting());
    m_relayWebSocket->connect(*token);
    configureGatewayWebSocket();
    startHealthCheck();
    refreshLocalModels(); // runs on; start() does not wait for it
}

void BridgeManager::stop()
{
    m_running = false;
    m_relayWebSocket->disconnect();
    // Its queue went with the link; answers still streaming finish unhindered.
    m_openClawClient->setStreamReadingPaused(false);
    m_openClawWebSocket->disconnect();
    stopHealthCheck();
    stopMemorySync();
    setConnectionState(BridgeConnectionState::disconnected());
    setReachableValue(false);
}

void BridgeManager::loadOpenClawConfig()
{
    if (const std::optional<QString> stored = m_deps.settings->string(SettingsKey::openClawEndpoint)) {
        if (const std::optional<QUrl> endpoint = parseEndpoint(*stored))
            m_openClawClient->setEndpointURL(*endpoint);
    }

    const std::optional<QString> token = m_deps.keychain->load(CredentialService::openClaw());
    if (token && !token->isEmpty() && !isRedactedToken(*token))
        m_openClawClient->setGatewayToken(*token);

    if (m_openClawClient->gatewayToken().isEmpty())
        loadOpenClawConfigFile();
}

void BridgeManager::loadOpenClawConfigFile()
{
    // Read only: the user's OpenClaw configuration is never written here.
    const QString path = openClawConfigFilePath();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return; // no OpenClaw installed here (or not readable): defaults stay

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        qCCritical(lcBridge, "Ignoring OpenClaw config file %s: %s", qUtf8Printable(path),
                   qUtf8Printable(parseError.error != QJsonParseError::NoError ? parseError.errorString()
                                                                               : QStringLiteral("not a JSON object")));
        return;
    }
    const QJsonValue gatewayValue = document.object().value(QLatin1String("gateway"));
    if (!gatewayValue.isObject())
        return;
    const QJsonObject gateway = gatewayValue.toObject();

    const QJsonValue auth = gateway.value(QLatin1String("auth"));
    if (auth.isObject()) {
        const QJsonValue tokenValue = auth.toObject().value(QLatin1String("token"));
        const QString token = tokenValue.isString() ? tokenValue.toString() : QString();
        // A redacted placeholder is not a token: using or storing it would
        // only make every gateway call fail.
        if (!token.isEmpty() && !isRedactedToken(token)) {
            m_openClawClient->setGatewayToken(token);
            qCInfo(lcBridge, "Loaded OpenClaw token from config file");
            m_deps.keychain->save(CredentialService::openClaw(), token);
        }
    }

    const std::optional<QString> storedEndpoint = m_deps.settings->string(SettingsKey::openClawEndpoint);
    if (storedEndpoint && !storedEndpoint->isEmpty())
        return;

    int port = defaultGatewayPort;
    const QJsonValue portValue = gateway.value(QLatin1String("port"));
    if (portValue.isDouble()) {
        const double number = portValue.toDouble();
        if (number == std::floor(number) && number >= 1 && number <= 65535)
            port = static_cast<int>(number);
    }
    const QJsonValue bindValue = gateway.value(QLatin1String("bind"));
    const QString bind = bindValue.isString() ? bindValue.toString() : QStringLiteral("loopback");

    QString host = QStringLiteral("127.0.0.1");
    if (bind == QLatin1String("lan")) {
        const std::optional<QString> address =
            m_deps.localIPAddress ? m_deps.localIPAddress() : halvex::localIPAddress();
        if (address && !address->isEmpty())
            host = *address;
    }
    const QString endpoint = QStringLiteral("http://%1:%2").arg(host).arg(port);
    m_openClawClient->setEndpointURL(QUrl(endpoint));
    m_deps.settings->setString(SettingsKey::openClawEndpoint, endpoint);
    qCInfo(lcBridge, "Loaded OpenClaw endpoint from config file: %s", qUtf8Printable(endpoint));
}

void BridgeManager::configureGatewayWebSocket()
{
    const QStringList candidates{
        QStringLiteral("/opt/homebrew/bin/openclaw"),
        QStringLiteral("/usr/local/bin/openclaw"),
        m_deps.homeDirectory + QStringLiteral("/.openclaw/bin/openclaw"),
    };
    std::optional<QString> binary;
    for (const QString &candidate : candidates) {
        const QFileInfo info(candidate);
        if (info.isFile() && info.isExecutable()) {
            binary = candidate;
            break;
        }
    }
    if (!binary) {
        // npm and distribution installs put the tool on PATH.
        const QString onPath = QStandardPaths::findExecutable(QStringLiteral("openclaw"));
        if (!onPath.isEmpty())
            binary = onPath;
    }
    m_openClawWebSocket->setOpenClawBinaryPath(binary);
    m_openClawWebSocket->connect(m_openClawClient->endpointURL(), m_openClawClient->gatewayToken());
}

void BridgeManager::stopHealthCheck()
{
    ++m_healthCheckRun; // results of probes still out are stale from now on
    if (m_healthCheckTimer) {
        m_healthCheckTimer->stop();
        m_healthCheckTimer->deleteLater();
        m_healthCheckTimer = nullptr;
    }
}

void BridgeManager::startHealthCheck()
{
    stopHealthCheck();
    runHealthProbe();

    m_healthCheckTimer = new QTimer(this);
    m_healthCheckTimer->setInterval(std::chrono::milliseconds(qRound64(m_timings.healthCheckInterval * 1000.0)));
    QObject::connect(m_healthCheckTimer, &QTimer::timeout, this, [this] { runHealthProbe(); });
    m_healthCheckTimer->start();
}

QCoro::Task<> BridgeManager::runHealthProbe()
{
    const QPointer<BridgeManager> self(this);
    const quint64 run = m_healthCheckRun;
    const quint64 probe = ++m_probeSequence;
    const bool reachable = co_await m_openClawClient->isReachable();
    if (!self || run != self->m_healthCheckRun || probe < self->m_lastAppliedProbe)
        co_return;
    self->m_lastAppliedProbe = probe;
    self->setOpenClawReachable(reachable);
}

void BridgeManager::setOpenClawReachable(bool reachable)
{
    setReachableValue(reachable);
    if (reachable && m_connectionState == BridgeConnectionState::connected())
        startMemorySyncIfEnabled();
    if (!reachable && m_memorySyncService)
        stopMemorySync();
}

void BridgeManager::startMemorySyncIfEnabled()
{
    if (m_memorySyncService)
        return;
    if (!m_deps.settings->boolean(SettingsKey::memorySyncEnabled).value_or(false))
        return;
    if (!m_deps.memorySyncFactory)
        return;
    m_memorySyncService = m_deps.memorySyncFactory(m_openClawClient, m_deps.keychain);
    if (m_memorySyncService)
        m_memorySyncService->start();
}

void BridgeManager::stopMemorySync()
{
    if (!m_memorySyncService)
        return;
    m_memorySyncService->stop();
    m_memorySyncService.reset();
}

QCoro::Task<> BridgeManager::refreshLocalModels()
{
    const QPointer<BridgeManager> self(this);
    QList<LocalModel> models;
    if (m_deps.localModelDetector) {
        // Keep the detector (and whatever it captured) alive for the wait.
        const LocalModelDetector detector = m_deps.localModelDetector;
        models = co_await detector();
        if (!self)
            co_return;
    }

    QList<QVariantMap> cached;
    cached.reserve(models.size());
    for (const LocalModel &model : models) {
        cached.append(QVariantMap{
            {QStringLiteral("name"), model.name},
            {QStringLiteral("size_gb"), model.sizeGB},
            {QStringLiteral("params"), model.parameterSize},
        });
    }
    self->m_cachedLocalModels = cached;

    if (!cached.isEmpty()) {
        qCInfo(lcBridge, "Detected %ld local Ollama model(s) for agent card", static_cast<long>(cached.size()));
        if (self->m_connectionState == BridgeConnectionState::connected())
            self->sendAgentCard();
    }
}

void BridgeManager::sendAgentCard()
{
    AgentCardInput input;
    const std::optional<QString> name = m_deps.settings->string(SettingsKey::bridgeName);
    input.name = name && !name->isEmpty() ? *name : QStringLiteral("My Mac");
    input.version = appShortVersion();
    input.device = m_deps.deviceFacts ? m_deps.deviceFacts() : currentDeviceFacts();
    input.localModels = m_cachedLocalModels;
    input.openClawConnected = m_openClawReachable;

    // Sent even when the link is down; the link then drops it with its own line.
    m_relayWebSocket->sendJSON(buildAgentCard(input));
    qCInfo(lcBridge, "Agent card sent: %s v%s", qUtf8Printable(input.name), qUtf8Printable(input.version));
}

void BridgeManager::didConnect()
{
    if (!m_running)
        return; // a late report of a link that was stopped since
    sendAgentCard();
    setConnectionState(BridgeConnectionState::connected());
    qCInfo(lcBridge, "Connected to relay");
    if (m_openClawReachable)
        startMemorySyncIfEnabled();
}

void BridgeManager::didDisconnect(const std::optional<Error> &error)
{
    // While running, the link reconnects by itself. A stopped bridge is
    // already disconnected (or in error) and stays so.
    if (m_isEnabled && m_running)
        setConnectionState(BridgeConnectionState::connecting());
    else if (m_connectionState.kind() != BridgeConnectionState::Kind::error)
        setConnectionState(BridgeConnectionState::disconnected());
    if (error)
        qCCritical(lcBridge, "Disconnected: %s", qUtf8Printable(error->description()));
}

void BridgeManager::didReceive(const RelayMessage &message)
{
    if (message.type != QLatin1String("chat_message")) {
        qCInfo(lcBridge, "Ignoring message type: %s", qUtf8Printable(message.type));
        return;
    }
    if (!message.id || !message.appUserId) {
        // Nowhere to address a reply.
        qCCritical(lcBridge, "Message missing id or appUserId");
        return;
    }
    handleChatMessage(message); // runs concurrently with later messages
}

} // namespace halvex
