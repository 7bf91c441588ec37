// A relay chat request answered end to end through a real OpenClaw gateway:
// relay stand-in -> bridge -> OpenClaw (with a loopback model behind it) ->
// relay stand-in, over the gateway's HTTP endpoint and over its WebSocket.
#include "bridge_rig.h"
#include "log_capture.h"
#include "openclaw_gateway.h"

#include "gateway/gateway_probe.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>

#include <qcoro/qcorotask.h>

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
        rig.timings.openClawClient.chatTimeout = std::chrono::minutes(2);
        rig.timings.openClawWebSocket.challengeTimeout = std::chrono::milliseconds(10000);
        if (!rig.startStandIns())
            return false;
        rig.storeBridgeToken();
        rig.settings->setString(SettingsKey::openClawEndpoint, m_gateway.httpUrl().toString());
        if (!rig.credentials->save(CredentialService::openClaw(), m_gateway.token()))
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

    // A complete answer (see verifyAnswer) whose text holds the question:
    // the echoing model answers each chat with its own question.
    static void verifyAnswerContaining(const QList<QJsonObject> &replies, const QString &replyTo,
                                       const QString &appUserId, const QString &question)
    {
        if (replies.isEmpty() || str(replies.last(), "type") != QLatin1String("chat_stream_end")) {
            QTest::qFail(qPrintable(QStringLiteral("no stream end for %1; last reply: %2")
                                        .arg(replyTo, replies.isEmpty() ? QStringLiteral("none")
                                                                        : str(replies.last(), "content"))),
                         __FILE__, __LINE__);
            return;
        }
        const QString answer = str(replies.last(), "content");
        if (!answer.contains(question)) {
            QTest::qFail(qPrintable(QStringLiteral("%1 was answered \"%2\"").arg(replyTo, answer)), __FILE__, __LINE__);
            return;
        }
        verifyAnswer(replies, replyTo, appUserId, answer);
    }

private Q_SLOTS:
    void initTestCase()
    {
        LogCapture::enableDebugLines(); // some cases read debug lines
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

    // The chat road as users meet it, against each installed release line,
    // with the gateway's HTTP chat endpoint off (as OpenClaw ships) and on.
    void chatsAsUsersSendThem_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("chatEndpoint");
        for (const QString &version : OpenClawGateway::installedVersions()) {
            QTest::newRow(qPrintable(version + QStringLiteral(" endpoint off"))) << version << false;
            QTest::newRow(qPrintable(version + QStringLiteral(" endpoint on"))) << version << true;
        }
    }

    void chatsAsUsersSendThem()
    {
        QFETCH(QString, version);
        QFETCH(bool, chatEndpoint);
        OpenClawGateway gateway(version);
        OpenClawGateway::Options options;
        options.chatCompletions = chatEndpoint;
        QVERIFY2(gateway.start(options), qPrintable(gateway.errorString()));
        const QRegularExpression questionPattern(QStringLiteral("question \\d+ for \\w+"));
        gateway.model()->setEchoMatching(questionPattern);
        gateway.model()->setChunkDelayMs(5);

        // The health rule: reachable over HTTP alone in both configurations
        // (a gateway that just started may answer 503 for a moment).
        GatewayTarget target;
        target.endpoint = gateway.httpUrl();
        target.token = gateway.token();
        GatewayProbe health;
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         health = QCoro::waitFor(probeGateway(target));
                         return health.reachable && health.chatEndpoint != ChatEndpointState::unknown;
                     },
                     60000),
                 qPrintable(health.description()));
        QCOMPARE(health.chatEndpoint == ChatEndpointState::on, chatEndpoint);
        qInfo("OpenClaw %s, chat endpoint %s: health %s", qPrintable(version), chatEndpoint ? "on" : "off",
              qPrintable(health.description()));

        BridgeRig rig;
        rig.timings.openClawClient.chatTimeout = std::chrono::minutes(2);
        rig.timings.openClawWebSocket.challengeTimeout = std::chrono::milliseconds(10000);
        rig.timings.chat.chatDeadline = std::chrono::milliseconds(180000);
        QVERIFY(rig.startStandIns());
        rig.storeBridgeToken();
        rig.settings->setString(SettingsKey::openClawEndpoint, gateway.httpUrl().toString());
        (void)rig.credentials->save(CredentialService::openClaw(), gateway.token());
        // A phone's queued messages arrive the moment the relay link is up,
        // before the gateway socket finished its handshake.
        QStringList ids;
        QHash<QString, QString> questionOf;
        QHash<QString, QString> userOf;
        int sequence = 0;
        const auto send = [&](const QString &user) {
            const QString id = QStringLiteral("%1-%2").arg(user).arg(++sequence);
            const QString question = QStringLiteral("question %1 for %2").arg(sequence).arg(user);
            ids.append(id);
            questionOf.insert(id, question);
            userOf.insert(id, user);
            rig.relay.sendJson(BridgeRig::chatMessage(id, user, {{QStringLiteral("content"), question}}));
        };
        bool sentAtConnect = false;
        rig.create();
        QObject::connect(rig.bridge.get(), &BridgeManager::connectionStateChanged, rig.bridge.get(),
                         [&](const BridgeConnectionState &state) {
                             if (state != BridgeConnectionState::connected() || sentAtConnect)
                                 return;
                             sentAtConnect = true;
                             for (int i = 0; i < 3; ++i)
                                 send(QStringLiteral("early"));
                         });
        QVERIFY(rig.waitConnected(60000));
        QVERIFY(sentAtConnect);

        const auto verifyAll = [&] {
            for (const QString &id : std::as_const(ids)) {
                const QList<QJsonObject> replies = rig.waitForClosing(id, 240000);
                int closings = 0;
                for (const QJsonObject &reply : replies)
                    closings += BridgeRig::isClosing(reply) ? 1 : 0;
                QVERIFY2(closings == 1, qPrintable(id));
                verifyAnswerContaining(replies, id, userOf.value(id), questionOf.value(id));
                if (QTest::currentTestFailed())
                    return;
            }
        };
        verifyAll();
        if (QTest::currentTestFailed())
            return;
        // Reachable by the rule, whether the endpoint is on or off.
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->openClawReachable(); }, 30000));

        // Three, then ten in a row.
        ids.clear();
        for (int i = 0; i < 3; ++i)
            send(QStringLiteral("row"));
        verifyAll();
        ids.clear();
        for (int i = 0; i < 10; ++i)
            send(QStringLiteral("ten"));
        verifyAll();

        // Two app users interleaved.
        ids.clear();
        for (int i = 0; i < 4; ++i) {
            send(QStringLiteral("ana"));
            send(QStringLiteral("ben"));
        }
        verifyAll();

        // A gateway restart in the middle: chats sent as soon as it answers
        // again are answered once the socket is back.
        ids.clear();
        send(QStringLiteral("before"));
        verifyAll();
        ids.clear();
        QVERIFY2(gateway.restart(), qPrintable(gateway.errorString()));
        for (int i = 0; i < 3; ++i)
            send(QStringLiteral("after"));
        verifyAll();
        if (!chatEndpoint) {
            // Nothing went the HTTP way: no model call came without the socket.
            QCOMPARE(rig.sent(QStringLiteral("chat_response")).size(), 0);
        }
        gateway.stop();
    }

    void cleanupTestCase() { m_gateway.stop(); }
};

QTEST_GUILESS_MAIN(TestRealGatewayBridge)
#include "tst_real_gateway_bridge.moc"
