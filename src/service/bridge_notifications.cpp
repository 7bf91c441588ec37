#include "service/bridge_notifications.h"

#include "bridge/bridge_manager.h"
#include "gateway/gateway_device_identity.h"
#include "gateway/gateway_web_socket.h"
#include "platform/deployment.h"
#include "platform/logging.h"
#include "platform/settings.h"

namespace halvex {

BridgeNotifications::BridgeNotifications(BridgeManager *bridge, Settings *settings, Sink sink, Timings timings,
                                         QObject *parent)
    : QObject(parent), m_bridge(bridge), m_settings(settings), m_sink(std::move(sink)), m_timings(timings)
{
    m_relayDownTimer.setSingleShot(true);
    QObject::connect(&m_relayDownTimer, &QTimer::timeout, this, &BridgeNotifications::relayDownTooLong);
    QObject::connect(bridge, &BridgeManager::connectionStateChanged, this, &BridgeNotifications::relayStateChanged);
    QObject::connect(bridge, &BridgeManager::isEnabledChanged, this,
                     [this] { relayStateChanged(m_bridge->connectionState()); });
    QObject::connect(bridge, &BridgeManager::openClawReachableChanged, this,
                     &BridgeNotifications::gatewayReachableChanged);
    QObject::connect(bridge, &BridgeManager::gatewayStateChanged, this,
                     &BridgeNotifications::gatewaySocketStateChanged);
    m_gatewayWasReachable = bridge->openClawReachable();
    relayStateChanged(bridge->connectionState());
}

bool BridgeNotifications::isEnabled(const Settings &settings)
{
    return settings.boolean(SettingsKey::notificationsEnabled, true);
}

void BridgeNotifications::relayStateChanged(const BridgeConnectionState &state)
{
    if (state.kind() == BridgeConnectionState::Kind::connected) {
        m_relayDownTimer.stop();
        recovered(Cause::relayDown);
        return;
    }
    // A bridge that is switched off or not paired is not "down": nothing
    // tries to connect.
    const bool trying = m_bridge->isEnabled() && state.kind() != BridgeConnectionState::Kind::error;
    if (!trying) {
        m_relayDownTimer.stop();
        return;
    }
    if (!m_relayDownTimer.isActive() && !m_shown.contains(Cause::relayDown))
        m_relayDownTimer.start(m_timings.relayDownNotifyAfter);
}

void BridgeNotifications::relayDownTooLong()
{
    notify(Cause::relayDown, QStringLiteral("Halvex Bridge is offline"),
           QStringLiteral("The link to the Halvex relay (%1) has been down for more than two minutes, so your "
                          "phone cannot reach your agent. The bridge keeps trying.")
               .arg(relayHost()));
}

void BridgeNotifications::gatewayReachableChanged(bool reachable)
{
    const bool wasReachable = std::exchange(m_gatewayWasReachable, reachable);
    if (reachable) {
        recovered(Cause::gatewayNotAnswering);
        return;
    }
    if (!wasReachable || !m_bridge->isEnabled())
        return;
    notify(Cause::gatewayNotAnswering, QStringLiteral("OpenClaw is not answering"),
           QStringLiteral("The OpenClaw gateway at %1 stopped answering; chats from your phone fail until it is "
                          "back. Check it with: halvex-bridge doctor")
               .arg(m_bridge->openClawEndpoint().toString()));
}

void BridgeNotifications::gatewaySocketStateChanged(const GatewayLinkState &state)
{
    if (state.kind() == GatewayLinkState::Kind::connected) {
        recovered(Cause::pairingApproval);
        return;
    }
    if (state.kind() != GatewayLinkState::Kind::error ||
        !state.errorText().startsWith(QLatin1String("Device not paired")))
        return;
    // This device's own request: on a shared network the newest request may
    // be someone else's.
    const GatewayWebSocket *socket = m_bridge->openClawWebSocket();
    const QString requestId = socket ? socket->pairingApprover()->pendingRequestId() : QString();
    const QString deviceId = socket && socket->deviceIdentity() ? socket->deviceIdentity()->deviceId() : QString();
    notify(Cause::pairingApproval, QStringLiteral("Approve Halvex Bridge in OpenClaw"),
           QStringLiteral("The OpenClaw gateway has not paired this device yet. Approve it with: ") +
               PairingApprover::manualApprovalAdvice(requestId, deviceId));
}

void BridgeNotifications::notify(Cause cause, const QString &title, const QString &body)
{
    if (m_shown.contains(cause))
        return;
    m_shown.append(cause);
    if (!isEnabled(*m_settings) || !m_sink)
        return;
    qCInfo(lcApp, "Notification: %s", qUtf8Printable(title));
    m_sink(title, body);
}

void BridgeNotifications::recovered(Cause cause)
{
    m_shown.removeAll(cause);
}

} // namespace halvex
