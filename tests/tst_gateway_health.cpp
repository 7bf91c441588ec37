// The health rule against a loopback stand-in: which answers mean a running
// gateway (with its chat endpoint on or off), and that the check is bounded
// in time and memory whatever the peer does.
#include "gateway/gateway_health.h"
#include "http_stand_in.h"
#include "loopback.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QTest>

#include <qcoro/qcorotask.h>

using namespace halvex;
using namespace halvex::test;

namespace {

GatewayHealth check(QNetworkAccessManager &network, const QUrl &endpoint, const QString &token = {},
                    int timeoutMs = 30000)
{
    std::optional<GatewayHealth> result;
    checkGatewayHealth(&network, endpoint, token, GatewayHealthTimings{timeoutMs}).then([&](GatewayHealth health) {
        result = health;
    });
    if (!QTest::qWaitFor([&] { return result.has_value(); }, 30000))
        qFatal("health check never finished");
    return *result;
}

} // namespace

class TestGatewayHealth : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy); }

    void followsTheRule_data()
    {
        QTest::addColumn<int>("models");
        QTest::addColumn<int>("healthz");
        QTest::addColumn<bool>("reachable");
        QTest::addColumn<bool>("chatEndpoint");
        QTest::addColumn<int>("requests");
        QTest::newRow("endpoint on") << 200 << 0 << true << true << 1;
        QTest::newRow("endpoint off") << 404 << 200 << true << false << 2;
        QTest::newRow("endpoint off, health failing") << 404 << 503 << false << false << 2;
        QTest::newRow("token refused") << 401 << 200 << false << false << 1;
        QTest::newRow("server error") << 500 << 200 << false << false << 1;
    }
    // OpenClaw 2026.5 serves its control page at /v1/models while the chat
    // endpoint is off: a 200 that is not a JSON model list means "off".
    void aControlPageIsNotTheChatEndpoint()
    {
        HttpStandIn server;
        QVERIFY(server.listen());
        server.setDefaultResponse("/v1/models", ScriptedResponse::text(200, QByteArray("<!doctype html><title>OpenClaw</title>"),
                                                                       QByteArray("text/html; charset=utf-8")));
        server.setDefaultResponse("/healthz", ScriptedResponse::json(200, QByteArray(R"({"ok":true})")));
        QNetworkAccessManager network;
        const GatewayHealth up = check(network, server.url(), QStringLiteral("tok"));
        QVERIFY(up.reachable);
        QVERIFY(!up.chatEndpointEnabled);
        QCOMPARE(up.healthzStatus, std::optional<int>(200));

        server.setDefaultResponse("/healthz", ScriptedResponse::json(503, QByteArray("{}")));
        const GatewayHealth starting = check(network, server.url(), QStringLiteral("tok"));
        QVERIFY(!starting.reachable);
    }

    void followsTheRule()
    {
        QFETCH(int, models);
        QFETCH(int, healthz);
        QFETCH(bool, reachable);
        QFETCH(bool, chatEndpoint);
        QFETCH(int, requests);
        HttpStandIn server;
        QVERIFY(server.listen());
        server.setDefaultResponse("/v1/models", ScriptedResponse::json(models, QByteArray("{}")));
        server.setDefaultResponse("/healthz", ScriptedResponse::json(healthz, QByteArray(R"({"ok":true})")));
        QNetworkAccessManager network;
        const GatewayHealth health = check(network, server.url(), QStringLiteral("tok"));
        QCOMPARE(health.reachable, reachable);
        QCOMPARE(health.chatEndpointEnabled, chatEndpoint);
        QCOMPARE(health.modelsStatus, std::optional<int>(models));
        QCOMPARE(server.requestCount(), requests);
        // The token goes to the model list only; /healthz needs none.
        QCOMPARE(server.requestsTo("/v1/models").first().header("Authorization"), QByteArray("Bearer tok"));
        for (const HttpRequest &request : server.requestsTo("/healthz"))
            QVERIFY(!request.hasHeader("Authorization"));
    }

    void keepsTheEndpointsBasePath()
    {
        HttpStandIn server;
        QVERIFY(server.listen());
        server.setDefaultResponse("/gw/v1/models", ScriptedResponse::json(200, QByteArray("{}")));
        QNetworkAccessManager network;
        QUrl url = server.url();
        url.setPath(QStringLiteral("/gw/"));
        QVERIFY(check(network, url).reachable);
    }

    void isBoundedWhateverThePeerDoes()
    {
        QNetworkAccessManager network;
        // Nothing listening.
        GatewayHealth health = check(network, QUrl(QStringLiteral("http://127.0.0.1:%1").arg(closedLoopbackPort())));
        QVERIFY(!health.reachable);
        QCOMPARE(health.modelsStatus, std::nullopt);

        // A peer that never answers: the whole check ends at its limit.
        HttpStandIn silent;
        QVERIFY(silent.listen());
        silent.setDefaultResponse("/v1/models", ScriptedResponse::hangForever());
        QElapsedTimer clock;
        clock.start();
        health = check(network, silent.url(), {}, 300);
        QVERIFY(!health.reachable);
        QVERIFY2(clock.elapsed() < 20000, "the time limit was not applied");

        // 404 quickly, then /healthz hangs: still one limit for both.
        silent.setDefaultResponse("/v1/models", ScriptedResponse::json(404, QByteArray("{}")));
        silent.setDefaultResponse("/healthz", ScriptedResponse::hangForever());
        QVERIFY(!check(network, silent.url(), {}, 300).reachable);

        // Something that is not HTTP.
        HttpStandIn garbage;
        QVERIFY(garbage.listen());
        garbage.setDefaultResponse("/v1/models", ScriptedResponse::rawBytes(QByteArray(5000, '\x01')));
        QVERIFY(!check(network, garbage.url()).reachable);

        // A large body is dropped as it arrives.
        HttpStandIn big;
        QVERIFY(big.listen());
        ScriptedResponse huge = ScriptedResponse::text(200, {}, QByteArrayLiteral("application/json"));
        for (int i = 0; i < 64; ++i)
            huge.withPiece(QByteArray(1 << 20, 'x'));
        big.setDefaultResponse("/v1/models", huge);
        QVERIFY(check(network, big.url(), {}, 20000).reachable);
    }
};

QTEST_GUILESS_MAIN(TestGatewayHealth)
#include "tst_gateway_health.moc"
