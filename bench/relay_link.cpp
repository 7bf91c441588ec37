// relay_link: what streamed answers cost on the relay link, with the relay
// taking permessage-deflate and declining it, against a plain Node.js
// bridge on the npm `ws` package under the same load.
//
// The relay is the npm `ws` server (tests/support/ws_relay_peer.js), which
// counts the bytes it reads from the link. The load is C chats (default 2)
// of A-character answers (200, 4,000 and 20,000 in turn, or the second
// argument) in 8-character fragments, interleaved, one chat_stream_chunk per
// fragment (each carrying its delta and the whole answer so far) and one
// chat_stream_end per chat, the event loop turning between two fragments as
// when they come from a gateway. Our side is the bridge's own relay path: a
// chat's StreamChunkWriter and the relay link's WebSocketClient. The Node
// side is bench/node_bridge_load.js.
//
// Printed per answer length: the bytes on the link as a multiple of the
// answers' bytes, the CPU time per fragment of the sending process, the peak
// of the link's deflate state, and the peak resident memory of each process.
#include "node_relay_peer.h"
#include "platform/net/web_socket_client.h"
#include "process_probe.h"
#include "relay/relay_message.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>

#include <cstdio>
#include <ctime>
#include <unistd.h>
#include <vector>

using namespace halvex;
using namespace halvex::test;

namespace {

constexpr int kFragmentChars = 8;
constexpr int kWaitMs = 120000;

QString fragmentText(int k)
{
    return QStringLiteral("w%1 ").arg(k, kFragmentChars - 2, 10, QLatin1Char('0'));
}

double processCpuUs()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e6 + double(now.tv_nsec) / 1e3;
}

struct Figures {
    bool ok = false;
    bool deflate = false; // the relay took the extension
    qint64 wireBytes = 0; // read by the relay for the load
    double cpuUs = 0;     // per fragment
    qint64 deflatePeak = -1;
    qint64 peakRssKb = -1;
};

