// The gateway HTTP client against a loopback HTTP stand-in: the chat request
// it sends, the event-stream reading rules, one outcome per request, the
// non-streaming answer's checks, and the reachability probe.
#include "gateway/gateway_http_client.h"
#include "gateway/gateway_probe.h"
#include "http_stand_in.h"
#include "loopback.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <algorithm>
#include <memory>

using namespace halvex;
using namespace halvex::test;

namespace {

constexpr int kWait = 20000;

ChatMessages hello()
{
    return {ChatMessage{{QStringLiteral("role"), QStringLiteral("user")},
                        {QStringLiteral("content"), QStringLiteral("Hi")}}};
}

// Everything one streaming call reported.
struct StreamRun {
    QStringList fragments;
    QStringList accumulations;
    QList<Result<QString>> outcomes;
};

std::shared_ptr<StreamRun> startStream(GatewayHttpClient &client, ChatMessages messages = hello())
{
    auto run = std::make_shared<StreamRun>();
    client
        .sendChatStreaming(std::move(messages),
                           [run](const QString &fragment, const QString &accumulated) {
                               run->fragments.append(fragment);
                               run->accumulations.append(accumulated);
                           })
        .then([run](Result<QString> result) { run->outcomes.append(std::move(result)); });
    return run;
}

// A request on a connection of its own, answered: by then the event loop
// has read whatever a stream's connection received before it.
bool roundTrip(HttpStandIn &server)
{
    server.setDefaultResponse("/healthz", ScriptedResponse::text(200, QByteArrayLiteral("ok")));
    GatewayTarget target;
    target.endpoint = server.url();
    GatewayProbeOptions options;
    options.chatEndpoint = false;
    auto probe = std::make_shared<std::optional<GatewayProbe>>();
    probeGateway(target, options).then([probe](GatewayProbe answer) { *probe = std::move(answer); });
    return QTest::qWaitFor([&] { return probe->has_value(); }, kWait) && (*probe)->reachable;
}

template <typename Run>
bool waitForOutcome(const std::shared_ptr<Run> &run, int timeoutMs = kWait)
{
    return QTest::qWaitFor([&] { return !run->outcomes.isEmpty(); }, timeoutMs);
}

bool isNetworkError(const Error &error)
{
    return error.bridgeError() && error.bridgeError()->kind() == BridgeError::Kind::networkError;
}

} // namespace

class TstGatewayHttpClient : public QObject
{
    Q_OBJECT

    std::unique_ptr<GatewayHttpClient> clientFor(const HttpStandIn &server, const QString &token = QStringLiteral("t"),
                                                 GatewayHttpClient::Timings timings = {})
    {
        return std::make_unique<GatewayHttpClient>(server.url(), token, timings);
    }

    // Plays one scripted stream and waits for its outcome and for the
    // connection to close, so a late second outcome would be seen.
    std::shared_ptr<StreamRun> playStream(const ScriptedResponse &response)
    {
        HttpStandIn server;
        server.listen();
        server.enqueue(response);
        QSignalSpy closed(&server, &HttpStandIn::connectionClosed);
        auto client = clientFor(server);
        auto run = startStream(*client);
        [&] { QVERIFY(waitForOutcome(run)); }();
        (void)QTest::qWaitFor([&] { return closed.count() > 0; }, kWait);
        QCoreApplication::processEvents();
        return run;
    }

private Q_SLOTS:
    // ---- the request ----

