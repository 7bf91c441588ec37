#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QCommandLineParser;

namespace halvex {
class UserSession;
}

namespace halvex::cli {

// What the account commands (login, logout, pair, status) share: parses the
// arguments of `halvex-bridge <command>` (at most `maxPositional` besides
// the options), asks `misuse` whether they fit together (its message is
// printed with exit status 2; empty: they do), then checks the session's
// relay origins. The exit status when the command ends here (help, misuse,
// a refused relay origin override); nothing when it goes on.
using ArgumentCheck = std::function<QString(const QCommandLineParser &parser)>;
std::optional<int> openAccountCommand(UserSession &session, QCommandLineParser &parser, const QString &command,
                                      const QStringList &arguments, qsizetype maxPositional,
                                      const ArgumentCheck &misuse = {});

} // namespace halvex::cli
