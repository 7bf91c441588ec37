// chat_path: how fast, and how lean, the bridge carries streamed answers from
// the gateway to the relay.
//
// The bridge runs alone in a child process (this program again, with
// --bridge-child), built from the same parts as the headless bridge: a
// QNetworkAccessManager, the default credential store, a settings file and a
// BridgeManager, started the way the application starts it. This process
// plays both peers: the relay stand-in sends C concurrent chat requests, the
// gateway stand-in answers each with M server-sent-event fragments, and the
// relay stand-in receives the chunks. Latency is measured here, from the
// moment the gateway stand-in has written and flushed a fragment to the
// moment the relay stand-in has decoded the chunk that carries it.
#include "bridge/bridge_manager.h"
#include "http_stand_in.h"
#include "platform/deployment.h"
#include "platform/keychain_manager.h"
#include "platform/logging.h"
#include "platform/settings.h"
#include "relay_stand_in.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include <csignal>
#include <sched.h>
#include <sys/prctl.h>
#include <unistd.h>

using namespace halvex;
using namespace halvex::test;

namespace {

using Clock = std::chrono::steady_clock;

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

bool pinToCpu(int cpu)
{
    if (cpu < 0)
        return false;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof(set), &set) == 0;
}

// ---------------------------------------------------------------- the bridge

int runBridgeChild(const QStringList &args)
{
    // relay origin, gateway endpoint, bridge token, cpu
    if (args.size() < 4)
        return 2;
    prctl(PR_SET_PDEATHSIG, SIGTERM); // never outlive the benchmark
    pinToCpu(args[3].toInt());        // before any thread exists, so all inherit it

    int argc = 1;
    char name[] = "chat_path-bridge";
    char *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    installLogFormat();

    QTemporaryDir scratch;
    QNetworkAccessManager network;
    std::unique_ptr<KeychainManager> keychain =
        KeychainManager::createDefault(scratch.filePath(QStringLiteral("credentials")));
    Settings settings(scratch.filePath(QStringLiteral("settings.conf")));
    if (!keychain->save(CredentialService::bridge(), args[2]) ||
        !keychain->save(CredentialService::openClaw(), QStringLiteral("bench-gateway-token")))
        return 1;
    settings.setString(SettingsKey::openClawEndpoint, args[1]);

    BridgeManager::Dependencies deps;
    deps.network = &network;
    deps.keychain = keychain.get();
    deps.settings = &settings;
    deps.relayOrigin = QUrl(args[0]);
    deps.homeDirectory = scratch.path();
    BridgeManager bridge(std::move(deps));
    bridge.start(); // as the application does once the manager exists
    return app.exec();
}

// ------------------------------------------------------- bridge measurements

// CPU time of every thread of a process, in nanoseconds.
qint64 processCpuNs(qint64 pid)
{
    qint64 total = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    const QStringList ids = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &id : ids) {
        QFile file(tasks.filePath(id + QStringLiteral("/schedstat")));
        if (file.open(QIODevice::ReadOnly))
            total += file.readAll().split(' ').value(0).toLongLong();
    }
    return total;
}

