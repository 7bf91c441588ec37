#include "app/status_icon_manager.h"

#include "views/product_mark.h"

#include <QPixmap>
#include <QSystemTrayIcon>

namespace halvex {

namespace {
// The mark sits in a 14 × 14 box two points in from each edge.
constexpr qreal markBox = 14.0;
constexpr qreal markMargin = 2.0;
} // namespace

StatusIconManager::StatusIconManager(QSystemTrayIcon *statusItem) : m_statusItem(statusItem)
{
}

IconState StatusIconManager::iconStateFor(bool isEnabled, const BridgeConnectionState &connectionState,
                                          bool openClawReachable)
{
    if (!isEnabled)
        return IconState::disabled;
    switch (connectionState.kind()) {
    case BridgeConnectionState::Kind::connected:
        return openClawReachable ? IconState::connected : IconState::partiallyConnected;
    case BridgeConnectionState::Kind::connecting:
        return IconState::partiallyConnected;
    case BridgeConnectionState::Kind::disconnected:
    case BridgeConnectionState::Kind::error:
        break;
    }
    return IconState::disconnected;
}

QColor StatusIconManager::fillColor(IconState state)
{
    switch (state) {
    case IconState::connected:
        return QColor(0x34, 0xC7, 0x59);
    case IconState::partiallyConnected:
        return QColor(0xFF, 0xCC, 0x00);
    case IconState::disconnected:
        return QColor(0xFF, 0x3B, 0x30);
    case IconState::disabled:
        break;
    }
    return QColor(0x8E, 0x8E, 0x93);
}

QString StatusIconManager::tooltipText(IconState state)
{
    switch (state) {
    case IconState::connected:
        return QStringLiteral("Halvex Bridge: Connected");
    case IconState::partiallyConnected:
        return QStringLiteral("Halvex Bridge: Partially Connected");
    case IconState::disconnected:
        return QStringLiteral("Halvex Bridge: Disconnected");
    case IconState::disabled:
        break;
    }
    return QStringLiteral("Halvex Bridge: Disabled");
}

QImage StatusIconManager::drawIcon(IconState state, qreal devicePixelRatio)
{
    return drawProductMark(iconSize, markBox, markMargin, fillColor(state), devicePixelRatio);
}

void StatusIconManager::update(IconState state)
{
    m_state = state;
    m_tooltip = tooltipText(state);
    QIcon icon;
    // Sharp on ordinary and on high-density panels.
    for (const qreal ratio : {1.0, 2.0})
        icon.addPixmap(QPixmap::fromImage(drawIcon(state, ratio)));
    m_icon = icon;

    if (!m_statusItem)
        return;
    m_statusItem->setIcon(m_icon);
    m_statusItem->setToolTip(m_tooltip);
}

} // namespace halvex
