// A relay chat request answered end to end through a real OpenClaw gateway:
// relay stand-in -> bridge -> OpenClaw (with a loopback model behind it) ->
// relay stand-in, over the gateway's HTTP endpoint and over its WebSocket.
#include "bridge_rig.h"
#include "log_capture.h"
#include "openclaw_gateway.h"

#include <QTest>

using namespace halvex;
using namespace halvex::test;

namespace {
QString str(const QJsonObject &o, const char *key)
{
    return o.value(QLatin1String(key)).toString();
}
} // namespace

class TestRealGatewayBridge : public QObject
{
    Q_OBJECT

private:
    OpenClawGateway m_gateway;

    // A bridge connected to the relay stand-in and configured for the real gateway.
    bool launch(BridgeRig &rig)
    {
        rig.timings.openClawClient.chatTimeoutMs = 120000;
        rig.timings.openClawWebSocket.challengeTimeout = 10.0;
        if (!rig.startStandIns())
            return false;
        rig.storeBridgeToken();
        rig.settings->setString(SettingsKey::openClawEndpoint, m_gateway.httpUrl().toString());
        if (!rig.keychain->save(CredentialService::openClaw(), m_gateway.token()))
            return false;
        return rig.launch();
    }

    // The replies of one answered request: chunks whose deltas add up, each
    // accumulated text the one before plus its delta, then the end with the
    // whole text. Returns the chunks.
    static QList<QJsonObject> verifyAnswer(const QList<QJsonObject> &replies, const QString &replyTo,
                                           const QString &appUserId, const QString &answer)
    {
        QList<QJsonObject> chunks;
        if (replies.isEmpty() || str(replies.last(), "type") != QLatin1String("chat_stream_end")) {
            QTest::qFail(qPrintable(QStringLiteral("no stream end for %1; last reply: %2")
                                        .arg(replyTo, replies.isEmpty() ? QStringLiteral("none")
                                                                        : str(replies.last(), "content"))),
                         __FILE__, __LINE__);
            return chunks;
        }
        QString accumulated;
        for (qsizetype i = 0; i + 1 < replies.size(); ++i) {
            const QJsonObject &chunk = replies[i];
            if (str(chunk, "type") != QLatin1String("chat_stream_chunk") || str(chunk, "appUserId") != appUserId ||
                str(chunk, "delta").isEmpty() || str(chunk, "accumulated") != accumulated + str(chunk, "delta")) {
                QTest::qFail("a chunk does not continue the text", __FILE__, __LINE__);
                return chunks;
            }
            accumulated = str(chunk, "accumulated");
            chunks.append(chunk);
        }
        if (chunks.isEmpty())
            QTest::qFail("no chunk before the stream end", __FILE__, __LINE__);
        if (accumulated != answer || str(replies.last(), "content") != answer ||
            str(replies.last(), "appUserId") != appUserId) {
            QTest::qFail(qPrintable(QStringLiteral("answer \"%1\" / end \"%2\", expected \"%3\"")
                                        .arg(accumulated, str(replies.last(), "content"), answer)),
                         __FILE__, __LINE__);
        }
        return chunks;
    }

private Q_SLOTS:
    void initTestCase()
    {
        HALVEX_REQUIRE_OPENCLAW();
        QVERIFY2(m_gateway.start(), qPrintable(m_gateway.errorString()));
    }

    void answeredOverHttp()
    {
        LogCapture log;
        BridgeRig rig;
        m_gateway.model()->setFragments({QStringLiteral("Hello"), QStringLiteral(" from"), QStringLiteral(" the"),
                                         QStringLiteral(" model stand-in.")});
        m_gateway.model()->setChunkDelayMs(30);
        QVERIFY(launch(rig));
        // Keep the gateway socket out of it: the request takes the HTTP road.
        rig.bridge->openClawWebSocket()->disconnect();

        const int modelCalls = int(m_gateway.model()->chatRequests().size());
        rig.relay.sendJson(BridgeRig::chatMessage(QStringLiteral("r-http"), QStringLiteral("u-real"),
                                                  {{QStringLiteral("content"), QStringLiteral("Say hello")}}));
        const QList<QJsonObject> replies = rig.waitForClosing(QStringLiteral("r-http"), 120000);
        verifyAnswer(replies, QStringLiteral("r-http"), QStringLiteral("u-real"), ModelStandIn::defaultAnswer());
        QVERIFY(log.contains(QStringLiteral("Using HTTP fallback for r-http")));
        QVERIFY(log.contains(QStringLiteral("Sent streamed response for r-http")));
        // The gateway asked the model, with the user's text among its messages
        // (it adds context of its own).
        const QList<HttpRequest> modelRequests = m_gateway.model()->chatRequests();
        QVERIFY(modelRequests.size() > modelCalls);
        QVERIFY(modelRequests.last().body.contains("Say hello"));
    }

    void answeredOverTheGatewayWebSocket()
    {
        LogCapture log;
        BridgeRig rig;
        m_gateway.model()->setFragments({QStringLiteral("Hello"), QStringLiteral(" from"), QStringLiteral(" the"),
                                         QStringLiteral(" model stand-in.")});
        m_gateway.model()->setChunkDelayMs(30);
        QVERIFY(launch(rig));
        QVERIFY2(QTest::qWaitFor([&] { return rig.bridge->openClawWebSocket()->isUsableForChat(); }, 60000),
                 qPrintable(rig.bridge->openClawWebSocket()->state().description()));

        rig.relay.sendJson(BridgeRig::chatMessage(QStringLiteral("r-ws"), QStringLiteral("u-real"),
                                                  {{QStringLiteral("content"), QStringLiteral("Say hello again")}}));
        const QList<QJsonObject> replies = rig.waitForClosing(QStringLiteral("r-ws"), 120000);
        const QList<QJsonObject> chunks =
            verifyAnswer(replies, QStringLiteral("r-ws"), QStringLiteral("u-real"), ModelStandIn::defaultAnswer());
        QVERIFY(log.contains(QStringLiteral("Using OpenClaw WebSocket for r-ws")));
        // One chunk per growth of the agent's text, each logged.
        QCOMPARE(log.countStartingWith(QStringLiteral("Forwarding chunk: reply_to=r-ws ")), int(chunks.size()));
        QVERIFY(log.contains(QStringLiteral("Sent streamed response for r-ws")));
    }

    void cleanupTestCase() { m_gateway.stop(); }
};

QTEST_GUILESS_MAIN(TestRealGatewayBridge)
#include "tst_real_gateway_bridge.moc"
