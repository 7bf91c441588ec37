#pragma once

#include <QStringList>

namespace halvex {
class UserSession;
}

namespace halvex::cli {

int runPairCommand(UserSession &session, const QStringList &arguments);

} // namespace halvex::cli
