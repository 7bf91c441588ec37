// Chat requests end to end: relay stand-in -> bridge -> gateway stand-in
// (HTTP, server-sent events) -> relay stand-in.
#include "bridge_rig.h"
#include "gateway_ws_stand_in.h"
#include "log_capture.h"

#include "bridge/chat_pipeline.h"
#include "gateway/event_stream_reader.h"
#include "relay/relay_message.h"

#include <QElapsedTimer>

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <qcoro/qcorosignal.h>

using namespace halvex;
using namespace halvex::test;

namespace {
const QString kChunk = QStringLiteral("chat_stream_chunk");
const QString kEnd = QStringLiteral("chat_stream_end");
const QString kResponse = QStringLiteral("chat_response");
const QString kCompletions = QStringLiteral("/v1/chat/completions");

QString str(const QJsonObject &o, const char *key)
{
    return o.value(QLatin1String(key)).toString();
}

ScriptedResponse streamOf(const QStringList &fragments, int delayMs = 0)
{
    return ScriptedResponse::eventStream(sse::chatStream(fragments), delayMs);
}
// Ends one fake chat when the test says so.
class Completion : public QObject
{
    Q_OBJECT
public:
    std::optional<Result<QString>> outcome;
    void finish(Result<QString> result)
    {
        outcome.emplace(std::move(result));
        Q_EMIT finished();
    }
Q_SIGNALS:
    void finished();
};

// A gateway backend whose chats end when the test says so.
class FakeBackend : public ChatBackend
{
public:
    struct Call {
        ChatCallRequest request;
        DeltaHandler onDelta;
        qint64 startedAtMs = 0;
        std::shared_ptr<Completion> completion;
    };

    bool usable = true;
    QList<Call> calls;
    QElapsedTimer clock;

    FakeBackend() { clock.start(); }
    bool isUsableForChat() const override { return usable; }
    QCoro::Task<Result<QString>> sendChat(ChatCallRequest request, DeltaHandler onDelta) override
    {
        auto completion = std::make_shared<Completion>();
        calls.append({std::move(request), std::move(onDelta), clock.elapsed(), completion});
        co_await qCoro(completion.get(), &Completion::finished);
        co_return *completion->outcome;
    }
    void cancelChat(const QString &) override {}

    // Streams the fragments of one chat, then ends it.
    void answer(const QString &id, const QStringList &fragments)
    {
        QString accumulated;
        for (const Call &call : std::as_const(calls)) {
            if (call.request.requestId != id || call.completion->outcome)
                continue;
            for (const QString &fragment : fragments) {
                accumulated += fragment;
                call.onDelta(fragment, accumulated);
            }
            call.completion->finish(accumulated);
        }
    }
    // Ends every chat still open.
    void failAll()
    {
        for (const Call &call : std::as_const(calls)) {
            if (!call.completion->outcome)
                call.completion->finish(Error::plain(QStringLiteral("gone")));
        }
    }
    void fail(const QString &id, const Error &error)
    {
        for (const Call &call : std::as_const(calls)) {
            if (call.request.requestId == id && !call.completion->outcome)
                call.completion->finish(error);
        }
    }
};

// A pipeline between two fake backends, with its replies recorded.
struct PipelineRig {
    FakeBackend webSocket;
    FakeBackend http;
    bool webSocketExpected = false;
    QList<QJsonObject> replies;
    ChatPipeline::Timings timings;
    std::unique_ptr<ChatPipeline> pipeline;

    PipelineRig() { webSocket.usable = false; }
    ~PipelineRig()
    {
        pipeline.reset();
        webSocket.failAll();
        http.failAll();
        QTest::qWait(0);
        QCoreApplication::processEvents();
    }

    ChatPipeline *create()
    {
        ChatPipeline::Links links;
        links.webSocket = &webSocket;
        links.http = &http;
        links.webSocketExpected = [this] { return webSocketExpected; };
        links.replies.sendJSON = [this](const QJsonObject &o) { replies.append(o); };
        links.replies.send = [this](const RelayResponse &r) { replies.append(r.toJson()); };
        pipeline = std::make_unique<ChatPipeline>(std::move(links), timings);
        return pipeline.get();
    }

    static RelayMessage chat(const QString &id, const QString &text = QStringLiteral("hi"))
    {
        RelayMessage m;
        m.type = QStringLiteral("chat_message");
        m.id = id;
        m.appUserId = QStringLiteral("u-1");
        m.content = text;
        return m;
    }

    QList<QJsonObject> closing(const QString &id) const
    {
        QList<QJsonObject> out;
        for (const QJsonObject &o : replies) {
            const QString type = o.value(QStringLiteral("type")).toString();
            if (o.value(QStringLiteral("reply_to")).toString() == id &&
                (type == QLatin1String("chat_stream_end") || type == QLatin1String("chat_response")))
                out.append(o);
        }
        return out;
    }
};
} // namespace