    void chatRequestCarriesAgentModelAndBearer()
    {
        HttpStandIn server;
        QVERIFY(server.listen());
        server.enqueue(ScriptedResponse::eventStream({sse::done()}));

        // A base path is kept and no slash is doubled.
        QUrl endpoint = server.url();
        endpoint.setPath(QStringLiteral("/base/"));
        GatewayHttpClient client(endpoint, QStringLiteral("t"));

        auto streamed = startStream(client);
        QVERIFY(waitForOutcome(streamed));

        const QList<HttpRequest> requests = server.requests();
        QCOMPARE(requests.size(), 1);
        {
            const HttpRequest &request = requests.first();
            QCOMPARE(request.method, QByteArrayLiteral("POST"));
            QCOMPARE(request.target, QByteArrayLiteral("/base/v1/chat/completions"));
            QCOMPARE(request.header("Content-Type"), QByteArrayLiteral("application/json"));
            QCOMPARE(request.header("Authorization"), QByteArrayLiteral("Bearer t"));
            QCOMPARE(request.header("x-openclaw-agent-id"), QByteArrayLiteral("mobile"));
            const QJsonObject body = request.json();
            QCOMPARE(body.keys(),
                     (QStringList{QStringLiteral("messages"), QStringLiteral("model"), QStringLiteral("stream")}));
            QCOMPARE(body.value(QLatin1String("model")).toString(), QStringLiteral("openclaw/mobile"));
            QCOMPARE(body.value(QLatin1String("stream")).toBool(), true);
            const QJsonArray messages = body.value(QLatin1String("messages")).toArray();
            QCOMPARE(messages.size(), 1);
            QCOMPARE(messages.first().toObject(), (QJsonObject{{QStringLiteral("role"), QStringLiteral("user")},
                                                               {QStringLiteral("content"), QStringLiteral("Hi")}}));
        }
    }

    void fieldsAreReadWhenEachRequestIsBuilt()
    {
        HttpStandIn server;
        QVERIFY(server.listen());
        server.setDefaultResponse("/v1/chat/completions", ScriptedResponse::eventStream({sse::done()}));
        GatewayHttpClient client(QUrl(QStringLiteral("http://127.0.0.1:1")), QStringLiteral("old"));

        client.setEndpointURL(server.url());
        client.setGatewayToken(QString()); // empty: no Authorization header at all
        QVERIFY(waitForOutcome(startStream(client)));

        QCOMPARE(server.requestCount(), 1);
        const HttpRequest chat = server.requests().at(0);
        QVERIFY(!chat.hasHeader("Authorization"));
        QCOMPARE(chat.header("x-openclaw-agent-id"), QByteArrayLiteral("mobile"));
    }

    // ---- the event stream ----

    void fragmentsArriveWhateverThePieces_data()
    {
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<QStringList>("fragments");

        const QByteArray hello = sse::contentChunk(QStringLiteral("Hello"));
        const QByteArray world = sse::contentChunk(QStringLiteral(" world"));
        QTest::newRow("one chunk split across pieces")
            << sse::splitAt(hello + sse::done(), {7, 20, hello.size() - 1}) << QStringList{QStringLiteral("Hello")};
        QTest::newRow("two chunks in one piece") << QList<QByteArray>{hello + world, sse::done()}
                                                 << QStringList{QStringLiteral("Hello"), QStringLiteral(" world")};
        const QByteArray hi = sse::contentChunk(QStringLiteral("Hi")) + sse::done();
        QList<qsizetype> everyByte;
        for (qsizetype i = 1; i < hi.size(); ++i)
            everyByte.append(i);
        QTest::newRow("one byte per piece") << sse::splitAt(hi, everyByte) << QStringList{QStringLiteral("Hi")};

        // "Grüße 👋": the boundaries fall inside the two-byte "ü" and inside
        // the four-byte emoji.
        const QString text = QStringLiteral("Gr\u00fc\u00dfe \U0001F44B");
        const QByteArray chunk = sse::contentChunk(text);
        const qsizetype umlaut = chunk.indexOf("\xc3\xbc");
        const qsizetype emoji = chunk.indexOf("\xf0\x9f\x91\x8b");
        QVERIFY(umlaut > 0 && emoji > 0);
        QTest::newRow("boundaries inside multi-byte characters")
            << sse::splitAt(chunk + sse::done(), {umlaut + 1, emoji + 1, emoji + 3}) << QStringList{text};
    }

    void fragmentsArriveWhateverThePieces()
    {
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(QStringList, fragments);

        auto run = playStream(ScriptedResponse::eventStream(pieces, 2));
        QCOMPARE(run->outcomes.size(), 1);
        QVERIFY(run->outcomes.first().ok());
        QCOMPARE(run->outcomes.first().value(), fragments.join(QString()));
        QCOMPARE(run->fragments, fragments);
        QStringList accumulations;
        QString accumulated;
        for (const QString &fragment : fragments)
            accumulations.append(accumulated += fragment);
        QCOMPARE(run->accumulations, accumulations);
    }

