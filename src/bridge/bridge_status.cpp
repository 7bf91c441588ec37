#include "bridge/bridge_status.h"

#include "bridge/bridge_manager.h"
#include "platform/deployment.h"

#include <QCoreApplication>
#include <QJsonValue>

namespace halvex {

namespace {

QJsonValue timeValue(const std::optional<QDateTime> &time)
{
    if (!time || !time->isValid())
        return QJsonValue::Null;
    return time->toUTC().toString(Qt::ISODate);
}

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QString relayStateName(BridgeConnectionState::Kind kind)
{
    switch (kind) {
    case BridgeConnectionState::Kind::connected:
        return QStringLiteral("connected");
    case BridgeConnectionState::Kind::connecting:
        return QStringLiteral("connecting");
    case BridgeConnectionState::Kind::error:
        return QStringLiteral("error");
    case BridgeConnectionState::Kind::disconnected:
        break;
    }
    return QStringLiteral("disconnected");
}

QString readinessName(BridgeManager::Readiness readiness)
{
    switch (readiness) {
    case BridgeManager::Readiness::ready:
        return QStringLiteral("ready");
    case BridgeManager::Readiness::switchedOff:
        return QStringLiteral("switchedOff");
    case BridgeManager::Readiness::noToken:
        return QStringLiteral("noToken");
    case BridgeManager::Readiness::storeLocked:
        return QStringLiteral("storeLocked");
    }
    return QStringLiteral("ready");
}

QString gatewaySocketStateName(GatewayLinkState::Kind kind)
{
    switch (kind) {
    case GatewayLinkState::Kind::connected:
        return QStringLiteral("connected");
    case GatewayLinkState::Kind::connecting:
        return QStringLiteral("connecting");
    case GatewayLinkState::Kind::authenticating:
        return QStringLiteral("authenticating");
    case GatewayLinkState::Kind::error:
        return QStringLiteral("error");
    case GatewayLinkState::Kind::disconnected:
        break;
    }
    return QStringLiteral("disconnected");
}

} // namespace

BridgeStatus::BridgeStatus(BridgeManager *bridge, QString mode, QObject *parent)
    : QObject(parent), m_bridge(bridge), m_mode(std::move(mode)), m_startedAt(QDateTime::currentDateTimeUtc())
{
    m_uptime.start();
    m_relaySince = m_startedAt;
    relayStateChanged();
    gatewayChanged();
    connect(bridge, &BridgeManager::connectionStateChanged, this, &BridgeStatus::relayStateChanged);
    connect(bridge, &BridgeManager::relayLinkLost, this, [this](const QString &reason) {
        m_relayLastError = reason;
        scheduleChanged();
    });
    connect(bridge, &BridgeManager::gatewayStateChanged, this, &BridgeStatus::gatewayChanged);
    connect(bridge, &BridgeManager::openClawReachableChanged, this, &BridgeStatus::gatewayChanged);
    ChatPipeline *chats = bridge->chatPipeline();
    connect(chats, &ChatPipeline::chatStarted, this, &BridgeStatus::scheduleChanged);
    connect(chats, &ChatPipeline::chatAnswered, this, [this] { ++m_answered; });
    connect(chats, &ChatPipeline::chatClosed, this, [this] {
        ++m_closed;
        scheduleChanged();
    });
    connect(bridge, &BridgeManager::isEnabledChanged, this, &BridgeStatus::scheduleChanged);
    connect(bridge, &BridgeManager::memorySyncEnabledChanged, this, &BridgeStatus::scheduleChanged);
    connect(bridge, &BridgeManager::bridgeNameChanged, this, &BridgeStatus::scheduleChanged);
}

void BridgeStatus::relayStateChanged()
{
    const BridgeConnectionState state = m_bridge->connectionState();
    m_relaySince = QDateTime::currentDateTimeUtc();
    if (state.kind() == BridgeConnectionState::Kind::error)
        m_relayLastError = state.message();
    scheduleChanged();
}

void BridgeStatus::gatewayChanged()
{
    const GatewayLinkState socket = m_bridge->gatewayState();
    QString link = QStringLiteral("none");
    if (socket == GatewayLinkState::connected())
        link = QStringLiteral("webSocket");
    else if (m_bridge->openClawReachable())
        link = QStringLiteral("http");
    const QString state = gatewaySocketStateName(socket.kind());
    if (socket.kind() == GatewayLinkState::Kind::error && !socket.errorText().isEmpty())
        m_gatewayLastError = socket.errorText();
    if (link != m_gatewayLink || state != m_gatewayState) {
        m_gatewayLink = link;
        m_gatewayState = state;
        m_gatewaySince = QDateTime::currentDateTimeUtc();
    }
    scheduleChanged();
}

void BridgeStatus::scheduleChanged()
{
    if (m_changePending)
        return;
    m_changePending = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_changePending = false;
            Q_EMIT changed();
        },
        Qt::QueuedConnection);
}

