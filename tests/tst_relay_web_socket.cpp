// The relay link against a loopback relay: receiving, sending, the
// duplicate-connect guard, reconnecting with a doubling delay, disconnect(),
// and sockets that were replaced while they still had something to say.
#include "log_capture.h"
#include "relay/relay_web_socket.h"
#include "relay_stand_in.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>

using namespace halvex;
using halvex::test::LogCapture;
using halvex::test::RelayStandIn;

namespace {

const QString kToken = QStringLiteral("bridge-token-1");
const QString kConnecting = QStringLiteral("Connecting to relay...");
const QString kReconnecting = QStringLiteral("Reconnecting in ");
const QString kDuplicate = QStringLiteral("Already connected — skipping duplicate connect");
const QString kDecodeFailed = QStringLiteral("Failed to decode message: ");
const QString kNoTask = QStringLiteral("sendJSON: no webSocketTask — dropping message");
const QString kInvalidToken = QStringLiteral("Invalid bridge token — cannot build relay URL");

// Records what a link reports, in order.
class Recorder
{
public:
    void attach(RelayWebSocket *link)
    {
        QObject::connect(link, &RelayWebSocket::connected, &m_context, [this] { events << QStringLiteral("connect"); });
        QObject::connect(link, &RelayWebSocket::disconnected, &m_context, [this](const std::optional<Error> &error) {
            events << QStringLiteral("disconnect");
            errors << error;
        });
        QObject::connect(link, &RelayWebSocket::messageReceived, &m_context,
                         [this](const RelayMessage &message) { received << message; });
        QObject::connect(link, &RelayWebSocket::stateChanged, &m_context,
                         [this](RelayWebSocket::State state) { states << state; });
        QObject::connect(link, &RelayWebSocket::reconnectScheduled, &m_context,
                         [this](std::chrono::milliseconds delay) { delays << delay.count(); });
    }

    int connects() const { return int(events.count(QStringLiteral("connect"))); }
    int disconnects() const { return int(events.count(QStringLiteral("disconnect"))); }

    QStringList events;
    QList<std::optional<Error>> errors;
    QList<RelayMessage> received;
    QList<RelayWebSocket::State> states;
    QList<qint64> delays; // milliseconds

private:
    QObject m_context;
};

RelayWebSocket::Timings fastTimings()
{
    RelayWebSocket::Timings t;
    t.link.heartbeatInterval = std::chrono::milliseconds(30000);
    t.link.initialDelay = std::chrono::milliseconds(10);
    t.link.maxDelay = std::chrono::milliseconds(600);
    return t;
}

// Lets timers that are due within `seconds` fire. Qt fires timers in the
// order they fall due, so anything the link scheduled for earlier has run.
void waitPast(double seconds)
{
    QObject context;
    bool fired = false;
    QTimer::singleShot(int(seconds * 1000), &context, [&] { fired = true; });
    QVERIFY(QTest::qWaitFor([&] { return fired; }, int(seconds * 1000) + 30000));
}

QJsonObject chatRequest(const QString &id)
{
    return QJsonObject{
        {QStringLiteral("type"), QStringLiteral("chat_message")},
        {QStringLiteral("id"), id},
        {QStringLiteral("appUserId"), QStringLiteral("u-7")},
        {QStringLiteral("messages"), QJsonArray{QJsonObject{{QStringLiteral("role"), QStringLiteral("user")},
                                                            {QStringLiteral("content"), QStringLiteral("Hi")}}}}};
}

// Whether a terminal would act on something in the text: a C0 or C1
// control, DEL or a direction override.
bool hasRawControl(const QString &text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) {
        const char16_t u = c.unicode();
        return u < 0x20 || (u >= 0x7f && u < 0xa0) || (u >= 0x202a && u <= 0x202e);
    });
}

// One relay stand-in, one link and its recorded owner.
struct Rig {
    explicit Rig(RelayWebSocket::Timings timings = fastTimings())
    {
        relay.acceptToken(kToken);
        if (!relay.start())
            qFatal("relay stand-in could not listen");
        link = std::make_unique<RelayWebSocket>(relay.origin(), timings);
        recorder.attach(link.get());
    }

    // Connects and waits until the owner was told.
    bool connectAndWait(int connectsBefore = 0)
    {
        link->connect(kToken);
        return QTest::qWaitFor([&] { return recorder.connects() > connectsBefore; }, 15000);
    }

    RelayStandIn relay;
    Recorder recorder;
    std::unique_ptr<RelayWebSocket> link;
};

// Small watermarks, so that a stalled relay congests the link quickly.
RelayWebSocket::Timings watermarkTimings()
{
    RelayWebSocket::Timings t = fastTimings();
    t.highWatermarkBytes = 256 * 1024;
    t.lowWatermarkBytes = 64 * 1024;
    return t;
}

// A numbered message of about 64 KiB.
QJsonObject bulkMessage(int seq)
{
    return QJsonObject{{QStringLiteral("type"), QStringLiteral("bulk")},
                       {QStringLiteral("seq"), seq},
                       {QStringLiteral("pad"), QString(64 * 1024, QLatin1Char('x'))}};
}

