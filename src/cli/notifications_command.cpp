#include "account/user_session.h"
#include "cli/cli.h"
#include "platform/settings.h"

#include <QCommandLineParser>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

namespace halvex::cli {

int runNotificationsCommand(UserSession &session, const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Shows or sets whether the bridge notifies the desktop when the relay link is down for two "
                       "minutes, the gateway stops answering, or a pairing waits for approval."));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Print the state as JSON."));
    parser.addOption(json);
    parser.addPositionalArgument(QStringLiteral("state"), QStringLiteral("on or off; none shows the state."),
                                 QStringLiteral("[on|off]"));
    if (const std::optional<int> status = parseCommandArguments(parser, QStringLiteral("notifications"), arguments))
        return *status;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1 || (positional.size() == 1 && positional.constFirst() != QLatin1String("on") &&
                                  positional.constFirst() != QLatin1String("off"))) {
        err() << "halvex-bridge notifications: expected on or off, got '" << positional.join(QLatin1Char(' ')) << "'\n";
        return misuse;
    }

    Settings *settings = session.settings();
    if (positional.size() == 1)
        settings->setBoolean(SettingsKey::notificationsEnabled, positional.constFirst() == QLatin1String("on"));
    const bool enabled = settings->boolean(SettingsKey::notificationsEnabled, true);
    if (parser.isSet(json))
        out() << QJsonDocument(QJsonObject{{QStringLiteral("notifications"), enabled}}).toJson(QJsonDocument::Compact)
              << "\n";
    else
        out() << "Notifications: " << (enabled ? "on" : "off") << "\n";
    return enabled ? success : failure;
}

} // namespace halvex::cli
