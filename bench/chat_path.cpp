// chat_path: how fast, and how lean, the bridge carries streamed answers from
// the gateway to the relay.
//
// The bridge runs alone in a child process (this program again, with
// --bridge-child), built from the same parts as the headless bridge: the
// default credential store, a settings file and a BridgeManager, started
// the way the application starts it. This process plays both peers: the
// relay stand-in sends C concurrent chat requests, the gateway stand-in
// answers each with M server-sent-event fragments, and the relay stand-in
// receives the chunks. Latency is measured here, from the moment the
// gateway stand-in has written and flushed a fragment to the moment the
// relay stand-in has decoded the chunk that carries it.
#include "bridge/bridge_manager.h"
#include "gateway_ws_stand_in.h"
#include "http_stand_in.h"
#include "platform/deployment.h"
#include "platform/logging.h"
#include "platform/secrets/credential_store.h"
#include "platform/session/headless_application.h"
#include "platform/settings.h"
#include "process_probe.h"
#include "relay_stand_in.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

using namespace halvex;
using namespace halvex::test;
using namespace bench;

namespace {

using Clock = std::chrono::steady_clock;

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
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
    // The event loop of the real headless bridge.
    const std::unique_ptr<QCoreApplication> app = makeHeadlessApplication(argc, argv);
    installLogFormat();

    QTemporaryDir scratch;
    std::unique_ptr<CredentialStore> credentials =
        CredentialStore::createDefault(scratch.filePath(QStringLiteral("credentials")));
    Settings settings(scratch.filePath(QStringLiteral("settings.conf")));
    if (!credentials->save(CredentialService::bridge(), args[2]) ||
        !credentials->save(CredentialService::openClaw(), QStringLiteral("bench-gateway-token")))
        return 1;
    settings.setString(SettingsKey::openClawEndpoint, args[1]);

    BridgeManager::Dependencies deps;
    deps.credentials = credentials.get();
    deps.settings = &settings;
    deps.relayOrigin = QUrl(args[0]);
    deps.homeDirectory = scratch.path();
    BridgeManager bridge(std::move(deps));
    bridge.start(); // as the application does once the manager exists
    return app->exec();
}

// ------------------------------------------------------- bridge measurements

// ------------------------------------------------------------------- phases

// Which gateway link carries the chats.
enum class Path { http, webSocket };

const char *pathName(Path path)
{
    return path == Path::http ? "HTTP/SSE" : "WebSocket agent events";
}

struct PhaseResult {
    QString name;
    qint64 fragments = 0;
    double wallSeconds = 0;
    double bridgeCpuSeconds = 0;
    qint64 peakRssKb = -1;
    qint64 relayBytes = 0; // payload of every frame the bridge sent
    qint64 wireBytes = 0;  // what the relay read: frames, compressed where agreed
    qint64 answerBytes = 0;
    int mergedChunks = 0; // chunks that carried more than one fragment
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
    double cpuUsPerFragment() const { return fragments ? bridgeCpuSeconds * 1e6 / double(fragments) : 0.0; }
    double rate() const { return wallSeconds > 0 ? double(fragments) / wallSeconds : 0.0; }
};

// Every fragment has the same length, so an answer's length sets its
// fragment count: "w0001 ", "w0002 ", ...
constexpr int kFragmentChars = 6;

QString fragmentText(int k)
{
    return QStringLiteral("w%1 ").arg(k, 4, 10, QLatin1Char('0'));
}

// One gateway event frame as OpenClaw writes it for cumulative assistant
// text (ASCII text only: no escaping needed).
QString assistantEvent(const QString &runId, const QString &sessionKey, const QString &text, const QString &delta)
{
    return QStringLiteral(R"({"type":"event","event":"agent","payload":{"runId":"%1","sessionKey":"%2",)"
                          R"("stream":"assistant","seq":1,"ts":1765000000000,"data":{"text":"%3","delta":"%4"}}})")
        .arg(runId, sessionKey, text, delta);
}

