// halvex-bridge login: signs in to (or creates) the relay account, or runs
// the password reset, from a terminal or from standard input.
#include "account/user_session.h"
#include "cli/account_command.h"
#include "cli/cli.h"
#include "platform/characters.h"
#include "platform/wait_for_task.h"

#include <QCommandLineParser>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <qcoro/qcorotask.h>

#include <iostream>
#include <string>

#include <csignal>

#include <termios.h>
#include <unistd.h>

namespace halvex::cli {

namespace {

// The terminal's settings while its echo is off, so that an interrupt in
// the middle of the password prompt does not leave the terminal mute.
termios g_savedTerminal{};
volatile std::sig_atomic_t g_echoOff = 0;

extern "C" void restoreEchoAndRaise(int signalNumber)
{
    if (g_echoOff)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

// The line, or an error message and nothing when input ended or it was empty.
std::optional<QString> ask(const QString &prompt, bool secret, const QString &what)
{
    std::optional<QString> value = readLine(prompt, secret);
    if (value && !secret)
        value = value->trimmed();
    if (!value || value->isEmpty()) {
        err() << QStringLiteral("No %1 given.").arg(what) << Qt::endl;
        return std::nullopt;
    }
    return value;
}

int report(const Result<Done> &result, const QString &success, bool json, const QString &email)
{
    if (json) {
        QJsonObject object{{QStringLiteral("ok"), result.ok()}, {QStringLiteral("email"), email}};
        if (!result)
            object.insert(QStringLiteral("error"), result.error().description());
        out() << QJsonDocument(object).toJson(QJsonDocument::Compact) << Qt::endl;
    } else if (result) {
        out() << success << Qt::endl;
    }
    if (!result) {
        if (!json)
            err() << quotedForLog(result.error().description(), 1000) << Qt::endl;
        return failure;
    }
    return ExitStatus::success;
}

int reportMessage(const Result<MessageResponse> &result, bool json)
{
    if (json) {
        QJsonObject object{{QStringLiteral("ok"), result.ok()}};
        object.insert(result ? QStringLiteral("message") : QStringLiteral("error"),
                      result ? result->message : result.error().description());
        out() << QJsonDocument(object).toJson(QJsonDocument::Compact) << Qt::endl;
    } else if (result) {
        out() << quotedForLog(result->message, 1000) << Qt::endl;
    } else {
        err() << quotedForLog(result.error().description(), 1000) << Qt::endl;
    }
    return result ? ExitStatus::success : failure;
}

} // namespace

bool stdinIsTerminal()
{
    return ::isatty(STDIN_FILENO) == 1;
}

// One line from standard input; nothing at its end. On a terminal the prompt
// goes to standard error first and, for secrets, the terminal stops echoing.
std::optional<QString> readLine(const QString &prompt, bool secret)
{
    const bool terminal = stdinIsTerminal();
    if (terminal) {
        err() << prompt;
        err().flush();
    }
    termios saved{};
    const bool hideInput = terminal && secret && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (hideInput) {
        g_savedTerminal = saved;
        g_echoOff = 1;
        for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            std::signal(signalNumber, restoreEchoAndRaise);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    const bool gotLine = bool(std::getline(std::cin, line));
    if (hideInput) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        g_echoOff = 0;
        for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            std::signal(signalNumber, SIG_DFL);
    }
    if (!gotLine)
        return std::nullopt;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return QString::fromStdString(line);
}

int runLoginCommand(UserSession &session, const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Signs in to your Halvex account. Asks for the e-mail address (unless given) and the "
                       "password on the terminal without showing it, or reads them, one per line, from "
                       "standard input."));
    parser.addPositionalArgument(QStringLiteral("email"), QStringLiteral("The account's e-mail address."),
                                 QStringLiteral("[EMAIL]"));
    const QCommandLineOption createOption(QStringLiteral("create"), QStringLiteral("Create the account first."));
    const QCommandLineOption forgotOption(QStringLiteral("forgot-password"),
                                          QStringLiteral("Have a password reset code sent to the address."));
    const QCommandLineOption resetOption(
        QStringLiteral("reset-password"),
        QStringLiteral("Set a new password with the reset code (asks for the code and the new password)."));
    const QCommandLineOption jsonOption(QStringLiteral("json"), QStringLiteral("Print the outcome as JSON."));
    parser.addOptions({createOption, forgotOption, resetOption, jsonOption});
    const std::optional<int> done = openAccountCommand(
        session, parser, QStringLiteral("login"), arguments, 1, [&](const QCommandLineParser &given) {
            const int modes =
                int(given.isSet(createOption)) + int(given.isSet(forgotOption)) + int(given.isSet(resetOption));
            return modes > 1 ? QStringLiteral("Usage: halvex-bridge login [--create | --forgot-password | "
                                              "--reset-password] [--json] [EMAIL]")
                             : QString();
        });
    if (done)
        return *done;
    const QStringList positional = parser.positionalArguments();
    const bool json = parser.isSet(jsonOption);

    std::optional<QString> email = positional.isEmpty()
                                       ? ask(QStringLiteral("E-mail: "), false, QStringLiteral("e-mail address"))
                                       : std::optional<QString>(positional.first().trimmed());
    if (!email || email->isEmpty())
        return failure;

    if (parser.isSet(forgotOption))
        return reportMessage(waitForTask(session.auth()->forgotPassword(*email)), json);
    if (parser.isSet(resetOption)) {
        const std::optional<QString> code = ask(QStringLiteral("Reset code: "), false, QStringLiteral("reset code"));
        if (!code)
            return failure;
        const std::optional<QString> password = ask(QStringLiteral("New password: "), true, QStringLiteral("password"));
        if (!password)
            return failure;
        return reportMessage(waitForTask(session.auth()->resetPassword(*email, *code, *password)), json);
    }

    const std::optional<QString> password = ask(QStringLiteral("Password: "), true, QStringLiteral("password"));
    if (!password)
        return failure;
    if (parser.isSet(createOption)) {
        return report(waitForTask(session.account()->createAccount(*email, *password)),
                      QStringLiteral("Created the account %1 and signed in.").arg(*email), json, *email);
    }
    return report(waitForTask(session.account()->signIn(*email, *password)),
                  QStringLiteral("Signed in as %1.").arg(*email), json, *email);
}

} // namespace halvex::cli
