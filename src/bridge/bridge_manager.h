#pragma once

#include "account/pairing_service.h"
#include "bridge/agent_card_publisher.h"
#include "bridge/bridge_connection_state.h"
#include "bridge/chat_pipeline.h"
#include "bridge/gateway_monitor.h"
#include "discovery/openclaw_locator.h"
#include "gateway/gateway_http_client.h"
#include "gateway/gateway_settings.h"
#include "gateway/gateway_target.h"
#include "gateway/gateway_web_socket.h"
#include "gateway/limits.h"
#include "memory/memory_sync_service.h"
#include "platform/device_facts.h"
#include "relay/relay_web_socket.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QVariantMap>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace halvex {

class CredentialStore;
class Settings;

// Every delay of the bridge manager and of the links it owns. (Declared
// outside the class so that it can be a default argument there.)
struct BridgeManagerTimings {
    std::chrono::milliseconds healthCheckInterval = std::chrono::minutes(1);
    std::chrono::milliseconds gatewayProbeTimeout = limits::probeTimeout; // each request of the health probe
    // Agent cards sent because the gateway connection changed go out at most
    // once per this interval.
    std::chrono::milliseconds agentCardInterval = std::chrono::seconds(3);
    // A gateway that answered this recently is expected back: chats wait for
    // its socket rather than take the HTTP endpoint at once.
    std::chrono::milliseconds gatewayRecentWindow = std::chrono::seconds(30);
    // A credential store that could not be read (a locked keyring) is asked
    // again this often until it answers.
    std::chrono::milliseconds credentialRetryInterval = std::chrono::seconds(30);
    ChatPipeline::Timings chat;
    RelayWebSocket::Timings relay;
    GatewayHttpClient::Timings openClawClient;
    GatewayWebSocket::Timings openClawWebSocket;
};

// The one coordinator of the running bridge: owns the relay link, both
// gateway clients and the chat pipeline, loads the gateway settings, probes
// the gateway every minute and announces the bridge with the agent card.
//
// Its public face is what the menu, the windows and the terminal need: the
// state to observe and commands; the steps in between are its own.
class BridgeManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(halvex::BridgeConnectionState connectionState READ connectionState NOTIFY connectionStateChanged)
    Q_PROPERTY(bool openClawReachable READ openClawReachable NOTIFY openClawReachableChanged)
    Q_PROPERTY(bool isEnabled READ isEnabled WRITE setEnabled NOTIFY isEnabledChanged)
    Q_PROPERTY(halvex::GatewayLinkState gatewayState READ gatewayState NOTIFY gatewayStateChanged)
