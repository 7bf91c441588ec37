// Fault runs: the real BridgeManager between loopback stand-ins while its
// links are killed mid-chat, over and over. After every fault each chat that
// reached the bridge got exactly one closing message (none when the relay
// link was down as it left), the links come back within their backoff, no
// credential is lost and memory settles back to its idle level. Each run
// prints its figures.
#include "bridge_rig.h"
#include "fault_ledger.h"
#include "frozen_paths_rig.h"
#include "gateway_ws_stand_in.h"
#include "private_bus.h"

#include "keyring/libsecret_backend.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>

using namespace halvex;
using namespace halvex::test;

namespace {

constexpr int kKills = 20;

const QString kChunk = QStringLiteral("chat_stream_chunk");
const QString kEnd = QStringLiteral("chat_stream_end");
const QString kResponse = QStringLiteral("chat_response");
const QByteArray kCompletions = QByteArrayLiteral("/v1/chat/completions");

QStringList fragments(int count)
{
    QStringList out;
    for (int i = 0; i < count; ++i)
        out << QStringLiteral("f%1 ").arg(i);
    return out;
}

// Answers every chat with a slow stream of `count` fragments.
HttpStandIn::Handler streamingAnswers(int count, int delayMs)
{
    return [count, delayMs](const HttpRequest &request) -> std::optional<ScriptedResponse> {
        if (request.path() != kCompletions)
            return std::nullopt;
        return ScriptedResponse::eventStream(sse::chatStream(fragments(count)), delayMs);
    };
}

// A bridge on the relay stand-in and the HTTP gateway stand-in, whose
// answers stream `count` fragments `delayMs` apart. The gateway socket is
// left out: chats take the HTTP road.
bool launchOnHttpGateway(BridgeRig &rig, int count, int delayMs)
{
    rig.timings.chat.gatewaySocketWait = std::chrono::milliseconds(200);
    if (!rig.startStandIns())
        return false;
    rig.gateway.setHandler(streamingAnswers(count, delayMs));
    rig.storeBridgeToken();
    rig.pointAtGateway();
    if (!rig.launch())
        return false;
    rig.bridge->openClawWebSocket()->disconnect();
    return true;
}

// A bridge on the relay stand-in and the gateway WebSocket stand-in.
bool launchOnSocketGateway(BridgeRig &rig, GatewayWsStandIn &ws)
{
    if (!rig.startStandIns() || !ws.listen())
        return false;
    ws.setGatewayToken(BridgeRig::gatewayToken);
    rig.storeBridgeToken();
    rig.settings->setString(SettingsKey::openClawEndpoint, ws.httpUrl().toString());
    if (!rig.credentials->save(CredentialService::openClaw(), BridgeRig::gatewayToken))
        return false;
    return rig.launch() && QTest::qWaitFor([&] { return rig.bridge->openClawWebSocket()->isUsableForChat(); }, 30000);
}

int backoffBoundMs(std::chrono::milliseconds maxDelay)
{
    // The longest wait of the backoff, plus a generous allowance for an
    // opening on a loaded machine.
    return int(maxDelay.count()) + 15000;
}

} // namespace

