// idle_cost: what the headless bridge costs while it is connected and has
// nothing to carry, measured on the real program (`halvex-bridge
// --headless`, as built next to this one).
//
// The bridge gets a scratch session (headless_bridge.h) with the relay and
// the OpenClaw gateway's WebSocket played by loopback stand-ins in this
// process; the gateway stand-in sends OpenClaw's "tick" event every 30 s.
// Both links go through a counting TCP proxy, so the bytes are those on the
// wire: WebSocket frame headers and masks included. Once both links are up
// and the bridge has settled, a window of N seconds gives:
//   - CPU ms per minute: utime + stime of the whole process (/proc/<pid>/stat),
//     and finer, the run time of its threads (/proc/<pid>/task/*/schedstat);
//   - wake-ups per minute: voluntary + involuntary context switches summed
//     over its threads (/proc/<pid>/task/*/status), and split by thread name;
//   - bytes per hour each way on the relay link, on the gateway socket and
//     in the gateway's health probes (GET /healthz, a connection each).
#include "gateway_ws_stand_in.h"
#include "headless_bridge.h"
#include "process_probe.h"
#include "relay_stand_in.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QMap>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>

using namespace halvex::test;

namespace {

const QString bridgeToken = QStringLiteral("idle-cost-bridge-token");
const QString gatewayToken = QStringLiteral("idle-cost-gateway-token");

// A loopback TCP proxy in front of one port that counts the bytes going
// each way, per kind of connection: WebSocket upgrades or plain HTTP.
class CountingProxy : public QObject
{
public:
    enum Kind { webSocket = 0, plain = 1 };
    struct Counts {
        qint64 up = 0;   // from the bridge
        qint64 down = 0; // to the bridge
        int connections = 0;
    };

    explicit CountingProxy(quint16 target) : m_target(target)
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *client = m_server.nextPendingConnection())
                pipe(client);
        });
    }

    ~CountingProxy() override
    {
        QList<QTcpSocket *> sockets = findChildren<QTcpSocket *>();
        sockets += m_server.findChildren<QTcpSocket *>();
        for (QTcpSocket *socket : std::as_const(sockets)) {
            socket->disconnect(this);
            socket->abort();
        }
    }

    bool listen() { return m_server.listen(QHostAddress::LocalHost); }
    quint16 port() const { return m_server.serverPort(); }
    Counts counts(Kind kind) const { return m_counts[kind]; }

private:
    static constexpr qint64 kChunk = 64 * 1024;
    static constexpr qint64 kHeadLimit = 8 * 1024;

    struct Pipe {
        QPointer<QTcpSocket> client;
        QPointer<QTcpSocket> upstream;
        std::optional<Kind> kind;
        qint64 unsortedUp = 0; // bytes up before the request head was seen whole
        QByteArray head;
    };

    // Each socket goes (later) when its own side ends, and passes that end
    // on to the other once what it sent has gone through.
    void pipe(QTcpSocket *client)
    {
        auto state = std::make_shared<Pipe>();
        state->client = client;
        state->upstream = new QTcpSocket(this);
        for (QTcpSocket *socket : {client, state->upstream.data()}) {
            socket->setReadBufferSize(4 * kChunk);
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        }
        const auto forwardUp = [this, state] {
            if (!state->client || !state->upstream || state->upstream->state() != QAbstractSocket::ConnectedState)
                return; // it stays in the client's buffer until then
            while (state->client->bytesAvailable() > 0) {
                const QByteArray bytes = state->client->read(kChunk);
                state->upstream->write(bytes);
                count(*state, bytes, true);
            }
        };
        const auto forwardDown = [this, state] {
            if (!state->client || !state->upstream)
                return;
            while (state->upstream->bytesAvailable() > 0) {
                const QByteArray bytes = state->upstream->read(kChunk);
                state->client->write(bytes);
                count(*state, bytes, false);
            }
        };
        connect(client, &QTcpSocket::readyRead, this, forwardUp);
        connect(state->upstream, &QTcpSocket::connected, this, forwardUp);
        connect(state->upstream, &QTcpSocket::readyRead, this, forwardDown);
        connect(client, &QTcpSocket::disconnected, this, [state, forwardUp] {
            forwardUp();
            if (state->upstream)
                state->upstream->disconnectFromHost();
            state->client->deleteLater();
        });
        connect(state->upstream, &QTcpSocket::disconnected, this, [state, forwardDown] {
            forwardDown();
            if (state->client)
                state->client->disconnectFromHost();
            state->upstream->deleteLater();
        });
        connect(state->upstream, &QTcpSocket::errorOccurred, this, [state] {
            if (state->upstream->state() != QAbstractSocket::UnconnectedState)
                return;
            if (state->client)
                state->client->disconnectFromHost();
            state->upstream->deleteLater();
        });
        state->upstream->connectToHost(QHostAddress::LocalHost, m_target);
    }

    void count(Pipe &pipe, const QByteArray &bytes, bool up)
    {
        if (!pipe.kind) {
            if (up) {
                pipe.unsortedUp += bytes.size();
                pipe.head += bytes.first(std::min(bytes.size(), kHeadLimit - pipe.head.size()));
            }
            if (!pipe.head.contains("\r\n\r\n") && pipe.head.size() < kHeadLimit && up)
                return;
            pipe.kind = pipe.head.toLower().contains("\r\nupgrade: websocket") ? webSocket : plain;
            Counts &counts = m_counts[*pipe.kind];
            ++counts.connections;
            counts.up += pipe.unsortedUp;
            pipe.head.clear();
            if (up)
                return;
        }
        (up ? m_counts[*pipe.kind].up : m_counts[*pipe.kind].down) += bytes.size();
    }

    QTcpServer m_server;
    quint16 m_target;
    Counts m_counts[2];
};

