// halvex-bridge name / enable / disable: what the account settings window
// and the menu's "Enable Bridge" set, for the running bridge of this session
// at once, else for its next start.
#include "account/bridge_name.h"
#include "account/bridge_requests.h"
#include "account/user_session.h"
#include "cli/cli.h"
#include "platform/session/process_runner.h"
#include "platform/session/single_instance.h"
#include "platform/settings.h"

#include <QCommandLineParser>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

namespace halvex::cli {

namespace {

bool hasControlCharacters(const QString &text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.category() == QChar::Other_Control; });
}

// The running bridge's answer to a request, or nothing when none runs. A
// refusal is printed and ends the command with `status`.
std::optional<QJsonObject> askBridge(const QByteArray &request, int *status)
{
    SingleInstance instance;
    std::optional<QJsonObject> answer = askRunningBridge(instance, request);
    if (answer && answer->contains(QLatin1String("error"))) {
        err() << QStringLiteral("The running bridge refused: %1")
                     .arg(quotedForLog(answer->value(QLatin1String("error")).toString()))
              << Qt::endl;
        *status = failure;
    }
    return answer;
}

int switchBridge(UserSession &session, const QStringList &arguments, bool enabled)
{
    const QString command = enabled ? QStringLiteral("enable") : QStringLiteral("disable");
    QCommandLineParser parser;
    parser.setApplicationDescription(
        enabled ? QStringLiteral("Switches the bridge on, as the menu's \"Enable Bridge\" does: a running bridge "
                                 "connects now; otherwise the next start connects. The choice is kept.")
                : QStringLiteral("Switches the bridge off, as the menu's \"Enable Bridge\" does: a running bridge "
                                 "closes its links and waits; otherwise the next start waits. The choice is kept."));
    if (const std::optional<int> done = parseCommandArguments(parser, command, arguments))
        return *done;
    if (!parser.positionalArguments().isEmpty()) {
        err() << QStringLiteral("%1 takes no arguments.").arg(command) << Qt::endl;
        return misuse;
    }
    int status = success;
    const std::optional<QJsonObject> answer = askBridge(
        bridgeRequestLine(BridgeRequest::setEnabled, enabled ? QStringLiteral("on") : QStringLiteral("off")), &status);
    if (status != success)
        return status;
    if (answer) {
        out() << (answer->value(QLatin1String("enabled")).toBool()
                      ? QStringLiteral("Bridge: on. The running bridge connects now.")
                      : QStringLiteral("Bridge: off. The running bridge closed its links."))
              << Qt::endl;
        return success;
    }
    // No bridge runs: its next start reads the switch.
    session.settings()->setBoolean(SettingsKey::bridgeEnabled, enabled);
    out() << (enabled ? QStringLiteral("Bridge: on. It connects when it starts.")
                      : QStringLiteral("Bridge: off. It waits without connecting when it starts."))
          << Qt::endl;
    return success;
}

} // namespace

int runNameCommand(UserSession &session, const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Shows the bridge name the phone sees, or sets it to NAME (at most %1 characters; an empty "
                       "NAME goes back to this machine's name). A running bridge announces a new name at once.")
            .arg(maxBridgeNameLength));
    parser.addPositionalArgument(QStringLiteral("name"), QStringLiteral("The new bridge name."),
                                 QStringLiteral("[NAME]"));
    const QCommandLineOption jsonOption(QStringLiteral("json"), QStringLiteral("Print JSON."));
    parser.addOption(jsonOption);
    if (const std::optional<int> done = parseCommandArguments(parser, QStringLiteral("name"), arguments))
        return *done;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1) {
        err() << QStringLiteral("Too many arguments; quote a name with spaces: halvex-bridge name \"Living Room\"")
              << Qt::endl;
        return misuse;
    }
    const bool setting = !positional.isEmpty();
    const QString entered = setting ? enteredBridgeName(positional.first()) : QString();
    if (setting && hasControlCharacters(positional.first())) {
        err() << QStringLiteral("A bridge name cannot hold control characters.") << Qt::endl;
        return misuse;
    }

    int status = success;
    std::optional<QJsonObject> answer = askBridge(setting ? bridgeRequestLine(BridgeRequest::setBridgeName, entered)
                                                          : QByteArray(BridgeRequest::status),
                                                  &status);
    if (status != success)
        return status;
    const bool running = answer.has_value();
    QString name;
    if (running) {
        name = setting ? answer->value(QLatin1String("bridgeName")).toString()
                       : answer->value(QLatin1String("bridge")).toObject().value(QLatin1String("name")).toString();
    } else {
        if (setting)
            storeBridgeName(*session.settings(), entered);
        name = storedBridgeName(*session.settings());
    }

    if (parser.isSet(jsonOption)) {
        out() << QJsonDocument(QJsonObject{{QStringLiteral("bridgeName"), name}, {QStringLiteral("running"), running}})
                     .toJson(QJsonDocument::Compact)
              << Qt::endl;
        return success;
    }
    if (setting && entered != positional.first())
        out() << QStringLiteral("Cut to %1 characters.").arg(maxBridgeNameLength) << Qt::endl;
    out() << QStringLiteral("Bridge name: \"%1\"").arg(quotedForLog(name));
    if (setting)
        out() << (running ? QStringLiteral(". The running bridge announced it.")
                          : QStringLiteral(". The bridge announces it when it starts."));
    out() << Qt::endl;
    return success;
}

int runEnableCommand(UserSession &session, const QStringList &arguments)
{
    return switchBridge(session, arguments, true);
}

int runDisableCommand(UserSession &session, const QStringList &arguments)
{
    return switchBridge(session, arguments, false);
}

} // namespace halvex::cli
