#pragma once

#include "bridge/bridge_connection_state.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>

namespace halvex {

class BridgeManager;
class GatewayLinkState;
class Settings;

// How long the relay link may be down before the user is told. (Declared
// outside the class so that it can be a default argument there.)
struct BridgeNotificationTimings {
    std::chrono::milliseconds relayDownNotifyAfter = std::chrono::minutes(2);
};

// Tells the user, once per cause until it recovers, what keeps the phone
// from reaching the agent: the relay link down for more than two minutes,
// the gateway no longer answering, and a device pairing that waits for the
// user's approval. The "notificationsEnabled" setting (default on; also
// `halvex-bridge notifications off`) turns them off.
class BridgeNotifications : public QObject
{
    Q_OBJECT
public:
    // Shows one notification (the tray's message balloon, or the desktop's
    // notification service).
    using Sink = std::function<void(const QString &title, const QString &body)>;

    using Timings = BridgeNotificationTimings;

    enum class Cause { relayDown, gatewayNotAnswering, pairingApproval };

    // Watches the bridge manager's links; neither it nor the settings are
    // owned, and both must outlive this object.
    BridgeNotifications(BridgeManager *bridge, Settings *settings, Sink sink, Timings timings = {},
                        QObject *parent = nullptr);

    // The "notificationsEnabled" setting; on when absent.
    static bool isEnabled(const Settings &settings);

private:
    void relayStateChanged(const BridgeConnectionState &state);
    void gatewayReachableChanged(bool reachable);
    void gatewaySocketStateChanged(const GatewayLinkState &state);
    void relayDownTooLong();
    // Shows the notification of a cause that has not been shown since it
    // last recovered.
    void notify(Cause cause, const QString &title, const QString &body);
    void recovered(Cause cause);

    BridgeManager *m_bridge;
    Settings *m_settings;
    Sink m_sink;
    Timings m_timings;
    QTimer m_relayDownTimer;
    bool m_gatewayWasReachable = false;
    // Causes already shown and not yet recovered.
    QList<Cause> m_shown;
};

} // namespace halvex