// Sleeps until something happens (at the latest after a tenth of a second).
// processEvents() with a time limit would spin instead, and a spinning
// stand-in process delays every frame it should time.
void waitForEvents()
{
    static QTimer *tick = [] {
        auto *timer = new QTimer(QCoreApplication::instance());
        timer->start(100);
        return timer;
    }();
    Q_UNUSED(tick);
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

class Bench
{
public:
    Bench(Path path, bool relayDeflate) : m_path(path)
    {
        m_relay.setPerMessageDeflate(relayDeflate);
        if (path == Path::http) {
            m_http.setHandler([this](const HttpRequest &request) { return answer(request); });
            QObject::connect(&m_http, &HttpStandIn::pieceWritten, &m_http,
                             [this](int request, int piece, const QByteArray &) { onPieceWritten(request, piece); });
        } else {
            QObject::connect(&m_ws, &GatewayWsStandIn::frameReceived, &m_ws,
                             [this](const QJsonObject &frame) { onGatewayFrame(frame); });
        }
        QObject::connect(&m_relay, &RelayStandIn::frameReceived, &m_relay, [this](int) { onFrame(); });
    }

    bool startStandIns(const QString &token)
    {
        m_relay.acceptToken(token);
        if (!m_relay.start())
            return false;
        if (m_path == Path::webSocket)
            return m_ws.listen();
        if (!m_http.listen())
            return false;
        m_http.setDefaultResponse(QByteArrayLiteral("/v1/models"),
                                  ScriptedResponse::json(200, QByteArrayLiteral("{\"object\":\"list\",\"data\":[]}")));
        return true;
    }

    QUrl relayOrigin() const { return m_relay.origin(); }
    QUrl gatewayUrl() const { return m_path == Path::http ? m_http.url() : m_ws.httpUrl(); }
    bool waitForBridge()
    {
        if (!m_relay.waitForType(QStringLiteral("agent_card"), 60000))
            return false;
        if (m_path == Path::http)
            return true;
        QElapsedTimer wait;
        wait.start();
        while (m_ws.connectRecords().isEmpty() && wait.elapsed() < 60000)
            waitForEvents();
        return !m_ws.connectRecords().isEmpty();
    }

    PhaseResult run(const QString &name, int chats, int fragments, int paceMs, qint64 bridgePid)
    {
        m_phase = name;
        m_phaseChats = chats;
        m_phaseFragments = fragments;
        m_paceMs = paceMs;
        m_relay.clearRecords();
        m_requestChat.clear();
        m_written.assign(size_t(chats), std::vector<qint64>(size_t(fragments), -1));
        m_nextFragment.assign(size_t(chats), 0);
        m_streams.clear();
        m_ended = 0;
        m_result = PhaseResult{};
        m_result.name = name;
        m_result.latenciesNs.reserve(size_t(chats) * size_t(fragments));

        resetPeakRss(bridgePid);
        const qint64 cpuBefore = processCpuNs(bridgePid);
        QElapsedTimer wall;
        wall.start();
        for (int chat = 0; chat < chats; ++chat) {
            m_relay.sendJson({{QStringLiteral("type"), QStringLiteral("chat_message")},
                              {QStringLiteral("id"), replyTo(chat)},
                              {QStringLiteral("appUserId"), QStringLiteral("bench-user")},
                              {QStringLiteral("content"), replyTo(chat)}});
        }
        while (m_ended < chats && wall.elapsed() < 300000)
            waitForEvents();
        m_result.wallSeconds = double(wall.nsecsElapsed()) / 1e9;
        waitUntilIdle(bridgePid);
        m_result.bridgeCpuSeconds = double(processCpuNs(bridgePid) - cpuBefore) / 1e9;
        m_result.peakRssKb = statusKb(bridgePid, "VmHWM");
        m_result.fragments = qint64(m_result.latenciesNs.size());
        m_result.wireBytes = m_relay.wireBytes();
        m_result.answerBytes = qint64(chats) * fragments * kFragmentChars;
        if (m_ended < chats)
            fail(QStringLiteral("%1 of %2 chats did not end").arg(chats - m_ended).arg(chats));
        m_streams.clear();
        return m_result;
    }

private:
    QString replyTo(int chat) const { return QStringLiteral("%1-%2").arg(m_phase).arg(chat); }

    void fail(const QString &text)
    {
        ++m_result.errors;
        if (m_result.errorTexts.size() < 5)
            m_result.errorTexts << text;
    }

    // The chat a question belongs to, or -1 (a request of another phase).
    int chatOf(const QString &question) const
    {
        if (!question.startsWith(m_phase + QLatin1Char('-')))
            return -1;
        const int chat = question.section(QLatin1Char('-'), -1).toInt();
        return chat >= 0 && chat < m_phaseChats ? chat : -1;
    }

    // ---- the HTTP gateway: one server-sent event per fragment

    std::optional<ScriptedResponse> answer(const HttpRequest &request)
    {
        if (request.path() != "/v1/chat/completions")
            return std::nullopt;
        const QJsonArray messages = request.json().value(QStringLiteral("messages")).toArray();
        const int chat = chatOf(messages.last().toObject().value(QStringLiteral("content")).toString());
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
        if (it == m_requestChat.constEnd() || *it < 0 || k < 0 || k >= m_phaseFragments)
            return;
        m_written[size_t(*it)][size_t(k)] = nowNs();
    }

    // ---- the WebSocket gateway: acknowledgement, one cumulative
    // "assistant" event per fragment, lifecycle end, chat final

    struct WsStream {
        int chat = 0;
        int next = 0;
        QString runId;
        QString sessionKey;
        QString text;
        std::unique_ptr<QTimer> pace;
    };

    void onGatewayFrame(const QJsonObject &frame)
    {
        if (frame.value(QLatin1String("method")).toString() != QLatin1String("chat.send"))
            return;
        // The stand-in's own answer stays out of it: this one answers.
        GatewayWsStandIn::ChatScript silent;
        silent.silent = true;
        m_ws.queueChatScript(silent);
        const QJsonObject params = frame.value(QLatin1String("params")).toObject();
        const int chat = chatOf(params.value(QLatin1String("message")).toString());
        const QString id = frame.value(QLatin1String("id")).toString();
        auto stream = std::make_shared<WsStream>();
        stream->chat = chat;
        stream->runId = params.value(QLatin1String("idempotencyKey")).toString();
        stream->sessionKey = params.value(QLatin1String("sessionKey")).toString();
        stream->text.reserve(m_phaseFragments * kFragmentChars);
        m_ws.sendText(
            QStringLiteral(R"({"type":"res","id":"%1","ok":true,"payload":{"runId":"%2","status":"started"}})")
                .arg(id, stream->runId));
        if (chat < 0) {
            finishWs(*stream);
            return;
        }
        m_streams.push_back(stream);
        if (m_paceMs <= 0) {
            while (stream->next < m_phaseFragments)
                sendWsFragment(*stream);
            finishWs(*stream);
            return;
        }
        stream->pace = std::make_unique<QTimer>();
        stream->pace->setTimerType(Qt::PreciseTimer);
        QObject::connect(stream->pace.get(), &QTimer::timeout, stream->pace.get(), [this, raw = stream.get()] {
            sendWsFragment(*raw);
            if (raw->next >= m_phaseFragments) {
                raw->pace->stop();
                finishWs(*raw);
            }
        });
        stream->pace->start(m_paceMs);
    }

    void sendWsFragment(WsStream &stream)
    {
        const QString delta = fragmentText(stream.next);
        stream.text += delta;
        m_ws.sendText(assistantEvent(stream.runId, stream.sessionKey, stream.text, delta));
        m_written[size_t(stream.chat)][size_t(stream.next)] = nowNs();
        ++stream.next;
    }

    void finishWs(const WsStream &stream)
    {
        const QString common =
            QStringLiteral(R"({"type":"event","event":"%1","payload":{"runId":"%2","sessionKey":"%3",)")
                .arg(QStringLiteral("%1"), stream.runId, stream.sessionKey);
        m_ws.sendText(common.arg(QStringLiteral("agent")) +
                      QStringLiteral(R"("stream":"lifecycle","data":{"phase":"end"}}})"));
        m_ws.sendText(common.arg(QStringLiteral("chat")) + QStringLiteral(R"("state":"final"}})"));
    }

    // ---- the relay side

    // A member's plain (unescaped) string value in a frame the bridge wrote,
    // found by its key; the bench's ids and fragments never need escapes.
    static QByteArrayView member(const QByteArray &frame, QByteArrayView key)
    {
        const qsizetype at = frame.indexOf(key);
        if (at < 0)
            return {};
        const qsizetype begin = at + key.size();
        const qsizetype end = frame.indexOf('"', begin);
        return end < 0 ? QByteArrayView() : QByteArrayView(frame).sliced(begin, end - begin);
    }

    void onFrame()
    {
        const qint64 at = nowNs();
        const QList<RelayStandIn::Frame> frames = m_relay.frames();
        if (frames.isEmpty())
            return;
        const QByteArray &payload = frames.last().payload;
        m_result.relayBytes += payload.size();
        // Chunks are looked at without a JSON document, so this process
        // keeps up with the bridge; closing messages are read whole.
        QString type = QString::fromLatin1(member(payload, "\"type\":\""));
        QString id = QString::fromLatin1(member(payload, "\"reply_to\":\""));
        QJsonObject message;
        if (type != QLatin1String("chat_stream_chunk")) {
            message = QJsonDocument::fromJson(payload).object();
            type = message.value(QStringLiteral("type")).toString();
            id = message.value(QStringLiteral("reply_to")).toString();
        } else {
            message.insert(QStringLiteral("delta"), QString::fromLatin1(member(payload, "\"delta\":\"")));
        }
        const int chat = chatOf(id);
        if (chat < 0)
            return;
        if (type == QLatin1String("chat_stream_chunk")) {
            // A chunk that waited for a congested relay carries the
            // fragments merged in that time: each is checked in order and
            // each counts its own latency.
            const QString delta = message.value(QStringLiteral("delta")).toString();
            if (delta.isEmpty() || delta.size() % kFragmentChars != 0) {
                fail(QStringLiteral("%1: chunk \"%2\" is not whole fragments").arg(id, delta));
                return;
            }
            if (delta.size() > kFragmentChars)
                ++m_result.mergedChunks;
            for (qsizetype pos = 0; pos < delta.size(); pos += kFragmentChars) {
                const QStringView piece = QStringView(delta).sliced(pos, kFragmentChars);
                const int k = m_nextFragment[size_t(chat)];
                if (k >= m_phaseFragments || piece != fragmentText(k)) {
                    fail(QStringLiteral("%1: chunk \"%2\" out of order").arg(id, piece.toString()));
                    return;
                }
                ++m_nextFragment[size_t(chat)];
                const qint64 written = m_written[size_t(chat)][size_t(k)];
                if (written < 0) {
                    fail(QStringLiteral("%1: chunk %2 before its fragment was written").arg(id).arg(k));
                    return;
                }
                m_result.latenciesNs.push_back(at - written);
            }
        } else if (type == QLatin1String("chat_stream_end")) {
            if (m_nextFragment[size_t(chat)] != m_phaseFragments)
                fail(QStringLiteral("%1: ended after %2 chunks").arg(id).arg(m_nextFragment[size_t(chat)]));
            ++m_ended;
        } else if (type == QLatin1String("chat_response")) {
            fail(QStringLiteral("%1: %2").arg(id, message.value(QStringLiteral("content")).toString()));
            ++m_ended;
        }
    }

    Path m_path;
    RelayStandIn m_relay;
    HttpStandIn m_http;
    GatewayWsStandIn m_ws;

    QString m_phase;
    int m_phaseChats = 0;
    int m_phaseFragments = 0;
    int m_paceMs = 0;
    QHash<int, int> m_requestChat;              // gateway request index -> chat
    std::vector<std::vector<qint64>> m_written; // chat -> fragment -> write time
    std::vector<int> m_nextFragment;
    std::vector<std::shared_ptr<WsStream>> m_streams;
    int m_ended = 0;
    PhaseResult m_result;
};

// Everything measured on one path.
struct PathResult {
    Path path;
    qint64 idleRssKb = -1;
    PhaseResult paced, burst, shortAnswers, longAnswers;
    double idleCpuMsPerSecond = -1;
    bool ok = false;

    qint64 peakRssKb() const
    {
        return std::max({paced.peakRssKb, burst.peakRssKb, shortAnswers.peakRssKb, longAnswers.peakRssKb});
    }
    int errors() const { return paced.errors + burst.errors + shortAnswers.errors + longAnswers.errors; }
};

struct Options {
    int chats = 10;
    int fragments = 1000;
    int paceMs = 1;
    int runs = 3;
    bool pin = false;
    bool relayDeflate = false;
    QString bridgeLog; // where the bridge's log goes (default: nowhere)
};

constexpr int kShortAnswerChars = 200;
constexpr int kIdleMeasureMs = 5000;
constexpr int kLongAnswerChars = 20000;

PathResult measurePath(Path path, const Options &options)
{
    PathResult out;
    out.path = path;
    const QString token = QStringLiteral("bench-bridge-token");
    Bench bench(path, options.relayDeflate);
    if (!bench.startStandIns(token)) {
        std::fprintf(stderr, "chat_path: cannot listen on loopback\n");
        return out;
    }

    // The child keeps its tokens in a file store of its own: whatever store
    // the user (or an earlier test in the same session) chose, and any
    // session bus, stay out of the measurement.
    QTemporaryDir childHome;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), childHome.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), childHome.filePath(QStringLiteral("config")));
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    QProcess bridge;
    bridge.setProcessEnvironment(env);
    bridge.setProgram(QCoreApplication::applicationFilePath());
    bridge.setArguments({QStringLiteral("--bridge-child"), bench.relayOrigin().toString(),
                         bench.gatewayUrl().toString(), token, QString::number(options.pin ? 1 : -1)});
    bridge.setStandardOutputFile(QProcess::nullDevice());
    // Its log, as a service's would go to the journal.
    bridge.setStandardErrorFile(options.bridgeLog.isEmpty() ? QProcess::nullDevice() : options.bridgeLog,
                                QIODevice::Append);
    bridge.start();
    if (!bridge.waitForStarted(30000) || !bench.waitForBridge()) {
        std::fprintf(stderr, "chat_path: the bridge did not connect to the stand-ins (%s)\n", pathName(path));
        bridge.kill();
        bridge.waitForFinished();
        return out;
    }
    const qint64 pid = bridge.processId();

    // Warm-up (not reported): connections, allocations, code paths.
    const PhaseResult warmup = bench.run(QStringLiteral("warmup"), options.chats, 50, 0, pid);
    for (const QString &e : warmup.errorTexts)
        std::fprintf(stderr, "chat_path: warm-up (%s): %s\n", pathName(path), qPrintable(e));
    out.idleRssKb = statusKb(pid, "VmRSS");
    // What the bridge spends with nothing to forward (pings, health checks,
    // timers): part of every paced fragment's share.
    {
        const qint64 before = processCpuNs(pid);
        QEventLoop idle;
        QTimer::singleShot(kIdleMeasureMs, &idle, &QEventLoop::quit);
        idle.exec();
        out.idleCpuMsPerSecond = double(processCpuNs(pid) - before) / 1e6 / (kIdleMeasureMs / 1000.0);
    }

    out.paced = bench.run(QStringLiteral("paced"), options.chats, options.fragments, options.paceMs, pid);
    // Bursts are short: the median of three runs (by CPU per fragment)
    // keeps one noisy moment of the machine out of the figures.
    const auto median = [&](const QString &name, int chats, int fragments) {
        std::vector<PhaseResult> runs;
        for (int i = 0; i < 3; ++i) // ids of their own: each run's chats are new ones
            runs.push_back(
                bench.run(i ? QStringLiteral("%1.%2").arg(name).arg(i + 1) : name, chats, fragments, 0, pid));
        std::sort(runs.begin(), runs.end(), [](const PhaseResult &a, const PhaseResult &b) {
            return a.cpuUsPerFragment() < b.cpuUsPerFragment();
        });
        PhaseResult middle = runs[1];
        for (const PhaseResult &run : runs) {
            middle.peakRssKb = std::max(middle.peakRssKb, run.peakRssKb);
            if (&run != &runs[1]) {
                middle.errors += run.errors;
                middle.errorTexts += run.errorTexts;
            }
        }
        return middle;
    };
    out.burst = median(QStringLiteral("burst"), options.chats, options.fragments);
    // The same number of fragments, in short answers and in long ones.
    const int longFragments = kLongAnswerChars / kFragmentChars;
    const int shortFragments = kShortAnswerChars / kFragmentChars;
    out.shortAnswers =
        median(QStringLiteral("short"), std::max(1, 2 * longFragments / shortFragments / 4), shortFragments);
    out.longAnswers = median(QStringLiteral("long"), 2, longFragments);
    out.ok = true;

    bridge.terminate();
    if (!bridge.waitForFinished(10000)) {
        bridge.kill();
        bridge.waitForFinished();
    }
    return out;
}

