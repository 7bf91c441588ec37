#pragma once

#include "bridge/bridge_connection_state.h"

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QPointer>
#include <QString>

class QSystemTrayIcon;

namespace halvex {

enum class IconState { connected, partiallyConnected, disconnected, disabled };

// Draws the status icon, the product mark filled in the state's colour (a
// coloured image, not a template, so it reads on light and dark panels), and
// sets the tooltip of the tray icon.
class StatusIconManager
{
public:
    // The tray icon is not owned; without one, update() only records the
    // state.
    explicit StatusIconManager(QSystemTrayIcon *statusItem);

    void update(IconState state);

    IconState state() const { return m_state; }
    QIcon currentIcon() const { return m_icon; }
    QString tooltip() const { return m_tooltip; }

    // The icon state for the bridge's published values.
    static IconState iconStateFor(bool isEnabled, const BridgeConnectionState &connectionState, bool openClawReachable);
    static QColor fillColor(IconState state);
    static QString tooltipText(IconState state);
    // The 18 × 18 icon at the given device pixel ratio.
    static QImage drawIcon(IconState state, qreal devicePixelRatio = 1.0);

    static constexpr int iconSize = 18;

private:
    QPointer<QSystemTrayIcon> m_statusItem;
    IconState m_state = IconState::disabled;
    QIcon m_icon;
    QString m_tooltip;
};

} // namespace halvex