    void onlyContentOfExactDataLinesCounts()
    {
        const QList<QByteArray> lines{
            sse::roleChunk(), // role only
            sse::contentChunk(QStringLiteral("A")),
            sse::deltaChunk(QJsonObject{{QStringLiteral("content"), QString()}}), // empty content
            "data:" + sse::contentChunk(QStringLiteral("x")).mid(6),              // no space after the colon
            "Data: " + sse::contentChunk(QStringLiteral("x")).mid(6),             // wrong case
            "event: message\n",
            ": a comment\n",
            "id: 7\n",
            "data: {not json\n\n",
            "data: [1,2]\n\n",
            "data: {\"choices\":[]}\n\n",
            "data: {\"choices\":{}}\n\n",
            "data: {\"choices\":[{\"delta\":{\"content\":7}}]}\n\n",
            "data: {\"choices\":[{\"message\":{\"content\":\"x\"}}]}\n\n",
            "data: \xff\xfe invalid UTF-8\n\n",
            "data:  [DONE]\n\n", // not exactly the marker
            // Escapes, spacing, members around the content, a surrogate pair
            // written as escapes: read like any chunk.
            "data: {\"choices\":[{\"delta\":{\"content\":\"C\\n\\u00e9\\\"\\/\"}}]}\n\n",
            "data: { \"id\" : \"x\", \"choices\" : [ { \"index\":0, \"delta\" : { \"role\":\"assistant\", "
            "\"content\" : \"D\" }, \"finish_reason\":null } ] , \"usage\":{\"n\":[1,-2.5e3,true,null]} }\n\n",
            "data: {\"choices\":[{\"delta\":{\"content\":\"\\ud83d\\ude00\"}}]}\n\n",
            // Not a fragment: a choice that is not an object, the content in
            // the second choice only, something after the object.
            "data: {\"choices\":[{\"delta\":{\"content\":\"x\"}},7]}\n\n",
            "data: {\"choices\":[{\"delta\":{}},{\"delta\":{\"content\":\"x\"}}]}\n\n",
            "data: {\"choices\":[{\"delta\":{\"content\":\"x\"}}]} x\n\n",
            sse::contentChunk(QStringLiteral("B")),
            sse::stopChunk(), // empty delta
            sse::done(),
        };
        auto run = playStream(ScriptedResponse::eventStream(lines));
        QCOMPARE(run->outcomes.size(), 1);
        QVERIFY(run->outcomes.first().ok());
        const QStringList expected{QStringLiteral("A"), QStringLiteral("C\n\u00e9\"/"), QStringLiteral("D"),
                                   QStringLiteral("\U0001F600"), QStringLiteral("B")};
        QCOMPARE(run->outcomes.first().value(), expected.join(QString()));
        QCOMPARE(run->fragments, expected);
    }

    void carriageReturnStaysInThePayload()
    {
        // JSON chunks with CR LF still parse, but "[DONE]" + CR is not the
        // end marker: the chunk after it still counts, and the stream ends
        // when the server closes.
        auto crlf = [](QByteArray lines) { return lines.replace("\n", "\r\n"); };
        auto run = playStream(ScriptedResponse::eventStream(
            {
                crlf(sse::contentChunk(QStringLiteral("one"))),
                crlf(sse::done()),
                crlf(sse::contentChunk(QStringLiteral(" two"))),
            },
            20));
        QCOMPARE(run->outcomes.size(), 1);
        QVERIFY(run->outcomes.first().ok());
        QCOMPARE(run->outcomes.first().value(), QStringLiteral("one two"));
        QCOMPARE(run->fragments, (QStringList{QStringLiteral("one"), QStringLiteral(" two")}));
    }

