#pragma once

#include "bridge/bridge_connection_state.h"
#include "gateway/openclaw_client.h"
#include "gateway/openclaw_web_socket.h"
#include "relay/relay_web_socket.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>

#include <memory>

class QNetworkAccessManager;

namespace halvex {

class KeychainManager;
class Settings;
class OpenClawClient;
class OpenClawWebSocket;
struct DeviceFacts;

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
    struct Timings {
        double healthCheckInterval = 60.0; // seconds
        RelayWebSocket::Timings relay;
        OpenClawClient::Timings openClawClient;
        OpenClawWebSocket::Timings openClawWebSocket;
    };

    // Everything the manager talks to comes in here; none of it is owned.
    struct Dependencies {
        QNetworkAccessManager *network = nullptr;
        KeychainManager *keychain = nullptr;
        Settings *settings = nullptr;
        QUrl relayOrigin;        // scheme + host[:port] of the relay WebSocket
        QString homeDirectory;   // where ".openclaw/openclaw.json" is looked for
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
    void sendAgentCard();
    void startMemorySyncIfEnabled();
    // Stops and drops the memory sync service, if one runs.
    void stopMemorySync();

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
    Dependencies m_deps;
    Timings m_timings;
    BridgeConnectionState m_connectionState = BridgeConnectionState::disconnected();
    bool m_openClawReachable = false;
    bool m_isEnabled = true;
};

} // namespace halvex
