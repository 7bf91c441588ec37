#pragma once

#include "bridge/bridge_connection_state.h"

#include <QString>

class QMenu;

namespace halvex {

class TrayController;

// Everything the tray menu shows.
struct StatusMenuContent {
    BridgeConnectionState connectionState;
    bool openClawReachable = false;
    bool isEnabled = false;
    QString relayHost;
    QString openClawEndpoint; // the gateway client's endpoint URL as text
    QString bridgeName;       // "My Mac" when none is stored
    QString accountEmail;     // empty: no account line
    bool memorySyncEnabled = false;
    bool startAtLogin = false;
};

// The tray menu, built as a whole from its content.
namespace StatusMenu {

// A new menu for the content. With a target its actions call the target's
// slots (queued, after the menu has closed); without one they do nothing
// (pictures for the documentation).
QMenu *build(const StatusMenuContent &content, TrayController *target = nullptr);
QString relayStatusText(const BridgeConnectionState &state, const QString &relayHost);

} // namespace StatusMenu

} // namespace halvex
