// The gateway WebSocket against a loopback gateway stand-in that checks the
// signed handshake: the URL it connects to, the credential it signs with,
// reconnects and their limit, the challenge watchdog, and chat over
// "chat.send" with cumulative agent text turned into fragments.
#include "gateway/device_tokens.h"
#include "gateway/gateway_device_identity.h"
#include "gateway/gateway_target.h"
#include "gateway/gateway_web_socket.h"
#include "gateway_timings.h"
#include "gateway_ws_stand_in.h"
#include "log_capture.h"
#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"
#include "platform/secrets/secret_backend.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <qcoro/qcorotask.h>

using namespace halvex;
using test::GatewayWsStandIn;

namespace {

constexpr int kWaitMs = 20000;

// What one sendChat call produced.
struct ChatOutcome {
    std::optional<Result<QString>> result;
    QStringList fragments;
    QStringList totals;
    bool done() const { return result.has_value(); }
};

std::shared_ptr<ChatOutcome> startChat(GatewayWebSocket &socket, const QString &message, bool withDelta = true)
{
    auto outcome = std::make_shared<ChatOutcome>();
    DeltaHandler onDelta;
    if (withDelta) {
        onDelta = [outcome](const QString &fragment, const QString &total) {
            outcome->fragments << fragment;
            outcome->totals << total;
        };
    }
    QCoro::connect(socket.sendChat(message, QStringLiteral("mobile"), onDelta), &socket,
                   [outcome](Result<QString> result) { outcome->result.emplace(std::move(result)); });
    return outcome;
}

bool waitDone(const std::shared_ptr<ChatOutcome> &outcome)
{
    return QTest::qWaitFor([&] { return outcome->done(); }, kWaitMs);
}

QString description(const std::shared_ptr<ChatOutcome> &outcome)
{
    if (!outcome->result)
        return QStringLiteral("<pending>");
    return outcome->result->ok() ? outcome->result->value() : outcome->result->error().description();
}

// One client with its own credential store, and a stand-in gateway.
struct Rig {
    explicit Rig(GatewayWebSocket::Timings timings = test::fastGatewayTimings())
        : credentials(std::make_unique<CredentialStore>(std::make_unique<MemorySecretBackend>()))
    {
        listening = gateway.listen();
        socket = std::make_unique<GatewayWebSocket>(credentials.get(), timings);
        QObject::connect(socket.get(), &GatewayWebSocket::reconnectScheduled, socket.get(),
                         [this](std::chrono::milliseconds delay) { retryDelays << delay.count(); });
    }

    // Waits until `count` retries were scheduled.
    bool waitForRetries(qsizetype count) const
    {
        return QTest::qWaitFor([&] { return retryDelays.size() >= count; }, kWaitMs);
    }

    bool connectAndWait(const QString &token = QStringLiteral("gw-token"))
    {
        socket->connect(gateway.httpUrl(), token);
        return waitForState(GatewayLinkState::connected());
    }

    bool waitForState(const GatewayLinkState &state, int timeoutMs = kWaitMs)
    {
        return QTest::qWaitFor([&] { return socket->state() == state; }, timeoutMs);
    }

    // Starts a chat the gateway leaves to the test to answer; the frame id
    // of its chat.send, empty when it never arrived.
    QString startUnansweredChat(std::shared_ptr<ChatOutcome> &chat)
    {
        GatewayWsStandIn::ChatScript silent;
        silent.silent = true;
        gateway.queueChatScript(silent);
        const qsizetype before = gateway.framesWithMethod(QStringLiteral("chat.send")).size();
        chat = startChat(*socket, QStringLiteral("hi"));
        if (!QTest::qWaitFor([&] { return gateway.framesWithMethod(QStringLiteral("chat.send")).size() > before; },
                             kWaitMs))
            return {};
        return gateway.framesWithMethod(QStringLiteral("chat.send")).constLast().value(QLatin1String("id")).toString();
    }

    test::LogCapture log;
    GatewayWsStandIn gateway;
    bool listening = false;
    std::unique_ptr<CredentialStore> credentials;
    QList<qint64> retryDelays; // each scheduled retry's delay, in milliseconds
    std::unique_ptr<GatewayWebSocket> socket;
};

QStringList payloadFields(const GatewayWsStandIn::ConnectRecord &record)
{
    return record.signedPayload.split(QLatin1Char('|'));
}

// An agent event of a run; an empty session leaves "sessionKey" out.
QJsonObject agentEvent(const QString &run, const QString &session, const QString &stream, const QJsonObject &data)
{
    QJsonObject payload{
        {QStringLiteral("runId"), run}, {QStringLiteral("stream"), stream}, {QStringLiteral("data"), data}};
    if (!session.isEmpty())
        payload.insert(QStringLiteral("sessionKey"), session);
    return payload;
}

QJsonObject textData(const QString &text)
{
    return QJsonObject{{QStringLiteral("text"), text}};
}

QJsonObject endData()
{
    return QJsonObject{{QStringLiteral("phase"), QStringLiteral("end")}};
}

QJsonObject acknowledgement(const QString &id, const QString &run)
{
    return QJsonObject{{QStringLiteral("type"), QStringLiteral("res")},
                       {QStringLiteral("id"), id},
                       {QStringLiteral("ok"), true},
                       {QStringLiteral("payload"), QJsonObject{{QStringLiteral("runId"), run}}}};
}

} // namespace