QJsonObject BridgeStatus::document() const
{
    const QJsonObject bridge{
        {QStringLiteral("name"), m_bridge->bridgeName()},
        {QStringLiteral("version"), appShortVersion()},
        {QStringLiteral("build"), appBuildVersion()},
        {QStringLiteral("mode"), m_mode},
        {QStringLiteral("pid"), QCoreApplication::applicationPid()},
        {QStringLiteral("enabled"), m_bridge->isEnabled()},
        {QStringLiteral("startedAt"), timeValue(m_startedAt)},
        {QStringLiteral("uptimeSeconds"), m_uptime.elapsed() / 1000},
    };
    const QJsonObject relay{
        {QStringLiteral("state"), relayStateName(m_bridge->connectionState().kind())},
        {QStringLiteral("readiness"), readinessName(m_bridge->readiness())},
        {QStringLiteral("since"), timeValue(m_relaySince)},
        {QStringLiteral("lastError"), textOrNull(m_relayLastError)},
        {QStringLiteral("reconnectAttempt"), m_bridge->relayWebSocket()->reconnectAttempt()},
    };
    const QJsonObject gateway{
        {QStringLiteral("link"), m_gatewayLink},
        {QStringLiteral("webSocket"), m_gatewayState},
        {QStringLiteral("reachable"), m_bridge->openClawReachable()},
        {QStringLiteral("endpoint"), m_bridge->openClawEndpoint().toString(QUrl::RemoveUserInfo)},
        {QStringLiteral("since"), timeValue(m_gatewaySince)},
        {QStringLiteral("lastError"), textOrNull(m_gatewayLastError)},
    };
    const QJsonObject chats{
        {QStringLiteral("answered"), m_answered},
        {QStringLiteral("failed"), m_closed - m_answered},
        {QStringLiteral("inFlight"), m_bridge->chatPipeline()->chatsInFlight()},
    };
    QString memoryState = QStringLiteral("off");
    std::optional<QDateTime> nextRun;
    if (m_bridge->isMemorySyncEnabled()) {
        const MemorySyncService *sync = m_bridge->memorySyncService();
        if (!sync) {
            memoryState = QStringLiteral("waiting");
        } else {
            memoryState = sync->isExtracting() ? QStringLiteral("syncing") : QStringLiteral("scheduled");
            nextRun = sync->nextSyncTime();
        }
    }
    const QJsonObject memory{{QStringLiteral("state"), memoryState}, {QStringLiteral("nextRun"), timeValue(nextRun)}};
    return QJsonObject{
        {QStringLiteral("schema"), schemaVersion}, {QStringLiteral("bridge"), bridge},
        {QStringLiteral("relay"), relay},          {QStringLiteral("gateway"), gateway},
        {QStringLiteral("chats"), chats},          {QStringLiteral("memorySync"), memory},
    };
}

} // namespace halvex