// A "VmHWM" / "VmRSS" line of /proc/<pid>/status, in kB.
qint64 statusKb(qint64 pid, const QByteArray &key)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(key + ':'))
            return line.mid(key.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Starts a new peak for VmHWM (Linux: "5" > /proc/<pid>/clear_refs).
void resetPeakRss(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/clear_refs").arg(pid));
    if (file.open(QIODevice::WriteOnly))
        file.write("5");
}

// ------------------------------------------------------------------- phases

struct PhaseResult {
    QString name;
    qint64 fragments = 0;
    double wallSeconds = 0;
    double bridgeCpuSeconds = 0;
    qint64 peakRssKb = -1;
    qint64 relayBytes = 0; // payload of every frame the bridge sent
    std::vector<qint64> latenciesNs;
    int errors = 0;
    QStringList errorTexts;

    double percentileMs(double p) const
    {
        if (latenciesNs.empty())
            return -1;
        std::vector<qint64> sorted = latenciesNs;
        std::sort(sorted.begin(), sorted.end());
        const size_t index = std::min(sorted.size() - 1, size_t(p / 100.0 * double(sorted.size())));
        return double(sorted[index]) / 1e6;
    }
};

class Bench
{
public:
    Bench(int chats, int fragments) : m_chats(chats), m_fragments(fragments)
    {
        m_gateway.setHandler([this](const HttpRequest &request) { return answer(request); });
        QObject::connect(&m_gateway, &HttpStandIn::pieceWritten,
                         [this](int request, int piece, const QByteArray &) { onPieceWritten(request, piece); });
        QObject::connect(&m_relay, &RelayStandIn::frameReceived, [this](int) { onFrame(); });
    }

    bool startStandIns(const QString &token)
    {
        m_relay.acceptToken(token);
        if (!m_relay.start() || !m_gateway.listen())
            return false;
        m_gateway.setDefaultResponse(
            QByteArrayLiteral("/v1/models"),
            ScriptedResponse::json(200, QByteArrayLiteral("{\"object\":\"list\",\"data\":[]}")));
        return true;
    }

    QUrl relayOrigin() const { return m_relay.origin(); }
    QUrl gatewayUrl() const { return m_gateway.url(); }
    bool waitForBridge() { return m_relay.waitForType(QStringLiteral("agent_card"), 60000).has_value(); }

    PhaseResult run(const QString &name, int fragments, int paceMs, qint64 bridgePid)
    {
        m_phase = name;
        m_phaseFragments = fragments;
        m_paceMs = paceMs;
        m_relay.clearRecords();
        m_requestChat.clear();
        m_written.assign(size_t(m_chats), std::vector<qint64>(size_t(fragments), -1));
        m_nextFragment.assign(size_t(m_chats), 0);
        m_ended = 0;
        m_result = PhaseResult{};
        m_result.name = name;
        m_result.latenciesNs.reserve(size_t(m_chats) * size_t(fragments));

        resetPeakRss(bridgePid);
        const qint64 cpuBefore = processCpuNs(bridgePid);
        QElapsedTimer wall;
        wall.start();
        for (int chat = 0; chat < m_chats; ++chat) {
            m_relay.sendJson({{QStringLiteral("type"), QStringLiteral("chat_message")},
                              {QStringLiteral("id"), replyTo(chat)},
                              {QStringLiteral("appUserId"), QStringLiteral("bench-user")},
                              {QStringLiteral("content"), QStringLiteral("%1-%2").arg(name).arg(chat)}});
        }
        while (m_ended < m_chats && wall.elapsed() < 300000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        m_result.wallSeconds = double(wall.nsecsElapsed()) / 1e9;
        m_result.bridgeCpuSeconds = double(processCpuNs(bridgePid) - cpuBefore) / 1e9;
        m_result.peakRssKb = statusKb(bridgePid, "VmHWM");
        m_result.fragments = qint64(m_result.latenciesNs.size());
        if (m_ended < m_chats)
            fail(QStringLiteral("%1 of %2 chats did not end").arg(m_chats - m_ended).arg(m_chats));
        return m_result;
    }

private:
    QString replyTo(int chat) const { return QStringLiteral("%1-%2").arg(m_phase).arg(chat); }
    static QString fragmentText(int k) { return QStringLiteral("w%1 ").arg(k); }

    void fail(const QString &text)
    {
        ++m_result.errors;
        if (m_result.errorTexts.size() < 5)
            m_result.errorTexts << text;
    }

    std::optional<ScriptedResponse> answer(const HttpRequest &request)
    {
        if (request.path() != "/v1/chat/completions")
            return std::nullopt;
        const QJsonArray messages = request.json().value(QStringLiteral("messages")).toArray();
        const QString question = messages.last().toObject().value(QStringLiteral("content")).toString();
        const int chat = question.section(QLatin1Char('-'), -1).toInt();
        m_requestChat.insert(request.index, chat);

        ScriptedResponse response = ScriptedResponse::eventStream({sse::roleChunk()});
        for (int k = 0; k < m_phaseFragments; ++k)
            response.withPiece(sse::contentChunk(fragmentText(k)), m_paceMs);
        response.withPiece(sse::stopChunk()).withPiece(sse::done());
        return response;
    }

    void onPieceWritten(int request, int piece)
    {
        const auto it = m_requestChat.constFind(request);
        const int k = piece - 1; // piece 0 is the role chunk
        if (it == m_requestChat.constEnd() || k < 0 || k >= m_phaseFragments)
            return;
        m_written[size_t(*it)][size_t(k)] = nowNs();
    }

    void onFrame()
    {
        const qint64 at = nowNs();
        const QList<RelayStandIn::Frame> frames = m_relay.frames();
        if (frames.isEmpty())
            return;
        m_result.relayBytes += frames.last().payload.size();
        const QJsonObject message = QJsonDocument::fromJson(frames.last().payload).object();
        const QString type = message.value(QStringLiteral("type")).toString();
        const QString id = message.value(QStringLiteral("reply_to")).toString();
        if (!id.startsWith(m_phase + QLatin1Char('-')))
            return;
        const int chat = id.section(QLatin1Char('-'), -1).toInt();
        if (chat < 0 || chat >= m_chats)
            return;
        if (type == QLatin1String("chat_stream_chunk")) {
            const QString delta = message.value(QStringLiteral("delta")).toString();
            const int k = delta.mid(1).trimmed().toInt();
            if (k != m_nextFragment[size_t(chat)] || delta != fragmentText(k)) {
                fail(QStringLiteral("%1: chunk \"%2\" out of order").arg(id, delta));
                return;
            }
            ++m_nextFragment[size_t(chat)];
            const qint64 written = m_written[size_t(chat)][size_t(k)];
            if (written < 0) {
                fail(QStringLiteral("%1: chunk %2 before its fragment was written").arg(id).arg(k));
                return;
            }
            m_result.latenciesNs.push_back(at - written);
        } else if (type == QLatin1String("chat_stream_end")) {
            if (m_nextFragment[size_t(chat)] != m_phaseFragments)
                fail(QStringLiteral("%1: ended after %2 chunks").arg(id).arg(m_nextFragment[size_t(chat)]));
            ++m_ended;
        } else if (type == QLatin1String("chat_response")) {
            fail(QStringLiteral("%1: %2").arg(id, message.value(QStringLiteral("content")).toString()));
            ++m_ended;
        }
    }

    int m_chats;
    int m_fragments;
    RelayStandIn m_relay;
    HttpStandIn m_gateway;

    QString m_phase;
    int m_phaseFragments = 0;
    int m_paceMs = 0;
    QHash<int, int> m_requestChat;              // gateway request index -> chat
    std::vector<std::vector<qint64>> m_written; // chat -> fragment -> write time
    std::vector<int> m_nextFragment;
    int m_ended = 0;
    PhaseResult m_result;
};

void printPhase(const PhaseResult &r)
{
    std::printf("  %-34s %7lld fragments in %.3f s = %9.0f fragments/s\n", qPrintable(r.name + QLatin1Char(':')),
                static_cast<long long>(r.fragments), r.wallSeconds, double(r.fragments) / r.wallSeconds);
    std::printf("  %-34s p50 %.3f ms   p99 %.3f ms   max %.3f ms\n", "  latency fragment -> chunk", r.percentileMs(50),
                r.percentileMs(99), r.percentileMs(100));
    std::printf("  %-34s %.2f us per fragment (%.3f s in all)\n", "  bridge CPU time",
                r.fragments ? r.bridgeCpuSeconds * 1e6 / double(r.fragments) : 0.0, r.bridgeCpuSeconds);
    std::printf("  %-34s %.0f fragments/s (fragments / bridge CPU time)\n", "  bridge-bound rate",
                r.bridgeCpuSeconds > 0 ? double(r.fragments) / r.bridgeCpuSeconds : 0.0);
    std::printf("  %-34s %.1f MB (every chunk carries the whole text so far)\n", "  sent to the relay",
                double(r.relayBytes) / (1024.0 * 1024.0));
    std::printf("  %-34s %.1f MB\n", "  bridge peak RSS", double(r.peakRssKb) / 1024.0);
    for (const QString &e : r.errorTexts)
        std::printf("  ERROR: %s\n", qPrintable(e));
    if (r.errors > r.errorTexts.size())
        std::printf("  ... %d errors in all\n", r.errors);
}

const char *verdict(bool met)
{
    return met ? "met" : "MISSED";
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && QByteArray(argv[1]) == "--bridge-child") {
        QStringList args;
        for (int i = 2; i < argc; ++i)
            args << QString::fromLocal8Bit(argv[i]);
        return runBridgeChild(args);
    }

    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    const bool pin = cpus >= 2;
    if (pin)
        pinToCpu(0);

    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Streams C concurrent chats of M fragments each through the bridge, between loopback stand-ins of the "
        "relay and the gateway, and prints throughput, added latency, CPU time and peak memory of the bridge."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("chats"), QStringLiteral("Concurrent chats C (default 10)."),
                                 QStringLiteral("[C]"));
    parser.addPositionalArgument(QStringLiteral("fragments"), QStringLiteral("Fragments per chat M (default 1000)."),
                                 QStringLiteral("[M]"));
    QCommandLineOption paceOption(QStringLiteral("pace-ms"),
                                  QStringLiteral("Gap between two fragments of a chat in the paced run (default 1)."),
                                  QStringLiteral("ms"), QStringLiteral("1"));
    parser.addOption(paceOption);
    parser.process(app);
    const QStringList positional = parser.positionalArguments();
    const int chats = std::max(1, positional.value(0, QStringLiteral("10")).toInt());
    const int fragments = std::max(1, positional.value(1, QStringLiteral("1000")).toInt());
    const int paceMs = std::max(1, parser.value(paceOption).toInt());

    const QString token = QStringLiteral("bench-bridge-token");
    Bench bench(chats, fragments);
    if (!bench.startStandIns(token)) {
        std::fprintf(stderr, "chat_path: cannot listen on loopback\n");
        return 1;
    }

    QProcess bridge;
    bridge.setProgram(QCoreApplication::applicationFilePath());
    bridge.setArguments({QStringLiteral("--bridge-child"), bench.relayOrigin().toString(),
                         bench.gatewayUrl().toString(), token, QString::number(pin ? 1 : -1)});
    bridge.setStandardOutputFile(QProcess::nullDevice());
    bridge.setStandardErrorFile(QProcess::nullDevice()); // its log, as a service's would go to the journal
    bridge.start();
    if (!bridge.waitForStarted(30000) || !bench.waitForBridge()) {
        std::fprintf(stderr, "chat_path: the bridge did not connect to the relay stand-in\n");
        bridge.kill();
        bridge.waitForFinished();
        return 1;
    }
    const qint64 pid = bridge.processId();
    const qint64 idleRssKb = statusKb(pid, "VmRSS");

    // Warm-up (not reported): connections, allocations, code paths.
    bench.run(QStringLiteral("warmup"), 50, 0, pid);

    const PhaseResult paced = bench.run(QStringLiteral("paced"), fragments, paceMs, pid);
    const PhaseResult burst = bench.run(QStringLiteral("burst"), fragments, 0, pid);
    const qint64 peakRssKb = std::max(paced.peakRssKb, burst.peakRssKb);

    bridge.terminate();
    if (!bridge.waitForFinished(10000)) {
        bridge.kill();
        bridge.waitForFinished();
    }

    std::printf("chat_path: C = %d concurrent chats x M = %d fragments each, gateway HTTP/SSE path\n", chats,
                fragments);
    std::printf("method: the bridge (BridgeManager with the headless dependencies) runs alone in a child process%s;\n"
                "        the relay and gateway stand-ins run in this process%s. Latency: gateway stand-in has\n"
                "        written and flushed a fragment -> relay stand-in has decoded its chunk (one monotonic\n"
                "        clock; includes both loopback hops and the stand-ins' framing). CPU: all threads of\n"
                "        the bridge process (schedstat). Memory: the bridge process's peak RSS (VmHWM).\n",
                pin ? " pinned to CPU 1" : " (not pinned: fewer than 2 CPUs)", pin ? " on CPU 0" : "");
    printPhase(paced);
    std::printf("    (each chat writes one fragment every %d ms: latency without queueing)\n", paceMs);
    printPhase(burst);
    std::printf("    (each chat writes all its fragments at once: throughput; latency includes queueing, and the\n"
                "     peak RSS holds the chunks waiting in the relay socket's send buffer while the relay reads)\n");
    std::printf("  bridge RSS: %.1f MB idle after connecting, %.1f MB peak over both runs\n",
                double(idleRssKb) / 1024.0, double(peakRssKb) / 1024.0);

    const double p50 = paced.percentileMs(50), p99 = paced.percentileMs(99);
    const double rate = double(burst.fragments) / burst.wallSeconds;
    std::printf("targets: p50 < 0.2 ms: %.3f ms %s; p99 < 2 ms: %.3f ms %s; >= 20000 fragments/s on one core: "
                "%.0f %s; peak RSS < 30 MB: %.1f MB %s\n",
                p50, verdict(p50 < 0.2), p99, verdict(p99 < 2.0), rate, verdict(rate >= 20000),
                double(peakRssKb) / 1024.0, verdict(peakRssKb < 30 * 1024));
    const int errors = paced.errors + burst.errors;
    if (errors)
        std::printf("ERRORS: %d (see above)\n", errors);
    return errors ? 1 : 0;
}