class TestFaultRuns : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void relayKilledWhileChatsStream()
    {
        BridgeRig rig;
        QVERIFY(launchOnHttpGateway(rig, 12, 40));
        FaultLedger ledger(rig);
        MemoryTrend memory;
        const int bound = backoffBoundMs(rig.timings.relay.link.maxDelay);
        qint64 slowestReturnMs = 0;

        for (int kill = 1; kill <= kKills; ++kill) {
            QStringList ids;
            for (int i = 0; i < 3; ++i) {
                ids << QStringLiteral("k%1-%2").arg(kill).arg(i);
                ledger.send(ids.last(), QStringLiteral("question %1").arg(ids.last()));
            }
            // Every chat is streaming when the relay goes.
            QVERIFY(QTest::qWaitFor(
                [&] {
                    return std::all_of(ids.cbegin(), ids.cend(),
                                       [&](const QString &id) { return ledger.chunksAtRelay(id) > 0; });
                },
                30000));
            rig.relay.stop();
            QVERIFY(QTest::qWaitFor(
                [&] { return rig.bridge->connectionState() == BridgeConnectionState::connecting(); }, 15000));
            // Every other time the relay stays away until the chats ended:
            // their closing messages have nowhere to go.
            if (kill % 2 == 0)
                QVERIFY(ledger.waitAllClosed());
            QElapsedTimer back;
            back.start();
            QVERIFY(rig.relay.start());
            QVERIFY2(rig.waitConnected(bound),
                     qPrintable(QStringLiteral("relay link not back after kill %1").arg(kill)));
            slowestReturnMs = std::max(slowestReturnMs, back.elapsed());
            QVERIFY(ledger.waitAllClosed());
            QVERIFY(ledger.check());
            memory.afterKill(kill);
        }

        // Afterwards a chat is answered in full.
        ledger.send(QStringLiteral("after"), QStringLiteral("still there?"));
        verifyAnswered(rig.waitForClosing(QStringLiteral("after")), QStringLiteral("after"),
                       fragments(12).join(QString()));
        QVERIFY(ledger.waitAllClosed());
        QVERIFY(ledger.check());
        qInfo("relay killed mid-stream: kills survived %d, chats checked %d (%d closed while the relay was down), "
              "messages lost: 0, slowest return %lld ms (bound %d ms)",
              kKills, ledger.checked(), ledger.closedWhileDown(), static_cast<long long>(slowestReturnMs), bound);
        QVERIFY(memory.finish("relay kills", kKills));
    }

    void httpGatewayKilledMidStream()
    {
        BridgeRig rig;
        QVERIFY(launchOnHttpGateway(rig, 40, 50));
        FaultLedger ledger(rig);
        MemoryTrend memory;
        const quint16 port = rig.gateway.port();

        for (int kill = 1; kill <= kKills; ++kill) {
            const QString id = QStringLiteral("h%1").arg(kill);
            ledger.send(id, QStringLiteral("question ") + id);
            QVERIFY(QTest::qWaitFor([&] { return ledger.chunksAtRelay(id) > 0; }, 30000));
            rig.gateway.close(); // every connection aborted, the port refused
            QVERIFY(ledger.waitAllClosed());
            QVERIFY(rig.gateway.listen(QHostAddress(QHostAddress::LocalHost), port));
            // A cut stream is a failure, never an answer.
            const QList<QJsonObject> replies = rig.waitForClosing(id);
            QVERIFY(!replies.isEmpty());
            QCOMPARE(text(replies.last(), "type"), kResponse);
            QVERIFY(ledger.check());
            memory.afterKill(kill);
        }

        ledger.send(QStringLiteral("after"), QStringLiteral("still there?"));
        verifyAnswered(rig.waitForClosing(QStringLiteral("after"), 30000), QStringLiteral("after"),
                       fragments(40).join(QString()));
        QVERIFY(ledger.waitAllClosed());
        QVERIFY(ledger.check());
        qInfo("HTTP gateway killed mid-stream: kills survived %d, chats checked %d, messages lost: 0", kKills,
              ledger.checked());
        QVERIFY(memory.finish("HTTP gateway kills", kKills));
    }

    void gatewaySocketKilledMidStream()
    {
        BridgeRig rig;
        GatewayWsStandIn ws;
        QVERIFY(launchOnSocketGateway(rig, ws));
        FaultLedger ledger(rig);
        MemoryTrend memory;
        const int bound = backoffBoundMs(rig.timings.openClawWebSocket.link.maxDelay);
        qint64 slowestReturnMs = 0;

        for (int kill = 1; kill <= kKills; ++kill) {
            const QString id = QStringLiteral("w%1").arg(kill);
            const int sends = int(ws.framesWithMethod(QStringLiteral("chat.send")).size());
            ws.queueChatScript(GatewayWsStandIn::ChatScript::held({QStringLiteral("part"), QStringLiteral("partial")}));
            ledger.send(id, QStringLiteral("question ") + id);
            QVERIFY(QTest::qWaitFor([&] { return ledger.chunksAtRelay(id) > 0; }, 30000));
            // A second chat for the agent waits its turn behind the first.
            const QString queued = id + QStringLiteral("-queued");
            ledger.send(queued, QStringLiteral("and then?"));
            QVERIFY(QTest::qWaitFor([&] { return rig.bridge->chatPipeline()->chatsInFlight() == 2; }, 30000));
            QCOMPARE(int(ws.framesWithMethod(QStringLiteral("chat.send")).size()), sends + 1); // one on the wire
            ws.setRefuseConnections(true);
            ws.dropConnections();
            QVERIFY(ledger.waitAllClosed());
            QElapsedTimer back;
            back.start();
            ws.setRefuseConnections(false);
            QVERIFY2(QTest::qWaitFor([&] { return rig.bridge->openClawWebSocket()->isUsableForChat(); }, bound),
                     qPrintable(rig.bridge->openClawWebSocket()->state().description()));
            slowestReturnMs = std::max(slowestReturnMs, back.elapsed());
            // The cut one failed; the waiting one got one closing message too
            // (the ledger checks it), whichever socket carried it.
            const QList<QJsonObject> replies = rig.waitForClosing(id);
            QVERIFY(!replies.isEmpty());
            QCOMPARE(text(replies.last(), "type"), kResponse);
            QVERIFY(ledger.check());
            memory.afterKill(kill);
        }

        // The next chat takes the socket again and is answered in full.
        ws.queueChatScript(GatewayWsStandIn::ChatScript::stream({QStringLiteral("All"), QStringLiteral("All good")}));
        ledger.send(QStringLiteral("after"), QStringLiteral("still there?"));
        verifyAnswered(rig.waitForClosing(QStringLiteral("after")), QStringLiteral("after"),
                       QStringLiteral("All good"));
        QVERIFY(ledger.waitAllClosed());
        QVERIFY(ledger.check());
        qInfo("gateway socket killed mid-stream: kills survived %d, chats checked %d, messages lost: 0, "
              "slowest return %lld ms (bound %d ms)",
              kKills, ledger.checked(), static_cast<long long>(slowestReturnMs), bound);
        QVERIFY(memory.finish("gateway socket kills", kKills));
    }

    void gatewayPortHeldBySilentListener()
    {
        // Something else took the gateway's port: it accepts every connection
        // and never says a word.
        QTcpServer silent;
        QList<QTcpSocket *> held;
        QObject::connect(&silent, &QTcpServer::newConnection, &silent, [&] {
            while (QTcpSocket *socket = silent.nextPendingConnection())
                held.append(socket);
        });
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        const quint16 port = silent.serverPort();

        BridgeRig rig;
        rig.timings.chat.chatDeadline = std::chrono::milliseconds(4000);
        rig.timings.chat.gatewaySocketWait = std::chrono::milliseconds(1000);
        rig.timings.openClawClient.chatTimeout = std::chrono::seconds(4);
        rig.timings.gatewayProbeTimeout = std::chrono::seconds(2);
        rig.timings.openClawWebSocket.challengeTimeout = std::chrono::milliseconds(1000);
        rig.timings.openClawWebSocket.connectResponseTimeout = std::chrono::milliseconds(1000);
        QVERIFY(rig.startStandIns());
        rig.storeBridgeToken();
        rig.settings->setString(SettingsKey::openClawEndpoint, QStringLiteral("http://127.0.0.1:%1").arg(port));
        QVERIFY(rig.credentials->save(CredentialService::openClaw(), BridgeRig::gatewayToken));
        QVERIFY(rig.launch());
        FaultLedger ledger(rig);

        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 4; ++i)
            ledger.send(QStringLiteral("s%1").arg(i), QStringLiteral("anyone?"));
        // Each chat ends by its deadline with a failure, none hangs.
        QVERIFY(ledger.waitAllClosed(60000));
        const qint64 tookMs = clock.elapsed();
        for (int i = 0; i < 4; ++i) {
            const QList<QJsonObject> replies = rig.waitForClosing(QStringLiteral("s%1").arg(i));
            QCOMPARE(replies.size(), 1);
            QCOMPARE(text(replies.first(), "type"), kResponse);
        }
        QVERIFY(ledger.check());
        QVERIFY(!held.isEmpty());
        QVERIFY(!rig.bridge->openClawWebSocket()->isUsableForChat());
        QVERIFY(QTest::qWaitFor([&] { return !rig.bridge->openClawReachable(); }, 15000));
        QCOMPARE(rig.bridge->connectionState(), BridgeConnectionState::connected());

        // The squatter goes and the gateway starts on its port: the bridge
        // finds it by itself.
        silent.close();
        for (QTcpSocket *socket : std::as_const(held))
            socket->abort();
        qDeleteAll(held);
        const int squatted = int(held.size());
        held.clear();
        GatewayWsStandIn ws;
        ws.setGatewayToken(BridgeRig::gatewayToken);
        QVERIFY(ws.listen(port));
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->openClawWebSocket()->isUsableForChat(); },
                                backoffBoundMs(rig.timings.openClawWebSocket.link.maxDelay)));
        ws.queueChatScript(
            GatewayWsStandIn::ChatScript::stream({QStringLiteral("Back"), QStringLiteral("Back again")}));
        ledger.send(QStringLiteral("back"), QStringLiteral("there now?"));
        verifyAnswered(rig.waitForClosing(QStringLiteral("back"), 60000), QStringLiteral("back"),
                       QStringLiteral("Back again"));
        QCOMPARE(ws.framesWithMethod(QStringLiteral("chat.send")).size(), 1);
        QVERIFY(ledger.waitAllClosed());
        QVERIFY(ledger.check());
        qInfo("gateway port held by a silent listener: %d connections held, chats checked %d, all 4 failed "
              "within %lld ms (deadline 4000 ms each), messages lost: 0",
              squatted, ledger.checked(), static_cast<long long>(tookMs));
    }

    // A path that dies without a word (no FIN, no reset) under one link,
    // again and again, while a chat is under way: the heartbeat notices, the
    // link comes back over a fresh connection, a chat cut on the gateway
    // side still gets its one closing message, and the next chat is
    // answered in full.
    void pathFrozenMidChat_data()
    {
        QTest::addColumn<bool>("underGateway");
        QTest::newRow("relay") << false;
        QTest::newRow("gateway socket") << true;
    }

    void pathFrozenMidChat()
    {
        QFETCH(bool, underGateway);
        constexpr int kFreezes = 6;
        FrozenPathsRig rig;
        // A short heartbeat, so that each freeze is noticed in about a second.
        for (LinkKeeper::Timings *link : {&rig.timings.relay.link, &rig.timings.openClawWebSocket.link}) {
            link->heartbeatInterval = std::chrono::milliseconds(300);
            link->heartbeatGrid = std::chrono::milliseconds(0);
            link->heartbeatDeadline = std::chrono::milliseconds(1000);
        }
        QVERIFY(rig.launchBehindProxies());
        GatewayWsStandIn &ws = rig.ws;
        FrozenPathProxy &relayPath = *rig.relayPath;
        FrozenPathProxy &gatewayPath = *rig.gatewayPath;
        GatewayWebSocket *socket = rig.bridge->openClawWebSocket();
        MemoryTrend memory;
        qint64 slowestReturnMs = 0;

        for (int freeze = 1; freeze <= kFreezes; ++freeze) {
            const QString id = QStringLiteral("z%1").arg(freeze);
            ws.queueChatScript(GatewayWsStandIn::ChatScript::held({QStringLiteral("part"), QStringLiteral("partial")}));
            QVERIFY(rig.relay.sendJson(BridgeRig::chatMessage(id, QStringLiteral("u-") + id,
                                                              {{QStringLiteral("content"), QStringLiteral("hi")}})));
            QVERIFY(QTest::qWaitFor([&] { return !rig.repliesTo(id).isEmpty(); }, 30000));
            const int relayBefore = rig.relay.acceptedCount();
            const int gatewayBefore = ws.connectionCount();
            (underGateway ? gatewayPath : relayPath).freeze();
            QElapsedTimer back;
            back.start();
            QVERIFY2(QTest::qWaitFor(
                         [&] {
                             return underGateway
                                        ? ws.connectionCount() > gatewayBefore && socket->isUsableForChat()
                                        : rig.relay.acceptedCount() > relayBefore &&
                                              rig.bridge->connectionState() == BridgeConnectionState::connected();
                         },
                         60000),
                     qPrintable(QStringLiteral("link not back after freeze %1").arg(freeze)));
            slowestReturnMs = std::max(slowestReturnMs, back.elapsed());
            if (underGateway) {
                // The chat cut with the path failed, once.
                const QList<QJsonObject> replies = rig.waitForClosing(id, 30000);
                QVERIFY(!replies.isEmpty());
                QCOMPARE(text(replies.last(), "type"), kResponse);
                QCOMPARE(int(std::count_if(replies.cbegin(), replies.cend(), BridgeRig::isClosing)), 1);
            } else {
                // Its answer ends on the new relay connection.
                ws.releaseHeldChat();
                QVERIFY(!rig.waitForClosing(id, 30000).isEmpty());
            }
            memory.afterKill(freeze);
        }

        ws.queueChatScript(GatewayWsStandIn::ChatScript::stream({QStringLiteral("All"), QStringLiteral("All good")}));
        QVERIFY(rig.relay.sendJson(BridgeRig::chatMessage(QStringLiteral("after"), QStringLiteral("u-after"),
                                                          {{QStringLiteral("content"), QStringLiteral("still?")}})));
        verifyAnswered(rig.waitForClosing(QStringLiteral("after"), 30000), QStringLiteral("after"),
                       QStringLiteral("All good"));
        qInfo("path frozen under the %s link: freezes survived %d, slowest return %lld ms (heartbeat 300 ms + "
              "deadline 1000 ms), frozen connections held %d",
              underGateway ? "gateway" : "relay", kFreezes, static_cast<long long>(slowestReturnMs),
              (underGateway ? gatewayPath : relayPath).frozenConnections());
        QVERIFY(memory.finish(underGateway ? "gateway path freezes" : "relay path freezes", kFreezes));
    }

    void stalledRelayBoundsWhatTheBridgeHolds_data()
    {
        QTest::addColumn<bool>("overSocket");
        QTest::newRow("http") << false;
        QTest::newRow("websocket") << true;
    }

    void stalledRelayBoundsWhatTheBridgeHolds()
    {
        QFETCH(bool, overSocket);
        constexpr qint64 highWatermark = 64 * 1024;
        BridgeRig rig;
        rig.timings.relay.highWatermarkBytes = highWatermark;
        rig.timings.relay.lowWatermarkBytes = 16 * 1024;
        rig.timings.chat.gatewaySocketWait = std::chrono::milliseconds(200);
        GatewayWsStandIn ws;
        // Every chunk carries the whole text so far: megabytes in all.
        const QStringList pieces = [] {
            QStringList out;
            for (int i = 0; i < 1500; ++i)
                out << QStringLiteral("w%1 ").arg(i, 5, 10, QLatin1Char('0'));
            return out;
        }();
        const QString answer = pieces.join(QString());
        if (overSocket) {
            QVERIFY(launchOnSocketGateway(rig, ws));
            QStringList texts;
            QString text;
            for (const QString &piece : pieces)
                texts << (text += piece);
            ws.queueChatScript(GatewayWsStandIn::ChatScript::stream(texts));
        } else {
            QVERIFY(rig.createConnected());
            rig.bridge->openClawWebSocket()->disconnect();
            rig.gateway.enqueue(ScriptedResponse::eventStream(sse::chatStream(pieces)), kCompletions);
        }
        FaultLedger ledger(rig);
        RelayWebSocket *link = rig.bridge->relayWebSocket();

        qint64 mostPending = 0;
        int mostHeld = 0;
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout, link, [&] {
            mostPending = std::max(mostPending, link->pendingBytes());
            mostHeld = std::max(mostHeld, rig.bridge->chatPipeline()->heldChunkCount());
        });
        QObject::connect(link, &RelayWebSocket::congested, link,
                         [&] { mostPending = std::max(mostPending, link->pendingBytes()); });
        sampler.start(1);

        QVERIFY(rig.relay.pauseReading());
        ledger.send(QStringLiteral("m-1"), QStringLiteral("Hi"));
        QVERIFY(QTest::qWaitFor([&] { return link->isCongested(); }, 30000));
        // The whole answer reaches the bridge while the relay reads nothing.
        if (overSocket)
            QVERIFY(QTest::qWaitFor([&] { return ledger.closedInPipeline(QStringLiteral("m-1")); }, 60000));
        else
            QVERIFY(rig.bridge->openClawClient()->isStreamReadingPaused());
        const qint64 pendingWhileStalled = link->pendingBytes();

        QVERIFY(rig.relay.resumeReading());
        const QList<QJsonObject> replies = rig.waitForClosing(QStringLiteral("m-1"), 60000);
        sampler.stop();
        verifyAnswered(replies, QStringLiteral("m-1"), answer);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(ledger.waitAllClosed());
        QVERIFY(ledger.check());
        QCOMPARE(rig.bridge->chatPipeline()->heldChunkCount(), 0);
        QVERIFY(!link->isCongested());
        qInfo("stalled relay (%s): %d gateway deltas became %lld relay chunks; at most %lld bytes queued for the "
              "relay (%lld after the whole answer came in), watermark %lld; messages lost: 0",
              overSocket ? "websocket" : "http", int(pieces.size()), static_cast<long long>(replies.size() - 1),
              static_cast<long long>(mostPending), static_cast<long long>(pendingWhileStalled),
              static_cast<long long>(highWatermark));
        // The watermark plus about one merged chunk (the whole text twice).
        QVERIFY2(mostPending < highWatermark + 4 * answer.size() + 16 * 1024, qPrintable(QString::number(mostPending)));
    }

    void relayKilledWhileStalled()
    {
        BridgeRig rig;
        rig.timings.relay.highWatermarkBytes = 64 * 1024;
        rig.timings.relay.lowWatermarkBytes = 16 * 1024;
        GatewayWsStandIn ws;
        QVERIFY(launchOnSocketGateway(rig, ws));
        FaultLedger ledger(rig);
        ChatPipeline *pipeline = rig.bridge->chatPipeline();
        GatewayHttpClient *client = rig.bridge->openClawClient();

        // An answer long enough to congest the link whatever the kernel
        // buffers take (megabytes in all), held up before its end.
        QStringList texts;
        QString text;
        for (int i = 0; i < 1500; ++i)
            texts << (text += QStringLiteral("w%1 ").arg(i, 5, 10, QLatin1Char('0')));
        GatewayWsStandIn::ChatScript script = GatewayWsStandIn::ChatScript::stream(texts);
        script.end = false;
        ws.queueChatScript(script);
        QVERIFY(rig.relay.pauseReading());
        ledger.send(QStringLiteral("st-1"), QStringLiteral("long one"));
        QVERIFY(QTest::qWaitFor([&] { return pipeline->heldChunkCount() == 1; }, 30000));
        QVERIFY(pipeline->isRelayCongested());

        // The stalled relay dies: what was held goes nowhere, and nothing
        // stays held or paused for the next link.
        rig.relay.stop();
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->connectionState() == BridgeConnectionState::connecting(); },
                                15000));
        QVERIFY(!pipeline->isRelayCongested());
        QVERIFY(!client->isStreamReadingPaused());
        ws.dropConnections(); // the unfinished answer fails
        QVERIFY(ledger.waitAllClosed());
        QCOMPARE(pipeline->heldChunkCount(), 0);
        QVERIFY(rig.relay.start());
        QVERIFY(rig.waitConnected(backoffBoundMs(rig.timings.relay.link.maxDelay)));
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->openClawWebSocket()->isUsableForChat(); },
                                backoffBoundMs(rig.timings.openClawWebSocket.link.maxDelay)));

        // On the new link one gateway delta is one relay chunk again.
        ws.queueChatScript(
            GatewayWsStandIn::ChatScript::stream({QStringLiteral("a"), QStringLiteral("ab"), QStringLiteral("abc")}));
        ledger.send(QStringLiteral("st-2"), QStringLiteral("short one"));
        const QList<QJsonObject> replies = rig.waitForClosing(QStringLiteral("st-2"));
        verifyAnswered(replies, QStringLiteral("st-2"), QStringLiteral("abc"));
        QCOMPARE(replies.size(), 4);
        QVERIFY(ledger.check());
        qInfo("relay killed while stalled: chats checked %d (%d closed while the relay was down), messages lost: 0",
              ledger.checked(), ledger.closedWhileDown());
    }

    // Last: it points this process's session bus at a private one for good.
    void keyringKilledWhileTheBridgeRuns()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        PrivateBus bus(dir.path());
        QVERIFY(bus.start());
        QVERIFY(bus.startEmptyKeyring(true));
        // Nothing in this process has used the session bus yet.
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus.address().toUtf8());
        QVERIFY(LibsecretBackend::isAvailable());

        BridgeRig rig;
        rig.credentials = std::make_unique<CredentialStore>(std::make_unique<LibsecretBackend>());
        GatewayWsStandIn ws;
        QVERIFY(launchOnSocketGateway(rig, ws));
        QVERIFY(QTest::qWaitFor(
            [&] {
                return rig.credentials->load(CredentialService::openClawDeviceTokens())
                    .valueOr(std::nullopt)
                    .has_value();
            },
            15000));
        const auto snapshot = [&] {
            QStringList values;
            for (const QString &service : {CredentialService::bridge(), CredentialService::openClaw(),
                                           CredentialService::openClawDeviceTokens()})
                values << rig.credentials->load(service).valueOr(std::nullopt).value_or(QStringLiteral("<missing>"));
            const SecretLookup key = rig.credentials->loadData(
                CredentialService::openClawDeviceKey(), QString::fromLatin1(CredentialService::deviceKeyAccount));
            values << (key && key.value() ? QString::fromLatin1(key.value()->toHex()) : QStringLiteral("<missing>"));
            return values;
        };
        const QStringList before = snapshot();
        QVERIFY2(!before.contains(QStringLiteral("<missing>")), qPrintable(before.join(QLatin1Char(' '))));
        FaultLedger ledger(rig);

        bus.stopKeyring(); // SIGKILL
        QVERIFY(!rig.credentials->load(CredentialService::bridge()));

        // While the store is gone both links drop and come back, the user
        // asks for a reload, and chats go on.
        rig.relay.stop();
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->connectionState() == BridgeConnectionState::connecting(); },
                                15000));
        QVERIFY(rig.relay.start());
        QVERIFY(rig.waitConnected(backoffBoundMs(rig.timings.relay.link.maxDelay)));
        ws.dropConnections();
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->openClawWebSocket()->isUsableForChat(); },
                                backoffBoundMs(rig.timings.openClawWebSocket.link.maxDelay)));
        rig.bridge->reloadCredentials();
        QCOMPARE(rig.bridge->connectionState(), BridgeConnectionState::connected());
        QCOMPARE(rig.bridge->openClawClient()->gatewayToken(), BridgeRig::gatewayToken);
        QVERIFY(rig.bridge->openClawWebSocket()->isUsableForChat());
        for (int i = 0; i < 3; ++i) {
            const QString id = QStringLiteral("kr%1").arg(i);
            ws.queueChatScript(GatewayWsStandIn::ChatScript::stream({QStringLiteral("ok"), QStringLiteral("ok!")}));
            ledger.send(id, QStringLiteral("are you there?"));
            verifyAnswered(rig.waitForClosing(id), id, QStringLiteral("ok!"));
        }
        QVERIFY(ledger.waitAllClosed());
        QVERIFY(ledger.check());
        QCOMPARE(rig.relay.openConnectionCount(), 1);

        // The keyring comes back: every credential is there, unchanged.
        QVERIFY(bus.startEmptyKeyring(true));
        QCOMPARE(snapshot(), before);
        qInfo("keyring killed while the bridge ran: relay and gateway reconnects survived, a reload kept both "
              "links, chats checked %d, credentials lost: 0 of %d, messages lost: 0",
              ledger.checked(), int(before.size()));
    }
};

FAULT_RUN_MAIN(TestFaultRuns)
#include "tst_fault_runs.moc"
