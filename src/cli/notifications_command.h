#pragma once

#include <QStringList>

namespace halvex {
class UserSession;
}

namespace halvex::cli {

// `halvex-bridge notifications [on|off] [--json]`: shows or sets whether the
// bridge tells the desktop when a link is down. Exit 0 when notifications
// are (now) on, 1 when off, 2 on misuse.
int runNotificationsCommand(UserSession &session, const QStringList &arguments);

} // namespace halvex::cli
