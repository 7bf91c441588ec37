#include "cli/memory_command.h"

#include "account/user_session.h"
#include "cli/cli.h"
#include "memory/memory_relay_client.h"
#include "memory/memory_sync_service.h"
#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"
#include "platform/session/process_runner.h"
#include "platform/settings.h"
#include "platform/wait_for_task.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <qcoro/qcorotask.h>

namespace halvex::cli {

namespace {

// Relay text on a terminal: control characters (escape sequences) escaped.
QString shown(const QString &text)
{
    return quotedForLog(text, 1000);
}

void printSwitch(QTextStream &out, bool enabled, bool json)
{
    if (json)
        out << QJsonDocument(QJsonObject{{QStringLiteral("enabled"), enabled}}).toJson(QJsonDocument::Compact) << '\n';
    else
        out << "Memory Sync: " << (enabled ? "on" : "off") << '\n';
}

void printList(QTextStream &out, const QString &title, const QStringList &entries)
{
    out << title << ":" << (entries.isEmpty() ? " (none)" : "") << '\n';
    for (const QString &entry : entries)
        out << "  - " << shown(entry) << '\n';
}

int show(const MemoryCommandContext &context, bool json, QTextStream &out, QTextStream &err)
{
    MemoryRelayClient relay(context.credentials(), context.relayOrigin, QString::fromLatin1(kMemoryAvatarId));
    const Result<SoulFileResponse> response = waitForTask(relay.fetchSoulFile());
    if (!response) {
        err << "Could not read the soul file: " << shown(response.error().description()) << '\n';
        return failure;
    }
    if (json) {
        QJsonObject object{{QStringLiteral("found"), response->data.has_value()}};
        if (response->data)
            object.insert(QStringLiteral("data"), response->data->toJson());
        out << QJsonDocument(object).toJson(QJsonDocument::Indented);
        return success;
    }
    if (!response->data) {
        out << "No soul file stored yet.\n";
        return success;
    }
    const SoulFile &soul = *response->data;
    out << "Soul file " << shown(soul.avatarId) << " (version " << shown(soul.version) << ")";
    if (soul.relationship.lastUpdated)
        out << ", updated " << shown(*soul.relationship.lastUpdated);
    out << '\n';
    if (soul.relationship.userName)
        out << "User name: " << shown(*soul.relationship.userName) << '\n';
    printList(out, QStringLiteral("Facts"), soul.relationship.facts);
    printList(out, QStringLiteral("Preferences"), soul.relationship.preferences);
    QStringList episodes;
    for (const Episode &episode : soul.episodes)
        episodes.append(episode.date + QStringLiteral("  ") + episode.summary);
    printList(out, QStringLiteral("Episodes"), episodes);
    return success;
}

} // namespace

int runMemoryCommand(const QStringList &arguments, const MemoryCommandContext &context, QTextStream &out,
                     QTextStream &err)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Memory Sync: keeps the soul file on the relay up to date with what the agent learnt.\n"
                       "  status  whether Memory Sync is on (exit 0) or off (exit 1)\n"
                       "  on      switch it on after its cost notice and a confirmation (--yes without a\n"
                       "          terminal); a running bridge starts syncing at its next gateway check\n"
                       "  off     switch it off; a running bridge stops syncing\n"
                       "  show    print the soul file the relay keeps"));
    parser.addPositionalArgument(QStringLiteral("action"), QStringLiteral("status, on, off or show"),
                                 QStringLiteral("[status|on|off|show]"));
    const QCommandLineOption jsonOption(QStringLiteral("json"), QStringLiteral("Print JSON."));
    const QCommandLineOption yesOption(QStringLiteral("yes"),
                                       QStringLiteral("Switch on without asking (for scripts)."));
    parser.addOptions({jsonOption, yesOption});
    if (const std::optional<int> done = parseCommandArguments(parser, QStringLiteral("memory"), arguments))
        return *done;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1) {
        err << "Too many arguments.\n";
        return misuse;
    }
    const QString action = positional.value(0, QStringLiteral("status"));
    const bool json = parser.isSet(jsonOption);

    if (action == QLatin1String("status")) {
        const bool enabled = context.settings->boolean(SettingsKey::memorySyncEnabled, false);
        printSwitch(out, enabled, json);
        return enabled ? success : failure;
    }
    if (action == QLatin1String("on") || action == QLatin1String("off")) {
        const bool enabled = action == QLatin1String("on");
        if (enabled && !context.settings->boolean(SettingsKey::memorySyncEnabled, false)) {
            // What the menu's confirmation says, where JSON readers do not trip on it.
            QTextStream &notice = json ? err : out;
            notice << MemorySyncService::costNotice() << "\n\n";
            notice.flush();
            if (!parser.isSet(yesOption)) {
                if (!context.confirm && !stdinIsTerminal()) {
                    err << "Memory Sync stays off: confirm with --yes where no terminal can answer.\n";
                    return misuse;
                }
                const QString question = QStringLiteral("Enable Memory Sync?");
                if (!(context.confirm ? context.confirm(question) : askYesNo(question))) {
                    err << "Memory Sync stays off.\n";
                    return failure;
                }
            }
        }
        context.settings->setBoolean(SettingsKey::memorySyncEnabled, enabled);
        printSwitch(out, enabled, json);
        return success;
    }
    if (action == QLatin1String("show"))
        return show(context, json, out, err);
    err << "Unknown action \"" << shown(action) << "\"; use status, on, off or show.\n";
    return misuse;
}

int runMemoryCommand(UserSession &session, const QStringList &arguments)
{
    const auto openCredentialStore = [&session] { return session.credentials(); };
    return runMemoryCommand(
        arguments, MemoryCommandContext{session.settings(), openCredentialStore, relayHttpOrigin(), {}}, out(), err());
}

} // namespace halvex::cli