bool waitUntil(const std::function<bool()> &done)
{
    QElapsedTimer wait;
    wait.start();
    while (!done() && wait.elapsed() < kWaitMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    return done();
}

Figures ours(bool relayDeflates, int chats, int answerChars)
{
    Figures out;
    NodeRelayPeer relay({{QStringLiteral("perMessageDeflate"), relayDeflates}, {QStringLiteral("echo"), false}});
    WebSocketClient client;
    client.setPerMessageDeflate(true);
    QList<QByteArray> received;
    QObject::connect(&client, &WebSocketClient::textReceived, &client,
                     [&received](const QByteArray &utf8) { received << utf8; });
    client.open(relay.url());
    if (!waitUntil([&] { return client.isOpen(); }))
        return out;
    out.deflate = client.perMessageDeflate().has_value();
    // What the relay has read so far: it answers "!stats" after all before it.
    const auto wireBytes = [&] {
        received.clear();
        client.sendText("!stats");
        if (!waitUntil([&] { return !received.isEmpty(); }))
            return qint64(-1);
        return QJsonDocument::fromJson(received.last()).object().value(QLatin1String("wireBytes")).toInteger();
    };
    const qint64 before = wireBytes(); // the upgrade is not the answers' cost

    std::vector<RelayOutbound::StreamChunkWriter> writers(static_cast<size_t>(chats));
    std::vector<QString> texts(static_cast<size_t>(chats));
    const int fragments = answerChars / kFragmentChars;
    const QString user = QStringLiteral("bench-user");
    const double start = processCpuUs();
    for (int k = 0; k < fragments; ++k) {
        for (int chat = 0; chat < chats; ++chat) {
            const QString delta = fragmentText(k);
            texts[size_t(chat)] += delta;
            client.sendText(
                writers[size_t(chat)].write(QStringLiteral("chat-%1").arg(chat), delta, texts[size_t(chat)], user));
            QCoreApplication::processEvents();
        }
    }
    for (int chat = 0; chat < chats; ++chat)
        client.sendText(
            QJsonDocument(RelayOutbound::streamEnd(QStringLiteral("chat-%1").arg(chat), texts[size_t(chat)], user))
                .toJson(QJsonDocument::Compact));
    if (!waitUntil([&] { return client.bytesToWrite() == 0; }))
        return out;
    out.cpuUs = (processCpuUs() - start) / double(fragments * chats);
    out.deflatePeak = client.deflateMemory().peak;

    const qint64 after = wireBytes();
    if (before < 0 || after < 0)
        return out;
    out.wireBytes = after - before;
    out.peakRssKb = bench::statusKb(getpid(), "VmHWM");
    out.ok = true;
    return out;
}

Figures node(bool relayDeflates, int chats, int answerChars)
{
    Figures out;
    NodeRelayPeer relay({{QStringLiteral("perMessageDeflate"), relayDeflates}, {QStringLiteral("echo"), false}});
    QProcess load;
    load.setProgram(QStandardPaths::findExecutable(QStringLiteral("node")));
    load.setArguments({QStringLiteral(HALVEX_SOURCE_DIR "/bench/node_bridge_load.js"), NodeRelayPeer::wsDirectory(),
                       relay.url().toString(), QString::number(chats), QString::number(answerChars),
                       QString::number(kFragmentChars)});
    load.start();
    if (!load.waitForFinished(kWaitMs) || load.exitCode() != 0)
        return out;
    const QJsonObject result = QJsonDocument::fromJson(load.readAllStandardOutput().left(4096)).object();
    out.deflate = result.value(QLatin1String("deflate")).toBool();
    out.wireBytes = result.value(QLatin1String("wireBytes")).toInteger();
    out.cpuUs = result.value(QLatin1String("cpuUs")).toDouble() / result.value(QLatin1String("fragments")).toDouble();
    out.peakRssKb = result.value(QLatin1String("maxRssKb")).toInteger();
    out.ok = out.wireBytes > 0;
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (const QString missing = NodeRelayPeer::missingReason(); !missing.isEmpty()) {
        std::printf("relay_link: skipped: %s\n", qPrintable(missing));
        return 0;
    }
    const int chats = argc > 1 ? std::max(1, atoi(argv[1])) : 2;
    // A second argument measures that one answer length alone.
    std::vector<int> lengths{200, 4000, 20000};
    if (argc > 2)
        lengths = {std::max(kFragmentChars, atoi(argv[2]))};
    std::printf("relay_link: %d chats of A-character answers in %d-character fragments, interleaved; the relay is\n"
                "            the npm ws server (permessage-deflate on or off); bytes = what it read, as a multiple\n"
                "            of the answers' bytes; CPU = the sending process per fragment (us)\n",
                chats, kFragmentChars);
    std::printf("  %-8s %-9s %12s %10s %10s %13s %12s\n", "A", "relay", "bridge", "bytes x", "CPU us", "deflate KB",
                "peak RSS MB");
    int failures = 0;
    for (const int answerChars : lengths) {
        const double answerBytes = double(answerChars) * chats;
        for (const bool relayDeflates : {true, false}) {
            const Figures mine = ours(relayDeflates, chats, answerChars);
            const Figures theirs = node(relayDeflates, chats, answerChars);
            for (const auto &[name, f] : {std::pair{"this", mine}, std::pair{"Node ws", theirs}}) {
                if (!f.ok) {
                    std::printf("  %-8d %-9s %12s failed\n", answerChars, relayDeflates ? "deflate" : "plain", name);
                    ++failures;
                    continue;
                }
                std::printf("  %-8d %-9s %12s %10.1f %10.2f %13s %12.1f\n", answerChars,
                            f.deflate ? "deflate" : "plain", name, double(f.wireBytes) / answerBytes, f.cpuUs,
                            f.deflatePeak < 0 ? "-"
                                              : qPrintable(QString::number(double(f.deflatePeak) / 1024.0, 'f', 1)),
                            double(f.peakRssKb) / 1024.0);
            }
        }
    }
    std::printf("  (deflate KB: zlib's state for the link, both directions, at its peak. Not measured for Node: ws\n"
                "   keeps zlib's defaults, which zlib's formula puts at 2^17 + 2^17 bytes to deflate and 2^15 plus\n"
                "   about 7 KB to inflate, some 300 KB a link. Peak RSS: the whole sending process.)\n");
    return failures ? 1 : 0;
}
