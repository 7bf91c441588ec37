#pragma once

#include <QStringList>

namespace halvex {
class UserSession;
}

namespace halvex::cli {

// `halvex-bridge doctor [--json]`: checks every link the bridge needs and
// says how to mend what is broken. Exit status 0 only when the bridge can
// answer chats.
int runDoctorCommand(UserSession &session, const QStringList &arguments);

} // namespace halvex::cli
