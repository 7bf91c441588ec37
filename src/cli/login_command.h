#pragma once

#include <QStringList>

#include <memory>
#include <optional>

class QCommandLineParser;

namespace halvex {
class AccountRuntime;
}

namespace halvex::cli {

int runLoginCommand(const QStringList &arguments);

// What the account commands share:
// Parses the arguments of `halvex-bridge <command>` (at most `maxPositional`
// besides the options): prints the help or the error and returns the exit
// status when the command ends here, nothing when it goes on.
std::optional<int> parseCommandLine(QCommandLineParser &parser, const QString &command, const QStringList &arguments,
                                    qsizetype maxPositional);
// The account runtime, or nothing after printing why the relay origin
// override was refused.
std::unique_ptr<AccountRuntime> openAccountRuntime();

} // namespace halvex::cli