class TestChatPipeline : public QObject
{
    Q_OBJECT

private:
    // Checks one answered request: a chunk per fragment in order, then the end.
    static void verifyStream(const QList<QJsonObject> &replies, const QString &replyTo, const QString &appUserId,
                             const QStringList &fragments)
    {
        QCOMPARE(replies.size(), fragments.size() + 1);
        QString accumulated;
        for (int i = 0; i < fragments.size(); ++i) {
            accumulated += fragments[i];
            const QJsonObject expected{
                {QStringLiteral("type"), kChunk},         {QStringLiteral("reply_to"), replyTo},
                {QStringLiteral("delta"), fragments[i]},  {QStringLiteral("accumulated"), accumulated},
                {QStringLiteral("appUserId"), appUserId},
            };
            QCOMPARE(replies[i], expected);
        }
        const QJsonObject end{
            {QStringLiteral("type"), kEnd},
            {QStringLiteral("reply_to"), replyTo},
            {QStringLiteral("content"), accumulated},
            {QStringLiteral("appUserId"), appUserId},
        };
        QCOMPARE(replies.last(), end);
    }

    static QJsonArray sentMessages(const HttpRequest &request)
    {
        return request.json().value(QStringLiteral("messages")).toArray();
    }

private Q_SLOTS:
    // Some cases read debug lines.
    void initTestCase() { LogCapture::enableDebugLines(); }

    void answeredWithOneChunkPerFragment()
    {
        LogCapture log;
        BridgeRig rig;
        QVERIFY(rig.createConnected());
        const QStringList fragments{QStringLiteral("Hel"), QStringLiteral("lo"), QStringLiteral(" wörld 👋🏽")};
        rig.gateway.enqueue(streamOf(fragments, 5), kCompletions.toUtf8());

        rig.relay.sendJson(BridgeRig::chatMessage(QStringLiteral("m-1"), QStringLiteral("u-7"),
                                                  {{QStringLiteral("content"), QStringLiteral("Hi")}}));
        const QList<QJsonObject> replies = rig.waitForClosing(QStringLiteral("m-1"));
        verifyStream(replies, QStringLiteral("m-1"), QStringLiteral("u-7"), fragments);

        // The gateway got the content as the one user message, streamed, with
        // the gateway token.
        QCOMPARE(rig.chatRequests().size(), 1);
        const HttpRequest request = rig.chatRequests().constFirst();
        QCOMPARE(sentMessages(request), QJsonArray{BridgeRig::entry(QStringLiteral("user"), QStringLiteral("Hi"))});
        QCOMPARE(request.json().value(QStringLiteral("stream")), QJsonValue(true));
        QCOMPARE(request.header("Authorization"), QByteArray("Bearer ") + BridgeRig::gatewayToken.toUtf8());

        QCOMPARE(log.count(QStringLiteral("Processing chat m-1 — 1 messages")), 1);
        QCOMPARE(log.count(QStringLiteral("OpenClaw WS connected: false")), 1);
        QCOMPARE(log.count(QStringLiteral("Using HTTP fallback for m-1")), 1);
        QCOMPARE(log.count(QStringLiteral("Sent streamed response for m-1")), 1);
        // Chunks are logged on the WebSocket path only.
        QCOMPARE(log.countStartingWith(QStringLiteral("Forwarding chunk:")), 0);

        // A request that comes as a binary frame is answered the same way.
        rig.gateway.enqueue(streamOf({QStringLiteral("ok")}), kCompletions.toUtf8());
        rig.relay.sendBinary(QJsonDocument(BridgeRig::chatMessage(QStringLiteral("m-2"), QStringLiteral("u-7"),
                                                                  {{QStringLiteral("content"), QStringLiteral("Hi")}}))
                                 .toJson(QJsonDocument::Compact));
        verifyStream(rig.waitForClosing(QStringLiteral("m-2")), QStringLiteral("m-2"), QStringLiteral("u-7"),
                     {QStringLiteral("ok")});
    }

