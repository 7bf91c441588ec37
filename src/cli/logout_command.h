#pragma once

#include <QStringList>

namespace halvex {
class UserSession;
}

namespace halvex::cli {

int runLogoutCommand(UserSession &session, const QStringList &arguments);

} // namespace halvex::cli
