// halvex-bridge status: what the running bridge of this session reports
// about its links, then the relay account, the gateway and the pairing, one
// line each; exit status 0 only when this machine is paired. --watch
// follows the running bridge until Ctrl-C.
#include "account/bridge_requests.h"
#include "account/user_session.h"
#include "cli/account_command.h"
#include "cli/cli.h"
#include "gateway/gateway_probe.h"
#include "platform/session/process_runner.h"
#include "platform/session/single_instance.h"
#include "platform/settings.h"
#include "platform/wait_for_task.h"

#include <QCommandLineParser>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QTextStream>

#include <qcoro/qcorotask.h>

#include <unistd.h>

namespace halvex::cli {

namespace {

// Text from the bridge on a terminal: control characters escaped.
QString shown(const QJsonValue &value)
{
    return quotedForLog(value.toString(), 300);
}

// "07:39:12" today, "2026-12-07 07:39" before.
QString clockTime(const QJsonValue &value)
{
    const QDateTime time = QDateTime::fromString(value.toString(), Qt::ISODate).toLocalTime();
    if (!time.isValid())
        return QStringLiteral("?");
    if (time.date() == QDate::currentDate())
        return time.toString(QStringLiteral("HH:mm:ss"));
    return time.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString duration(qint64 seconds)
{
    if (seconds < 60)
        return QStringLiteral("%1s").arg(seconds);
    if (seconds < 3600)
        return QStringLiteral("%1m %2s").arg(seconds / 60).arg(seconds % 60);
    if (seconds < 86400)
        return QStringLiteral("%1h %2m").arg(seconds / 3600).arg(seconds % 3600 / 60);
    return QStringLiteral("%1d %2h").arg(seconds / 86400).arg(seconds % 86400 / 3600);
}

QString lastError(const QJsonObject &link)
{
    const QJsonValue error = link.value(QLatin1String("lastError"));
    return error.isString() ? QStringLiteral("last error: ") + shown(error) : QString();
}

QString withNotes(QString line, const QStringList &notes)
{
    QStringList given = notes;
    given.removeAll(QString());
    if (!given.isEmpty())
        line += QStringLiteral(" (") + given.join(QStringLiteral("; ")) + QLatin1Char(')');
    return line;
}

// The running bridge's status document, one line per link.
QStringList liveLines(const QJsonObject &document)
{
    const QJsonObject bridge = document.value(QLatin1String("bridge")).toObject();
    const QJsonObject relay = document.value(QLatin1String("relay")).toObject();
    const QJsonObject gateway = document.value(QLatin1String("gateway")).toObject();
    const QJsonObject chats = document.value(QLatin1String("chats")).toObject();
    const QJsonObject memory = document.value(QLatin1String("memorySync")).toObject();
    QStringList lines;

    const bool enabled = bridge.value(QLatin1String("enabled")).toBool();
    lines << withNotes(
        QStringLiteral("Bridge: \"%1\" %2")
            .arg(shown(bridge.value(QLatin1String("name"))),
                 enabled ? QStringLiteral("running") : QStringLiteral("switched off")),
        {shown(bridge.value(QLatin1String("mode"))),
         QStringLiteral("started %1, up %2")
             .arg(clockTime(bridge.value(QLatin1String("startedAt"))),
                  duration(bridge.value(QLatin1String("uptimeSeconds")).toInteger())),
         QStringLiteral("version %1 build %2")
             .arg(shown(bridge.value(QLatin1String("version"))), shown(bridge.value(QLatin1String("build")))),
         enabled ? QString() : QStringLiteral("halvex-bridge enable switches it on")});

    const int attempt = relay.value(QLatin1String("reconnectAttempt")).toInt();
    lines << withNotes(
        QStringLiteral("Relay link: %1 since %2")
            .arg(shown(relay.value(QLatin1String("state"))), clockTime(relay.value(QLatin1String("since")))),
        {attempt > 0 ? QStringLiteral("reconnect attempt %1").arg(attempt) : QString(), lastError(relay)});

    const QString link = gateway.value(QLatin1String("link")).toString();
    const QString linkText = link == QLatin1String("webSocket") ? QStringLiteral("WebSocket")
                             : link == QLatin1String("http")    ? QStringLiteral("HTTP")
                                                                : QStringLiteral("not reachable");
    lines << withNotes(
        QStringLiteral("Gateway link: %1 since %2").arg(linkText, clockTime(gateway.value(QLatin1String("since")))),
        {shown(gateway.value(QLatin1String("endpoint"))),
         link == QLatin1String("webSocket")
             ? QString()
             : QStringLiteral("WebSocket ") + shown(gateway.value(QLatin1String("webSocket"))),
         lastError(gateway)});

    lines << QStringLiteral("Chats: %1 answered, %2 failed, %3 in flight")
                 .arg(chats.value(QLatin1String("answered")).toInt())
                 .arg(chats.value(QLatin1String("failed")).toInt())
                 .arg(chats.value(QLatin1String("inFlight")).toInt());

    const QString state = memory.value(QLatin1String("state")).toString();
    QString memoryLine = QStringLiteral("Memory Sync: off");
    if (state == QLatin1String("waiting"))
        memoryLine = QStringLiteral("Memory Sync: on, waiting for the relay and the gateway");
    else if (state == QLatin1String("syncing"))
        memoryLine = QStringLiteral("Memory Sync: syncing now");
    else if (state == QLatin1String("scheduled"))
        memoryLine =
            QStringLiteral("Memory Sync: on, next run at %1").arg(clockTime(memory.value(QLatin1String("nextRun"))));
    lines << memoryLine;
    return lines;
}

QStringList notRunningLines()
{
    return {QStringLiteral("Bridge: not running in this session — start it with halvex-bridge --headless (or the "
                           "tray app)")};
}

// Redraws the running bridge's status on each change until Ctrl-C or the
// bridge ends.
int watch(bool json)
{
    QLocalSocket socket;
    socket.connectToServer(SingleInstance::defaultServerName());
    if (!socket.waitForConnected(2000)) {
        if (json)
            out() << "null" << Qt::endl;
        else
            out() << notRunningLines().constFirst() << Qt::endl;
        return failure;
    }
    socket.write(QByteArray(BridgeRequest::watchStatus) + '\n');
    const bool redraw = !json && ::isatty(STDOUT_FILENO) == 1;
    QEventLoop loop;
    QObject::connect(&socket, &QLocalSocket::readyRead, &loop, [&] {
        while (socket.canReadLine()) {
            const QByteArray line = socket.readLine(SingleInstance::maxAnswerLength).trimmed();
            const QJsonObject document = QJsonDocument::fromJson(line).object();
            if (document.isEmpty())
                continue;
            if (json) {
                out() << QJsonDocument(document).toJson(QJsonDocument::Compact) << Qt::endl;
                continue;
            }
            if (redraw)
                out() << "\x1b[H\x1b[2J"; // to the top of a cleared screen
            out() << liveLines(document).join(QLatin1Char('\n')) << Qt::endl;
            if (!redraw)
                out() << Qt::endl;
        }
        if (socket.bytesAvailable() > SingleInstance::maxAnswerLength)
            socket.abort();
    });
    QObject::connect(&socket, &QLocalSocket::disconnected, &loop, &QEventLoop::quit);
    loop.exec();
    err() << QStringLiteral("The bridge stopped.") << Qt::endl;
    return failure;
}

} // namespace

int runStatusCommand(UserSession &session, const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Shows what the running bridge of this session reports (its relay and gateway links, "
                       "chats and Memory Sync), then the relay account, the OpenClaw gateway and the pairing, one "
                       "line each. Exit status 0 when this machine is paired, 1 when not. With --watch, shows the "
                       "running bridge again on every change until Ctrl-C."));
    const QCommandLineOption jsonOption(QStringLiteral("json"), QStringLiteral("Print the state as JSON."));
    const QCommandLineOption watchOption(QStringLiteral("watch"),
                                         QStringLiteral("Follow the running bridge until Ctrl-C (with --json: one "
                                                        "status document per line)."));
    parser.addOptions({jsonOption, watchOption});
    const std::optional<int> done = openAccountCommand(session, parser, QStringLiteral("status"), arguments, 0);
    if (done)
        return *done;
    const bool json = parser.isSet(jsonOption);
    if (parser.isSet(watchOption))
        return watch(json);
    SingleInstance instance;
    const std::optional<QJsonObject> live = askRunningBridge(instance, BridgeRequest::status);
    const bool signedIn = session.account()->isSignedIn();
    const QString email = session.account()->accountEmail().value_or(QString());
    const std::optional<PairingResult> paired = session.pairing()->alreadyPaired();
    const GatewayTarget target = session.gatewayTarget();
    const QUrl endpoint = target.endpoint;
    const GatewayProbe probe = waitForTask(probeGateway(target));
    const bool reachable = probe.reachable;
    const QString relayHost = session.usableRelayOrigins().http.authority();