    void messagesAndContentRules()
    {
        LogCapture log;
        BridgeRig rig;
        QVERIFY(rig.createConnected());
        rig.gateway.setDefaultResponse(kCompletions.toUtf8(), streamOf({QStringLiteral("fine")}));

        // Only an assistant entry: the content is added as the last user entry.
        rig.relay.sendJson(
            BridgeRig::chatMessage(QStringLiteral("m-a"), QStringLiteral("u-1"),
                                   {{QStringLiteral("content"), QStringLiteral("Q")},
                                    {QStringLiteral("messages"),
                                     QJsonArray{BridgeRig::entry(QStringLiteral("assistant"), QStringLiteral("A"))}}}));
        QCOMPARE(rig.waitForClosing(QStringLiteral("m-a")).constLast().value(QStringLiteral("type")).toString(), kEnd);
        QCOMPARE(sentMessages(rig.chatRequests().constLast()),
                 (QJsonArray{BridgeRig::entry(QStringLiteral("assistant"), QStringLiteral("A")),
                             BridgeRig::entry(QStringLiteral("user"), QStringLiteral("Q"))}));
        QCOMPARE(log.count(QStringLiteral("Processing chat m-a — 2 messages")), 1);

        // A user entry present: "content" is ignored and the whole list,
        // extra members included, goes to the gateway unchanged.
        QJsonObject named = BridgeRig::entry(QStringLiteral("user"), QStringLiteral("first"));
        named.insert(QStringLiteral("name"), QStringLiteral("ana"));
        const QJsonArray history{named, BridgeRig::entry(QStringLiteral("assistant"), QStringLiteral("A")),
                                 BridgeRig::entry(QStringLiteral("user"), QStringLiteral("second"))};
        rig.relay.sendJson(BridgeRig::chatMessage(
            QStringLiteral("m-b"), QStringLiteral("u-1"),
            {{QStringLiteral("content"), QStringLiteral("ignored")}, {QStringLiteral("messages"), history}}));
        QCOMPARE(rig.waitForClosing(QStringLiteral("m-b")).constLast().value(QStringLiteral("type")).toString(), kEnd);
        QCOMPARE(sentMessages(rig.chatRequests().constLast()), history);
        QCOMPARE(log.count(QStringLiteral("Processing chat m-b — 3 messages")), 1);

        const int gatewayCalls = int(rig.chatRequests().size());
        const QJsonObject noUserText{
            {QStringLiteral("type"), kResponse},
            {QStringLiteral("reply_to"), QStringLiteral("m-c")},
            {QStringLiteral("content"), QStringLiteral("⚠️ Bridge error: No user message found")},
            {QStringLiteral("appUserId"), QStringLiteral("u-1")},
        };

        // The last user entry has no content: no user text, whatever "content" says.
        rig.relay.sendJson(
            BridgeRig::chatMessage(QStringLiteral("m-c"), QStringLiteral("u-1"),
                                   {{QStringLiteral("content"), QStringLiteral("Q")},
                                    {QStringLiteral("messages"),
                                     QJsonArray{BridgeRig::entry(QStringLiteral("user"), QStringLiteral("earlier")),
                                                QJsonObject{{QStringLiteral("role"), QStringLiteral("user")}}}}}));
        QCOMPARE(rig.waitForClosing(QStringLiteral("m-c")), QList<QJsonObject>{noUserText});
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("No user message found in chat_message m-c")), 1);

        // Neither messages nor content; and an empty content.
        rig.relay.sendJson(BridgeRig::chatMessage(QStringLiteral("m-d"), QStringLiteral("u-1")));
        QCOMPARE(rig.waitForClosing(QStringLiteral("m-d")).size(), 1);
        rig.relay.sendJson(BridgeRig::chatMessage(QStringLiteral("m-e"), QStringLiteral("u-1"),
                                                  {{QStringLiteral("content"), QString()}}));
        QCOMPARE(rig.waitForClosing(QStringLiteral("m-e")).constLast().value(QStringLiteral("content")).toString(),
                 noUserText.value(QStringLiteral("content")).toString());

        QCOMPARE(int(rig.chatRequests().size()), gatewayCalls); // the gateway was not called
        QCOMPARE(log.countStartingWith(QStringLiteral("Processing chat m-c")), 0);
    }

    void requestsThatGetNoReply()
    {
        LogCapture log;
        BridgeRig rig;
        QVERIFY(rig.createConnected());
        rig.gateway.setDefaultResponse(kCompletions.toUtf8(), streamOf({QStringLiteral("answer")}));
        const int framesBefore = rig.relay.frameCount();

        rig.relay.sendJson(
            {{QStringLiteral("type"), QStringLiteral("ping")}, {QStringLiteral("id"), QStringLiteral("p-1")}});
        rig.relay.sendJson(BridgeRig::chatMessage(QString(), QStringLiteral("u-1"),
                                                  {{QStringLiteral("content"), QStringLiteral("no id")}}));
        rig.relay.sendJson(BridgeRig::chatMessage(QStringLiteral("m-x"), QString(),
                                                  {{QStringLiteral("content"), QStringLiteral("no user")}}));
        // Undecodable: a message member with a number value.
        rig.relay.sendJson(BridgeRig::chatMessage(
            QStringLiteral("m-y"), QStringLiteral("u-1"),
            {{QStringLiteral("messages"), QJsonArray{QJsonObject{{QStringLiteral("role"), QStringLiteral("user")},
                                                                 {QStringLiteral("content"), 5}}}}}));
        // A valid request afterwards: frames arrive in order, so once its end
        // is in, anything sent for the ones before would be too.
        rig.relay.sendJson(BridgeRig::chatMessage(QStringLiteral("m-ok"), QStringLiteral("u-1"),
                                                  {{QStringLiteral("content"), QStringLiteral("hello")}}));
        verifyStream(rig.waitForClosing(QStringLiteral("m-ok")), QStringLiteral("m-ok"), QStringLiteral("u-1"),
                     {QStringLiteral("answer")});

        // m-ok's chunk and end only.
        const QList<RelayStandIn::Frame> frames = rig.relay.frames().mid(framesBefore);
        QStringList texts;
        for (const RelayStandIn::Frame &frame : frames)
            texts << frame.text();
        QVERIFY2(frames.size() == 2, qPrintable(texts.join(QLatin1Char('\n'))));
        QCOMPARE(rig.chatRequests().size(), 1);
        QCOMPARE(log.count(QtInfoMsg, QStringLiteral("Ignoring message type: ping")), 1);
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("Message missing id or appUserId")), 2);
    }

    void gatewayFailures()
    {
        LogCapture log;
        BridgeRig rig;
        rig.useMemorySync();
        QVERIFY(rig.createConnected());
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->memorySyncService() != nullptr; }, 15000));

        // The stream breaks after two fragments: two chunks, then one failure reply.
        QList<QByteArray> pieces = sse::chatStream({QStringLiteral("one "), QStringLiteral("two ")}, false);
        pieces.removeLast(); // no stop chunk
        rig.gateway.enqueue(ScriptedResponse::eventStream(pieces, 5).withEnding(ScriptedResponse::Ending::Cut),
                            kCompletions.toUtf8());
        rig.relay.sendJson(BridgeRig::chatMessage(QStringLiteral("m-f"), QStringLiteral("u-2"),
                                                  {{QStringLiteral("content"), QStringLiteral("go")}}));
        QList<QJsonObject> replies = rig.waitForClosing(QStringLiteral("m-f"));
        QCOMPARE(replies.size(), 3);
        QCOMPARE(str(replies[0], "type"), kChunk);
        QCOMPARE(str(replies[0], "delta"), QStringLiteral("one "));
        QCOMPARE(str(replies[1], "accumulated"), QStringLiteral("one two "));
        QCOMPARE(str(replies[2], "type"), kResponse);
        QCOMPARE(str(replies[2], "appUserId"), QStringLiteral("u-2"));
        const QString failure = str(replies[2], "content");
        QVERIFY2(failure.startsWith(QStringLiteral("⚠️ Bridge error: Network error: ")), qPrintable(failure));
        QCOMPARE(
            log.count(QtCriticalMsg, QStringLiteral("Chat failed for m-f: ") + failure.mid(bridgeErrorPrefix().size())),
            1);

        // An error status: the gateway's words, no chunk.
        rig.gateway.enqueue(ScriptedResponse::json(401, QByteArrayLiteral("{\"error\":\"bad token\"}")),
                            kCompletions.toUtf8());
        rig.relay.sendJson(BridgeRig::chatMessage(QStringLiteral("m-g"), QStringLiteral("u-2"),
                                                  {{QStringLiteral("content"), QStringLiteral("go")}}));
        replies = rig.waitForClosing(QStringLiteral("m-g"));
        QCOMPARE(replies.size(), 1);
        QCOMPARE(str(replies[0], "content"),
                 QStringLiteral("⚠️ Bridge error: OpenClaw error (401): {\"error\":\"bad token\"}"));

        // Memory sync counts successful exchanges only.
        QCOMPARE(rig.bridge->memorySyncService()->exchangeCount(), 0);
        rig.gateway.enqueue(streamOf({QStringLiteral("fine")}), kCompletions.toUtf8());
        rig.relay.sendJson(BridgeRig::chatMessage(QStringLiteral("m-h"), QStringLiteral("u-2"),
                                                  {{QStringLiteral("content"), QStringLiteral("go")}}));
        QCOMPARE(str(rig.waitForClosing(QStringLiteral("m-h")).constLast(), "type"), kEnd);
        QCOMPARE(rig.bridge->memorySyncService()->exchangeCount(), 1);
    }

    void fiftyConcurrentRequests()
    {
        BridgeRig rig;
        QVERIFY(rig.createConnected());
        // Each answer is built from the question, and its fragments come
        // spread out so that the streams interleave.
        rig.gateway.setHandler([](const HttpRequest &request) -> std::optional<ScriptedResponse> {
            if (request.path() != "/v1/chat/completions")
                return std::nullopt;
            const QJsonArray messages = request.json().value(QStringLiteral("messages")).toArray();
            const QString question = messages.last().toObject().value(QStringLiteral("content")).toString();
            return streamOf(
                {question + QStringLiteral(":a "), question + QStringLiteral(":b "), question + QStringLiteral(":c")},
                3);
        });

        constexpr int count = 50;
        for (int i = 0; i < count; ++i) {
            rig.relay.sendJson(BridgeRig::chatMessage(QStringLiteral("c-%1").arg(i), QStringLiteral("u-%1").arg(i),
                                                      {{QStringLiteral("content"), QStringLiteral("q%1").arg(i)}}));
        }
        QVERIFY(QTest::qWaitFor([&] { return rig.sent(kEnd).size() + rig.sent(kResponse).size() >= count; }, 60000));

        for (int i = 0; i < count; ++i) {
            const QString q = QStringLiteral("q%1").arg(i);
            verifyStream(rig.repliesTo(QStringLiteral("c-%1").arg(i)), QStringLiteral("c-%1").arg(i),
                         QStringLiteral("u-%1").arg(i),
                         {q + QStringLiteral(":a "), q + QStringLiteral(":b "), q + QStringLiteral(":c")});
            if (QTest::currentTestFailed())
                return;
        }
        QCOMPARE(rig.sent(kResponse).size(), 0);
        QCOMPARE(rig.chatRequests().size(), count);
    }

    void aStalledRelayHoldsBackTheGatewayStream()
    {
        BridgeRig rig;
        rig.timings.relay.highWatermarkBytes = 64 * 1024;
        rig.timings.relay.lowWatermarkBytes = 16 * 1024;
        QVERIFY(rig.createConnected());
        RelayWebSocket *link = rig.bridge->relayWebSocket();
        GatewayHttpClient *client = rig.bridge->openClawClient();

        // Every chunk carries the whole text so far: megabytes in all.
        QStringList fragments;
        for (int i = 0; i < 1500; ++i)
            fragments << QStringLiteral("w%1 ").arg(i, 5, 10, QLatin1Char('0'));
        rig.gateway.enqueue(streamOf(fragments), kCompletions.toUtf8());

        // The queue is watched all along; the client must be paused the
        // moment the link congests.
        qint64 mostPending = 0;
        int pausedAtCongestion = 0;
        QSignalSpy congested(link, &RelayWebSocket::congested);
        QObject::connect(link, &RelayWebSocket::congested, link, [&] {
            mostPending = std::max(mostPending, link->pendingBytes());
            pausedAtCongestion += client->isStreamReadingPaused() ? 1 : 0;
        });
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout, link,
                         [&] { mostPending = std::max(mostPending, link->pendingBytes()); });
        sampler.start(1);

        const int framesBefore = rig.relay.frameCount();
        QVERIFY(rig.relay.pauseReading());
        rig.relay.sendJson(BridgeRig::chatMessage(QStringLiteral("m-1"), QStringLiteral("u-7"),
                                                  {{QStringLiteral("content"), QStringLiteral("Hi")}}));
        QVERIFY(QTest::qWaitFor([&] { return congested.size() > 0; }, 30000));
        QVERIFY(client->isStreamReadingPaused());
        // Held back: the gateway stream is left unread meanwhile.
        QVERIFY(QTest::qWaitFor([&] { return rig.gateway.requestsTo(kCompletions.toUtf8()).size() == 1; }, 30000));
        QVERIFY(client->isStreamReadingPaused());

        QVERIFY(rig.relay.resumeReading());
        QVERIFY(QTest::qWaitFor([&] { return rig.relay.frameCount() >= framesBefore + 1501; }, 60000));
        sampler.stop();
        verifyStream(rig.waitForClosing(QStringLiteral("m-1")), QStringLiteral("m-1"), QStringLiteral("u-7"),
                     fragments);
        QVERIFY(!client->isStreamReadingPaused());
        QCOMPARE(pausedAtCongestion, int(congested.size()));
        // The watermark plus about one chunk (the longest is ~16 KiB).
        QVERIFY2(mostPending < 64 * 1024 + 32 * 1024, qPrintable(QString::number(mostPending)));
    }

    void stoppingACongestedBridgeLeavesStreamReadingOn()
    {
        BridgeRig rig;
        rig.timings.relay.highWatermarkBytes = 16 * 1024;
        rig.timings.relay.lowWatermarkBytes = 4 * 1024;
        QVERIFY(rig.createConnected());
        GatewayHttpClient *client = rig.bridge->openClawClient();
        QStringList fragments;
        for (int i = 0; i < 1000; ++i)
            fragments << QStringLiteral("w%1 ").arg(i, 5, 10, QLatin1Char('0'));
        rig.gateway.enqueue(streamOf(fragments), kCompletions.toUtf8());

        QVERIFY(rig.relay.pauseReading());
        rig.relay.sendJson(BridgeRig::chatMessage(QStringLiteral("m-1"), QStringLiteral("u-7"),
                                                  {{QStringLiteral("content"), QStringLiteral("Hi")}}));
        QVERIFY(QTest::qWaitFor([&] { return client->isStreamReadingPaused(); }, 30000));
        rig.bridge->stop();
        QVERIFY(!client->isStreamReadingPaused());
        QVERIFY(!rig.bridge->relayWebSocket()->isCongested());
    }

    void answeredOverTheGatewayWebSocket()
    {
        LogCapture log;
        BridgeRig rig;
        GatewayWsStandIn ws;
        QVERIFY(rig.startStandIns());
        QVERIFY(ws.listen());
        ws.setGatewayToken(BridgeRig::gatewayToken);
        rig.storeBridgeToken();
        rig.settings->setString(SettingsKey::openClawEndpoint, ws.httpUrl().toString());
        QVERIFY(rig.credentials->save(CredentialService::openClaw(), BridgeRig::gatewayToken));
        QVERIFY(rig.launch());
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->openClawWebSocket()->isUsableForChat(); }, 20000));

        // Cumulative agent texts become one chunk per growth.
        ws.queueChatScript(GatewayWsStandIn::ChatScript::stream(
            {QStringLiteral("Hel"), QStringLiteral("Hello"), QStringLiteral("Hello wörld 👋🏽")}));
        rig.relay.sendJson(BridgeRig::chatMessage(
            QStringLiteral("m-w"), QStringLiteral("u-9"),
            {{QStringLiteral("messages"),
              QJsonArray{BridgeRig::entry(QStringLiteral("user"), QStringLiteral("older question")),
                         BridgeRig::entry(QStringLiteral("assistant"), QStringLiteral("A")),
                         BridgeRig::entry(QStringLiteral("user"), QStringLiteral("greet me"))}}}));
        verifyStream(rig.waitForClosing(QStringLiteral("m-w")), QStringLiteral("m-w"), QStringLiteral("u-9"),
                     {QStringLiteral("Hel"), QStringLiteral("lo"), QStringLiteral(" wörld 👋🏽")});

        // Only the last user text goes out, to the mobile agent's session.
        const QList<QJsonObject> sends = ws.framesWithMethod(QStringLiteral("chat.send"));
        QCOMPARE(sends.size(), 1);
        const QJsonObject params = sends.first().value(QStringLiteral("params")).toObject();
        QCOMPARE(params.value(QStringLiteral("message")).toString(), QStringLiteral("greet me"));
        QCOMPARE(params.value(QStringLiteral("sessionKey")).toString(), QStringLiteral("agent:mobile:main"));
        QCOMPARE(rig.chatRequests().size(), 0);

        QCOMPARE(log.count(QStringLiteral("Processing chat m-w — 3 messages")), 1);
        QCOMPARE(log.count(QStringLiteral("OpenClaw WS connected: true")), 1);
        QCOMPARE(log.count(QStringLiteral("Using OpenClaw WebSocket for m-w")), 1);
        // Lengths in user-perceived characters.
        QCOMPARE(log.messagesStartingWith(QStringLiteral("Forwarding chunk:")),
                 (QStringList{QStringLiteral("Forwarding chunk: reply_to=m-w delta_len=3 accumulated_len=3"),
                              QStringLiteral("Forwarding chunk: reply_to=m-w delta_len=2 accumulated_len=5"),
                              QStringLiteral("Forwarding chunk: reply_to=m-w delta_len=8 accumulated_len=13")}));
        QCOMPARE(log.count(QStringLiteral("Sent streamed response for m-w")), 1);

        // An error answer from the gateway: one failure reply.
        ws.queueChatScript(
            GatewayWsStandIn::ChatScript::failure(QStringLiteral("AGENT_BUSY"), QStringLiteral("agent is busy")));
        rig.relay.sendJson(BridgeRig::chatMessage(QStringLiteral("m-e"), QStringLiteral("u-9"),
                                                  {{QStringLiteral("content"), QStringLiteral("again")}}));
        const QList<QJsonObject> failed = rig.waitForClosing(QStringLiteral("m-e"));
        QCOMPARE(failed.size(), 1);
        QCOMPARE(str(failed.first(), "type"), kResponse);
        QCOMPARE(str(failed.first(), "content"), QStringLiteral("⚠️ Bridge error: agent is busy"));
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("Chat failed for m-e: agent is busy")), 1);

        // Two chats at once: each gets its own chunks under its own id.
        ws.queueChatScript(GatewayWsStandIn::ChatScript::stream({QStringLiteral("one"), QStringLiteral("one!")}));
        ws.queueChatScript(GatewayWsStandIn::ChatScript::stream({QStringLiteral("two"), QStringLiteral("two?")}));
        rig.relay.sendJson(BridgeRig::chatMessage(QStringLiteral("m-1"), QStringLiteral("u-1"),
                                                  {{QStringLiteral("content"), QStringLiteral("first")}}));
        rig.relay.sendJson(BridgeRig::chatMessage(QStringLiteral("m-2"), QStringLiteral("u-2"),
                                                  {{QStringLiteral("content"), QStringLiteral("second")}}));
        verifyStream(rig.waitForClosing(QStringLiteral("m-1")), QStringLiteral("m-1"), QStringLiteral("u-1"),
                     {QStringLiteral("one"), QStringLiteral("!")});
        verifyStream(rig.waitForClosing(QStringLiteral("m-2")), QStringLiteral("m-2"), QStringLiteral("u-2"),
                     {QStringLiteral("two"), QStringLiteral("?")});

        // The manager goes while a socket chat waits: the request resumes
        // without touching it (the sanitizers would catch it).
        ws.queueChatScript(GatewayWsStandIn::ChatScript::held({QStringLiteral("part"), QStringLiteral("partial")}));
        rig.relay.sendJson(BridgeRig::chatMessage(QStringLiteral("m-h"), QStringLiteral("u-1"),
                                                  {{QStringLiteral("content"), QStringLiteral("hold")}}));
        QVERIFY(QTest::qWaitFor([&] { return rig.sent(kChunk, QStringLiteral("m-h")).size() == 1; }, 15000));
        rig.bridge.reset();
        QVERIFY(QTest::qWaitFor([&] { return ws.openConnectionCount() == 0; }, 15000));
        QCOMPARE(rig.sent(kEnd, QStringLiteral("m-h")).size(), 0);
    }

    void aConnectingGatewaySocketIsWaitedFor()
    {
        // The socket comes up while the chat waits: the chat takes it.
        PipelineRig rig;
        rig.webSocketExpected = true;
        ChatPipeline *pipeline = rig.create();
        QElapsedTimer clock;
        clock.start();
        pipeline->handleChatMessage(PipelineRig::chat(QStringLiteral("w-1")));
        QTimer::singleShot(150, pipeline, [&] {
            rig.webSocket.usable = true;
            pipeline->webSocketStateChanged();
        });
        QVERIFY(QTest::qWaitFor([&] { return rig.webSocket.calls.size() == 1; }, 15000));
        QVERIFY(clock.elapsed() >= 100);
        QCOMPARE(rig.http.calls.size(), 0);
        const ChatCallRequest &sent = rig.webSocket.calls.first().request;
        QCOMPARE(sent.requestId, QStringLiteral("w-1")); // the relay id is the idempotency key
        QCOMPARE(sent.lastUserText, QStringLiteral("hi"));
        QCOMPARE(sent.agentId, QStringLiteral("mobile"));
        rig.webSocket.answer(QStringLiteral("w-1"), {QStringLiteral("a"), QStringLiteral("b")});
        QVERIFY(QTest::qWaitFor([&] { return rig.closing(QStringLiteral("w-1")).size() == 1; }, 15000));
        QCOMPARE(str(rig.closing(QStringLiteral("w-1")).constFirst(), "content"), QStringLiteral("ab"));
        QCOMPARE(rig.replies.size(), 3);

        // The socket does not come within the wait: HTTP, once the wait is over.
        PipelineRig slow;
        slow.webSocketExpected = true;
        slow.timings.gatewaySocketWait = std::chrono::milliseconds(300);
        slow.create()->handleChatMessage(PipelineRig::chat(QStringLiteral("w-2")));
        QVERIFY(QTest::qWaitFor([&] { return slow.http.calls.size() == 1; }, 15000));
        QVERIFY(slow.http.calls.first().startedAtMs >= 250);
        QCOMPARE(slow.webSocket.calls.size(), 0);

        // Nothing on its way: HTTP at once.
        PipelineRig none;
        none.create()->handleChatMessage(PipelineRig::chat(QStringLiteral("w-3")));
        QVERIFY(QTest::qWaitFor([&] { return none.http.calls.size() == 1; }, 15000));
        QVERIFY(none.http.calls.first().startedAtMs < 250);

        // The socket's prospects vanish during the wait: HTTP without
        // waiting out the rest.
        PipelineRig vanishing;
        vanishing.webSocketExpected = true;
        ChatPipeline *third = vanishing.create();
        third->handleChatMessage(PipelineRig::chat(QStringLiteral("w-4")));
        QTest::qWait(50);
        QCOMPARE(vanishing.http.calls.size(), 0);
        vanishing.webSocketExpected = false;
        third->webSocketStateChanged();
        QVERIFY(QTest::qWaitFor([&] { return vanishing.http.calls.size() == 1; }, 2000));

        // The socket changes state several times in one turn before it is
        // usable (connecting, handshaking): the waiting chat looks again,
        // waits on, and takes the socket once it is there.
        PipelineRig flickering;
        flickering.webSocketExpected = true;
        ChatPipeline *fourth = flickering.create();
        fourth->handleChatMessage(PipelineRig::chat(QStringLiteral("w-5")));
        for (int round = 0; round < 3; ++round) {
            for (int i = 0; i < 3; ++i)
                fourth->webSocketStateChanged();
            QCoreApplication::processEvents();
        }
        QCOMPARE(flickering.http.calls.size() + flickering.webSocket.calls.size(), 0);
        flickering.webSocket.usable = true;
        fourth->webSocketStateChanged();
        fourth->webSocketStateChanged();
        QVERIFY(QTest::qWaitFor([&] { return flickering.webSocket.calls.size() == 1; }, 15000));
        QCOMPARE(flickering.http.calls.size(), 0);
    }

    void httpFallbackWithTheEndpointOff()
    {
        PipelineRig rig;
        ChatPipeline *pipeline = rig.create();
        pipeline->handleChatMessage(PipelineRig::chat(QStringLiteral("o-1")));
        QVERIFY(QTest::qWaitFor([&] { return rig.http.calls.size() == 1; }, 15000));
        rig.http.fail(QStringLiteral("o-1"), httpStatusFailure(404, QStringLiteral("Not Found")));
        QVERIFY(QTest::qWaitFor([&] { return rig.closing(QStringLiteral("o-1")).size() == 1; }, 15000));
        QCOMPARE(str(rig.closing(QStringLiteral("o-1")).constFirst(), "content"),
                 bridgeErrorPrefix() +
                     QStringLiteral("OpenClaw's HTTP chat endpoint is off and the gateway WebSocket is not connected"));

        // Other failures keep the gateway's words.
        pipeline->handleChatMessage(PipelineRig::chat(QStringLiteral("o-2")));
        QVERIFY(QTest::qWaitFor([&] { return rig.http.calls.size() == 2; }, 15000));
        rig.http.fail(QStringLiteral("o-2"), httpStatusFailure(401, QStringLiteral("bad token")));
        QVERIFY(QTest::qWaitFor([&] { return rig.closing(QStringLiteral("o-2")).size() == 1; }, 15000));
        QCOMPARE(str(rig.closing(QStringLiteral("o-2")).constFirst(), "content"),
                 bridgeErrorPrefix() + QStringLiteral("OpenClaw error (401): bad token"));
    }

    void chatsInFlightAreLimitedAndNeverStartedTwice()
    {
        PipelineRig rig;
        rig.timings.maxChatsInFlight = 3;
        ChatPipeline *pipeline = rig.create();
        QSignalSpy closed(pipeline, &ChatPipeline::chatClosed);
        for (int i = 0; i < 3; ++i)
            pipeline->handleChatMessage(PipelineRig::chat(QStringLiteral("l-%1").arg(i)));
        QVERIFY(QTest::qWaitFor([&] { return rig.http.calls.size() == 3; }, 15000));
        QCOMPARE(pipeline->chatsInFlight(), 3);

        // A redelivered request while it runs: ignored, no second gateway call.
        pipeline->handleChatMessage(PipelineRig::chat(QStringLiteral("l-1")));
        // One more than the limit: refused at once.
        pipeline->handleChatMessage(PipelineRig::chat(QStringLiteral("l-9")));
        QCOMPARE(rig.closing(QStringLiteral("l-9")).size(), 1);
        QCOMPARE(str(rig.closing(QStringLiteral("l-9")).constFirst(), "content"),
                 bridgeErrorPrefix() + QStringLiteral("Bridge is busy"));
        QCOMPARE(closed.size(), 1);

        for (int i = 0; i < 3; ++i)
            rig.http.answer(QStringLiteral("l-%1").arg(i), {QStringLiteral("x")});
        QVERIFY(QTest::qWaitFor([&] { return pipeline->chatsInFlight() == 0; }, 15000));
        QCOMPARE(rig.http.calls.size(), 3);
        QCOMPARE(rig.closing(QStringLiteral("l-1")).size(), 1);
        QCOMPARE(closed.size(), 4);

        // Once ended, the same id may come again (a new request of the app).
        pipeline->handleChatMessage(PipelineRig::chat(QStringLiteral("l-1")));
        QVERIFY(QTest::qWaitFor([&] { return rig.http.calls.size() == 4; }, 15000));

        // The deadline counts from the request's arrival.
        const QDeadlineTimer deadline = rig.http.calls.last().request.deadline;
        QVERIFY(!deadline.isForever());
        QVERIFY(deadline.remainingTime() <= 120000);
        QVERIFY(deadline.remainingTime() > 100000);
    }

    void aThousandRequestsAtOnce()
    {
        // Against the stand-ins: each request gets exactly one closing
        // message, the ones beyond the limit at once; the event loop stays
        // responsive (figures printed, not asserted).
        BridgeRig rig;
        QVERIFY(rig.createConnected());
        rig.gateway.setHandler([](const HttpRequest &request) -> std::optional<ScriptedResponse> {
            if (request.path() != "/v1/chat/completions")
                return std::nullopt;
            return streamOf({QStringLiteral("a "), QStringLiteral("b")}, 20);
        });
        qint64 worstTickMs = 0;
        QElapsedTimer tick;
        tick.start();
        QTimer heartbeat;
        heartbeat.setInterval(10);
        QObject::connect(&heartbeat, &QTimer::timeout, [&] { worstTickMs = std::max(worstTickMs, tick.restart()); });
        heartbeat.start();

        constexpr int count = 1000;
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < count; ++i) {
            rig.relay.sendJson(BridgeRig::chatMessage(QStringLiteral("k-%1").arg(i), QStringLiteral("u-%1").arg(i % 7),
                                                      {{QStringLiteral("content"), QStringLiteral("q")}}));
        }
        QVERIFY(QTest::qWaitFor([&] { return rig.sent(kEnd).size() + rig.sent(kResponse).size() >= count; }, 120000));
        const qint64 elapsed = clock.elapsed();
        QTest::qWait(200);
        QCOMPARE(rig.sent(kEnd).size() + rig.sent(kResponse).size(), count);
        int busy = 0;
        for (int i = 0; i < count; ++i) {
            const QList<QJsonObject> replies = rig.repliesTo(QStringLiteral("k-%1").arg(i));
            int closings = 0;
            for (const QJsonObject &reply : replies)
                closings += BridgeRig::isClosing(reply) ? 1 : 0;
            QCOMPARE(closings, 1);
            if (str(replies.last(), "content") == bridgeErrorPrefix() + QStringLiteral("Bridge is busy"))
                ++busy;
        }
        QVERIFY(rig.chatRequests().size() <= count - busy);
        QVERIFY(busy > 0);
        QCOMPARE(rig.bridge->chatPipeline()->chatsInFlight(), 0);
        std::printf(
            "1000 chats at once: all closed in %lld ms, %d refused as busy, %lld gateway calls, worst event-loop "
            "gap %lld ms\n",
            elapsed, busy, qint64(rig.chatRequests().size()), worstTickMs);
    }

    void managerGoneWithChatInFlight()
    {
        BridgeRig rig;
        QVERIFY(rig.createConnected());
        // One fragment, then the gateway holds the stream open.
        rig.gateway.enqueue(ScriptedResponse::eventStream(sse::chatStream({QStringLiteral("partial")}, false).mid(0, 2))
                                .withEnding(ScriptedResponse::Ending::HoldOpen),
                            kCompletions.toUtf8());
        rig.relay.sendJson(BridgeRig::chatMessage(QStringLiteral("m-z"), QStringLiteral("u-3"),
                                                  {{QStringLiteral("content"), QStringLiteral("go")}}));
        QVERIFY(QTest::qWaitFor([&] { return rig.sent(kChunk, QStringLiteral("m-z")).size() == 1; }, 15000));

        // The pending request resumes after the manager is gone and must not
        // touch it (the sanitizers would catch it).
        rig.bridge.reset();
        QVERIFY(QTest::qWaitFor([&] { return rig.gateway.openConnectionCount() == 0; }, 15000));
        QTest::qWait(0);
        QCOMPARE(rig.sent(kEnd).size() + rig.sent(kResponse).size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestChatPipeline)
#include "tst_chat_pipeline.moc"
