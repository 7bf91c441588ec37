#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QTextStream;

namespace halvex::cli {

// Exit statuses of every subcommand: 0 when what was asked for holds,
// 1 when it does not (or the operation failed), 2 on misuse.
enum ExitStatus { success = 0, failure = 1, misuse = 2 };

// One subcommand: `halvex-bridge <name> [arguments]`.
struct Command {
    QString name;
    // One line for `halvex-bridge --help`.
    QString summary;
    // Runs inside the QCoreApplication that the dispatcher made; `arguments`
    // are those after the name. Returns the exit status.
    std::function<int(const QStringList &arguments)> run;
};

// Every subcommand, in the order --help lists them (cli/commands.cpp).
const QList<Command> &commands();

// When argv[1] names a subcommand: runs it in a QCoreApplication (no widget
// stack) and returns its exit status; otherwise nothing.
std::optional<int> dispatch(int argc, char **argv);

// Standard output and standard error, UTF-8.
QTextStream &out();
QTextStream &err();

// A secret as the windows show it: "●●●●●●●●" and its last four
// characters; empty stays empty.
QString maskSecret(const QString &secret);

} // namespace halvex::cli
