#pragma once

#include <QStringList>

namespace halvex::cli {

// `halvex-bridge doctor [--json]`: checks every link the bridge needs and
// says how to mend what is broken. Exit status 0 only when the bridge can
// answer chats.
int runDoctorCommand(const QStringList &arguments);

} // namespace halvex::cli
