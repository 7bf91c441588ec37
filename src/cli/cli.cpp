#include "cli/cli.h"

#include "account/user_session.h"
#include "platform/characters.h"
#include "platform/deployment.h"
#include "platform/logging.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTextStream>

#include <cstdio>

namespace halvex::cli {

namespace {

const QString programName = QStringLiteral("halvex-bridge");

// Qt's own options for the window system; QApplication reads them later.
const QStringList qtOptionsWithValue = {QStringLiteral("-platform"), QStringLiteral("-display"),
                                        QStringLiteral("-style"), QStringLiteral("-qwindowgeometry")};

struct TopLevelOptions {
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help and leave.")};
    QCommandLineOption version{{QStringLiteral("v"), QStringLiteral("version")},
                               QStringLiteral("Show the version and leave.")};
    QCommandLineOption headless{QStringLiteral("headless"),
                                QStringLiteral("Run the bridge without tray icon or windows (servers, the "
                                               "systemd user service). Stops on SIGINT or SIGTERM.")};
    QCommandLineOption verbose{QStringLiteral("verbose"), QStringLiteral("Also log debug lines.")};

    void addTo(QCommandLineParser &parser) const
    {
        parser.addOptions({help, version, headless, verbose});
        parser.addPositionalArgument(QStringLiteral("command"),
                                     QStringLiteral("A command (below); without one the bridge runs."),
                                     QStringLiteral("[command [arguments]]"));
    }
};

QString commandsSection()
{
    qsizetype width = 0;
    for (const Command &command : commands())
        width = std::max(width, command.name.size());
    QString text = QStringLiteral("Commands:\n");
    for (const Command &command : commands())
        text += QStringLiteral("  ") + command.name.leftJustified(width + 2) + command.summary + QLatin1Char('\n');
    text += QStringLiteral("\nRun 'halvex-bridge <command> --help' for the options of a command.\n");
    return text;
}

// QCommandLineParser names the program after the path it was started by;
// the help names it as users type it.
QString helpNaming(const QCommandLineParser &parser, const QString &invocation)
{
    QString text;
    if (QCoreApplication::instance()) {
        text = parser.helpText();
    } else {
        int argc = 1;
        char name[] = "halvex-bridge";
        char *argv[] = {name, nullptr};
        QCoreApplication app(argc, argv);
        text = parser.helpText();
    }
    const qsizetype lineEnd = text.indexOf(QLatin1Char('\n'));
    const QString usage = text.left(lineEnd);
    const qsizetype optionsAt = usage.indexOf(QLatin1String(" [options]"));
    if (usage.startsWith(QLatin1String("Usage: ")) && optionsAt > 0)
        text.replace(7, optionsAt - 7, invocation);
    return text;
}

int runCommand(const Command &command, int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(programName);
    QCoreApplication::setApplicationVersion(appShortVersion());
    installLogFormat();
    UserSession session;
    const int status = command.run(session, QCoreApplication::arguments().mid(2));
    out().flush();
    err().flush();
    return status;
}

int misuseError(const QString &message)
{
    err() << programName << ": " << message << "\n"
          << "Run '" << programName << " --help' for the commands and options.\n";
    err().flush();
    return misuse;
}

} // namespace

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

QString maskSecret(const QString &secret)
{
    return maskedSecret(secret);
}

QString versionText()
{
    return programName + QLatin1Char(' ') + appShortVersion() + QStringLiteral(" (build ") + appBuildVersion() +
           QStringLiteral(")\n");
}

bool askYesNo(const QString &question)
{
    if (!stdinIsTerminal())
        return false;
    const std::optional<QString> answer = readLine(question + QStringLiteral(" [y/N] "), false);
    return answer && (answer->trimmed().compare(QLatin1String("y"), Qt::CaseInsensitive) == 0 ||
                      answer->trimmed().compare(QLatin1String("yes"), Qt::CaseInsensitive) == 0);
}

QString helpText()
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Halvex Bridge links the Halvex companion apps, through the Halvex relay, to the OpenClaw "
                       "gateway on this machine or network. Without a command it runs the bridge with a tray icon "
                       "(or headless where there is no tray)."));
    TopLevelOptions options;
    options.addTo(parser);
    return helpNaming(parser, programName) + QLatin1Char('\n') + commandsSection();
}

void enableVerboseLogging()
{
    QLoggingCategory::setFilterRules(appId() + QStringLiteral(".*.debug=true"));
}

std::optional<int> parseCommandArguments(QCommandLineParser &parser, const QString &commandName,
                                         const QStringList &arguments)
{
    const QCommandLineOption help = parser.addHelpOption();
    if (!parser.parse(QStringList{programName + QLatin1Char(' ') + commandName} + arguments)) {
        err() << programName << ' ' << commandName << ": " << parser.errorText() << "\n"
              << "Run '" << programName << ' ' << commandName << " --help' for its options.\n";
        err().flush();
        return misuse;
    }
    if (parser.isSet(help)) {
        out() << helpNaming(parser, programName + QLatin1Char(' ') + commandName);
        out().flush();
        return success;
    }
    return std::nullopt;
}

std::variant<int, LaunchOptions> dispatch(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    if (arguments.size() >= 2) {
        for (const Command &command : commands()) {
            if (command.name == arguments.at(1))
                return runCommand(command, argc, argv);
        }
    }

    // Qt's window-system options pass through to QApplication.
    QStringList ours{arguments.value(0, programName)};
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (qtOptionsWithValue.contains(arguments.at(i)) && i + 1 < arguments.size()) {
            ++i;
            continue;
        }
        ours << arguments.at(i);
    }

    QCommandLineParser parser;
    TopLevelOptions options;
    options.addTo(parser);
    if (!parser.parse(ours))
        return misuseError(parser.errorText());
    if (parser.isSet(options.help)) {
        out() << helpText();
        out().flush();
        return success;
    }
    if (parser.isSet(options.version)) {
        out() << versionText();
        out().flush();
        return success;
    }
    if (!parser.positionalArguments().isEmpty())
        return misuseError(QStringLiteral("Unknown command '%1'.").arg(parser.positionalArguments().constFirst()));

    LaunchOptions launch;
    launch.headless = parser.isSet(options.headless);
    launch.verbose = parser.isSet(options.verbose);
    return launch;
}

} // namespace halvex::cli
