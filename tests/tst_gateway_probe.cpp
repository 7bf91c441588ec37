// The gateway probe against loopback stand-ins: which answers mean a running
// gateway with its chat endpoint on or off, where the token goes (and where
// it never goes), and that the probe is bounded whatever the peer does.
#include "gateway/gateway_probe.h"
#include "http_stand_in.h"
#include "loopback.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QTest>

#include <qcoro/qcorotask.h>

using namespace halvex;
using namespace halvex::test;

namespace {

GatewayTarget targetAt(const QUrl &endpoint, const QString &token = QStringLiteral("tok"))
{
    GatewayTarget target;
    target.endpoint = endpoint;
    target.token = token;
    return target;
}

GatewayProbe probe(const GatewayTarget &target, int timeoutMs = 30000)
{
    std::optional<GatewayProbe> result;
    GatewayProbeOptions options;
    options.timeout = std::chrono::milliseconds(timeoutMs);
    probeGateway(target, options).then([&](GatewayProbe found) { result = found; });
    if (!QTest::qWaitFor([&] { return result.has_value(); }, 60000))
        qFatal("the probe never finished");
    return *result;
}

} // namespace

class TestGatewayProbe : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void followsTheRule_data()
    {
        QTest::addColumn<int>("healthz");
        QTest::addColumn<int>("chat");
        QTest::addColumn<bool>("reachable");
        QTest::addColumn<int>("endpoint");
        QTest::addColumn<int>("tokenAccepted"); // -1 unknown, 0 refused, 1 accepted
        QTest::newRow("endpoint on") << 200 << 400 << true << int(ChatEndpointState::on) << 1;
        QTest::newRow("endpoint off") << 200 << 404 << true << int(ChatEndpointState::off) << -1;
        QTest::newRow("token refused") << 200 << 401 << true << int(ChatEndpointState::unknown) << 0;
        QTest::newRow("starting") << 503 << 400 << false << int(ChatEndpointState::unknown) << -1;
        // OpenClaw 2026.5 serves its control page for unknown paths; only
        // the endpoint's own refusal counts.
        QTest::newRow("control page") << 200 << 200 << true << int(ChatEndpointState::unknown) << -1;
    }
    void followsTheRule()
    {
        QFETCH(int, healthz);
        QFETCH(int, chat);
        QFETCH(bool, reachable);
        QFETCH(int, endpoint);
        QFETCH(int, tokenAccepted);
        HttpStandIn server;
        QVERIFY(server.listen());
        server.setDefaultResponse("/healthz", ScriptedResponse::json(healthz, QByteArray(R"({"ok":true})")));
        server.setDefaultResponse("/v1/chat/completions", ScriptedResponse::json(chat, QByteArray("{}")));
        const GatewayProbe found = probe(targetAt(server.url()));
        QCOMPARE(found.reachable, reachable);
        QCOMPARE(int(found.chatEndpoint), endpoint);
        QCOMPARE(found.tokenAccepted ? int(*found.tokenAccepted) : -1, tokenAccepted);
        // /healthz needs no token; the chat endpoint gets it, asking for the
        // mobile agent with nothing to run.
        for (const HttpRequest &request : server.requestsTo("/healthz"))
            QVERIFY(!request.hasHeader("Authorization"));
        const QList<HttpRequest> chats = server.requestsTo("/v1/chat/completions");
        QCOMPARE(chats.size(), reachable ? 1 : 0);
        if (reachable) {
            QCOMPARE(chats.first().header("Authorization"), QByteArray("Bearer tok"));
            QCOMPARE(chats.first().json().value(QStringLiteral("model")).toString(), QStringLiteral("openclaw/mobile"));
            QVERIFY(chats.first().json().value(QStringLiteral("messages")).toArray().isEmpty());
        }
    }

    void keepsTheBasePathAndFollowsNoRedirect()
    {
        HttpStandIn elsewhere;
        QVERIFY(elsewhere.listen());
        elsewhere.setDefaultResponse("/v1/chat/completions", ScriptedResponse::json(400, QByteArray("{}")));
        HttpStandIn server;
        QVERIFY(server.listen());
        server.setDefaultResponse("/gw/healthz", ScriptedResponse::json(200, QByteArray("{}")));
        server.setDefaultResponse(
            "/gw/v1/chat/completions",
            ScriptedResponse::empty(307).withHeader("Location", elsewhere.url().toEncoded() + "/v1/chat/completions"));
        QUrl url = server.url();
        url.setPath(QStringLiteral("/gw/"));
        const GatewayProbe found = probe(targetAt(url));
        QVERIFY(found.reachable);
        QCOMPARE(found.chatEndpointStatus, std::optional<int>(307));
        // The token never reaches another origin.
        QCOMPARE(elsewhere.requestCount(), 0);
    }

    void isBoundedWhateverThePeerDoes()
    {
        // Nothing listening.
        GatewayProbe found = probe(targetAt(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(closedLoopbackPort()))));
        QVERIFY(!found.reachable);
        QVERIFY(!found.problem.isEmpty());

        // A peer that never answers: each request ends at its limit.
        HttpStandIn silent;
        QVERIFY(silent.listen());
        silent.setDefaultResponse("/healthz", ScriptedResponse::hangForever());
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!probe(targetAt(silent.url()), 300).reachable);
        QVERIFY2(clock.elapsed() < 20000, "the time limit was not applied");

        // Something that is not HTTP.
        HttpStandIn garbage;
        QVERIFY(garbage.listen());
        garbage.setDefaultResponse("/healthz", ScriptedResponse::rawBytes(QByteArray(5000, '\x01')));
        QVERIFY(!probe(targetAt(garbage.url())).reachable);

        // A large body is not read: the status line is the answer.
        HttpStandIn big;
        QVERIFY(big.listen());
        ScriptedResponse huge = ScriptedResponse::text(200, {}, QByteArrayLiteral("application/json"));
        for (int i = 0; i < 64; ++i)
            huge.withPiece(QByteArray(1 << 20, 'x'));
        big.setDefaultResponse("/healthz", huge);
        QVERIFY(probe(targetAt(big.url())).reachable);
    }
};

QTEST_GUILESS_MAIN(TestGatewayProbe)
#include "tst_gateway_probe.moc"