    void doneEndsTheStreamOnceWhileTheConnectionStaysOpen()
    {
        HttpStandIn server;
        QVERIFY(server.listen());
        server.enqueue(ScriptedResponse::eventStream({sse::contentChunk(QStringLiteral("A")),
                                                      sse::done() + sse::contentChunk(QStringLiteral("late"))})
                           .withEnding(ScriptedResponse::Ending::HoldOpen));
        QSignalSpy closed(&server, &HttpStandIn::connectionClosed);
        auto client = clientFor(server); // chat time-out 120 s: only "[DONE]" can end this

        auto run = startStream(*client);
        QVERIFY(waitForOutcome(run));
        QVERIFY(run->outcomes.first().ok());
        QCOMPARE(run->outcomes.first().value(), QStringLiteral("A"));
        // Nothing after the marker is delivered.
        QCOMPARE(run->fragments, QStringList{QStringLiteral("A")});

        // The client drops the connection; that cancellation is not a second outcome.
        QTRY_VERIFY_WITH_TIMEOUT(closed.count() > 0, kWait);
        QCoreApplication::processEvents();
        QCOMPARE(run->outcomes.size(), 1);
    }

    void closeWithoutDoneSucceedsWithWhatArrived()
    {
        // The last line has no LF and is lost.
        auto run = playStream(ScriptedResponse::eventStream(
            {sse::contentChunk(QStringLiteral("kept")), sse::contentChunk(QStringLiteral("lost")).chopped(2)}));
        QCOMPARE(run->outcomes.size(), 1);
        QVERIFY(run->outcomes.first().ok());
        QCOMPARE(run->outcomes.first().value(), QStringLiteral("kept"));

        // The same with a body that simply ends at the close.
        run = playStream(ScriptedResponse::eventStream({sse::contentChunk(QStringLiteral("plain"))})
                             .withFraming(ScriptedResponse::Framing::UntilClose));
        QCOMPARE(run->outcomes.size(), 1);
        QVERIFY(run->outcomes.first().ok());
        QCOMPARE(run->outcomes.first().value(), QStringLiteral("plain"));
    }

    void errorStatusBodyIsTheErrorNotEvents()
    {
        // The body looks like events but is never parsed as such.
        const QByteArray body = sse::contentChunk(QStringLiteral("secret")) + "Unauthorized";
        auto run = playStream(ScriptedResponse::text(401, body).withFraming(ScriptedResponse::Framing::Chunked));
        QCOMPARE(run->outcomes.size(), 1);
        QVERIFY(!run->outcomes.first().ok());
        QCOMPARE(run->outcomes.first().error(),
                 Error(BridgeError::apiError(QStringLiteral("OpenClaw error (401): ") + QString::fromUtf8(body), 401)));
        QVERIFY(run->fragments.isEmpty());

        run = playStream(ScriptedResponse::text(500, QByteArrayLiteral("\xff\xfe not UTF-8")));
        QCOMPARE(run->outcomes.size(), 1);
        QCOMPARE(run->outcomes.first().error(),
                 Error(BridgeError::apiError(QStringLiteral("OpenClaw error (500): Unknown error"), 500)));
    }

    void transportFailuresAreNetworkErrors()
    {
        // Cut in the middle of a chunked body.
        auto run = playStream(ScriptedResponse::eventStream({sse::contentChunk(QStringLiteral("A"))})
                                  .withEnding(ScriptedResponse::Ending::Cut));
        QCOMPARE(run->outcomes.size(), 1);
        QVERIFY(!run->outcomes.first().ok());
        QVERIFY(isNetworkError(run->outcomes.first().error()));

        // Nobody listening.
        GatewayHttpClient refused(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(test::closedLoopbackPort())),
                                  QString());
        run = startStream(refused);
        QVERIFY(waitForOutcome(run));
        QVERIFY(isNetworkError(run->outcomes.first().error()));
        QVERIFY(run->outcomes.first().error().description().startsWith(QStringLiteral("Network error: ")));