// Sends numbered messages from `next` on, letting the socket write between
// them, until the link reports congestion (the kernel's buffers fill
// first). Returns the next number, or -1 when the link never congested.
int sendUntilCongested(RelayWebSocket &link, QSignalSpy &congested, int next)
{
    const int limit = next + 2000; // 128 MiB: far beyond any socket buffer
    const qsizetype before = congested.size();
    while (congested.size() == before) {
        if (next == limit)
            return -1;
        link.sendJSON(bulkMessage(next++));
        QCoreApplication::processEvents();
    }
    return next;
}

} // namespace

class TstRelayWebSocket : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Some cases read debug lines.
    void initTestCase() { test::LogCapture::enableDebugLines(); }

    void textAndBinaryFramesReachTheDelegate()
    {
        LogCapture log;
        Rig rig;
        QVERIFY(rig.connectAndWait());
        QCOMPARE(rig.relay.attempts().value(0).token, kToken);
        QCOMPARE(rig.relay.attempts().value(0).path, QStringLiteral("/ws/bridge"));

        QVERIFY(rig.relay.sendJson(chatRequest(QStringLiteral("m-1"))));
        QVERIFY(rig.relay.sendBinary(QJsonDocument(chatRequest(QStringLiteral("m-2"))).toJson()));
        // Bytes that are not UTF-8 are dropped without a word.
        QVERIFY(rig.relay.sendBinary(QByteArray("\xff\xfe{\"type\":\"x\"}")));
        QVERIFY(rig.relay.sendText(QStringLiteral(R"({"type":"ping"})")));
        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.received.size() == 3; }, 15000));

        QCOMPARE(rig.recorder.received.at(0).id, std::optional<QString>(QStringLiteral("m-1")));
        QCOMPARE(rig.recorder.received.at(1).id, std::optional<QString>(QStringLiteral("m-2")));
        QCOMPARE(rig.recorder.received.at(1).messages->value(0).value(QStringLiteral("content")), QStringLiteral("Hi"));
        QCOMPARE(rig.recorder.received.at(2).type, QStringLiteral("ping"));
        QCOMPARE(log.count(QStringLiteral("Received message type=chat_message id=m-1")), 1);
        QCOMPARE(log.count(QStringLiteral("Received message type=chat_message id=m-2")), 1);
        QCOMPARE(log.count(QStringLiteral("Received message type=ping id=nil")), 1);
        QCOMPARE(log.countStartingWith(kDecodeFailed), 0);
    }

    void outboundMessagesGoOutAsCompactTextFrames_data()
    {
        QTest::addColumn<bool>("deflate"); // the relay takes permessage-deflate
        QTest::newRow("plain") << false;
        QTest::newRow("deflate") << true;
    }
    void outboundMessagesGoOutAsCompactTextFrames()
    {
        QFETCH(bool, deflate);
        LogCapture log;
        Rig rig;
        rig.relay.setPerMessageDeflate(deflate);
        QVERIFY(rig.connectAndWait());

        rig.link->sendJSON(RelayOutbound::streamChunk(QStringLiteral("m-1"), QStringLiteral("Hé"), QStringLiteral("Hé"),
                                                      QStringLiteral("u-7")));
        RelayResponse response;
        response.replyTo = QStringLiteral("m-1");
        response.content = bridgeErrorPrefix() + QStringLiteral("No user message found");
        response.appUserId = QStringLiteral("u-7");
        rig.link->send(response);
        QVERIFY(rig.relay.waitForFrames(2));

        const auto frames = rig.relay.frames();
        for (const auto &frame : frames) {
            QVERIFY(!frame.binary);
            QVERIFY(!frame.payload.contains('\n') && !frame.payload.contains("\": "));
        }
        QCOMPARE(*frames.at(0).json(), RelayOutbound::streamChunk(QStringLiteral("m-1"), QStringLiteral("Hé"),
                                                                  QStringLiteral("Hé"), QStringLiteral("u-7")));
        QCOMPARE(*frames.at(1).json(), response.toJson());
        QVERIFY(frames.at(1).payload.contains("\xE2\x9A\xA0\xEF\xB8\x8F Bridge error: No user message found"));

        // A streamed answer: each chunk repeats the text so far, and where
        // the relay took the extension it costs about its new part.
        rig.relay.clearRecords();
        RelayOutbound::StreamChunkWriter writer;
        QString answer;
        qint64 payloadBytes = 0;
        for (int i = 0; i < 100; ++i) {
            const QString delta = QStringLiteral("part %1, ").arg(i);
            answer += delta;
            const QByteArray json = writer.write(QStringLiteral("m-2"), delta, answer, QStringLiteral("u-7"));
            payloadBytes += json.size();
            rig.link->sendJSONText(json, QLatin1StringView("chat_stream_chunk"));
        }
        QVERIFY(rig.relay.waitForFrames(100));
        QCOMPARE(*rig.relay.frames().constLast().json(),
                 RelayOutbound::streamChunk(QStringLiteral("m-2"), QStringLiteral("part 99, "), answer,
                                            QStringLiteral("u-7")));
        QVERIFY2(deflate ? rig.relay.wireBytes() < payloadBytes / 5 : rig.relay.wireBytes() > payloadBytes,
                 qPrintable(QStringLiteral("%1 of %2").arg(rig.relay.wireBytes()).arg(payloadBytes)));
        QCOMPARE(log.countStartingWith(QStringLiteral("Send failed")), 0);
    }

    void badFramesAreLoggedAndDroppedWhileTheLinkStaysUp()
    {
        LogCapture log;
        Rig rig;
        QVERIFY(rig.connectAndWait());

        QVERIFY(rig.relay.sendText(QStringLiteral("not json")));
        QVERIFY(rig.relay.sendText(QStringLiteral(
            R"({"type":"chat_message","id":"m-1","appUserId":"u-7","messages":[{"role":"user","content":1}]})")));
        QVERIFY(rig.relay.sendBinary(QByteArray(R"({"type":"chat_message","messages":{"role":"user"}})")));
        QVERIFY(rig.relay.sendText(QStringLiteral(R"({"id":"m-3"})")));
        QVERIFY(rig.relay.sendJson(chatRequest(QStringLiteral("m-4"))));
        QVERIFY(QTest::qWaitFor([&] { return !rig.recorder.received.isEmpty(); }, 15000));

        QCOMPARE(log.countStartingWith(kDecodeFailed), 4);
        QCOMPARE(rig.recorder.received.size(), 1);
        QCOMPARE(rig.recorder.received.at(0).id, std::optional<QString>(QStringLiteral("m-4")));
        QCOMPARE(rig.recorder.disconnects(), 0);
        QCOMPARE(rig.relay.openConnectionCount(), 1);
        QCOMPARE(rig.relay.attemptCount(), 1);
        QVERIFY(rig.link->isRunning());
    }

    // What the relay says reaches the log escaped: no raw control character
    // (a terminal would obey it) and no line of the relay's making.
    void relayTextReachesTheLogEscaped_data()
    {
        QTest::addColumn<QJsonObject>("frame"); // empty: the relay closes with a forged reason
        QTest::newRow("type") << QJsonObject{
            {QStringLiteral("type"), QStringLiteral("ping\x1b]0;owned\x07\r\nConnected to relay")}};
        QTest::newRow("id") << QJsonObject{
            {QStringLiteral("type"), QStringLiteral("ping")},
            {QStringLiteral("id"), QStringLiteral("m-1\r\nConnected to relay") + QChar(0x202e) + QChar(0x9b)}};
        QTest::newRow("close reason") << QJsonObject();
    }
    void relayTextReachesTheLogEscaped()
    {
        QFETCH(QJsonObject, frame);
        LogCapture log;
        Rig rig;
        QVERIFY(rig.connectAndWait());
        if (frame.isEmpty()) {
            QVERIFY(rig.relay.closeConnection(4000, QStringLiteral("bye\x1b[2J\r\nConnected to relay")));
            QVERIFY(QTest::qWaitFor([&] { return rig.recorder.disconnects() == 1; }, 15000));
            QVERIFY(rig.recorder.errors.value(0).has_value());
            QVERIFY(!hasRawControl(rig.recorder.errors.value(0)->description()));
        } else {
            QVERIFY(rig.relay.sendJson(frame));
            QVERIFY(QTest::qWaitFor([&] { return rig.recorder.received.size() == 1; }, 15000));
        }
        for (const LogCapture::Line &line : log.lines()) {
            QVERIFY2(!hasRawControl(line.message), line.message.toUtf8().toHex().constData());
            QVERIFY(!line.message.startsWith(QLatin1String("Connected to relay")));
        }
    }

    void aSecondConnectChangesNothing()
    {
        LogCapture log;
        Rig rig;
        // Only the first token is accepted: had the second replaced it, the
        // relay would see it and refuse it.
        rig.link->connect(kToken);
        rig.link->connect(QStringLiteral("other-token"));
        QCOMPARE(log.count(kDuplicate), 1);
        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.connects() == 1; }, 15000));

        rig.link->connect(QStringLiteral("other-token"));
        QCOMPARE(log.count(kDuplicate), 2);
        QCOMPARE(log.count(kConnecting), 1);

        // The link still carries traffic on its first connection.
        QVERIFY(rig.relay.sendJson(chatRequest(QStringLiteral("m-1"))));
        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.received.size() == 1; }, 15000));
        QCOMPARE(rig.relay.attemptCount(), 1);
        QCOMPARE(rig.relay.attempts().at(0).token, kToken);
        QCOMPARE(rig.recorder.connects(), 1);
        QCOMPARE(rig.recorder.disconnects(), 0);
    }

    void aRefusedTokenBacksOffDoublingUpToTheCeiling()
    {
        Rig rig;
        rig.link->connect(QStringLiteral("refused-token"));
        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.delays.size() >= 8; }, 30000));
        rig.link->disconnect();
        QCOMPARE(rig.link->state(), RelayWebSocket::State::idle);

        const QList<qint64> delays = rig.recorder.delays.mid(0, 8);
        QCOMPARE(delays, (QList<qint64>{10, 20, 40, 80, 160, 320, 600, 600}));
        // Each refused opening waits and opens again; none is ever open.
        const QList<RelayWebSocket::State> states = rig.recorder.states;
        for (int i = 0; i < 8; ++i) {
            QCOMPARE(states.value(2 * i), RelayWebSocket::State::opening);
            QCOMPARE(states.value(2 * i + 1), RelayWebSocket::State::waitingToRetry);
        }
        QCOMPARE(states.last(), RelayWebSocket::State::idle);
        QVERIFY(!states.contains(RelayWebSocket::State::open));

        // A refused opening is never reported as a connection.
        QCOMPARE(rig.recorder.connects(), 0);
        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.disconnects() >= 8; }, 15000));
        QVERIFY(rig.recorder.errors.at(0).has_value());
        QVERIFY(rig.relay.attemptCount() >= 8);
        const auto attempts = rig.relay.attempts();
        for (const auto &attempt : attempts)
            QVERIFY(!attempt.accepted);
        // Each attempt came at least the announced delay after the one before.
        for (int i = 0; i + 1 < 8; ++i)
            QVERIFY2(attempts.at(i + 1).atMs - attempts.at(i).atMs >= delays.at(i) - 3,
                     qPrintable(QStringLiteral("attempt %1 came early").arg(i + 1)));
    }

    void anOpeningThatFailsAtOnceIsRetriedNotReported()
    {
        LogCapture log;
        Rig rig;
        // The client refuses this scheme inside open() itself.
        QUrl httpOrigin = rig.relay.origin();
        httpOrigin.setScheme(QStringLiteral("http"));
        RelayWebSocket link(httpOrigin, fastTimings());
        rig.recorder.attach(&link);
        link.connect(kToken);
        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.delays.size() >= 3; }, 15000));
        link.disconnect();

        const QStringList lines = log.messagesStartingWith(QString());
        QCOMPARE(lines.value(0), kConnecting);
        QVERIFY(lines.value(1).startsWith(QStringLiteral("WebSocket receive error: ")));
        QCOMPARE(rig.recorder.delays.mid(0, 3), (QList<qint64>{10, 20, 40}));
        QVERIFY(!link.isRunning());
        QCOMPARE(rig.recorder.connects(), 0);
        QCOMPARE(rig.relay.connectionCount(), 0);
    }

    void disconnectWhileAReconnectIsPendingPreventsIt()
    {
        LogCapture log;
        auto timings = fastTimings();
        timings.link.initialDelay = std::chrono::milliseconds(300);
        Rig rig(timings);
        rig.link->connect(QStringLiteral("refused-token"));
        QVERIFY(log.waitForPrefix(kReconnecting, 1, 15000));
        rig.link->disconnect();

        waitPast(0.8);
        QCOMPARE(log.count(kConnecting), 1);
        QCOMPARE(log.countStartingWith(kReconnecting), 1);
        QCOMPARE(rig.relay.connectionCount(), 1);
        // Only the refusal was reported; disconnect() had no socket to close.
        QCOMPARE(rig.recorder.disconnects(), 1);
        QVERIFY(!rig.link->isRunning());
    }

    void disconnectOnAConnectedLinkReportsOnceAndStaysDown()
    {
        LogCapture log;
        Rig rig;
        QVERIFY(rig.connectAndWait());
        rig.link->disconnect();
        QVERIFY(!rig.link->isRunning());
        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.disconnects() == 1; }, 15000));
        QVERIFY(rig.recorder.errors.at(0).has_value());
        QVERIFY(!rig.recorder.errors.at(0)->description().isEmpty());

        // The relay is told the bridge is going away.
        QVERIFY(rig.relay.waitForOpenConnections(0));
        QVERIFY(RelayStandIn::waitFor([&] { return !rig.relay.closeFrames().isEmpty(); }));
        QCOMPARE(rig.relay.closeFrames().at(0).code, 1001);

        waitPast(0.1);
        QCOMPARE(rig.recorder.disconnects(), 1);
        QCOMPARE(log.countStartingWith(kReconnecting), 0);
        QCOMPARE(log.count(kConnecting), 1);
        QCOMPARE(rig.relay.connectionCount(), 1);

        rig.link->sendJSON(RelayOutbound::streamEnd(QStringLiteral("m-1"), QStringLiteral("x"), QStringLiteral("u")));
        QCOMPARE(log.count(kNoTask), 1);
    }

    void aRestartedRelayIsReconnectedWithTheDelayReset()
    {
        LogCapture log;
        Rig rig;
        QVERIFY(rig.connectAndWait());

        rig.relay.stop();
        // Let the delay grow while the relay is down.
        QVERIFY(log.waitForPrefix(kReconnecting, 4, 15000));
        QVERIFY(rig.link->reconnectDelay() > std::chrono::milliseconds(10));
        QVERIFY(rig.relay.start());
        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.connects() == 2; }, 15000));
        QCOMPARE(rig.link->reconnectDelay(), std::chrono::milliseconds(10));
        QCOMPARE(rig.relay.acceptedCount(), 2);
        QCOMPARE(rig.recorder.events.first(), QStringLiteral("connect"));
        QCOMPARE(rig.recorder.events.last(), QStringLiteral("connect"));
        // Open, then drops and retries until it is open again.
        using State = RelayWebSocket::State;
        QCOMPARE(rig.recorder.states.mid(0, 4),
                 (QList<State>{State::opening, State::open, State::waitingToRetry, State::opening}));
        QCOMPARE(rig.recorder.states.last(), State::open);
        QCOMPARE(rig.link->state(), State::open);

        // The next break starts again from the initial delay.
        const qsizetype before = rig.recorder.delays.size();
        QVERIFY(rig.relay.abortConnection());
        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.delays.size() > before; }, 15000));
        QCOMPARE(rig.recorder.delays.at(before), 10);
        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.connects() == 3; }, 15000));

        // A relay that closes the connection with a code is reconnected too.
        QVERIFY(rig.relay.closeConnection(1011, QStringLiteral("restarting")));
        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.connects() == 4; }, 15000));
        QCOMPARE(rig.relay.openConnectionCount(), 1);
    }

    void aReplacedSocketsLateErrorDoesNotDisturbTheNewOne_data()
    {
        QTest::addColumn<bool>("dropOldFirst");
        QTest::newRow("owner reconfigures") << false;
        QTest::newRow("old connection dropped as it is replaced") << true;
    }

    void aReplacedSocketsLateErrorDoesNotDisturbTheNewOne()
    {
        QFETCH(bool, dropOldFirst);
        LogCapture log;
        Rig rig;
        QVERIFY(rig.connectAndWait());

        // The old socket only learns of its end after it has been replaced;
        // whatever it still carries never reaches the owner.
        QVERIFY(rig.relay.sendJson(chatRequest(QStringLiteral("m-old"))));
        if (dropOldFirst)
            QVERIFY(rig.relay.abortConnection());
        rig.link->disconnect();
        rig.link->connect(kToken);

        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.connects() == 2; }, 15000));
        QVERIFY(rig.relay.waitForOpenConnections(1));
        waitPast(0.1);

        QCOMPARE(rig.recorder.events,
                 (QStringList{QStringLiteral("connect"), QStringLiteral("disconnect"), QStringLiteral("connect")}));
        QCOMPARE(log.countStartingWith(kReconnecting), 0);
        QCOMPARE(log.count(kConnecting), 2);
        QCOMPARE(rig.relay.acceptedCount(), 2);
        QCOMPARE(rig.relay.openConnectionCount(), 1);
        QVERIFY(rig.link->isRunning());

        // The new connection carries traffic both ways.
        QVERIFY(rig.relay.sendJson(chatRequest(QStringLiteral("m-9"))));
        QVERIFY(QTest::qWaitFor([&] { return !rig.recorder.received.isEmpty(); }, 15000));
        QCOMPARE(rig.recorder.received.size(), 1);
        QCOMPARE(rig.recorder.received.at(0).id, std::optional<QString>(QStringLiteral("m-9")));
        rig.link->sendJSON(
            RelayOutbound::streamEnd(QStringLiteral("m-9"), QStringLiteral("ok"), QStringLiteral("u-7")));
        QVERIFY(rig.relay.waitForType(QStringLiteral("chat_stream_end")).has_value());
        QCOMPARE(rig.relay.frames().constLast().connection, rig.relay.currentConnection());
    }

    void aSlowCloseIsReportedBeforeTheNewLinkComesUp()
    {
        Rig rig;
        QVERIFY(rig.connectAndWait());
        // A stalled relay: the old socket cannot finish closing while what it
        // still has to send is stuck in its buffers.
        QVERIFY(rig.relay.pauseReading());
        const QString bulk(24 * 1024 * 1024, QLatin1Char('x'));
        rig.link->sendJSON(
            QJsonObject{{QStringLiteral("type"), QStringLiteral("bulk")}, {QStringLiteral("data"), bulk}});
        rig.link->disconnect();
        rig.link->connect(kToken);

        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.connects() == 2; }, 30000));
        QCOMPARE(rig.recorder.events,
                 (QStringList{QStringLiteral("connect"), QStringLiteral("disconnect"), QStringLiteral("connect")}));
    }

    void replacingAnOpeningSocketLeavesOneConnection()
    {
        LogCapture log;
        Rig rig;
        rig.link->connect(kToken);
        rig.link->disconnect();
        rig.link->connect(kToken);

        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.connects() == 1; }, 15000));
        QVERIFY(rig.relay.waitForOpenConnections(1));
        waitPast(0.1);
        QCOMPARE(rig.recorder.events, (QStringList{QStringLiteral("disconnect"), QStringLiteral("connect")}));
        QCOMPARE(log.countStartingWith(kReconnecting), 0);
        QCOMPARE(rig.relay.openConnectionCount(), 1);
    }

    void sendsWithoutAConnectionAreDropped()
    {
        LogCapture log;
        Rig rig;
        const QJsonObject chunk = RelayOutbound::streamChunk(QStringLiteral("m-1"), QStringLiteral("a"),
                                                             QStringLiteral("a"), QStringLiteral("u-7"));
        RelayResponse response;
        response.replyTo = QStringLiteral("m-1");
        response.appUserId = QStringLiteral("u-7");

        // No socket: dictionaries are dropped with a line, replies silently.
        rig.link->sendJSON(chunk);
        QCOMPARE(log.count(kNoTask), 1);
        const int linesBefore = int(log.lines().size());
        rig.link->send(response);
        QCOMPARE(int(log.lines().size()), linesBefore);

        // A socket whose handshake has not finished cannot send either.
        rig.link->connect(kToken);
        rig.link->sendJSON(chunk);
        rig.link->sendJSON(QJsonObject{{QStringLiteral("no"), QStringLiteral("type")}});
        rig.link->send(response);
        QCOMPARE(log.count(
                     QStringLiteral("Send failed (chat_stream_chunk): WebSocket is not open (handshake not finished)")),
                 1);
        QCOMPARE(log.count(QStringLiteral("Send failed (?): WebSocket is not open (handshake not finished)")), 1);
        QCOMPARE(log.count(QStringLiteral("Send failed: WebSocket is not open (handshake not finished)")), 1);

        // Nothing was queued: the first frame the relay sees is sent later.
        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.connects() == 1; }, 15000));
        rig.link->sendJSON(
            RelayOutbound::streamEnd(QStringLiteral("m-1"), QStringLiteral("done"), QStringLiteral("u-7")));
        QVERIFY(rig.relay.waitForFrames(1));
        waitPast(0.05);
        QCOMPARE(rig.relay.frameCount(), 1);
        QCOMPARE(rig.relay.receivedJson().at(0).value(QStringLiteral("type")).toString(),
                 QStringLiteral("chat_stream_end"));
    }

    void aTokenThatCannotFormAUrlMakesNoAttempt_data()
    {
        QTest::addColumn<QString>("token");
        QTest::newRow("space") << QStringLiteral("abc def");
        QTest::newRow("fragment") << QStringLiteral("abc#def");
        QTest::newRow("second parameter") << QStringLiteral("abc&admin=1");
        QTest::newRow("percent escape") << QStringLiteral("abc%41");
        QTest::newRow("angle brackets") << QStringLiteral("<abc>");
        QTest::newRow("empty") << QString();
    }

    void aTokenThatCannotFormAUrlMakesNoAttempt()
    {
        QFETCH(QString, token);
        LogCapture log;
        Rig rig;
        rig.relay.acceptToken(token);
        rig.link->connect(token);
        QCOMPARE(log.count(kInvalidToken), 1);
        QCOMPARE(log.count(kConnecting), 0);
        QVERIFY(!rig.link->isRunning());

        waitPast(0.1);
        QCOMPARE(rig.relay.connectionCount(), 0);
        QCOMPARE(log.countStartingWith(kReconnecting), 0);
        QVERIFY(rig.recorder.events.isEmpty());

        // A usable token afterwards connects normally.
        QVERIFY(rig.connectAndWait());
    }

    void aTokenIsAppendedVerbatim()
    {
        Rig rig;
        const QString token = QStringLiteral("Zm9v+YmFy/a-b_c.d~e==");
        rig.relay.acceptToken(token);
        rig.link->connect(token);
        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.connects() == 1; }, 15000));
        QCOMPARE(rig.relay.attempts().at(0).token, token);
    }

    void aStalledRelayCongestsTheLinkAndGetsEveryFrameAfterwards()
    {
        LogCapture log;
        Rig rig(watermarkTimings());
        QVERIFY(rig.connectAndWait());
        QSignalSpy congested(rig.link.get(), &RelayWebSocket::congested);
        QSignalSpy drained(rig.link.get(), &RelayWebSocket::drained);
        QCOMPARE(rig.link->pendingBytes(), 0);
        qint64 pendingAtCongestion = 0;
        QObject::connect(rig.link.get(), &RelayWebSocket::congested, rig.link.get(),
                         [&] { pendingAtCongestion = rig.link->pendingBytes(); });

        QVERIFY(rig.relay.pauseReading());
        int next = sendUntilCongested(*rig.link, congested, 0);
        QVERIFY(next > 0);
        QCOMPARE(congested.size(), 1);
        QVERIFY(rig.link->isCongested());
        QVERIFY(pendingAtCongestion > 256 * 1024);
        QVERIFY(rig.link->pendingBytes() >= 64 * 1024);
        QCOMPARE(log.countStartingWith(QStringLiteral("Relay link congested (")), 1);

        // Congestion only informs: later sends still go out, and are counted.
        const qint64 before = rig.link->pendingBytes();
        for (int i = 0; i < 4; ++i)
            rig.link->sendJSON(bulkMessage(next++));
        QVERIFY(rig.link->pendingBytes() > before);
        QCOMPARE(congested.size(), 1);
        QCOMPARE(drained.size(), 0);

        QVERIFY(rig.relay.resumeReading());
        QVERIFY(drained.wait(30000) || drained.size() == 1);
        QCOMPARE(drained.size(), 1);
        QVERIFY(!rig.link->isCongested());
        QVERIFY(rig.link->pendingBytes() < 64 * 1024);
        QVERIFY(rig.relay.waitForFrames(next, 30000));
        QVERIFY(QTest::qWaitFor([&] { return rig.link->pendingBytes() == 0; }, 30000));

        // Every message arrived once, whole and in order.
        const QList<QJsonObject> received = rig.relay.receivedJson();
        QCOMPARE(int(received.size()), next);
        for (int i = 0; i < next; ++i) {
            QCOMPARE(received.at(i).value(QStringLiteral("seq")).toInt(), i);
            QCOMPARE(received.at(i).value(QStringLiteral("pad")).toString().size(), 64 * 1024);
        }
        QCOMPARE(log.countStartingWith(QStringLiteral("Send failed")), 0);

        // A second stall congests it again.
        QVERIFY(rig.relay.pauseReading());
        QVERIFY(sendUntilCongested(*rig.link, congested, next) > next);
        QCOMPARE(congested.size(), 2);
        QVERIFY(rig.relay.resumeReading());
        QVERIFY(QTest::qWaitFor([&] { return drained.size() == 2; }, 30000));
    }

    void aCongestedSocketThatGoesAwayDrainsTheLink_data()
    {
        QTest::addColumn<bool>("bridgeCloses");
        QTest::newRow("disconnect()") << true;
        QTest::newRow("relay drops the connection") << false;
    }

    void aCongestedSocketThatGoesAwayDrainsTheLink()
    {
        QFETCH(bool, bridgeCloses);
        Rig rig(watermarkTimings());
        QVERIFY(rig.connectAndWait());
        QSignalSpy congested(rig.link.get(), &RelayWebSocket::congested);
        QSignalSpy drained(rig.link.get(), &RelayWebSocket::drained);
        QVERIFY(rig.relay.pauseReading());
        QVERIFY(sendUntilCongested(*rig.link, congested, 0) > 0);

        // What the dropped socket held is gone with it.
        if (bridgeCloses) {
            rig.link->disconnect();
            QCOMPARE(drained.size(), 1);
        } else {
            QVERIFY(rig.relay.abortConnection());
            QVERIFY(QTest::qWaitFor([&] { return drained.size() == 1; }, 30000));
        }
        QCOMPARE(rig.link->pendingBytes(), 0);
        QVERIFY(!rig.link->isCongested());

        // The next socket starts from nothing.
        if (bridgeCloses)
            rig.link->connect(kToken);
        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.connects() == 2; }, 30000));
        rig.link->sendJSON(bulkMessage(0));
        QCOMPARE(congested.size(), 1);
        QCOMPARE(drained.size(), 1);
    }

    // --- Hostile relays ------------------------------------------------------

    void anOversizedMessageIsDroppedAndTheLinkRecovers_data()
    {
        QTest::addColumn<qint64>("limit");
        QTest::newRow("a small limit") << qint64(64 * 1024);
        QTest::newRow("the default 16 MiB") << RelayWebSocket::Timings{}.maxIncomingMessageBytes;
    }
    void anOversizedMessageIsDroppedAndTheLinkRecovers()
    {
        QFETCH(qint64, limit);
        auto timings = fastTimings();
        timings.maxIncomingMessageBytes = limit;
        Rig rig(timings);
        QVERIFY(rig.connectAndWait());

        // A request padded to just under the limit still arrives.
        QJsonObject fits = chatRequest(QStringLiteral("m-fits"));
        const QByteArray bare = QJsonDocument(fits).toJson(QJsonDocument::Compact);
        fits.insert(QStringLiteral("pad"), QString(int(limit - bare.size() - 16), QLatin1Char('x')));
        QVERIFY(QJsonDocument(fits).toJson(QJsonDocument::Compact).size() <= limit);
        QVERIFY(rig.relay.sendJson(fits));
        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.received.size() == 1; }, 60000));

        // One byte over: refused with close code 1009, never delivered.
        QJsonObject over = chatRequest(QStringLiteral("m-over"));
        over.insert(QStringLiteral("pad"), QString(int(limit), QLatin1Char('x')));
        QVERIFY(rig.relay.sendJson(over));
        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.disconnects() == 1; }, 60000));
        QVERIFY(QTest::qWaitFor(
            [&] {
                const auto closes = rig.relay.closeFrames();
                return std::any_of(closes.cbegin(), closes.cend(), [](const auto &c) { return c.code == 1009; });
            },
            15000));

        // The link comes back by itself and carries requests again.
        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.connects() == 2; }, 15000));
        QVERIFY(rig.relay.sendJson(chatRequest(QStringLiteral("m-after"))));
        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.received.size() == 2; }, 15000));
        QCOMPARE(rig.recorder.received.at(0).id, std::optional<QString>(QStringLiteral("m-fits")));
        QCOMPARE(rig.recorder.received.at(1).id, std::optional<QString>(QStringLiteral("m-after")));
    }

    void aStalledOpeningIsAFailedAttemptThatBacksOff()
    {
        auto timings = fastTimings();
        timings.openingTimeout = std::chrono::milliseconds(200);
        Rig rig(timings);
        rig.relay.setStallHandshakes(true);
        rig.link->connect(kToken);
        QVERIFY(rig.relay.waitForAttempts(3, 30000));
        // Each stalled opening was given up, reported and retried after a
        // doubling delay; none counted as a connection.
        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.disconnects() >= 2; }, 15000));
        QCOMPARE(rig.recorder.connects(), 0);
        QVERIFY(rig.recorder.delays.size() >= 2);
        QCOMPARE(rig.recorder.delays.mid(0, 2), (QList<qint64>{10, 20}));
        // Every given-up socket was closed on our side: nothing piles up.
        QVERIFY(QTest::qWaitFor([&] { return rig.relay.openConnectionCount() == 0; }, 15000));

        // A relay that answers again is connected to.
        rig.relay.setStallHandshakes(false);
        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.connects() == 1; }, 15000));
        QVERIFY(rig.link->isRunning());
    }

    // The keeper's rules, as the relay sees them: a quiet link is pinged, a
    // silent one is replaced at once, whether its heartbeat or a wake-up
    // found it silent, and a link waiting to reconnect tries now when woken.
    void theKeeperNoticesSilenceAndWakeUps_data()
    {
        QTest::addColumn<bool>("woken");
        QTest::newRow("heartbeat notices the silence") << false;
        QTest::newRow("a wake-up finds it silent") << true;
    }

    void theKeeperNoticesSilenceAndWakeUps()
    {
        QFETCH(bool, woken);
        auto timings = fastTimings();
        // Woken: the heartbeat is far off, so only the wake-up can notice.
        timings.link.heartbeatInterval = std::chrono::milliseconds(woken ? 600000 : 50);
        timings.link.heartbeatGrid = std::chrono::milliseconds(0);
        // Generous: an answer that is late on a loaded machine must not
        // count as silence.
        timings.link.heartbeatDeadline = std::chrono::seconds(3);
        timings.link.wakeCheckDeadline = std::chrono::seconds(3);
        Rig rig(timings);
        QVERIFY(rig.connectAndWait());
        if (woken) {
            // A check that is answered keeps the link; the next wake-up pings
            // again only once the last check got its answer.
            QVERIFY(QTest::qWaitFor(
                [&] {
                    rig.link->wake();
                    return rig.relay.pingCount() >= 2;
                },
                15000));
        } else {
            // Answered pings: the link stays as it is.
            QVERIFY(rig.relay.waitForPings(4));
        }
        QCOMPARE(rig.relay.attemptCount(), 1);
        QCOMPARE(rig.recorder.disconnects(), 0);
        rig.relay.setAnswerPings(false);
        QVERIFY(QTest::qWaitFor(
            [&] {
                if (woken)
                    rig.link->wake();
                return rig.recorder.disconnects() == 1;
            },
            15000));
        QVERIFY(rig.recorder.errors.constLast().has_value());
        QCOMPARE(rig.recorder.delays.value(0), qint64(0));
        // Dropped, then reconnected: a new connection, the old one closed.
        QVERIFY(QTest::qWaitFor([&] { return rig.relay.acceptedCount() == 2; }, 15000));
        QVERIFY(QTest::qWaitFor([&] { return rig.relay.openConnectionCount() <= 1; }, 15000));
    }

    void aWakeUpEndsTheWaitForTheNextAttempt()
    {
        auto timings = fastTimings();
        timings.link.initialDelay = std::chrono::minutes(10);
        timings.link.maxDelay = std::chrono::minutes(10);
        Rig rig(timings);
        rig.relay.refuseToken(kToken);
        rig.link->connect(kToken);
        QVERIFY(QTest::qWaitFor([&] { return rig.link->state() == RelayWebSocket::State::waitingToRetry; }, 15000));
        QCOMPARE(rig.link->reconnectAttempt(), 1);
        rig.relay.acceptToken(kToken);
        rig.link->wake();
        QVERIFY(QTest::qWaitFor([&] { return rig.recorder.connects() == 1; }, 15000));
        QCOMPARE(rig.relay.attemptCount(), 2);
        QCOMPARE(rig.link->reconnectAttempt(), 0);
    }

    void aPlainTextOriginOffThisMachineIsRefused()
    {
        // Only a loopback stand-in may be spoken to without TLS.
        Recorder recorder;
        RelayWebSocket link(QUrl(QStringLiteral("ws://192.0.2.1:9")), fastTimings());
        recorder.attach(&link);
        link.connect(kToken);
        QVERIFY(!link.isRunning());
        waitPast(0.05);
        QVERIFY(recorder.events.isEmpty());
    }

    void anOriginWithoutAHostIsRefused_data()
    {
        QTest::addColumn<QString>("origin");
        // Found by fuzzing: "wss:/" + "/ws/bridge" made "ws" the host.
        QTest::newRow("one slash") << QStringLiteral("wss:/");
        QTest::newRow("scheme alone") << QStringLiteral("wss:");
        QTest::newRow("empty authority") << QStringLiteral("wss:///ws");
    }
    void anOriginWithoutAHostIsRefused()
    {
        QFETCH(QString, origin);
        Recorder recorder;
        RelayWebSocket link{QUrl(origin), fastTimings()};
        recorder.attach(&link);
        link.connect(kToken);
        QVERIFY(!link.isRunning());
        waitPast(0.05);
        QVERIFY(recorder.events.isEmpty());
    }

    void destroyingTheLinkTellsNobody()
    {
        Rig rig;
        QVERIFY(rig.connectAndWait());
        rig.link.reset();
        QVERIFY(rig.relay.waitForOpenConnections(0));

        // Also while a reconnect is pending.
        auto link = std::make_unique<RelayWebSocket>(rig.relay.origin(), fastTimings());
        rig.recorder.attach(link.get());
        LogCapture log;
        link->connect(QStringLiteral("refused-token"));
        QVERIFY(log.waitForPrefix(kReconnecting, 1, 15000));
        link.reset();
        const int attempts = rig.relay.attemptCount();
        const QStringList events = rig.recorder.events;
        waitPast(0.1);
        QCOMPARE(rig.relay.attemptCount(), attempts);
        QCOMPARE(rig.recorder.events, events);
    }
};

QTEST_GUILESS_MAIN(TstRelayWebSocket)
#include "tst_relay_web_socket.moc"
