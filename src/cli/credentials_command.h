#pragma once

#include <QStringList>

namespace halvex {
class UserSession;
}

namespace halvex::cli {

// `halvex-bridge credentials [use secret-service|file | recover] [--json]`:
// shows which store keeps this user's credentials and which item is where,
// moves them all to the other store (remembered for the desktop and the
// service alike), or puts back what a damaged file store set aside.
int runCredentialsCommand(UserSession &session, const QStringList &arguments);

} // namespace halvex::cli