void printErrors(const PathResult &r)
{
    for (const PhaseResult *phase : {&r.paced, &r.burst, &r.shortAnswers, &r.longAnswers}) {
        for (const QString &e : phase->errorTexts)
            std::printf("  ERROR (%s, %s): %s\n", pathName(r.path), qPrintable(phase->name), qPrintable(e));
        if (phase->errors > phase->errorTexts.size())
            std::printf("  ... %d errors in all (%s, %s)\n", phase->errors, pathName(r.path), qPrintable(phase->name));
    }
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
    Options options;
    options.pin = cpus >= 2;
    if (options.pin)
        pinToCpu(0);

    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Streams C concurrent chats of M fragments each through the bridge, between loopback stand-ins of the "
        "relay and the gateway, on the HTTP/SSE path and on the WebSocket agent-event path, and prints "
        "throughput, added latency, CPU time and memory of the bridge process."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("chats"), QStringLiteral("Concurrent chats C (default 10)."),
                                 QStringLiteral("[C]"));
    parser.addPositionalArgument(QStringLiteral("fragments"), QStringLiteral("Fragments per chat M (default 1000)."),
                                 QStringLiteral("[M]"));
    QCommandLineOption paceOption(QStringLiteral("pace-ms"),
                                  QStringLiteral("Gap between two fragments of a chat in the paced run (default 1)."),
                                  QStringLiteral("ms"), QStringLiteral("1"));
    QCommandLineOption pathOption(QStringLiteral("path"), QStringLiteral("http, ws or both (default both)."),
                                  QStringLiteral("path"), QStringLiteral("both"));
    QCommandLineOption logOption(QStringLiteral("bridge-log"),
                                 QStringLiteral("Append the bridge's log (info level) to this file."),
                                 QStringLiteral("file"));
    QCommandLineOption runsOption(QStringLiteral("runs"),
                                  QStringLiteral("Measure each path this many times, each with a fresh bridge, and "
                                                 "print the median with the lowest and highest figure (default 3)."),
                                  QStringLiteral("n"), QStringLiteral("3"));
    QCommandLineOption deflateOption(
        QStringLiteral("relay-deflate"),
        QStringLiteral("The relay stand-in takes permessage-deflate (default: it declines, "
                       "as Qt's server does)."));
    parser.addOptions({paceOption, pathOption, logOption, runsOption, deflateOption});
    parser.process(app);
    const QStringList positional = parser.positionalArguments();
    options.chats = std::max(1, positional.value(0, QStringLiteral("10")).toInt());
    options.fragments = std::clamp(positional.value(1, QStringLiteral("1000")).toInt(), 1, 9999);
    options.paceMs = std::max(1, parser.value(paceOption).toInt());
    const QString which = parser.value(pathOption);
    options.bridgeLog = parser.value(logOption);
    options.runs = std::clamp(parser.value(runsOption).toInt(), 1, 99);
    options.relayDeflate = parser.isSet(deflateOption);

    // One list of runs per path. The paths take turns, so that a machine
    // that gets busier or quieter meanwhile weighs on both alike.
    std::vector<std::vector<PathResult>> results;
    std::vector<Path> paths;
    if (which != QLatin1String("ws"))
        paths.push_back(Path::http);
    if (which != QLatin1String("http"))
        paths.push_back(Path::webSocket);
    results.resize(paths.size());
    for (int run = 0; run < options.runs; ++run) {
        for (size_t i = 0; i < paths.size(); ++i)
            results[i].push_back(measurePath(paths[i], options));
    }

    std::printf("chat_path: C = %d concurrent chats x M = %d fragments of %d characters, paced every %d ms; "
                "%d run%s per path\n",
                options.chats, options.fragments, kFragmentChars, options.paceMs, options.runs,
                options.runs == 1 ? "" : "s");
    std::printf("method: the bridge (BridgeManager with the headless dependencies) runs alone in a child process%s;\n"
                "        the relay and gateway stand-ins run in this process%s. Latency: gateway stand-in has\n"
                "        written and flushed a fragment -> relay stand-in has decoded its chunk (one monotonic\n"
                "        clock; includes both loopback hops and the stand-ins' framing). CPU: all threads of\n"
                "        the bridge process (schedstat). Memory: the bridge process's RSS (VmRSS after warm-up,\n"
                "        VmHWM during each run). The WebSocket path runs one chat per agent at a time, as the\n"
                "        gateway requires, so its C chats queue. With several runs each figure is the median,\n"
                "        with the lowest and highest in brackets.\n",
                options.pin ? " pinned to CPU 1" : " (not pinned: fewer than 2 CPUs)", options.pin ? " on CPU 0" : "");

    // A figure of every successful run of one path, sorted.
    const auto figures = [](const std::vector<PathResult> &runs, const std::function<double(const PathResult &)> &of) {
        std::vector<double> values;
        for (const PathResult &r : runs) {
            if (r.ok)
                values.push_back(of(r));
        }
        std::sort(values.begin(), values.end());
        return values;
    };
    const auto median = [](const std::vector<double> &values) {
        const size_t n = values.size();
        return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    };
    auto row = [&](const char *label, int decimals, const std::function<double(const PathResult &)> &of) {
        std::printf("  %-44s", label);
        for (const std::vector<PathResult> &runs : results) {
            const std::vector<double> values = figures(runs, of);
            QString cell = QStringLiteral("failed");
            if (values.size() == 1) {
                cell = QString::number(values.front(), 'f', decimals);
            } else if (!values.empty()) {
                cell = QStringLiteral("%1 (%2-%3)")
                           .arg(QString::number(median(values), 'f', decimals),
                                QString::number(values.front(), 'f', decimals),
                                QString::number(values.back(), 'f', decimals));
            }
            std::printf(" %28s", qPrintable(cell));
        }
        std::printf("\n");
    };
    std::printf("  %-44s", "");
    for (const Path path : paths)
        std::printf(" %28s", pathName(path));
    std::printf("\n");
    row("fragments/s, burst", 0, [](const PathResult &r) { return r.burst.rate(); });
    row("fragments/s, paced", 0, [](const PathResult &r) { return r.paced.rate(); });
    row("CPU us per fragment, burst (target <= 6)", 2, [](const PathResult &r) { return r.burst.cpuUsPerFragment(); });
    row("CPU us per fragment, paced (target <= 15)", 2, [](const PathResult &r) { return r.paced.cpuUsPerFragment(); });
    row("added latency p50 ms, paced (<= 0.08)", 3, [](const PathResult &r) { return r.paced.percentileMs(50); });
    row("added latency p99 ms, paced (<= 0.5)", 3, [](const PathResult &r) { return r.paced.percentileMs(99); });
    row("added latency max ms, paced", 3, [](const PathResult &r) { return r.paced.percentileMs(100); });
    row("added latency p50 ms, burst (queueing)", 3, [](const PathResult &r) { return r.burst.percentileMs(50); });
    row("bridge CPU ms per second, idle", 2, [](const PathResult &r) { return r.idleCpuMsPerSecond; });
    row("bridge RSS MB, idle after warm-up", 1, [](const PathResult &r) { return double(r.idleRssKb) / 1024.0; });
    row("bridge RSS MB, peak", 1, [](const PathResult &r) { return double(r.peakRssKb()) / 1024.0; });
    const QString shortLabel = QStringLiteral("CPU us/fragment, %1-char answers (burst)").arg(kShortAnswerChars);
    const QString longLabel = QStringLiteral("CPU us/fragment, %1-char answers (burst)").arg(kLongAnswerChars);
    row(qPrintable(shortLabel), 2, [](const PathResult &r) { return r.shortAnswers.cpuUsPerFragment(); });
    row(qPrintable(longLabel), 2, [](const PathResult &r) { return r.longAnswers.cpuUsPerFragment(); });
    row("  long / short (flat = 1)", 2, [](const PathResult &r) {
        const double shortCost = r.shortAnswers.cpuUsPerFragment();
        return shortCost > 0 ? r.longAnswers.cpuUsPerFragment() / shortCost : 0.0;
    });
    row("MB sent to the relay, long answers", 1,
        [](const PathResult &r) { return double(r.longAnswers.relayBytes) / (1024.0 * 1024.0); });
    const auto multiple = [](const PhaseResult &p) {
        return p.answerBytes ? double(p.wireBytes) / double(p.answerBytes) : 0.0;
    };
    row(options.relayDeflate ? "relay link bytes / answer bytes, short (deflate)"
                             : "relay link bytes / answer bytes, short",
        1, [&](const PathResult &r) { return multiple(r.shortAnswers); });
    row(options.relayDeflate ? "relay link bytes / answer bytes, long (deflate)"
                             : "relay link bytes / answer bytes, long",
        1, [&](const PathResult &r) { return multiple(r.longAnswers); });
    row("chunks merged for a congested relay (burst, long)", 0,
        [](const PathResult &r) { return double(r.burst.mergedChunks + r.longAnswers.mergedChunks); });
    std::printf("  (every chunk carries the whole text so far: without permessage-deflate (--relay-deflate) the\n"
                "   bytes a long answer puts on the relay link grow with the square of its length)\n");

    int errors = 0;
    for (size_t i = 0; i < paths.size(); ++i) {
        for (const PathResult &r : results[i]) {
            printErrors(r);
            errors += r.ok ? r.errors() : 1;
        }
        const auto at = [&](const std::function<double(const PathResult &)> &of) {
            const std::vector<double> values = figures(results[i], of);
            return values.empty() ? -1.0 : median(values);
        };
        const double burst = at([](const PathResult &r) { return r.burst.cpuUsPerFragment(); });
        const double paced = at([](const PathResult &r) { return r.paced.cpuUsPerFragment(); });
        const double p50 = at([](const PathResult &r) { return r.paced.percentileMs(50); });
        const double p99 = at([](const PathResult &r) { return r.paced.percentileMs(99); });
        if (burst < 0)
            continue;
        std::printf("targets (%s%s): burst %.2f us %s; paced %.2f us %s; p50 %.3f ms %s; p99 %.3f ms %s\n",
                    pathName(paths[i]), options.runs > 1 ? ", medians" : "", burst, verdict(burst <= 6.0), paced,
                    verdict(paced <= 15.0), p50, verdict(p50 <= 0.08), p99, verdict(p99 <= 0.5));
    }
    if (errors)
        std::printf("ERRORS: %d (see above)\n", errors);
    return errors ? 1 : 0;
}