    if (json) {
        QJsonObject object{
            {QStringLiteral("running"), live ? QJsonValue(*live) : QJsonValue(QJsonValue::Null)},
            {QStringLiteral("relay"), QJsonObject{{QStringLiteral("host"), relayHost},
                                                  {QStringLiteral("signedIn"), signedIn},
                                                  {QStringLiteral("email"), email}}},
            {QStringLiteral("gateway"), QJsonObject{{QStringLiteral("url"), endpoint.toString()},
                                                    {QStringLiteral("reachable"), reachable},
                                                    {QStringLiteral("tokenStored"), !target.token.isEmpty()},
                                                    {QStringLiteral("target"), target.json()},
                                                    {QStringLiteral("probe"), probe.json()}}},
            {QStringLiteral("pairing"),
             QJsonObject{{QStringLiteral("paired"), paired.has_value()},
                         {QStringLiteral("bridgeName"), paired ? paired->bridgeName : QString()},
                         {QStringLiteral("bridgeId"), paired ? paired->bridgeId : QString()}}},
        };
        out() << QJsonDocument(object).toJson(QJsonDocument::Compact) << Qt::endl;
    } else {
        out() << (live ? liveLines(*live) : notRunningLines()).join(QLatin1Char('\n')) << Qt::endl;
        if (signedIn)
            out() << QStringLiteral("Relay: signed in as %1 (%2)")
                         .arg(email.isEmpty() ? QStringLiteral("?") : quotedForLog(email, 320),
                              quotedForLog(relayHost));
        else
            out() << QStringLiteral("Relay: not signed in (%1)").arg(quotedForLog(relayHost));
        out() << Qt::endl;
        out() << QStringLiteral("Gateway: %1 %2")
                     .arg(quotedForLog(endpoint.toString()),
                          reachable ? QStringLiteral("reachable") : QStringLiteral("not reachable"));
        if (probe.chatEndpoint != ChatEndpointState::unknown)
            out() << (probe.chatEndpoint == ChatEndpointState::on ? QStringLiteral(" (HTTP chat endpoint on)")
                                                                  : QStringLiteral(" (HTTP chat endpoint off)"));
        else if (!probe.problem.isEmpty())
            out() << QStringLiteral(": ") << shown(probe.problem);
        if (target.token.isEmpty() && !target.authDisabled)
            out() << QStringLiteral(" (no gateway token)");
        if (probe.mobileAgent == false)
            out() << QStringLiteral(" (no \"%1\" agent: halvex-bridge models set REF)")
                         .arg(GatewayTarget::mobileAgentId());
        out() << Qt::endl;
        if (paired) {
            out() << QStringLiteral("Pairing: paired as \"%1\"").arg(quotedForLog(paired->bridgeName, 200));
            if (!paired->bridgeId.isEmpty())
                out() << QStringLiteral(" (bridge %1)").arg(quotedForLog(paired->bridgeId, 80));
        } else {
            out() << QStringLiteral("Pairing: not paired — run halvex-bridge login, then halvex-bridge pair");
        }
        out() << Qt::endl;
    }
    return paired ? ExitStatus::success : failure;
}

} // namespace halvex::cli