        // Not HTTP at all (Qt tries such a request twice).
        HttpStandIn ssh;
        QVERIFY(ssh.listen());
        ssh.setDefaultResponse("/v1/chat/completions",
                               ScriptedResponse::rawBytes(QByteArrayLiteral("SSH-2.0-OpenSSH_9.2\r\n")));
        auto sshClient = clientFor(ssh);
        run = startStream(*sshClient);
        QVERIFY(waitForOutcome(run));
        QVERIFY(isNetworkError(run->outcomes.first().error()));
    }

    void silentServerHitsTheChatTimeOut()
    {
        HttpStandIn server;
        QVERIFY(server.listen());
        server.enqueue(ScriptedResponse::hangForever());
        // And one that stops sending in the middle of the stream.
        server.enqueue(ScriptedResponse::eventStream({sse::contentChunk(QStringLiteral("A"))})
                           .withEnding(ScriptedResponse::Ending::HoldOpen));
        auto client = clientFor(server, QStringLiteral("t"), {.chatTimeout = std::chrono::seconds(1)});

        auto hung = startStream(*client);
        QVERIFY(waitForOutcome(hung));
        QCOMPARE(hung->outcomes.first().error(),
                 Error(BridgeError::networkError(QStringLiteral("The request timed out."))));
        auto stalled = startStream(*client);
        QVERIFY(waitForOutcome(stalled));
        QVERIFY(isNetworkError(stalled->outcomes.first().error()));
        QCOMPARE(stalled->fragments, QStringList{QStringLiteral("A")});

        // A slow stream that never pauses as long as the limit is not cut
        // off, however long it runs in all.
        QStringList slow;
        for (int i = 0; i < 6; ++i)
            slow << QString::number(i);
        QList<QByteArray> pieces;
        for (const QString &fragment : slow)
            pieces << sse::contentChunk(fragment);
        pieces << sse::done();
        server.enqueue(ScriptedResponse::eventStream(pieces, 250));
        auto trickling = startStream(*client);
        QVERIFY(waitForOutcome(trickling));
        QVERIFY(trickling->outcomes.first().ok());
        QCOMPARE(trickling->fragments, slow);

        QTest::qWait(0);
        QCOMPARE(hung->outcomes.size(), 1);
        QCOMPARE(stalled->outcomes.size(), 1);
    }

    // ---- bounded input, bounded waiting (the chat backend) ----

    void hostileStreamsAreBounded()
    {
        GatewayHttpClient::Timings limits;
        limits.maxEventLineBytes = 64 * 1024;
        limits.maxBodyBytes = 256 * 1024;

        // A stream that never sends a line break: failed once the line is
        // over its limit, long before the gateway stops.
        {
            HttpStandIn server;
            QVERIFY(server.listen());
            QList<QByteArray> pieces;
            for (int i = 0; i < 400; ++i)
                pieces.append(QByteArray(1024, 'x'));
            server.enqueue(ScriptedResponse::eventStream(pieces, 1));
            auto client = clientFor(server, QStringLiteral("t"), limits);
            auto run = startStream(*client);
            QVERIFY(waitForOutcome(run));
            QVERIFY(!run->outcomes.first().ok());
            QVERIFY2(run->outcomes.first().error().description().contains(QStringLiteral("longer than 65536 bytes")),
                     qPrintable(run->outcomes.first().error().description()));
            QVERIFY(run->fragments.isEmpty());
        }
        // Many small lines arriving a byte at a time still make their
        // fragments (the reader never searches the same bytes twice).
        {
            HttpStandIn server;
            QVERIFY(server.listen());
            QByteArray stream;
            for (const QByteArray &piece : sse::chatStream({QStringLiteral("a"), QStringLiteral("b")}))
                stream += piece;
            QList<QByteArray> bytes;
            for (char c : std::as_const(stream))
                bytes.append(QByteArray(1, c));
            server.enqueue(ScriptedResponse::eventStream(bytes));
            auto client = clientFor(server, QStringLiteral("t"), limits);
            auto run = startStream(*client);
            QVERIFY(waitForOutcome(run));
            QCOMPARE(run->outcomes.first().value(), QStringLiteral("ab"));
        }
        // An endless error body is cut at its limit.
        {
            HttpStandIn server;
            QVERIFY(server.listen());
            server.enqueue(ScriptedResponse::text(500, QByteArray(1024 * 1024, 'e')));
            auto client = clientFor(server, QStringLiteral("t"), limits);
            auto run = startStream(*client);
            QVERIFY(waitForOutcome(run));
            QVERIFY(run->outcomes.first().error().description().startsWith(QStringLiteral("OpenClaw error (500): ")));
            QVERIFY(run->outcomes.first().error().description().size() < 1024);
        }
    }

    void aChatEndsByItsDeadlineAndCanBeCancelled()
    {
        HttpStandIn server;
        QVERIFY(server.listen());
        // A gateway that trickles a fragment every 100 ms for a minute: the
        // inactivity limit never fires, the deadline does.
        QList<QByteArray> pieces;
        for (int i = 0; i < 600; ++i)
            pieces.append(sse::contentChunk(QStringLiteral(".")));
        server.enqueue(ScriptedResponse::eventStream(pieces, 100));
        auto client = clientFor(server);
        ChatCallRequest request;
        request.requestId = QStringLiteral("relay-1");
        request.agentId = QStringLiteral("helper");
        request.messages = hello();
        request.deadline = QDeadlineTimer(800);
        QElapsedTimer clock;
        clock.start();
        std::optional<Result<QString>> outcome;
        int fragments = 0;
        client->sendChat(request, [&](const QString &, const QString &) { ++fragments; })
            .then([&](Result<QString> result) { outcome.emplace(std::move(result)); });
        QVERIFY(QTest::qWaitFor([&] { return outcome.has_value(); }, kWait));
        QVERIFY(!outcome->ok());
        QVERIFY(clock.elapsed() < 5000);
        QVERIFY(fragments > 0);
        // The request named its agent.
        const HttpRequest sent = server.requestsTo(QByteArrayLiteral("/v1/chat/completions")).constFirst();
        QCOMPARE(sent.header("x-openclaw-agent-id"), QByteArray("helper"));
        QCOMPARE(sent.json().value(QStringLiteral("model")).toString(), QStringLiteral("openclaw/helper"));

        // Cancelled by its request id: ends at once with its own words.
        server.enqueue(ScriptedResponse::hangForever());
        request.requestId = QStringLiteral("relay-2");
        request.deadline = QDeadlineTimer(QDeadlineTimer::Forever);
        outcome.reset();
        client->sendChat(request, {}).then([&](Result<QString> result) { outcome.emplace(std::move(result)); });
        QVERIFY(server.waitForRequests(2));
        client->cancelChat(QStringLiteral("unknown")); // no-op
        client->cancelChat(QStringLiteral("relay-2"));
        QVERIFY(QTest::qWaitFor([&] { return outcome.has_value(); }, kWait));
        QCOMPARE(outcome->error().description(), QStringLiteral("Network error: The chat was cancelled."));
    }

    void concurrentChatsAllReachTheGatewayAtOnce()
    {
        // Twelve chats at once, each on a connection of its own: the gateway
        // holds every answer, so all twelve must be on the wire together
        // (a pool of six connections per host would hold back the rest).
        constexpr int chats = 12;
        HttpStandIn server;
        QVERIFY(server.listen());
        server.setDefaultResponse("/v1/chat/completions", ScriptedResponse::hangForever());
        auto client = clientFor(server);
        QList<std::optional<Result<QString>>> outcomes(chats);
        for (int i = 0; i < chats; ++i) {
            ChatCallRequest request;
            request.requestId = QStringLiteral("relay-%1").arg(i);
            request.agentId = QStringLiteral("mobile");
            request.messages = hello();
            client->sendChat(request, {}).then([&outcomes, i](Result<QString> result) {
                outcomes[i].emplace(std::move(result));
            });
        }
        QVERIFY(server.waitForRequests(chats, kWait));
        QCOMPARE(server.openConnectionCount(), chats);
        for (const auto &outcome : std::as_const(outcomes))
            QVERIFY(!outcome.has_value());

        // One is cancelled by its id; the gateway then goes away under the
        // rest: every chat gets exactly one outcome.
        client->cancelChat(QStringLiteral("relay-3"));
        QVERIFY(QTest::qWaitFor([&] { return outcomes[3].has_value(); }, kWait));
        QCOMPARE(outcomes[3]->error().description(), QStringLiteral("Network error: The chat was cancelled."));
        server.close();
        QVERIFY(QTest::qWaitFor(
            [&] {
                return std::all_of(outcomes.cbegin(), outcomes.cend(), [](const auto &o) { return o.has_value(); });
            },
            kWait));
        for (const auto &outcome : std::as_const(outcomes))
            QVERIFY(isNetworkError(outcome->error()));
    }

    void eachFragmentIsPassedOnWithoutWaitingForMore()
    {
        // A shorter event after a longer one, then the gateway goes quiet
        // with the connection open: the second fragment must not wait for
        // bytes that never come.
        HttpStandIn server;
        QVERIFY(server.listen());
        server.enqueue(ScriptedResponse::eventStream({sse::contentChunk(QStringLiteral("a long first fragment")),
                                                      sse::contentChunk(QStringLiteral("B"))},
                                                     50)
                           .withEnding(ScriptedResponse::Ending::HoldOpen));
        auto client = clientFor(server);
        auto run = startStream(*client);
        QTRY_COMPARE_WITH_TIMEOUT(run->fragments.size(), 2, kWait);
        QCOMPARE(run->fragments.last(), QStringLiteral("B"));
        QVERIFY(run->outcomes.isEmpty());
    }

    void headerInjectionIsRefused()
    {
        // An agent id with a line break would add a header of its own: the
        // request is never sent.
        HttpStandIn server;
        QVERIFY(server.listen());
        server.setDefaultResponse("/v1/chat/completions", ScriptedResponse::eventStream({sse::done()}));
        auto client = clientFor(server);
        ChatCallRequest request;
        request.agentId = QStringLiteral("mobile\r\nX-Injected: 1");
        request.messages = hello();
        std::optional<Result<QString>> outcome;
        client->sendChat(request, {}).then([&](Result<QString> result) { outcome.emplace(std::move(result)); });
        QVERIFY(QTest::qWaitFor([&] { return outcome.has_value(); }, kWait));
        QVERIFY(isNetworkError(outcome->error()));
        QCOMPARE(server.requestCount(), 0);
    }

    // The token goes to the gateway's own address: a redirect is the answer,
    // whatever the request.
    void requestsWithTheTokenDoNotFollowRedirects()
    {
        HttpStandIn server;
        QVERIFY(server.listen());
        ScriptedResponse moved = ScriptedResponse::empty(302);
        moved.withHeader("Location", server.url().toString().toUtf8() + "/elsewhere");
        server.setDefaultResponse("/v1/chat/completions", moved);
        server.setDefaultResponse(
            "/elsewhere",
            ScriptedResponse::json(
                200, QByteArrayLiteral(R"({"choices":[{"message":{"role":"assistant","content":"x"}}]})")));
        auto client = clientFor(server, QStringLiteral("secret"));
        auto stream = startStream(*client);
        QVERIFY(waitForOutcome(stream));
        QVERIFY(!stream->outcomes.first().ok());
        QCOMPARE(server.requestCount(), 1);
        QVERIFY(server.requestsTo("/elsewhere").isEmpty());
    }

    // ---- lifetime ----

    void pausedReadingDeliversNothingFurtherUntilResumed()
    {
        HttpStandIn server;
        QVERIFY(server.listen());
        // Far more than a reply buffers while paused.
        QStringList fragments;
        for (int i = 0; i < 3000; ++i)
            fragments << QStringLiteral("f%1 ").arg(i);
        server.enqueue(ScriptedResponse::eventStream(sse::chatStream(fragments)));
        auto client = clientFor(server);
        GatewayHttpClient *raw = client.get();

        // Paused from inside the first fragment's handler: the lines already
        // received behind it wait too.
        auto run = std::make_shared<StreamRun>();
        client
            ->sendChatStreaming(hello(),
                                [run, raw](const QString &fragment, const QString &accumulated) {
                                    run->fragments.append(fragment);
                                    run->accumulations.append(accumulated);
                                    if (run->fragments.size() == 1)
                                        raw->setStreamReadingPaused(true);
                                })
            .then([run](Result<QString> result) { run->outcomes.append(std::move(result)); });
        QVERIFY(QTest::qWaitFor([&] { return !run->fragments.isEmpty(); }, kWait));
        QVERIFY(client->isStreamReadingPaused());

        // Meanwhile the stream's bytes keep arriving and stay unread.
        QVERIFY(roundTrip(server));
        QCOMPARE(run->fragments, QStringList{fragments.first()});
        QVERIFY(run->outcomes.isEmpty());

        client->setStreamReadingPaused(false);
        QVERIFY(waitForOutcome(run));
        QCOMPARE(run->fragments, fragments);
        QCOMPARE(run->accumulations.last(), fragments.join(QString()));
        QVERIFY(run->outcomes.first().ok());
        QCOMPARE(run->outcomes.first().value(), fragments.join(QString()));
        QTest::qWait(0);
        QCOMPARE(run->outcomes.size(), 1);
    }

    void aStreamThatEndsWhilePausedReportsOnceAfterResuming_data()
    {
        QTest::addColumn<bool>("withDone");
        QTest::addColumn<bool>("destroyClient");
        QTest::newRow("ends with [DONE]") << true << false;
        QTest::newRow("connection closes") << false << false;
        QTest::newRow("client destroyed instead") << true << true;
    }

    void aStreamThatEndsWhilePausedReportsOnceAfterResuming()
    {
        QFETCH(bool, withDone);
        QFETCH(bool, destroyClient);
        HttpStandIn server;
        QVERIFY(server.listen());
        const QStringList fragments{QStringLiteral("Hel"), QStringLiteral("lo"), QStringLiteral(" wor"),
                                    QStringLiteral("ld")};
        server.enqueue(ScriptedResponse::eventStream(sse::chatStream(fragments, withDone)));
        QSignalSpy closed(&server, &HttpStandIn::connectionClosed);
        auto client = clientFor(server);

        client->setStreamReadingPaused(true);
        auto run = startStream(*client);
        QVERIFY(QTest::qWaitFor([&] { return closed.count() > 0; }, kWait));
        // A round trip on another connection lets the stream's end arrive.
        QVERIFY(roundTrip(server));
        QVERIFY(run->fragments.isEmpty());
        QVERIFY(run->outcomes.isEmpty());

        if (destroyClient)
            client.reset(); // what the reply holds is still read, once
        else
            client->setStreamReadingPaused(false);
        QVERIFY(waitForOutcome(run));
        QCOMPARE(run->fragments, fragments);
        QVERIFY(run->outcomes.first().ok());
        QCOMPARE(run->outcomes.first().value(), QStringLiteral("Hello world"));
        QTest::qWait(0);
        QCOMPARE(run->outcomes.size(), 1);
    }

    void destroyingTheClientResolvesItsCallers()
    {
        HttpStandIn server;
        QVERIFY(server.listen());
        server.enqueue(ScriptedResponse::eventStream({sse::contentChunk(QStringLiteral("A"))})
                           .withEnding(ScriptedResponse::Ending::HoldOpen));
        server.enqueue(ScriptedResponse::hangForever());
        auto client = clientFor(server);

        int deltas = 0;
        auto streamed = std::make_shared<StreamRun>();
        client->sendChatStreaming(hello(), [&deltas](const QString &, const QString &) { ++deltas; })
            .then([streamed](Result<QString> result) { streamed->outcomes.append(std::move(result)); });
        QTRY_COMPARE_WITH_TIMEOUT(deltas, 1, kWait);
        auto side = startStream(*client);
        QVERIFY(server.waitForRequests(2));

        client.reset();
        QVERIFY(waitForOutcome(streamed));
        QVERIFY(waitForOutcome(side));
        QVERIFY(!streamed->outcomes.first().ok());
        QVERIFY(isNetworkError(streamed->outcomes.first().error()));
        QVERIFY(!side->outcomes.first().ok());
        QTest::qWait(0);
        QCOMPARE(streamed->outcomes.size(), 1);
        QCOMPARE(side->outcomes.size(), 1);
    }

    void destroyingTheClientFromTheDeltaCallbackIsSafe()
    {
        HttpStandIn server;
        QVERIFY(server.listen());
        server.enqueue(ScriptedResponse::eventStream(sse::chatStream({QStringLiteral("a"), QStringLiteral("b")}))
                           .withEnding(ScriptedResponse::Ending::HoldOpen));
        auto client = clientFor(server);
        auto run = std::make_shared<StreamRun>();
        client
            ->sendChatStreaming(hello(),
                                [&client, run](const QString &fragment, const QString &) {
                                    run->fragments.append(fragment);
                                    client.reset();
                                })
            .then([run](Result<QString> result) { run->outcomes.append(std::move(result)); });
        QVERIFY(waitForOutcome(run));
        QTest::qWait(0);
        QCOMPARE(run->outcomes.size(), 1);
        QVERIFY(!client);
    }
};

QTEST_GUILESS_MAIN(TstGatewayHttpClient)
#include "tst_gateway_http_client.moc"