class TstGatewayWebSocket : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Some cases read debug lines.
    void initTestCase() { test::LogCapture::enableDebugLines(); }

    // --- where it connects ---------------------------------------------------

    void theHttpEndpointBecomesTheWebSocketUrl_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QString>("expectedPath");
        QTest::newRow("plain") << QString() << QString();
        QTest::newRow("path kept with a port") << QStringLiteral("/v1") << QStringLiteral("/v1");
        QTest::newRow("query dropped") << QStringLiteral("/v1?x=1") << QStringLiteral("/v1");
    }

    void theHttpEndpointBecomesTheWebSocketUrl()
    {
        QFETCH(QString, suffix);
        QFETCH(QString, expectedPath);
        Rig rig;
        QVERIFY(rig.listening);
        const QUrl endpoint(rig.gateway.httpUrl().toString() + suffix);
        rig.socket->connect(endpoint, QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(GatewayLinkState::connected()));
        QCOMPARE(rig.log.count(QStringLiteral("Connecting to OpenClaw WS at ws://127.0.0.1:%1%2...")
                                   .arg(rig.gateway.port())
                                   .arg(expectedPath)),
                 1);
        QCOMPARE(rig.log.count(QStringLiteral("OpenClaw WS authenticated and connected")), 1);
        QVERIFY(rig.socket->isUsableForChat());
        rig.socket->disconnect();
    }

    void urlsWithoutAPortKeepTheirPath_data()
    {
        QTest::addColumn<QString>("endpoint");
        QTest::addColumn<QString>("expected");
        QTest::newRow("http without port")
            << QStringLiteral("http://127.0.0.1/api") << QStringLiteral("ws://127.0.0.1/api");
        QTest::newRow("https without port")
            << QStringLiteral("https://127.0.0.1/api") << QStringLiteral("wss://127.0.0.1/api");
        // TLS is kept whatever the port: tokens never travel in the clear.
        QTest::newRow("https with port") << QStringLiteral("https://127.0.0.1:1/api")
                                         << QStringLiteral("wss://127.0.0.1:1/api");
        QTest::newRow("http with port and path")
            << QStringLiteral("http://10.0.0.5:18789/gw") << QStringLiteral("ws://10.0.0.5:18789/gw");
    }

    void urlsWithoutAPortKeepTheirPath()
    {
        QFETCH(QString, endpoint);
        QFETCH(QString, expected);
        Rig rig;
        rig.socket->connect(QUrl(endpoint), QStringLiteral("gw-token"));
        QCOMPARE(rig.log.count(QStringLiteral("Connecting to OpenClaw WS at ") + expected + QStringLiteral("...")), 1);
        rig.socket->disconnect();
    }

    void noEndpointNoAttempt()
    {
        Rig rig;
        QSignalSpy states(rig.socket.get(), &GatewayWebSocket::stateChanged);
        rig.socket->connect(QUrl(), QStringLiteral("gw-token"));
        QCOMPARE(rig.socket->state(), GatewayLinkState::disconnected());
        QCOMPARE(states.count(), 0);
        QCOMPARE(rig.log.countStartingWith(QStringLiteral("Connecting to")), 0);
    }

    void anUnparsableUrlIsAnError()
    {
        Rig rig;
        rig.socket->connect(QUrl(QStringLiteral("http://[::1")), QStringLiteral("gw-token"));
        QCOMPARE(rig.socket->state(), GatewayLinkState::error(QStringLiteral("Invalid URL")));
        QCOMPARE(rig.log.countStartingWith(QStringLiteral("Invalid WebSocket URL: ")), 1);
        // Not stuck "connecting": the next attempt runs.
        rig.socket->connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(GatewayLinkState::connected()));
        rig.socket->disconnect();
    }

    // --- the signed handshake ------------------------------------------------

    void firstRunSignsWithTheGatewayTokenAndKeepsTheDeviceToken()
    {
        Rig rig;
        QSignalSpy states(rig.socket.get(), &GatewayWebSocket::stateChanged);
        QVERIFY(rig.connectAndWait());
        QCOMPARE(states.at(0).at(0).value<GatewayLinkState>(), GatewayLinkState::connecting());
        QCOMPARE(states.at(1).at(0).value<GatewayLinkState>(), GatewayLinkState::authenticating());
        QCOMPARE(states.at(2).at(0).value<GatewayLinkState>(), GatewayLinkState::connected());
        QCOMPARE(rig.log.count(QStringLiteral("Received connect.challenge")), 1);
        QCOMPARE(rig.log.count(QStringLiteral("Using gateway token for initial auth")), 1);

        const auto records = rig.gateway.connectRecords();
        QCOMPARE(records.size(), 1);
        const auto &record = records.first();
        QVERIFY2(record.failure.isEmpty(), qPrintable(record.failure));
        QVERIFY(record.signatureValid);
        QCOMPARE(record.params.value(QLatin1String("auth")).toObject(),
                 QJsonObject({{QStringLiteral("token"), QStringLiteral("gw-token")}}));
        QCOMPARE(record.params.value(QLatin1String("minProtocol")).toInt(), 3);
        QCOMPARE(record.params.value(QLatin1String("maxProtocol")).toInt(), 4);
        QCOMPARE(record.signedPayload.count(QLatin1Char('|')), 8);
        const QStringList fields = payloadFields(record);
        QCOMPARE(fields.at(0), QStringLiteral("v2"));
        QCOMPARE(fields.at(1), rig.socket->deviceIdentity()->deviceId());
        QCOMPARE(fields.mid(2, 4), QStringList({QStringLiteral("openclaw-ios"), QStringLiteral("ui"),
                                                QStringLiteral("operator"), QStringLiteral("operator.write")}));
        QCOMPARE(fields.at(7), QStringLiteral("gw-token"));
        QCOMPARE(fields.at(8), rig.gateway.lastNonce());
        const QJsonObject device = record.params.value(QLatin1String("device")).toObject();
        QCOMPARE(device.value(QLatin1String("publicKey")).toString(),
                 rig.socket->deviceIdentity()->publicKeyBase64Url());
        QCOMPARE(QString::number(device.value(QLatin1String("signedAt")).toInteger()), fields.at(6));

        // The request id is a fresh upper-case UUID.
        const QString id =
            rig.gateway.framesWithMethod(QStringLiteral("connect")).constFirst().value(QLatin1String("id")).toString();
        static const QRegularExpression upperUuid(
            QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));
        QVERIFY2(upperUuid.match(id).hasMatch(), qPrintable(id));
        QCOMPARE(rig.log.count(QStringLiteral("Sent connect request ") + id), 1);

        // The device token from hello-ok is kept for the next run.
        QCOMPARE(rig.log.count(QStringLiteral("Saved deviceToken from hello-ok")), 1);
        QCOMPARE(
            DeviceTokens(rig.credentials.get()).load(credentialOrigin(rig.gateway.httpUrl())).valueOr(std::nullopt),
            std::optional<QString>(rig.gateway.issuedDeviceTokens().value(0)));
        rig.socket->disconnect();
    }

    void laterRunsSignWithTheStoredDeviceToken()
    {
        Rig rig;
        QVERIFY(rig.connectAndWait());
        const QString deviceToken = rig.gateway.issuedDeviceTokens().value(0);
        const QString deviceId = rig.socket->deviceIdentity()->deviceId();
        rig.socket.reset();

        // A new client on the same store is the same device with its token.
        rig.log.clear();
        rig.socket = std::make_unique<GatewayWebSocket>(rig.credentials.get(), test::fastGatewayTimings());
        QCOMPARE(rig.socket->deviceIdentity()->deviceId(), deviceId);
        QVERIFY(rig.connectAndWait(QStringLiteral("gw-token")));
        QCOMPARE(rig.log.count(QStringLiteral("Using stored deviceToken for auth")), 1);
        QCOMPARE(rig.log.count(QStringLiteral("Using gateway token for initial auth")), 0);
        const auto record = rig.gateway.connectRecords().constLast();
        QVERIFY(record.signatureValid);
        QCOMPARE(record.params.value(QLatin1String("auth")).toObject(),
                 QJsonObject({{QStringLiteral("deviceToken"), deviceToken}}));
        QCOMPARE(payloadFields(record).at(7), deviceToken);
        rig.socket->disconnect();
    }

    void anEmptyStoredTokenFallsBackToTheGatewayToken()
    {
        Rig rig;
        QVERIFY(DeviceTokens(rig.credentials.get()).save(credentialOrigin(rig.gateway.httpUrl()), QString()));
        QVERIFY(rig.connectAndWait(QStringLiteral("gw-token")));
        QCOMPARE(rig.log.count(QStringLiteral("Using gateway token for initial auth")), 1);
        QCOMPARE(rig.gateway.connectRecords().constLast().params.value(QLatin1String("auth")).toObject(),
                 QJsonObject({{QStringLiteral("token"), QStringLiteral("gw-token")}}));
        rig.socket->disconnect();
    }

    void anEmptyGatewayTokenIsSentAsIs()
    {
        Rig rig;
        rig.gateway.setIssueDeviceTokens(false);
        QVERIFY(rig.connectAndWait(QString()));
        const auto record = rig.gateway.connectRecords().constLast();
        QVERIFY(record.signatureValid);
        QCOMPARE(record.params.value(QLatin1String("auth")).toObject(),
                 QJsonObject({{QStringLiteral("token"), QString()}}));
        QCOMPARE(record.signedPayload.count(QLatin1Char('|')), 8);
        QVERIFY(record.signedPayload.contains(QStringLiteral("||")));
        QCOMPARE(payloadFields(record).at(7), QString());
        QCOMPARE(rig.log.count(QStringLiteral("Saved deviceToken from hello-ok")), 0);
        rig.socket->disconnect();
    }

    void aTokenWithoutAUtf8FormStopsTheAttempts()
    {
        // A lone surrogate has no UTF-8 form: nothing is sent, and trying
        // again cannot mend it.
        Rig rig;
        rig.socket->connect(rig.gateway.httpUrl(), QStringLiteral("gw-") + QChar(0xD800));
        QVERIFY(rig.waitForState(GatewayLinkState::error(QStringLiteral("Serialization failed"))));
        QVERIFY(rig.gateway.connectRecords().isEmpty());
        QTest::qWait(300); // well past the shortened reconnect delay
        QCOMPARE(rig.gateway.connectionCount(), 1);
        QCOMPARE(rig.socket->state(), GatewayLinkState::error(QStringLiteral("Serialization failed")));
        rig.socket->disconnect();
    }

    void aMalformedChallengeIsAFailedAttemptThatBacksOff()
    {
        Rig rig;
        rig.gateway.setChallengePayload(QJsonObject{{QStringLiteral("ts"), 1}});
        QSignalSpy states(rig.socket.get(), &GatewayWebSocket::stateChanged);
        rig.socket->connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(GatewayLinkState::error(QStringLiteral("Invalid challenge"))));
        QVERIFY(rig.log.count(QStringLiteral("Challenge missing nonce")) >= 1);
        // Not stuck: it tries again by itself, and once the gateway sends a
        // proper challenge it is connected.
        QVERIFY(QTest::qWaitFor([&] { return rig.gateway.connectionCount() >= 2; }, kWaitMs));
        rig.gateway.setChallengePayload(std::nullopt);
        QVERIFY(rig.waitForState(GatewayLinkState::connected()));
        QVERIFY(QTest::qWaitFor([&] { return rig.gateway.openConnectionCount() == 1; }, kWaitMs));
        QVERIFY(rig.gateway.connectRecords().size() >= 1);
        rig.socket->disconnect();
    }

    void aRefusedConnectIsAnErrorAndIsRetried()
    {
        Rig rig;
        rig.gateway.setGatewayToken(QStringLiteral("right-token"));
        rig.gateway.setCloseAfterRefusal(1008);
        rig.socket->connect(rig.gateway.httpUrl(), QStringLiteral("wrong-token"));
        QVERIFY(rig.log.waitFor(
            QStringLiteral("Connect failed: [AUTH_TOKEN_MISMATCH] unauthorized: gateway token mismatch")));
        QCOMPARE(rig.socket->state(), GatewayLinkState::error(QStringLiteral("unauthorized: gateway token mismatch")));
        // The gateway's close after its refusal is not a second failure.
        QVERIFY(rig.waitForRetries(2));
        QCOMPARE(rig.retryDelays.mid(0, 2), (QList<qint64>{10, 20}));
        QCOMPARE(rig.log.countStartingWith(QStringLiteral("OC-WS receive error")), 0);
        rig.socket->disconnect();
    }

    void aConnectAnswerWithoutOkIsAFailure()
    {
        Rig rig;
        rig.gateway.setConnectMode(GatewayWsStandIn::ConnectMode::raw);
        rig.gateway.setRawConnectAnswer(QJsonObject{{QStringLiteral("type"), QStringLiteral("res")}});
        rig.socket->connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.log.waitFor(QStringLiteral("Connect failed: [] Unknown error")));
        QVERIFY(rig.waitForRetries(1));
        rig.socket->disconnect();
        QCOMPARE(rig.socket->state(), GatewayLinkState::disconnected());
    }

    void aSecondConnectWhileWaitingForTheChallengeIsSkipped()
    {
        Rig rig;
        rig.gateway.setSendChallenge(false);
        rig.socket->connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QCOMPARE(rig.socket->state(), GatewayLinkState::connecting());
        QVERIFY(QTest::qWaitFor([&] { return rig.gateway.connectionCount() == 1; }, kWaitMs));
        rig.socket->connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QCOMPARE(rig.log.count(QStringLiteral("Already connecting — skipping")), 1);
        QCOMPARE(rig.log.countStartingWith(QStringLiteral("Connecting to OpenClaw WS at")), 1);
        QCOMPARE(rig.socket->state(), GatewayLinkState::connecting());
        rig.socket->disconnect();
    }

    void aConnectWhileConnectedIsSkipped()
    {
        Rig rig;
        QVERIFY(rig.connectAndWait());
        rig.socket->connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QCOMPARE(rig.log.count(QStringLiteral("Already connected — skipping")), 1);
        QCOMPARE(rig.gateway.connectionCount(), 1);
        rig.socket->disconnect();
    }

    void aMissingChallengeCountsAsADrop()
    {
        auto timings = test::fastGatewayTimings();
        timings.challengeTimeout = std::chrono::milliseconds(200);
        Rig rig(timings);
        rig.gateway.setSendChallenge(false);
        // Each retry as announced: its delay, the state shown, whether waiting.
        QList<std::tuple<qint64, GatewayLinkState, bool>> retries;
        GatewayWebSocket *socket = rig.socket.get();
        connect(socket, &GatewayWebSocket::reconnectScheduled, socket, [&, socket](std::chrono::milliseconds delay) {
            retries.append({delay.count(), socket->state(), socket->isWaitingToRetry()});
        });
        rig.socket->connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(QTest::qWaitFor([&] { return !retries.isEmpty(); }, kWaitMs));
        QCOMPARE(retries.first(), std::make_tuple(qint64(10), GatewayLinkState::disconnected(), true));
        // The next attempt opens a new connection (and waits again).
        QVERIFY(QTest::qWaitFor([&] { return rig.gateway.connectionCount() >= 2; }, kWaitMs));
        rig.socket->disconnect();
    }

    // --- drops, reconnects, disconnect() -------------------------------------

    void aDropReconnectsAndSignsInAgain()
    {
        Rig rig;
        QVERIFY(rig.connectAndWait());
        rig.gateway.dropConnections();
        QVERIFY(rig.log.waitForPrefix(QStringLiteral("OC-WS receive error: ")));
        QVERIFY(rig.waitForRetries(1));
        QCOMPARE(rig.retryDelays.at(0), 10);
        QVERIFY(QTest::qWaitFor([&] { return rig.gateway.connectRecords().size() == 2; }, kWaitMs));
        QVERIFY(rig.waitForState(GatewayLinkState::connected()));
        QCOMPARE(rig.log.count(QStringLiteral("Using stored deviceToken for auth")), 1);

        // A successful connect resets the count: the next drop starts at 1 again.
        rig.gateway.dropConnections();
        QVERIFY(rig.waitForRetries(2));
        QCOMPARE(rig.retryDelays.at(1), 10);
        QVERIFY(QTest::qWaitFor([&] { return rig.gateway.connectRecords().size() == 3; }, kWaitMs));
        QVERIFY(rig.waitForState(GatewayLinkState::connected()));
        rig.socket->disconnect();
    }

    void reconnectsGiveUpAfterTwentyAttempts()
    {
        auto timings = test::fastGatewayTimings();
        timings.link.initialDelay = std::chrono::milliseconds(1);
        timings.link.maxDelay = std::chrono::milliseconds(4);
        Rig rig(timings);
        rig.gateway.setRefuseConnections(true);
        rig.socket->connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(GatewayLinkState::error(QStringLiteral("Connection failed"))));
        QCOMPARE(rig.log.count(QStringLiteral("Max reconnect attempts (20) reached — giving up")), 1);
        QCOMPARE(rig.retryDelays.size(), 20);
        QCOMPARE(rig.retryDelays.mid(0, 3), (QList<qint64>{1, 2, 4}));
        QCOMPARE(rig.retryDelays.at(19), 4);
        QCOMPARE(rig.log.countStartingWith(QStringLiteral("Connecting to OpenClaw WS at")), 21);

        // Nothing more happens on its own...
        QTest::qWait(100);
        QCOMPARE(rig.log.countStartingWith(QStringLiteral("Connecting to OpenClaw WS at")), 21);
        QCOMPARE(rig.socket->state(), GatewayLinkState::error(QStringLiteral("Connection failed")));

        // ...until the owner connects again.
        rig.gateway.setRefuseConnections(false);
        rig.socket->connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(GatewayLinkState::connected()));
        rig.socket->disconnect();
    }

    void disconnectStopsEverything()
    {
        Rig rig;
        QVERIFY(rig.connectAndWait());
        rig.gateway.queueChatScript(GatewayWsStandIn::ChatScript::held({QStringLiteral("Hel")}));
        auto chat = startChat(*rig.socket, QStringLiteral("hi"));
        QVERIFY(QTest::qWaitFor([&] { return rig.gateway.framesWithMethod(QStringLiteral("chat.send")).size() == 1; },
                                kWaitMs));

        rig.socket->disconnect();
        QCOMPARE(rig.socket->state(), GatewayLinkState::disconnected());
        QVERIFY(chat->done());
        QCOMPARE(description(chat), QStringLiteral("Network error: Disconnected"));

        // The gateway sees the close; the old connection's end changes nothing.
        QVERIFY(QTest::qWaitFor([&] { return rig.gateway.openConnectionCount() == 0; }, kWaitMs));
        rig.gateway.dropConnections();
        QTest::qWait(100);
        QCOMPARE(rig.log.countStartingWith(QStringLiteral("OC-WS reconnecting")), 0);
        QCOMPARE(rig.log.countStartingWith(QStringLiteral("OC-WS receive error")), 0);
        QCOMPARE(rig.gateway.connectionCount(), 1);
        QCOMPARE(rig.socket->state(), GatewayLinkState::disconnected());
    }

    void aPendingReconnectIsCancelledByDisconnect()
    {
        auto timings = test::fastGatewayTimings();
        timings.link.initialDelay = std::chrono::milliseconds(300);
        Rig rig(timings);
        QVERIFY(rig.connectAndWait());
        rig.gateway.dropConnections();
        QVERIFY(rig.waitForRetries(1));
        QCOMPARE(rig.retryDelays.at(0), 300);
        rig.socket->disconnect();
        QTest::qWait(600);
        QCOMPARE(rig.gateway.connectionCount(), 1);
        QCOMPARE(rig.socket->state(), GatewayLinkState::disconnected());
    }

    // --- chat ----------------------------------------------------------------

    void chatIsRefusedWhenNotConnected()
    {
        Rig rig;
        auto chat = startChat(*rig.socket, QStringLiteral("hi"));
        QVERIFY(chat->done());
        QCOMPARE(description(chat), QStringLiteral("OpenClaw WebSocket not connected"));
    }

    void cumulativeTextsBecomeFragments()
    {
        Rig rig;
        QVERIFY(rig.connectAndWait());
        rig.gateway.queueChatScript(GatewayWsStandIn::ChatScript::stream(
            {QStringLiteral("Hel"), QStringLiteral("Hello"), QStringLiteral("Hello!"), QStringLiteral("Hello!")}));
        const QString message = QStringLiteral("Grüße 👋 \"quoted\"\nline two");
        auto chat = startChat(*rig.socket, message);
        QVERIFY(waitDone(chat));
        QCOMPARE(description(chat), QStringLiteral("Hello!"));
        QCOMPARE(chat->fragments, QStringList({QStringLiteral("Hel"), QStringLiteral("lo"), QStringLiteral("!")}));
        QCOMPARE(chat->totals, QStringList({QStringLiteral("Hel"), QStringLiteral("Hello"), QStringLiteral("Hello!")}));
        QCOMPARE(rig.log.count(QStringLiteral("Delta: +3 chars, total 3, callback=true")), 1);
        QCOMPARE(rig.log.count(QStringLiteral("Delta: +2 chars, total 5, callback=true")), 1);
        QCOMPARE(rig.log.count(QStringLiteral("Delta: +1 chars, total 6, callback=true")), 1);
        QCOMPARE(rig.log.countStartingWith(QStringLiteral("Delta:")), 3);
        QCOMPARE(rig.log.count(QStringLiteral("Stream complete (6 chars)")), 1);
        QCOMPARE(rig.log.count(QStringLiteral("Agent lifecycle: end, accumulated=6 chars")), 1);

        // The request as the gateway got it.
        const QJsonObject frame = rig.gateway.framesWithMethod(QStringLiteral("chat.send")).constFirst();
        const QJsonObject params = frame.value(QLatin1String("params")).toObject();
        QCOMPARE(params.value(QLatin1String("sessionKey")).toString(), QStringLiteral("agent:mobile:main"));
        QCOMPARE(params.value(QLatin1String("message")).toString(), message);
        const QString id = frame.value(QLatin1String("id")).toString();
        const QString key = params.value(QLatin1String("idempotencyKey")).toString();
        QVERIFY(!key.isEmpty() && key != id);
        QCOMPARE(rig.log.count(QStringLiteral("Sent chat.send ") + id), 1);
        QCOMPARE(rig.log.count(QStringLiteral("chat.send ACK for ") + id), 1);
        rig.socket->disconnect();
    }

    void charactersAreCountedAsPeopleSeeThem()
    {
        Rig rig;
        QVERIFY(rig.connectAndWait());
        const QString family = QStringLiteral("👨‍👩‍👧");
        const QString flag = QStringLiteral("🇩🇪");
        rig.gateway.queueChatScript(GatewayWsStandIn::ChatScript::stream(
            {family, family + QStringLiteral(" ") + flag, family + QStringLiteral(" ") + flag + QStringLiteral("é")}));
        auto chat = startChat(*rig.socket, QStringLiteral("emoji please"), false);
        QVERIFY(waitDone(chat));
        QCOMPARE(rig.log.count(QStringLiteral("Delta: +1 chars, total 1, callback=false")), 1);
        QCOMPARE(rig.log.count(QStringLiteral("Delta: +2 chars, total 3, callback=false")), 1);
        QCOMPARE(rig.log.count(QStringLiteral("Delta: +1 chars, total 4, callback=false")), 1);
        QCOMPARE(rig.log.count(QStringLiteral("Stream complete (4 chars)")), 1);

        // And the fragments cut whole characters.
        rig.gateway.queueChatScript(GatewayWsStandIn::ChatScript::stream({flag, flag + family}));
        auto second = startChat(*rig.socket, QStringLiteral("again"));
        QVERIFY(waitDone(second));
        QCOMPARE(second->fragments, QStringList({flag, family}));
        rig.socket->disconnect();
    }

    void fragmentsNeverHoldHalfASurrogatePair()
    {
        // Found by fuzzing: a fragment cut by UTF-16 length could start or
        // end with half of a pair, which has no UTF-8 form for the relay.
        Rig rig;
        QVERIFY(rig.connectAndWait());
        const QString grin = QStringLiteral("😀");
        // A gateway text that ends inside a pair, then the whole of it.
        rig.gateway.queueChatScript(GatewayWsStandIn::ChatScript::stream(
            {QStringLiteral("Hi ") + grin.at(0), QStringLiteral("Hi ") + grin, QStringLiteral("Hi ") + grin + u'!'}));
        auto cut = startChat(*rig.socket, QStringLiteral("cut"));
        QVERIFY(waitDone(cut));
        QCOMPARE(cut->fragments, QStringList({QStringLiteral("Hi "), grin, QStringLiteral("!")}));
        QCOMPARE(description(cut), QStringLiteral("Hi ") + grin + u'!');

        // A rewritten text whose pair straddles the length already sent.
        rig.gateway.queueChatScript(GatewayWsStandIn::ChatScript::stream({QStringLiteral("a"), grin + u'b'}));
        auto rewritten = startChat(*rig.socket, QStringLiteral("rewrite"));
        QVERIFY(waitDone(rewritten));
        QCOMPARE(rewritten->fragments, QStringList({QStringLiteral("a"), grin + u'b'}));
        for (const QString &fragment : std::as_const(cut->fragments) + rewritten->fragments)
            QVERIFY(GatewayProtocol::isEncodable(fragment));
        rig.socket->disconnect();
    }

    void otherEventsFollowTheDefaultRule()
    {
        Rig rig;
        QVERIFY(rig.connectAndWait());
        rig.gateway.queueChatScript(GatewayWsStandIn::ChatScript::held({QStringLiteral("Hel")}));
        auto chat = startChat(*rig.socket, QStringLiteral("hi"));
        QVERIFY(QTest::qWaitFor([&] { return chat->fragments.size() == 1; }, kWaitMs));

        // Without a run id an event counts only while this is the one chat
        // on the wire; a text without a stream is the cumulative text.
        rig.gateway.sendEvent(QStringLiteral("agent"),
                              QJsonObject{{QStringLiteral("text"), QStringLiteral("Hello there")}});
        QVERIFY(QTest::qWaitFor([&] { return chat->fragments.size() == 2; }, kWaitMs));
        // Status streams and shorter texts add nothing; a lifecycle phase
        // other than "end" finishes nothing.
        rig.gateway.sendEvent(QStringLiteral("agent"),
                              QJsonObject{{QStringLiteral("stream"), QStringLiteral("run_status")},
                                          {QStringLiteral("data"),
                                           QJsonObject{{QStringLiteral("text"), QStringLiteral("preparing a lot")}}}});
        rig.gateway.sendEvent(
            QStringLiteral("agent"),
            QJsonObject{{QStringLiteral("data"), QJsonObject{{QStringLiteral("delta"), QStringLiteral("Hi")}}}});
        rig.gateway.sendEvent(
            QStringLiteral("agent"),
            QJsonObject{{QStringLiteral("stream"), QStringLiteral("lifecycle")},
                        {QStringLiteral("data"), QJsonObject{{QStringLiteral("phase"), QStringLiteral("error")}}}});
        QTest::qWait(50);
        QVERIFY(!chat->done());

        rig.gateway.releaseHeldChat();
        QVERIFY(waitDone(chat));
        QCOMPARE(description(chat), QStringLiteral("Hello there"));
        QCOMPARE(chat->fragments, QStringList({QStringLiteral("Hel"), QStringLiteral("lo there")}));
        rig.socket->disconnect();
    }

    void eventsOfOtherRunsStayOut()
    {
        Rig rig;
        QVERIFY(rig.connectAndWait());
        rig.gateway.queueChatScript(
            GatewayWsStandIn::ChatScript::held({QStringLiteral("Mine"), QStringLiteral("Mine too")}));
        auto chat = startChat(*rig.socket, QStringLiteral("hi"));
        QVERIFY(QTest::qWaitFor([&] { return chat->fragments.size() == 1; }, kWaitMs));

        // Another agent's run (a heartbeat, another user) talks, fails and
        // ends meanwhile; and an event of our session names another run.
        const QJsonObject otherText{
            {QStringLiteral("runId"), QStringLiteral("other-run")},
            {QStringLiteral("sessionKey"), QStringLiteral("agent:mobile:main")},
            {QStringLiteral("stream"), QStringLiteral("assistant")},
            {QStringLiteral("data"),
             QJsonObject{{QStringLiteral("text"), QStringLiteral("Somebody else's long answer")}}}};
        const QJsonObject otherEnd{
            {QStringLiteral("runId"), QStringLiteral("other-run")},
            {QStringLiteral("stream"), QStringLiteral("lifecycle")},
            {QStringLiteral("data"), QJsonObject{{QStringLiteral("phase"), QStringLiteral("end")}}}};
        const QJsonObject otherFailure{{QStringLiteral("runId"), QStringLiteral("other-run")},
                                       {QStringLiteral("state"), QStringLiteral("error")},
                                       {QStringLiteral("errorMessage"), QStringLiteral("boom")}};
        rig.gateway.sendEvent(QStringLiteral("agent"), otherText);
        rig.gateway.sendEvent(QStringLiteral("agent"), otherEnd);
        rig.gateway.sendEvent(QStringLiteral("chat"), otherFailure);
        rig.gateway.releaseHeldChat();
        QVERIFY(waitDone(chat));
        QCOMPARE(description(chat), QStringLiteral("Mine too"));
        QCOMPARE(chat->fragments, QStringList({QStringLiteral("Mine"), QStringLiteral(" too")}));
        rig.socket->disconnect();
    }

    void anErrorAnswerFailsOnlyItsCaller()
    {
        Rig rig;
        QVERIFY(rig.connectAndWait());
        rig.gateway.queueChatScript(
            GatewayWsStandIn::ChatScript::failure(QStringLiteral("AGENT_ERROR"), QStringLiteral("agent failed")));
        rig.gateway.queueChatScript(GatewayWsStandIn::ChatScript::stream({QStringLiteral("Fine")}));
        auto failing = startChat(*rig.socket, QStringLiteral("one"));
        auto fine = startChat(*rig.socket, QStringLiteral("two"));
        QVERIFY(waitDone(failing));
        QCOMPARE(description(failing), QStringLiteral("agent failed"));
        QVERIFY(waitDone(fine));
        QCOMPARE(description(fine), QStringLiteral("Fine"));
        const QString failedId = rig.gateway.framesWithMethod(QStringLiteral("chat.send"))
                                     .constFirst()
                                     .value(QLatin1String("id"))
                                     .toString();
        QCOMPARE(rig.log.count(QStringLiteral("Chat request %1 failed: [AGENT_ERROR] agent failed").arg(failedId)), 1);
        QCOMPARE(rig.socket->state(), GatewayLinkState::connected());
        rig.socket->disconnect();
    }

    void anEndAfterAnErrorChangesNothing()
    {
        Rig rig;
        QVERIFY(rig.connectAndWait());
        // An error without a message.
        rig.gateway.queueChatScript(GatewayWsStandIn::ChatScript::failure(QStringLiteral("AGENT_ERROR")));
        auto failing = startChat(*rig.socket, QStringLiteral("one"));
        QVERIFY(waitDone(failing));
        QCOMPARE(description(failing), QStringLiteral("Unknown error"));
        rig.gateway.sendEvent(
            QStringLiteral("agent"),
            QJsonObject{{QStringLiteral("stream"), QStringLiteral("lifecycle")},
                        {QStringLiteral("data"), QJsonObject{{QStringLiteral("phase"), QStringLiteral("end")}}}});
        auto next = startChat(*rig.socket, QStringLiteral("two"));
        QVERIFY(waitDone(next));
        QCOMPARE(description(next), QStringLiteral("Hello!"));
        rig.socket->disconnect();
    }

    void overlappingChatsTakeTurns()
    {
        Rig rig;
        QVERIFY(rig.connectAndWait());
        rig.gateway.queueChatScript(
            GatewayWsStandIn::ChatScript::held({QStringLiteral("One"), QStringLiteral("One two")}));
        rig.gateway.queueChatScript(
            GatewayWsStandIn::ChatScript::stream({QStringLiteral("Three"), QStringLiteral("Three four")}));
        auto first = startChat(*rig.socket, QStringLiteral("first"));
        QVERIFY(QTest::qWaitFor([&] { return first->fragments.size() == 1; }, kWaitMs));
        auto second = startChat(*rig.socket, QStringLiteral("second"));

        // The second request waits until the first one's stream has ended.
        QTest::qWait(100);
        QCOMPARE(rig.gateway.framesWithMethod(QStringLiteral("chat.send")).size(), 1);
        QVERIFY(!second->done());

        rig.gateway.releaseHeldChat();
        QVERIFY(waitDone(first));
        QVERIFY(waitDone(second));
        QCOMPARE(description(first), QStringLiteral("One two"));
        QCOMPARE(first->fragments, QStringList({QStringLiteral("One"), QStringLiteral(" two")}));
        QCOMPARE(description(second), QStringLiteral("Three four"));
        QCOMPARE(second->fragments, QStringList({QStringLiteral("Three"), QStringLiteral(" four")}));
        const auto sends = rig.gateway.framesWithMethod(QStringLiteral("chat.send"));
        QCOMPARE(sends.size(), 2);
        QCOMPARE(sends.at(1).value(QLatin1String("params")).toObject().value(QLatin1String("message")).toString(),
                 QStringLiteral("second"));
        rig.socket->disconnect();
    }

    void aChatWithoutEndTimesOutAndTheNextOneRuns()
    {
        auto timings = test::fastGatewayTimings();
        timings.chatTimeout = std::chrono::milliseconds(300);
        Rig rig(timings);
        QVERIFY(rig.connectAndWait());
        rig.gateway.queueChatScript(GatewayWsStandIn::ChatScript::withoutEnd({QStringLiteral("Partial")}));
        rig.gateway.queueChatScript(GatewayWsStandIn::ChatScript::stream({QStringLiteral("Next")}));
        auto stuck = startChat(*rig.socket, QStringLiteral("one"));
        QVERIFY(waitDone(stuck));
        QCOMPARE(description(stuck), QStringLiteral("OpenClaw WS request timed out"));
        // The session is free again once the settle limit passed.
        auto next = startChat(*rig.socket, QStringLiteral("two"));
        QVERIFY(waitDone(next));
        QCOMPARE(description(next), QStringLiteral("Next"));
        QCOMPARE(next->fragments, QStringList({QStringLiteral("Next")}));
        rig.socket->disconnect();
    }

    void aDropFailsTheWaitingAndTheQueuedChats()
    {
        Rig rig;
        QVERIFY(rig.connectAndWait());
        rig.gateway.queueChatScript(GatewayWsStandIn::ChatScript::held({QStringLiteral("Hel")}));
        auto waiting = startChat(*rig.socket, QStringLiteral("one"));
        auto queued = startChat(*rig.socket, QStringLiteral("two"));
        QVERIFY(QTest::qWaitFor([&] { return waiting->fragments.size() == 1; }, kWaitMs));

        rig.gateway.dropConnections();
        QVERIFY(waitDone(waiting));
        QVERIFY(waitDone(queued));
        QCOMPARE(description(waiting), QStringLiteral("Network error: OpenClaw WebSocket disconnected"));
        QCOMPARE(description(queued), QStringLiteral("Network error: OpenClaw WebSocket disconnected"));
        // The queued one never reached the gateway; the link comes back.
        QCOMPARE(rig.gateway.framesWithMethod(QStringLiteral("chat.send")).size(), 1);
        QVERIFY(rig.waitForState(GatewayLinkState::connected()));
        auto after = startChat(*rig.socket, QStringLiteral("three"));
        QVERIFY(waitDone(after));
        QCOMPARE(description(after), QStringLiteral("Hello!"));
        rig.socket->disconnect();
    }

    void destroyingTheClientReleasesItsCallers()
    {
        Rig rig;
        QVERIFY(rig.connectAndWait());
        rig.gateway.queueChatScript(GatewayWsStandIn::ChatScript::held({QStringLiteral("Hel")}));
        std::optional<Result<QString>> result;
        auto task = rig.socket->sendChat(QStringLiteral("one"), QStringLiteral("mobile"));
        task.then([&result](Result<QString> r) { result.emplace(std::move(r)); });
        QVERIFY(QTest::qWaitFor([&] { return rig.gateway.framesWithMethod(QStringLiteral("chat.send")).size() == 1; },
                                kWaitMs));
        rig.socket.reset();
        QVERIFY(result.has_value());
        QCOMPARE(result->error().description(), QStringLiteral("Network error: Disconnected"));
    }

    // --- hostile and slow gateways --------------------------------------------

    void aStalledHandshakeIsAFailedAttempt()
    {
        auto timings = test::fastGatewayTimings();
        timings.connectResponseTimeout = std::chrono::milliseconds(200);
        Rig rig(timings);
        rig.gateway.setConnectMode(GatewayWsStandIn::ConnectMode::silent);
        rig.socket->connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(GatewayLinkState::error(QStringLiteral("No connect response"))));
        // It backs off and tries again, and gets in once the gateway answers.
        QVERIFY(QTest::qWaitFor([&] { return rig.gateway.connectRecords().size() >= 2; }, kWaitMs));
        rig.gateway.setConnectMode(GatewayWsStandIn::ConnectMode::accept);
        QVERIFY(rig.waitForState(GatewayLinkState::connected()));
        rig.socket->disconnect();
    }

    void anOversizedMessageIsDroppedAndTheLinkRecovers()
    {
        auto timings = test::fastGatewayTimings();
        timings.maxIncomingMessageSize = 64 * 1024;
        Rig rig(timings);
        QVERIFY(rig.connectAndWait());
        QSignalSpy states(rig.socket.get(), &GatewayWebSocket::stateChanged);
        rig.gateway.sendEvent(QStringLiteral("agent"),
                              QJsonObject{{QStringLiteral("text"), QString(200 * 1024, QLatin1Char('x'))}});
        // The connection that carried it goes; a new one comes.
        QVERIFY(QTest::qWaitFor([&] { return rig.gateway.connectRecords().size() == 2; }, kWaitMs));
        QVERIFY(rig.waitForState(GatewayLinkState::connected()));
        QVERIFY(states.count() >= 2);
        auto chat = startChat(*rig.socket, QStringLiteral("still there?"));
        QVERIFY(waitDone(chat));
        QCOMPARE(description(chat), QStringLiteral("Hello!"));
        rig.socket->disconnect();
    }

    void aRejectedDeviceTokenIsDroppedForTheGatewayToken()
    {
        Rig rig;
        // A planted (or stale) device token the gateway never issued.
        QVERIFY(DeviceTokens(rig.credentials.get())
                    .save(credentialOrigin(rig.gateway.httpUrl()), QStringLiteral("planted")));
        rig.socket->connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(GatewayLinkState::connected()));
        const auto records = rig.gateway.connectRecords();
        QVERIFY(records.size() >= 2);
        const QJsonObject firstAuth = records.first().params.value(QLatin1String("auth")).toObject();
        const QJsonObject lastAuth = records.last().params.value(QLatin1String("auth")).toObject();
        QCOMPARE(firstAuth.value(QLatin1String("deviceToken")).toString(), QStringLiteral("planted"));
        QCOMPARE(lastAuth.value(QLatin1String("token")).toString(), QStringLiteral("gw-token"));
        // The token the gateway issued then replaces the planted one.
        QCOMPARE(
            DeviceTokens(rig.credentials.get()).load(credentialOrigin(rig.gateway.httpUrl())).valueOr(std::nullopt),
            std::optional<QString>(rig.gateway.issuedDeviceTokens().constLast()));
        rig.socket->disconnect();
    }

    // A chat that wants the socket restarts a round that gave up; a wake-up
    // (the gateway answers again, the network changed) does that too.
    void aRoundThatGaveUpStartsAgainWhenAsked_data()
    {
        QTest::addColumn<bool>("byWakeUp");
        QTest::newRow("a chat asks") << false;
        QTest::newRow("a wake-up") << true;
    }

    void aRoundThatGaveUpStartsAgainWhenAsked()
    {
        QFETCH(bool, byWakeUp);
        auto timings = test::fastGatewayTimings();
        timings.link.initialDelay = std::chrono::milliseconds(1);
        timings.link.maxDelay = std::chrono::milliseconds(2);
        timings.link.attemptsPerRound = 3;
        Rig rig(timings);
        const auto ask = [&] { byWakeUp ? rig.socket->wake() : rig.socket->reconnectIfGivenUp(); };
        // Never started, it does nothing.
        ask();
        QCOMPARE(rig.gateway.connectionCount(), 0);
        rig.gateway.setRefuseConnections(true);
        rig.socket->connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(GatewayLinkState::error(QStringLiteral("Connection failed"))));
        rig.gateway.setRefuseConnections(false);
        ask();
        QVERIFY(rig.waitForState(GatewayLinkState::connected()));
        // Connected, it opens no other socket.
        ask();
        QCOMPARE(rig.gateway.connectionCount(), 1);
        QVERIFY(rig.socket->isUsableForChat());
        rig.socket->disconnect();
    }

    // --- which events belong to which chat ------------------------------------

    void eventsBeforeTheAcknowledgementAreHeldForTheirRun()
    {
        Rig rig;
        QVERIFY(rig.connectAndWait());
        std::shared_ptr<ChatOutcome> chat;
        const QString id = rig.startUnansweredChat(chat);
        QVERIFY(!id.isEmpty());
        const QString assistant = QStringLiteral("assistant");
        const QString lifecycle = QStringLiteral("lifecycle");
        // Events race ahead of the acknowledgement: ours and another run's.
        rig.gateway.sendEvent(QStringLiteral("agent"),
                              agentEvent(QStringLiteral("run-1"), {}, assistant, textData(QStringLiteral("Early"))));
        rig.gateway.sendEvent(QStringLiteral("agent"), agentEvent(QStringLiteral("run-2"), {}, assistant,
                                                                  textData(QStringLiteral("Not yours at all"))));
        rig.gateway.sendFrame(acknowledgement(id, QStringLiteral("run-1")));
        rig.gateway.sendEvent(QStringLiteral("agent"), agentEvent(QStringLiteral("run-1"), {}, assistant,
                                                                  textData(QStringLiteral("Early bird"))));
        rig.gateway.sendEvent(QStringLiteral("agent"), agentEvent(QStringLiteral("run-2"), {}, lifecycle, endData()));
        rig.gateway.sendEvent(QStringLiteral("agent"), agentEvent(QStringLiteral("run-1"), {}, lifecycle, endData()));
        QVERIFY(waitDone(chat));
        QCOMPARE(description(chat), QStringLiteral("Early bird"));
        QCOMPARE(chat->fragments, QStringList({QStringLiteral("Early"), QStringLiteral(" bird")}));
        rig.socket->disconnect();
    }

    void aChatTheGatewayQueuedIsAnsweredByItsFollowUpRun()
    {
        Rig rig;
        QVERIFY(rig.connectAndWait());
        std::shared_ptr<ChatOutcome> chat;
        const QString id = rig.startUnansweredChat(chat);
        QVERIFY(!id.isEmpty());
        const QString mine = QStringLiteral("agent:mobile:main");
        const QString bob = QStringLiteral("agent:mobile:bob");
        const QString assistant = QStringLiteral("assistant");
        const QString lifecycle = QStringLiteral("lifecycle");
        // Acknowledged, then settled at once without an answer: queued.
        rig.gateway.sendFrame(acknowledgement(id, QStringLiteral("acked")));
        rig.gateway.sendEvent(QStringLiteral("chat"), QJsonObject{{QStringLiteral("runId"), QStringLiteral("acked")},
                                                                  {QStringLiteral("sessionKey"), mine},
                                                                  {QStringLiteral("state"), QStringLiteral("final")}});
        // Another session's run never answers it; the session's next run does.
        rig.gateway.sendEvent(QStringLiteral("agent"), agentEvent(QStringLiteral("theirs"), bob, assistant,
                                                                  textData(QStringLiteral("Not yours"))));
        rig.gateway.sendEvent(QStringLiteral("agent"), agentEvent(QStringLiteral("theirs"), bob, lifecycle, endData()));
        rig.gateway.sendEvent(QStringLiteral("agent"), agentEvent(QStringLiteral("follow-up"), mine, assistant,
                                                                  textData(QStringLiteral("Queued"))));
        rig.gateway.sendEvent(QStringLiteral("agent"), agentEvent(QStringLiteral("follow-up"), mine, assistant,
                                                                  textData(QStringLiteral("Queued answer"))));
        rig.gateway.sendEvent(QStringLiteral("agent"),
                              agentEvent(QStringLiteral("follow-up"), mine, lifecycle, endData()));
        QVERIFY(waitDone(chat));
        QCOMPARE(description(chat), QStringLiteral("Queued answer"));
        QCOMPARE(chat->fragments, QStringList({QStringLiteral("Queued"), QStringLiteral(" answer")}));
        rig.socket->disconnect();
    }

    void agentsRunSideBySideAndEachTakesOneRunAtATime()
    {
        Rig rig;
        QVERIFY(rig.connectAndWait());
        rig.gateway.queueChatScript(GatewayWsStandIn::ChatScript::held({QStringLiteral("A1")}));
        rig.gateway.queueChatScript(GatewayWsStandIn::ChatScript::stream({QStringLiteral("C1")}));
        rig.gateway.queueChatScript(GatewayWsStandIn::ChatScript::stream({QStringLiteral("B1")}));
        auto chatIn = [&](const QString &session, const QString &message) {
            auto outcome = std::make_shared<ChatOutcome>();
            ChatCallRequest request;
            request.requestId = QStringLiteral("relay-") + message;
            request.sessionKey = session;
            request.lastUserText = message;
            QCoro::connect(rig.socket->sendChat(request, {}), rig.socket.get(),
                           [outcome](Result<QString> result) { outcome->result.emplace(std::move(result)); });
            return outcome;
        };
        auto alice = chatIn(QStringLiteral("agent:mobile:alice"), QStringLiteral("a1"));
        auto bob = chatIn(QStringLiteral("agent:mobile:bob"), QStringLiteral("b1"));
        auto carol = chatIn(QStringLiteral("agent:main:carol"), QStringLiteral("c1"));
        // Another agent's chat does not wait; a second session of the same
        // agent does, until the first run has settled.
        QVERIFY(waitDone(carol));
        QCOMPARE(description(carol), QStringLiteral("C1"));
        QVERIFY(!alice->done() && !bob->done());
        QCOMPARE(rig.gateway.framesWithMethod(QStringLiteral("chat.send")).size(), 2);
        rig.gateway.releaseHeldChat();
        QVERIFY(waitDone(alice));
        QVERIFY(waitDone(bob));
        QCOMPARE(description(alice), QStringLiteral("A1"));
        QCOMPARE(description(bob), QStringLiteral("B1"));
        // The relay request id is the idempotency key; the session is the one asked for.
        const auto sends = rig.gateway.framesWithMethod(QStringLiteral("chat.send"));
        QCOMPARE(sends.size(), 3);
        const QJsonObject last = sends.last().value(QLatin1String("params")).toObject();
        QCOMPARE(last.value(QLatin1String("idempotencyKey")).toString(), QStringLiteral("relay-b1"));
        QCOMPARE(last.value(QLatin1String("sessionKey")).toString(), QStringLiteral("agent:mobile:bob"));
        rig.socket->disconnect();
    }

    void beyondTheLimitAChatIsRefusedAtOnce()
    {
        auto timings = test::fastGatewayTimings();
        timings.maxChats = 3;
        Rig rig(timings);
        QVERIFY(rig.connectAndWait());
        rig.gateway.queueChatScript(GatewayWsStandIn::ChatScript::held({QStringLiteral("One")}));
        QList<std::shared_ptr<ChatOutcome>> chats;
        for (int i = 0; i < 3; ++i)
            chats << startChat(*rig.socket, QStringLiteral("chat %1").arg(i));
        auto refused = startChat(*rig.socket, QStringLiteral("one too many"));
        QVERIFY(refused->done());
        QCOMPARE(description(refused), QStringLiteral("Bridge is busy"));
        QVERIFY(QTest::qWaitFor([&] { return chats.first()->fragments.size() == 1; }, kWaitMs));
        rig.gateway.releaseHeldChat();
        for (const auto &chat : std::as_const(chats))
            QVERIFY(waitDone(chat));
        QCOMPARE(description(chats.last()), QStringLiteral("Hello!"));
        rig.socket->disconnect();
    }

    void aQueuedChatsDeadlineRunsFromWhenItWasQueued()
    {
        auto timings = test::fastGatewayTimings();
        timings.chatTimeout = std::chrono::milliseconds(400);
        timings.sessionSettleTimeout = std::chrono::milliseconds(30000);
        Rig rig(timings);
        QVERIFY(rig.connectAndWait());
        // A gateway that trickles and never ends: the chat on the wire and
        // the one queued behind it both end at their deadline.
        rig.gateway.queueChatScript(GatewayWsStandIn::ChatScript::withoutEnd({QStringLiteral("Tr")}));
        auto trickling = startChat(*rig.socket, QStringLiteral("one"));
        auto queued = startChat(*rig.socket, QStringLiteral("two"));
        QVERIFY(waitDone(trickling));
        QVERIFY(waitDone(queued));
        QCOMPARE(description(trickling), QStringLiteral("OpenClaw WS request timed out"));
        QCOMPARE(description(queued), QStringLiteral("OpenClaw WS request timed out"));
        QCOMPARE(rig.gateway.framesWithMethod(QStringLiteral("chat.send")).size(), 1);
        rig.socket->disconnect();
    }

    void stateDescriptions()
    {
        QCOMPARE(GatewayLinkState::disconnected().description(), QStringLiteral("disconnected"));
        QCOMPARE(GatewayLinkState::authenticating().description(), QStringLiteral("authenticating"));
        QCOMPARE(GatewayLinkState::error(QStringLiteral("Send failed")).description(),
                 QStringLiteral("error(Send failed)"));
        QVERIFY(GatewayLinkState::error(QStringLiteral("a")) != GatewayLinkState::error(QStringLiteral("b")));
    }
};

QTEST_GUILESS_MAIN(TstGatewayWebSocket)
#include "tst_gateway_web_socket.moc"
