#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <variant>

class QCommandLineParser;

namespace halvex {
class AccountRuntime;
}

namespace halvex::cli {

// What the account commands (login, logout, pair, status) share: parses the
// arguments of `halvex-bridge <command>` (at most `maxPositional` besides
// the options), asks `misuse` whether they fit together (its message is
// printed with exit status 2; empty: they do), then opens the account
// runtime. Either the exit status, when the command ends here (help, misuse,
// a refused relay origin override), or the runtime.
using ArgumentCheck = std::function<QString(const QCommandLineParser &parser)>;
std::variant<int, std::unique_ptr<AccountRuntime>>
openAccountCommand(QCommandLineParser &parser, const QString &command, const QStringList &arguments,
                   qsizetype maxPositional, const ArgumentCheck &misuse = {});

} // namespace halvex::cli
