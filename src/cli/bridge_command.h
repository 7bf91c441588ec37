#pragma once

#include <QStringList>

namespace halvex {
class UserSession;
}

namespace halvex::cli {

// `halvex-bridge name [NAME]`: shows or sets the bridge name.
int runNameCommand(UserSession &session, const QStringList &arguments);
// `halvex-bridge enable` / `disable`: the menu's "Enable Bridge" switch.
int runEnableCommand(UserSession &session, const QStringList &arguments);
int runDisableCommand(UserSession &session, const QStringList &arguments);

} // namespace halvex::cli
