// idle_rss: how much memory the headless bridge holds, measured on the real
// program (`halvex-bridge --headless`, as built next to this one) from
// /proc/<pid>/status: resident set (VmRSS) and its peak (VmHWM).
//
// The bridge gets a scratch home with a bridge token in the file store (see
// headless_bridge.h; the figures hold no TLS library, which a wss:// relay
// adds) and talks to loopback stand-ins that this
// process plays: the relay, and an OpenClaw gateway over HTTP. Figures are
// taken once the bridge is connected and has settled, then around a burst
// of C concurrent chats of M streamed fragments each.
#include "headless_bridge.h"
#include "http_stand_in.h"
#include "process_probe.h"
#include "relay_stand_in.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <functional>

using namespace halvex;
using namespace halvex::test;

namespace {

const QString token = QStringLiteral("idle-rss-bridge-token");

struct Memory {
    double rssMb = -1;
    double peakMb = -1;
    double anonMb = -1; // RssAnon: what is the process's alone
    double pssMb = -1;  // shared library pages split among their users
};

// The figures of a process, in MB (1024 kB).
Memory memoryOf(qint64 pid)
{
    Memory memory;
    for (const QString &file : {QStringLiteral("status"), QStringLiteral("smaps_rollup")}) {
        QFile status(QStringLiteral("/proc/%1/%2").arg(pid).arg(file));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : status.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() < 2)
                continue;
            const double mb = fields.at(1).toDouble() / 1024.0;
            if (fields.at(0) == "VmRSS:")
                memory.rssMb = mb;
            else if (fields.at(0) == "VmHWM:")
                memory.peakMb = mb;
            else if (fields.at(0) == "RssAnon:")
                memory.anonMb = mb;
            else if (fields.at(0) == "Pss:")
                memory.pssMb = mb;
        }
    }
    return memory;
}

// Resident kB per mapped file (anonymous memory as "[anon]"), largest first.
QList<std::pair<qint64, QString>> residentByFile(qint64 pid)
{
    QFile smaps(QStringLiteral("/proc/%1/smaps").arg(pid));
    QHash<QString, qint64> kb;
    if (smaps.open(QIODevice::ReadOnly)) {
        QString current;
        for (const QByteArray &line : smaps.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.isEmpty() || fields.first().isEmpty())
                continue;
            if (fields.first().contains('-') && !fields.first().endsWith(':')) {
                // A mapping's header: range, perms, offset, device, inode[, path].
                current = fields.size() >= 6 ? QString::fromUtf8(fields.mid(5).join(' ')) : QStringLiteral("[anon]");
            } else if (fields.first() == "Rss:" && fields.size() >= 2) {
                kb[current] += fields.at(1).toLongLong();
            }
        }
    }
    QList<std::pair<qint64, QString>> list;
    for (auto it = kb.cbegin(); it != kb.cend(); ++it)
        list.append({it.value(), it.key()});
    std::sort(list.begin(), list.end(), std::greater<>());
    return list;
}

using bench::pump;
using bench::pumpUntil;

int fail(const char *what)
{
    std::fprintf(stderr, "idle_rss: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Resident memory of the headless bridge, idle and under a burst."));
    parser.addHelpOption();
    const QCommandLineOption program(QStringLiteral("program"), QStringLiteral("The halvex-bridge to measure."),
                                     QStringLiteral("path"), QStringLiteral(HALVEX_BRIDGE_PROGRAM));
    const QCommandLineOption settle(QStringLiteral("settle"), QStringLiteral("Seconds to let it settle (20)."),
                                    QStringLiteral("s"), QStringLiteral("20"));
    const QCommandLineOption chats(QStringLiteral("chats"), QStringLiteral("Concurrent chats (10)."),
                                   QStringLiteral("n"), QStringLiteral("10"));
    const QCommandLineOption fragments(QStringLiteral("fragments"), QStringLiteral("Fragments per chat (2000)."),
                                       QStringLiteral("n"), QStringLiteral("2000"));
    const QCommandLineOption maps(QStringLiteral("maps"),
                                  QStringLiteral("Also print the idle resident memory of each mapped file."));
    parser.addOptions({program, settle, chats, fragments, maps});
    parser.process(app);
    const int settleMs = parser.value(settle).toInt() * 1000;
    const int chatCount = parser.value(chats).toInt();
    const int fragmentCount = parser.value(fragments).toInt();

    RelayStandIn relay;
    HttpStandIn gateway;
    relay.acceptToken(token);
    if (!relay.start() || !gateway.listen())
        return fail("cannot start the stand-ins");
    // The health check the bridge asks for before it counts the gateway as
    // there, answered as OpenClaw answers it.
    gateway.setDefaultResponse(QByteArrayLiteral("/healthz"),
                               ScriptedResponse::json(200, QByteArrayLiteral("{\"ok\":true,\"status\":\"live\"}")));
    QStringList pieces;
    for (int k = 0; k < fragmentCount; ++k)
        pieces << QStringLiteral("w%1 ").arg(k);
    gateway.setDefaultResponse(QByteArrayLiteral("/v1/chat/completions"),
                               ScriptedResponse::eventStream(sse::chatStream(pieces)));

    bench::HeadlessBridge bridge;
    if (!bridge.prepare(token, gateway.url()))
        return fail("cannot write the scratch session");
    if (!bridge.start(parser.value(program), relay.origin()))
        return fail("cannot start halvex-bridge --headless");
    const qint64 pid = bridge.pid();

    if (!relay.waitForType(QStringLiteral("agent_card"), 60000))
        return fail("the bridge did not connect to the relay stand-in");
    if (!pumpUntil([&gateway] { return !gateway.requestsTo("/healthz").isEmpty(); }, 60000))
        return fail("the bridge did not probe the gateway stand-in");
    pump(settleMs);
    const Memory idle = memoryOf(pid);
    std::printf("headless idle (after %d s): VmRSS %.2f MB, VmHWM %.2f MB (RssAnon %.1f MB, Pss %.1f MB)\n",
                settleMs / 1000, idle.rssMb, idle.peakMb, idle.anonMb, idle.pssMb);
    if (parser.isSet(maps)) {
        for (const auto &[kb, file] : residentByFile(pid))
            std::printf("  %7.2f MB  %s\n", double(kb) / 1024.0, qUtf8Printable(file));
    }

    // The burst, with the peak counted from its start.
    bench::resetPeakRss(pid);
    relay.clearRecords();
    for (int chat = 0; chat < chatCount; ++chat) {
        relay.sendJson({{QStringLiteral("type"), QStringLiteral("chat_message")},
                        {QStringLiteral("id"), QStringLiteral("burst-%1").arg(chat)},
                        {QStringLiteral("appUserId"), QStringLiteral("bench-user")},
                        {QStringLiteral("content"), QStringLiteral("Say something long.")}});
    }
    const auto ended = [&relay] {
        int count = 0;
        for (const RelayStandIn::Frame &frame : relay.frames()) {
            if (frame.payload.contains("\"chat_stream_end\"") || frame.payload.contains("\"chat_response\""))
                ++count;
        }
        return count;
    };
    if (!pumpUntil([&] { return ended() >= chatCount; }, 300000))
        return fail("the burst did not finish");
    const Memory burst = memoryOf(pid);
    pump(settleMs);
    const Memory after = memoryOf(pid);
    std::printf("burst %d x %d fragments: peak VmHWM %.2f MB; VmRSS %.2f MB %d s later\n", chatCount, fragmentCount,
                burst.peakMb, after.rssMb, settleMs / 1000);
    return 0;
}