// Everything the window compares, taken at one moment.
struct Snapshot {
    double cpuMs = 0;
    qint64 scheduledNs = 0;
    QHash<qint64, bench::ThreadSwitches> threads;
    CountingProxy::Counts relay;
    CountingProxy::Counts gatewaySocket;
    CountingProxy::Counts gatewayHttp;
    int relayPings = 0;
    int ticks = 0;
};

using bench::pump;
using bench::pumpUntil;

int fail(const char *what)
{
    std::fprintf(stderr, "idle_cost: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("CPU, wake-ups and link bytes of the headless bridge, connected and idle."));
    parser.addHelpOption();
    const QCommandLineOption program(QStringLiteral("program"), QStringLiteral("The halvex-bridge to measure."),
                                     QStringLiteral("path"), QStringLiteral(HALVEX_BRIDGE_PROGRAM));
    const QCommandLineOption settle(QStringLiteral("settle"),
                                    QStringLiteral("Seconds to let it settle once connected (20)."),
                                    QStringLiteral("s"), QStringLiteral("20"));
    const QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("Seconds to measure (120)."),
                                     QStringLiteral("N"), QStringLiteral("120"));
    parser.addOptions({program, settle, seconds});
    parser.process(app);
    const qint64 settleMs = parser.value(settle).toLongLong() * 1000;
    const qint64 windowMs = parser.value(seconds).toLongLong() * 1000;
    if (windowMs <= 0)
        return fail("--seconds must be positive");

    RelayStandIn relay;
    GatewayWsStandIn gateway;
    relay.acceptToken(bridgeToken);
    gateway.setGatewayToken(gatewayToken);
    if (!relay.start() || !gateway.listen())
        return fail("cannot start the stand-ins");
    CountingProxy relayProxy(relay.port());
    CountingProxy gatewayProxy(gateway.port());
    if (!relayProxy.listen() || !gatewayProxy.listen())
        return fail("cannot start the counting proxies");

    bench::HeadlessBridge bridge;
    if (!bridge.prepare(bridgeToken, QUrl(QStringLiteral("http://127.0.0.1:%1").arg(gatewayProxy.port())),
                        gatewayToken))
        return fail("cannot write the scratch session");
    if (!bridge.start(parser.value(program), QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(relayProxy.port()))))
        return fail("cannot start halvex-bridge --headless");
    const qint64 pid = bridge.pid();

    if (!relay.waitForType(QStringLiteral("agent_card"), 60000))
        return fail("the bridge did not connect to the relay stand-in");
    const auto greeted = [&gateway] {
        const QList<GatewayWsStandIn::ConnectRecord> records = gateway.connectRecords();
        return gateway.openConnectionCount() > 0 &&
               std::any_of(records.cbegin(), records.cend(),
                           [](const GatewayWsStandIn::ConnectRecord &record) { return record.failure.isEmpty(); });
    };
    if (!pumpUntil(greeted, 60000))
        return fail("the bridge did not connect to the gateway stand-in");
    pump(settleMs);

    const int relayConnections = relay.connectionCount();
    const int gatewayConnections = gateway.connectionCount();
    const auto snapshot = [&] {
        Snapshot now;
        bench::waitUntilIdle(pid);
        now.cpuMs = bench::processCpuMs(pid);
        now.scheduledNs = bench::processCpuNs(pid);
        now.threads = bench::threadSwitches(pid);
        now.relay = relayProxy.counts(CountingProxy::webSocket);
        now.gatewaySocket = gatewayProxy.counts(CountingProxy::webSocket);
        now.gatewayHttp = gatewayProxy.counts(CountingProxy::plain);
        now.relayPings = relay.pingCount();
        now.ticks = gateway.ticksSent();
        return now;
    };
    QElapsedTimer window;
    const Snapshot before = snapshot();
    window.start();
    pump(windowMs);
    const Snapshot after = snapshot();
    const double elapsedS = double(window.elapsed()) / 1000.0;
    if (!bridge.isRunning())
        return fail("the bridge ended during the window");
    if (relay.connectionCount() != relayConnections || relay.openConnectionCount() != 1)
        return fail("the relay link was opened again during the window");
    if (gateway.connectionCount() != gatewayConnections || gateway.openConnectionCount() != 1)
        return fail("the gateway socket was opened again during the window");

    const double perMinute = 60.0 / elapsedS;
    const double perHour = 3600.0 / elapsedS;
    std::printf("idle window: %.0f s, after %lld s settling; relay pings %d, gateway ticks %d, health probes %d\n",
                elapsedS, static_cast<long long>(settleMs / 1000), after.relayPings - before.relayPings,
                after.ticks - before.ticks, after.gatewayHttp.connections - before.gatewayHttp.connections);
    // The kernel counts utime and stime in clock ticks (10 ms at 100 Hz),
    // coarse for an idle process; schedstat has nanoseconds, for the
    // threads alive at the end.
    std::printf("idle CPU: %.1f ms per minute (utime+stime, %ld ticks per second)\n",
                (after.cpuMs - before.cpuMs) * perMinute, sysconf(_SC_CLK_TCK));
    std::printf("idle CPU by schedstat: %.2f ms per minute\n",
                double(after.scheduledNs - before.scheduledNs) / 1e6 * perMinute);

    // Threads alive at both ends; one born in the window counts from zero,
    // one gone in it is missing from the sum.
    QMap<QString, std::pair<qint64, int>> byName; // switches, threads
    qint64 switches = 0;
    int gone = 0;
    for (auto it = after.threads.cbegin(); it != after.threads.cend(); ++it) {
        const qint64 delta = it->switches - before.threads.value(it.key()).switches;
        switches += delta;
        auto &[sum, threads] = byName[it->name];
        sum += delta;
        ++threads;
    }
    for (auto it = before.threads.cbegin(); it != before.threads.cend(); ++it)
        gone += after.threads.contains(it.key()) ? 0 : 1;
    std::printf("idle wake-ups: %.1f per minute (%lld threads%s)\n", double(switches) * perMinute,
                static_cast<long long>(after.threads.size()), gone > 0 ? ", some ended in the window" : "");
    QList<std::pair<qint64, QString>> names;
    for (auto it = byName.cbegin(); it != byName.cend(); ++it)
        names.append({it->first, it.key()});
    std::sort(names.begin(), names.end(), std::greater<>());
    for (const auto &[sum, name] : names) {
        std::printf("  thread %s (x%d): %.1f wake-ups per minute\n", qUtf8Printable(name), byName.value(name).second,
                    double(sum) * perMinute);
    }

    const auto bytes = [&](const char *link, const char *up, const char *down, const CountingProxy::Counts &from,
                           const CountingProxy::Counts &to) {
        std::printf("%s, %s: %.0f bytes per hour\n", link, up, double(to.up - from.up) * perHour);
        std::printf("%s, %s: %.0f bytes per hour\n", link, down, double(to.down - from.down) * perHour);
    };
    bytes("relay link", "bridge to relay", "relay to bridge", before.relay, after.relay);
    bytes("gateway socket", "bridge to gateway", "gateway to bridge", before.gatewaySocket, after.gatewaySocket);
    bytes("gateway health probes", "bridge to gateway", "gateway to bridge", before.gatewayHttp, after.gatewayHttp);
    return 0;
}
