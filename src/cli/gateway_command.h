#pragma once

#include <QStringList>

namespace halvex {
class UserSession;
}

namespace halvex::cli {

// halvex-bridge gateway [set URL | token | reset | trust SHA256 | lan on|off] [--json]
int runGatewayCommand(UserSession &session, const QStringList &arguments);

} // namespace halvex::cli
