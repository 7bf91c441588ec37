// The gateway HTTP client against a real OpenClaw gateway (scratch HOME,
// loopback model stand-in behind it): the probe with right and wrong
// tokens, and streamed and whole chats through the "mobile" agent.
#include "gateway/gateway_http_client.h"
#include "gateway/gateway_probe.h"
#include "openclaw_gateway.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTest>

#include <memory>

using namespace halvex;
using namespace halvex::test;

namespace {

// A chat through the gateway runs an agent turn; on a loaded machine the
// first one takes a while.
constexpr int kChatWait = 180000;
constexpr int kProbeWait = 30000;

ChatMessages hello()
{
    return {ChatMessage{{QStringLiteral("role"), QStringLiteral("user")},
                        {QStringLiteral("content"), QStringLiteral("Say hello.")}}};
}

// The error's words for a failure message (empty on success).
QByteArray failureText(const Result<QString> &result)
{
    return result.ok() ? QByteArray() : result.error().description().toUtf8();
}

template <typename T>
struct Outcomes {
    QList<T> values;
};

template <typename T>
bool waitFor(const std::shared_ptr<Outcomes<T>> &outcomes, int timeoutMs)
{
    return QTest::qWaitFor([&] { return !outcomes->values.isEmpty(); }, timeoutMs);
}

} // namespace

class TstRealGatewayHttp : public QObject
{
    Q_OBJECT

    QNetworkAccessManager m_network;
    OpenClawGateway m_gateway;

    std::unique_ptr<GatewayHttpClient> client(const QString &token)
    {
        return std::make_unique<GatewayHttpClient>(m_gateway.httpUrl(), token);
    }

    // Whether the gateway accepted the token, by the probe's rule.
    bool probe(const QString &token)
    {
        GatewayTarget target;
        target.endpoint = m_gateway.httpUrl();
        target.token = token;
        auto outcomes = std::make_shared<Outcomes<GatewayProbe>>();
        probeGateway(target).then([outcomes](GatewayProbe found) { outcomes->values.append(found); });
        if (!waitFor(outcomes, kProbeWait))
            qFatal("the probe did not finish");
        const GatewayProbe &found = outcomes->values.first();
        // Accepted means the chat endpoint itself answered.
        return found.reachable && found.tokenAccepted == true && found.chatEndpoint == ChatEndpointState::on;
    }

private Q_SLOTS:
    void initTestCase()
    {
        HALVEX_REQUIRE_OPENCLAW();
        QVERIFY2(m_gateway.start(), qPrintable(m_gateway.errorString()));
        qInfo("OpenClaw %s healthy on port %d after %lld ms", qPrintable(m_gateway.version()), int(m_gateway.port()),
              m_gateway.startupMs());
    }

    void cleanupTestCase() { m_gateway.stop(); }

    void probeNeedsTheGatewayToken()
    {
        QVERIFY(probe(m_gateway.token()));
        // The gateway answers 401 to a wrong or missing token.
        QVERIFY(!probe(QStringLiteral("wrong-token")));
        QVERIFY(!probe(QString()));
    }

    void streamedChatThroughTheMobileAgent()
    {
        const int modelCalls = m_gateway.model()->chatRequests().size();
        auto c = client(m_gateway.token());

        QStringList fragments;
        QStringList accumulations;
        auto outcomes = std::make_shared<Outcomes<Result<QString>>>();
        c->sendChatStreaming(hello(), [&](const QString &fragment, const QString &accumulated) {
             fragments.append(fragment);
             accumulations.append(accumulated);
         }).then([outcomes](Result<QString> result) { outcomes->values.append(std::move(result)); });
        QVERIFY(waitFor(outcomes, kChatWait));
        QVERIFY2(outcomes->values.first().ok(), failureText(outcomes->values.first()).constData());

        const QString answer = outcomes->values.first().value();
        QCOMPARE(answer, ModelStandIn::defaultAnswer());
        QVERIFY(!fragments.isEmpty());
        QCOMPARE(fragments.join(QString()), answer);
        QCOMPARE(accumulations.last(), answer);
        // The gateway asked the model stand-in for it.
        QVERIFY(m_gateway.model()->chatRequests().size() > modelCalls);
        QTest::qWait(0);
        QCOMPARE(outcomes->values.size(), 1);
    }

    void chatWithAWrongTokenIsAnApiError()
    {
        auto c = client(QStringLiteral("wrong-token"));
        auto outcomes = std::make_shared<Outcomes<Result<QString>>>();
        bool delta = false;
        c->sendChatStreaming(hello(), [&delta](const QString &, const QString &) {
             delta = true;
         }).then([outcomes](Result<QString> result) { outcomes->values.append(std::move(result)); });
        QVERIFY(waitFor(outcomes, kChatWait));
        QVERIFY(!outcomes->values.first().ok());
        const Error error = outcomes->values.first().error();
        QVERIFY(error.bridgeError() && error.bridgeError()->kind() == BridgeError::Kind::apiError);
        QVERIFY2(error.description().startsWith(QStringLiteral("OpenClaw error (401): ")),
                 qPrintable(error.description()));
        QVERIFY(!delta);
    }

    void gatewayRefusesTheBareDefaultModel()
    {
        // Why the client names the agent as its model.
        QUrl url = m_gateway.httpUrl();
        url.setPath(QStringLiteral("/v1/chat/completions"));
        QNetworkRequest request(url);
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        request.setRawHeader("Authorization", "Bearer " + m_gateway.token().toUtf8());
        request.setRawHeader("x-openclaw-agent-id", "mobile");
        QNetworkReply *reply = m_network.post(
            request,
            QByteArrayLiteral(R"({"messages":[{"role":"user","content":"Hi"}],"model":"default","stream":false})"));
        QVERIFY(QTest::qWaitFor([reply] { return reply->isFinished(); }, kProbeWait));
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 400);
        reply->deleteLater();
    }

    void cliWrapperIsBoundToThisGateway()
    {
        const OpenClawGateway::CliResult result =
            m_gateway.runCli({QStringLiteral("config"), QStringLiteral("get"), QStringLiteral("gateway.port")});
        QVERIFY2(result.exitCode == 0, result.output.constData());
        QVERIFY2(result.output.contains(QByteArray::number(m_gateway.port())), result.output.constData());
    }
};

QTEST_GUILESS_MAIN(TstRealGatewayHttp)
#include "tst_real_gateway_http.moc"