public:
    using Timings = BridgeManagerTimings;

    // Everything the manager talks to comes in here; none of it is owned.
    struct Dependencies {
        CredentialStore *credentials = nullptr;
        Settings *settings = nullptr;
        QUrl relayOrigin;      // scheme + host[:port] of the relay WebSocket
        QString homeDirectory; // where ".openclaw/openclaw.json" is looked for

        // Memory sync, while the user's switch is on, against the relay's
        // HTTPS API at `relayOrigin` (empty: the deployment's); none: it
        // never runs.
        struct MemorySync {
            QUrl relayOrigin;
            MemorySyncService::Timings timings;
        };
        std::optional<MemorySync> memorySync;

        // Optional seams; empty means the default noted.
        LocalModelDetector localModelDetector;    // none: no local models
        std::function<DeviceFacts()> deviceFacts; // halvex::currentDeviceFacts()
        ProcessRunner processRunner;              // the gateway socket's own (openclaw tool)
        // Where the openclaw tool is looked for (pairing approval); none:
        // OpenClawLocator::standardPlaces() for homeDirectory and this
        // process's environment.
        std::optional<OpenClawLocator::Places> openClawPlaces;
    };

    // Reads the gateway settings and the stored on/off switch; nothing
    // connects before start().
    explicit BridgeManager(Dependencies deps, Timings timings = {}, QObject *parent = nullptr);
    ~BridgeManager() override;

    // --- State to observe
    // Whether the bridge may run at all, apart from how its relay link
    // fares: switched off, no bridge token, or a credential store that
    // cannot be read (a locked keyring) keep it from starting.
    enum class Readiness { ready, switchedOff, noToken, storeLocked };
    Readiness readiness() const;
    // One function of readiness() and the relay link's own state: an error
    // saying why the bridge is not ready, else what the link is doing.
    BridgeConnectionState connectionState() const { return m_connectionState; }
    // The gateway answers: its socket is connected, or the health probe says so.
    bool openClawReachable() const { return m_openClawReachable; }
    bool isEnabled() const { return m_isEnabled; }
    GatewayLinkState gatewayState() const;
    // The gateway base URL in use (from the settings or OpenClaw's own file).
    QUrl openClawEndpoint() const;
    // The gateway the links use, as last resolved.
    const GatewayTarget &gatewayTarget() const { return m_target; }
    // The target the user's entries would give (for a window's "Test"),
    // resolved by the same rules; nothing is stored.
    GatewayTarget gatewayTargetWith(const std::optional<QUrl> &endpoint, const std::optional<QString> &token) const;
    // The stored "bridgeName", else this machine's name (at most 30
    // characters), else "My Computer".
    QString bridgeName() const;
    bool isMemorySyncEnabled() const;
    // What the credential store says of the bridge token (reads the store).
    using TokenState = BridgeTokenState;
    TokenState bridgeTokenState() const;
    // Whether this machine counts as paired, by the one rule (isPaired()).
    bool hasBridgeToken() const { return isPaired(bridgeTokenState()); }
    // {"name", "size_gb", "params"} per detected model; kept across stop().
    QList<QVariantMap> cachedLocalModels() const { return m_agentCard->cachedLocalModels(); }

    // --- Commands
    // The user's on/off switch: stored, then the bridge starts or stops.
    void setEnabled(bool enabled);
    // Connects both links when the switch is on and a bridge token is
    // stored; the programs call it once they are up.
    void start();
    void stop();
    // New gateway address and, where the user gave one, its token: stored
    // by the gateway settings' writer (whose rules say what a new address
    // keeps), and the gateway links move over. An empty endpoint goes back
    // to what OpenClaw's own configuration says.
    Result<GatewaySettings::Change> reconfigureGateway(const QUrl &endpoint, const std::optional<QString> &token);
    // The writer, for the other changes a window offers (a trusted
    // certificate, a trusted listener); call reloadGatewaySettings() after.
    GatewaySettings &gatewaySettings() { return m_gatewaySettings; }
    // Loads the gateway settings again; a running bridge moves its gateway
    // links over when they changed.
    void reloadGatewaySettings();
    // Stored by the rule of enteredBridgeName() (blank: the host-name
    // fallback), and announced at once with a new agent card.
    void setBridgeName(const QString &name);
    void setMemorySyncEnabled(bool enabled);
    // After a pairing or the setup wizard stored credentials: reads the
    // bridge token and gateway settings again and (re)connects on them.
    void reloadCredentials();
    // Signs out of the relay account; the bridge itself keeps running.
    void signOut();
    // The network changed, the machine resumed or the like (`why`, for the
    // log): while running, both links are checked at once and replaced
    // straight away where their path died, and the gateway is probed.
    void wake(const QString &why);

    // --- The links, for diagnostics and tests.
    RelayWebSocket *relayWebSocket() const { return m_relayWebSocket; }
    GatewayHttpClient *openClawClient() const { return m_openClawClient; }
    GatewayWebSocket *openClawWebSocket() const { return m_openClawWebSocket; }
    ChatPipeline *chatPipeline() const { return m_chatPipeline; }
    // While memory sync runs.
    MemorySyncService *memorySyncService() const { return m_memorySyncService.get(); }
    // The shared stores, which the windows read.
    CredentialStore *credentials() const { return m_deps.credentials; }
    Settings *settings() const { return m_deps.settings; }

Q_SIGNALS:
    void connectionStateChanged(const halvex::BridgeConnectionState &state);
    void openClawReachableChanged(bool reachable);
    void isEnabledChanged(bool enabled);
    void gatewayStateChanged(const halvex::GatewayLinkState &state);
    void bridgeNameChanged(const QString &name);
    void memorySyncEnabledChanged(bool enabled);
    // The relay link went down with this error (it reconnects by itself
    // while the bridge runs).
    void relayLinkLost(const QString &reason);

private:
    // What the relay link reports.
    void relayConnected();
    void relayDisconnected(const std::optional<Error> &error);
    void relayMessageReceived(const RelayMessage &message);

    void applyEnabledState();
    void loadOpenClawConfig();
    void configureGatewayWebSocket();
    // Looks for the openclaw tool; the gateway socket gets it when found.
    QCoro::Task<> locateOpenClawTool();
    // The monitor's verdict: published, announced, and memory sync follows.
    void setOpenClawReachable(bool reachable);
    void startMemorySyncIfEnabled();
    void stopMemorySync();
    void setReadiness(Readiness readiness, const QString &problem = {});
    void updateConnectionState();
    void setConnectionState(const BridgeConnectionState &state);

    Dependencies m_deps;
    Timings m_timings;
    BridgeConnectionState m_connectionState = BridgeConnectionState::disconnected();
    bool m_openClawReachable = false;
    bool m_isEnabled = true;
    Readiness m_readiness = Readiness::ready; // what start() found; switchedOff comes from m_isEnabled
    QString m_readinessProblem;
    // Between start() with a token and stop(): late relay callbacks of a
    // stopped link must not make a stopped bridge look connected or connecting.
    bool m_running = false;
    QString m_relayToken;     // the bridge token the relay link runs on
    quint64 m_toolSearch = 0; // the latest search for the openclaw tool
    GatewaySettings m_gatewaySettings;
    GatewayTarget m_target;

    RelayWebSocket *m_relayWebSocket = nullptr;      // child
    GatewayHttpClient *m_openClawClient = nullptr;   // child
    GatewayWebSocket *m_openClawWebSocket = nullptr; // child
    ChatPipeline *m_chatPipeline = nullptr;          // child
    GatewayMonitor *m_gatewayMonitor = nullptr;      // child
    AgentCardPublisher *m_agentCard = nullptr;       // child
    std::unique_ptr<MemorySyncService> m_memorySyncService;
};

} // namespace halvex
