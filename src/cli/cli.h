#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <variant>

class QCommandLineParser;
class QTextStream;

namespace halvex {
class UserSession;
}

namespace halvex::cli {

// Exit statuses of every subcommand: 0 when what was asked for holds,
// 1 when it does not (or the operation failed), 2 on misuse.
enum ExitStatus { success = 0, failure = 1, misuse = 2 };

// One subcommand: `halvex-bridge <name> [arguments]`.
struct Command {
    QString name;
    // One line for `halvex-bridge --help`.
    QString summary;
    // Runs inside the QCoreApplication that the dispatcher made, on this
    // user's session (opened once for the command); `arguments` are those
    // after the name. Returns the exit status.
    std::function<int(UserSession &session, const QStringList &arguments)> run;
};

// Every subcommand, in the order --help lists them (cli/commands.cpp).
const QList<Command> &commands();

// The subcommands on the session; models and memory have headers of their
// own (with the contexts their tests give them).
int runLoginCommand(UserSession &session, const QStringList &arguments);
int runPairCommand(UserSession &session, const QStringList &arguments);
int runLogoutCommand(UserSession &session, const QStringList &arguments);
int runStatusCommand(UserSession &session, const QStringList &arguments);

// `halvex-bridge name [NAME]`: shows or sets the bridge name.
int runNameCommand(UserSession &session, const QStringList &arguments);
// `halvex-bridge enable` / `disable`: the menu's "Enable Bridge" switch.
int runEnableCommand(UserSession &session, const QStringList &arguments);
int runDisableCommand(UserSession &session, const QStringList &arguments);

// `halvex-bridge detect [--json]`: one detection run, every published field
// (the token masked), whether the "mobile" agent exists, and the gateways
// seen on the local network. Exit status 0 when an installation was found
// and its gateway answers.
int runDetectCommand(UserSession &session, const QStringList &arguments);

// halvex-bridge gateway [set URL | token | reset | trust SHA256 | lan on|off] [--json]
int runGatewayCommand(UserSession &session, const QStringList &arguments);

// `halvex-bridge doctor [--json]`: checks every link the bridge needs and
// says how to mend what is broken. Exit status 0 only when the bridge can
// answer chats.
int runDoctorCommand(UserSession &session, const QStringList &arguments);

// `halvex-bridge notifications [on|off] [--json]`: shows or sets whether the
// bridge tells the desktop when a link is down. Exit 0 when notifications
// are (now) on, 1 when off, 2 on misuse.
int runNotificationsCommand(UserSession &session, const QStringList &arguments);

// `halvex-bridge credentials [use secret-service|file | recover] [--json]`:
// shows which store keeps this user's credentials and which item is where,
// moves them all to the other store (remembered for the desktop and the
// service alike), or puts back what a damaged file store set aside.
int runCredentialsCommand(UserSession &session, const QStringList &arguments);

// How the program runs when no subcommand was named.
struct LaunchOptions {
    bool headless = false;
    bool verbose = false;
};

// Reads the command line. A subcommand runs in a QCoreApplication (no widget
// stack); --help, --version and misuse are answered here. Each of those ends
// the program with the exit status returned; otherwise the options to
// launch the bridge with.
std::variant<int, LaunchOptions> dispatch(int argc, char **argv);

// The whole `halvex-bridge --help` text.
QString helpText();
// `halvex-bridge --version`: the program name, its version and the build
// number the About window shows.
QString versionText();

// Debug lines of every category of the program on.
void enableVerboseLogging();

// Parses a subcommand's own arguments with `parser` (which gets --help added
// here). Returns the exit status when the command should end at once: after
// printing its help (0), or after a clear error about its arguments (2).
std::optional<int> parseCommandArguments(QCommandLineParser &parser, const QString &commandName,
                                         const QStringList &arguments);

// Standard output and standard error, UTF-8.
QTextStream &out();
QTextStream &err();

// Whether standard input is a terminal (a person can be asked).
bool stdinIsTerminal();
// One line from standard input, without its end; nothing when input ended.
// On a terminal the prompt goes to standard error first and, for secrets,
// the terminal stops echoing (restored on every path, an interrupt too).
std::optional<QString> readLine(const QString &prompt, bool secret);

// The user's answer to a yes/no question on a terminal ("y" or "yes");
// without a terminal: no.
bool askYesNo(const QString &question);

// A secret as the windows show it: "●●●●●●●●" and its last four
// characters; empty stays empty.
QString maskSecret(const QString &secret);

} // namespace halvex::cli
