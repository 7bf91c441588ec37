#pragma once

#include "bridge/bridge_connection_state.h"
#include "gateway/openclaw_client.h"
#include "gateway/openclaw_web_socket.h"
#include "platform/device_facts.h"
#include "relay/relay_web_socket.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <optional>

class QNetworkAccessManager;

namespace halvex {

class KeychainManager;
class Settings;
class OpenClawClient;
class OpenClawWebSocket;

// One local model as the agent card lists it.
struct LocalModel {
    QString name;
    double sizeGB = 0.0;
    QString parameterSize;
};

// Finds the local models to announce in the agent card.
using LocalModelDetector = std::function<QCoro::Task<QList<LocalModel>>()>;

// What the manager needs of a running memory sync service.
class MemorySyncHandle
{
public:
    virtual ~MemorySyncHandle() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
    // One successful chat exchange.
    virtual void recordActivity() = 0;
};

// Creates a memory sync service that talks to the agent through the client
// and keeps its secrets in the credential store.
using MemorySyncFactory = std::function<std::unique_ptr<MemorySyncHandle>(OpenClawClient *, KeychainManager *)>;

// Every delay of the bridge manager and of the links it owns. (Declared
// outside the class so that it can be a default argument there.)
struct BridgeManagerTimings {
    double healthCheckInterval = 60.0; // seconds
    RelayWebSocket::Timings relay;
    OpenClawClient::Timings openClawClient;
    OpenClawWebSocket::Timings openClawWebSocket;
};

// The one coordinator of the running bridge: owns the relay link and both
// gateway clients, loads the gateway settings, probes the gateway every
// minute, announces the bridge with the agent card and turns relay chat
// requests into gateway calls and streamed replies.
class BridgeManager : public QObject, public RelayWebSocketDelegate
{
    Q_OBJECT
    Q_PROPERTY(halvex::BridgeConnectionState connectionState READ connectionState NOTIFY connectionStateChanged)
    Q_PROPERTY(bool openClawReachable READ openClawReachable NOTIFY openClawReachableChanged)
    Q_PROPERTY(bool isEnabled READ isEnabled WRITE setIsEnabled NOTIFY isEnabledChanged)
public:
    using Timings = BridgeManagerTimings;

    // Everything the manager talks to comes in here; none of it is owned.
    struct Dependencies {
        QNetworkAccessManager *network = nullptr;
        KeychainManager *keychain = nullptr;
        Settings *settings = nullptr;
        QUrl relayOrigin;      // scheme + host[:port] of the relay WebSocket
        QString homeDirectory; // where ".openclaw/openclaw.json" is looked for

        // Optional seams; empty means the default noted.
        LocalModelDetector localModelDetector;                  // none: no local models
        MemorySyncFactory memorySyncFactory;                    // none: memory sync never runs
        std::function<std::optional<QString>()> localIPAddress; // halvex::localIPAddress()
        std::function<DeviceFacts()> deviceFacts;               // halvex::currentDeviceFacts()
        ProcessRunner processRunner;                            // the gateway socket's own (openclaw tool)
    };

    explicit BridgeManager(Dependencies deps, Timings timings = {}, QObject *parent = nullptr);
    ~BridgeManager() override;

    BridgeConnectionState connectionState() const { return m_connectionState; }
    bool openClawReachable() const { return m_openClawReachable; }
    bool isEnabled() const { return m_isEnabled; }
    // Changing isEnabled runs applyEnabledState().
    void setIsEnabled(bool enabled);

    void applyEnabledState();
    void start();
    void stop();
    void loadOpenClawConfig();
    void loadOpenClawConfigFile();
    void configureGatewayWebSocket();
    void startHealthCheck();
    // Applies a health check result (and starts or stops memory sync).
    void setOpenClawReachable(bool reachable);
    void sendAgentCard();
    void startMemorySyncIfEnabled();
    // Stops and drops the memory sync service, if one runs.
    void stopMemorySync();
    // Detects the local models for the agent card; a new card follows when
    // some were found while the relay is connected.
    QCoro::Task<> refreshLocalModels();
    // The chat pipeline for one request that carries "id" and "appUserId".
    // Runs on its own; the returned task may be dropped.
    QCoro::Task<> handleChatMessage(RelayMessage message);

    // {"name", "size_gb", "params"} per detected model; kept across stop().
    QList<QVariantMap> cachedLocalModels() const { return m_cachedLocalModels; }
    MemorySyncHandle *memorySyncService() const { return m_memorySyncService.get(); }
    // home + "/.openclaw/openclaw.json".
    QString openClawConfigFilePath() const;

    RelayWebSocket *relayWebSocket() const;
    OpenClawClient *openClawClient() const;
    OpenClawWebSocket *openClawWebSocket() const;
    KeychainManager *keychain() const { return m_deps.keychain; }
    Settings *settings() const { return m_deps.settings; }

    // RelayWebSocketDelegate
    void didConnect() override;
    void didDisconnect(const std::optional<Error> &error) override;
    void didReceive(const RelayMessage &message) override;

Q_SIGNALS:
    void connectionStateChanged(const halvex::BridgeConnectionState &state);
    void openClawReachableChanged(bool reachable);
    void isEnabledChanged(bool enabled);

private:
    void setConnectionState(const BridgeConnectionState &state);
    void setReachableValue(bool reachable);
    void stopHealthCheck();
    QCoro::Task<> runHealthProbe();
    void sendChatFailure(const QString &replyTo, const QString &appUserId, const QString &description);

    Dependencies m_deps;
    Timings m_timings;
    BridgeConnectionState m_connectionState = BridgeConnectionState::disconnected();
    bool m_openClawReachable = false;
    bool m_isEnabled = true;
    // Between start() with a token and stop(): late relay callbacks of a
    // stopped link must not make a stopped bridge look connected or connecting.
    bool m_running = false;

    RelayWebSocket *m_relayWebSocket = nullptr;       // child
    OpenClawClient *m_openClawClient = nullptr;       // child
    OpenClawWebSocket *m_openClawWebSocket = nullptr; // child
    QTimer *m_healthCheckTimer = nullptr;             // child while the check runs
    std::unique_ptr<MemorySyncHandle> m_memorySyncService;
    QList<QVariantMap> m_cachedLocalModels;

    // Health probes answer late; a result is applied only when it belongs to
    // the current run and is newer than the last one applied.
    quint64 m_healthCheckRun = 0;
    quint64 m_probeSequence = 0;
    quint64 m_lastAppliedProbe = 0;
};

} // namespace halvex
