// Pairing: the unified payload and its gateway rule, the bridge name, and
// the pairing flows end to end — the relay account stand-in issues the
// bridge token, the running bridge hears of it over the single-instance
// socket, reconnects to the relay stand-in with it and answers a chat.
#include "bridge_rig.h"
#include "relay_account_stand_in.h"

#include "account/account_service.h"
#include "account/bridge_name.h"
#include "account/bridge_requests.h"
#include "account/pairing_payload.h"
#include "account/pairing_service.h"
#include "account/relay_auth_service.h"
#include "bridge/bridge_control.h"
#include "platform/secrets/secret_backend.h"
#include "platform/session/single_instance.h"
#include "platform/wait_for_task.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

using namespace halvex;
using namespace halvex::test;

namespace {

const QString kRelay = QStringLiteral("wss://relay.halvex.com");

// A keyring that cannot be unlocked: every lookup fails.
class LockedSecretBackend : public MemorySecretBackend
{
public:
    SecretLookup lookup(const SecretItemKey &) override
    {
        return Error::plain(QStringLiteral("Cannot unlock the collection"), 2);
    }
};
const QString kLan = QStringLiteral("192.168.1.20");

PairingPayloadBuilder builder()
{
    return PairingPayloadBuilder(QUrl(kRelay));
}

QJsonObject parsed(const QByteArray &payload)
{
    return QJsonDocument::fromJson(payload).object();
}

} // namespace

class TestPairing : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void gatewayRule_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("token");
        QTest::addColumn<bool>("pinned");
        QTest::addColumn<QString>("expected"); // empty: no "gateway"

        const QString t = QStringLiteral("gw-token");
        // The phone cannot reach this machine's loopback: the token stays home.
        QTest::newRow("loopback") << "http://127.0.0.1:18789" << t << false << "";
        QTest::newRow("localhost") << "http://localhost" << t << false << "";
        QTest::newRow("IPv6 loopback") << "http://[::1]:18789" << t << false << "";
        QTest::newRow("LAN address") << "http://192.168.1.20:18789" << t << false << "ws://192.168.1.20:18789";
        QTest::newRow("named host") << "http://gw.lan" << t << false << "ws://gw.lan:18789";
        QTest::newRow("IPv6 bracketed") << "http://[fd00::5]:18789" << t << false << "ws://[fd00::5]:18789";
        QTest::newRow("TLS gateway") << "https://gw.example.org:8443" << t << false << "wss://gw.example.org:8443";
        QTest::newRow("TLS gateway, pinned") << "https://10.0.0.5:18789" << t << true << "wss://10.0.0.5:18789";
        QTest::newRow("pin without TLS is not sent") << "http://10.0.0.5:18789" << t << true << "ws://10.0.0.5:18789";
        QTest::newRow("redacted token") << "http://10.0.0.5:18789"
                                        << "__OPENCLAW_REDACTED" << false << "";
        QTest::newRow("redacted prefix") << "http://10.0.0.5:18789"
                                         << "__OPENCLAW_REDACTED__abc" << false << "";
        QTest::newRow("empty token") << "http://10.0.0.5:18789"
                                     << "" << false << "";
    }

    void gatewayRule()
    {
        QFETCH(QString, url);
        QFETCH(QString, token);
        QFETCH(bool, pinned);
        QFETCH(QString, expected);
        PairingPayloadInputs inputs;
        inputs.bridgeName = QStringLiteral("Box");
        inputs.gatewayURL = QUrl(url);
        inputs.gatewayToken = token;
        if (pinned)
            inputs.gatewayTlsSha256 = QByteArray(32, '\xab');
        const QJsonObject payload = parsed(builder().build(inputs));
        if (expected.isEmpty()) {
            QVERIFY(!payload.contains(QStringLiteral("gateway")));
            return;
        }
        QJsonObject gateway{{QStringLiteral("url"), expected}, {QStringLiteral("token"), token}};
        if (pinned && expected.startsWith(QLatin1String("wss://")))
            gateway.insert(QStringLiteral("tlsSha256"), QStringList(32, QStringLiteral("AB")).join(QLatin1Char(':')));
        QCOMPARE(payload.value(QStringLiteral("gateway")).toObject(), gateway);
    }

    void payloadShape()
    {
        // No gateway token at all, and no gateway URL: no "gateway".
        PairingPayloadInputs inputs;
        inputs.bridgeName = QStringLiteral("N");
        inputs.gatewayURL = QUrl(QStringLiteral("http://192.168.1.20:18789"));
        QVERIFY(!parsed(builder().build(inputs)).contains(QStringLiteral("gateway")));

        // No bridge id: no "relay", even with a code.
        inputs.code = QStringLiteral("ABCD-EFGH");
        QCOMPARE(builder().build(inputs), QByteArray("{\"name\":\"N\",\"type\":\"halvex\",\"version\":1}"));

        // Name, bridge id, no gateway, no code: exactly the sorted object.
        inputs.code.reset();
        inputs.bridgeId = QStringLiteral("B");
        QCOMPARE(builder().build(inputs), QByteArray("{\"name\":\"N\",\"relay\":{\"bridgeId\":\"B\",\"url\":\"wss://"
                                                     "relay.halvex.com\"},\"type\":\"halvex\",\"version\":1}"));

        // Everything: sorted keys at every level, compact, version a number.
        inputs.gatewayToken = QStringLiteral("tok \"quoted\" ü");
        inputs.code = QStringLiteral("ABCD-EFGH");
        inputs.bridgeName = QStringLiteral("Zoë’s Box");
        const QByteArray text = builder().build(inputs);
        QCOMPARE(text,
                 QByteArray("{\"gateway\":{\"token\":\"tok \\\"quoted\\\" ü\",\"url\":\"ws://192.168.1.20:18789\"},"
                            "\"name\":\"Zoë’s Box\",\"relay\":{\"bridgeId\":\"B\",\"code\":\"ABCD-EFGH\","
                            "\"url\":\"wss://relay.halvex.com\"},\"type\":\"halvex\",\"version\":1}"));
        // A standard reader gets the same values back.
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(text, &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        const QJsonObject object = document.object();
        QVERIFY(object.value(QStringLiteral("version")).isDouble());
        QCOMPARE(object.value(QStringLiteral("version")).toInt(), 1);
        QCOMPARE(object.value(QStringLiteral("name")).toString(), QStringLiteral("Zoë’s Box"));
        QCOMPARE(object.value(QStringLiteral("gateway")).toObject().value(QStringLiteral("token")).toString(),
                 QStringLiteral("tok \"quoted\" ü"));
        QCOMPARE(QJsonDocument(object).toJson(QJsonDocument::Compact), text);
    }

    void bridgeName()
    {
        QCOMPARE(bridgeNameFor(QStringLiteral("Ada's ThinkPad")), QStringLiteral("Ada's ThinkPad"));
        QCOMPARE(bridgeNameFor(QString()), QStringLiteral("My Computer"));
        QCOMPARE(bridgeNameFor(QStringLiteral("  ")), QStringLiteral("My Computer"));
        QCOMPARE(bridgeNameFor(QStringLiteral("Unknown")), QStringLiteral("My Computer"));
        QCOMPARE(bridgeNameFor(QStringLiteral("a-very-long-host-name-of-a-build-server-01")),
                 QStringLiteral("a-very-long-host-name-of-a-bui"));
        // Characters, not bytes: 29 letters and a flag fit.
        const QString flagged = QString(29, QLatin1Char('x')) + QStringLiteral("🇩🇪") + QStringLiteral("yz");
        QCOMPARE(bridgeNameFor(flagged), QString(29, QLatin1Char('x')) + QStringLiteral("🇩🇪"));
        QVERIFY(!defaultBridgeName().isEmpty());
    }

    // Automatic pairing, then a code from the phone, then the already-paired
    // view: each pairing reaches the running bridge without a restart.
    void pairingFlowsWithRunningBridge()
    {
        BridgeRig rig;
        QVERIFY(rig.startStandIns());
        rig.pointAtGateway();
        RelayAccountStandIn account;
        account.attachRelay(&rig.relay);
        QVERIFY(account.listen());
        const QString email = QStringLiteral("ada@example.org");
        account.addUser(email, QStringLiteral("password1"));

        // The running bridge: not paired yet, listening for reload requests.
        BridgeManager *bridge = rig.create();
        bridge->start();
        QCOMPARE(bridge->connectionState(), BridgeConnectionState::error(QStringLiteral("No bridge token")));
        QTemporaryDir runtimeDir;
        const QString socketName = runtimeDir.filePath(QStringLiteral("instance"));
        SingleInstance running(socketName);
        QVERIFY(running.listen());
        int reloads = 0;
        BridgeControl control(bridge, QStringLiteral("headless"));
        connect(&running, &SingleInstance::requestReceived, &control,
                [&](const QByteArray &request, InstanceReply *reply) {
                    reloads += request == BridgeRequest::reloadCredentials ? 1 : 0;
                    control.handle(request, reply);
                });

        // The pairing side, as a terminal command or window would build it.
        RelayAuthService auth(account.origin());
        AccountService accountService(&auth, rig.credentials.get(), rig.settings.get());
        PairingService::Dependencies deps;
        deps.auth = &auth;
        deps.credentials = rig.credentials.get();
        deps.settings = rig.settings.get();
        deps.relayWebSocketOrigin = QUrl(kRelay);
        deps.gateway = [bridge] { return bridge->gatewayTarget(); };
        deps.localIPAddress = [] { return std::optional<QString>(kLan); };
        deps.bridgeName = [] { return QStringLiteral("Build Box"); };
        int announced = 0;
        deps.bridgeTokenStored = [&] {
            SingleInstance launch(socketName);
            announced += announceCredentialsChanged(launch) ? 1 : 0;
        };
        PairingService pairing(deps);

        // Not signed in: refused before the relay is asked; nothing stored.
        const Result<PairingResult> refused = waitForTask(pairing.pairAutomatically());
        QCOMPARE(refused.error().description(), QStringLiteral("Not signed in — go back and sign in first"));
        QCOMPARE(account.http().requestCount(), 0);
        QVERIFY(!pairing.isPaired());

        // 1. Automatic pairing.
        QVERIFY(waitForTask(accountService.signIn(email, QStringLiteral("password1"))).ok());
        const Result<PairingResult> automatic = waitForTask(pairing.pairAutomatically());
        QVERIFY(automatic.ok());
        QCOMPARE(account.bridges().size(), 1);
        const RelayAccountStandIn::Bridge first = account.bridges().constFirst();
        QCOMPARE(first.bridgeName, QStringLiteral("Build Box"));
        QCOMPARE(first.email, email);
        QCOMPARE(rig.credentials->load(CredentialService::bridge()).valueOr(std::nullopt),
                 std::optional<QString>(first.bridgeToken));
        QCOMPARE(rig.settings->string(SettingsKey::bridgeId), std::optional<QString>(first.bridgeId));
        QCOMPARE(rig.settings->string(SettingsKey::bridgeName), std::optional<QString>(QStringLiteral("Build Box")));
        QCOMPARE(automatic->bridgeId, first.bridgeId);
        QVERIFY(automatic->code);
        const QJsonObject payload = parsed(automatic->payload);
        QCOMPARE(payload.value(QStringLiteral("relay")).toObject(),
                 (QJsonObject{{QStringLiteral("url"), kRelay},
                              {QStringLiteral("bridgeId"), first.bridgeId},
                              {QStringLiteral("code"), *automatic->code}}));
        // The gateway listens on loopback only: the phone reaches it through
        // the relay, and its master token is not handed out for an address
        // that would not answer.
        QVERIFY(!payload.contains(QStringLiteral("gateway")));
        QCOMPARE(announced, 1);
        QTRY_COMPARE_WITH_TIMEOUT(reloads, 1, 15000);
        QVERIFY(rig.waitConnected());
        QCOMPARE(rig.relay.attempts().constLast().token, first.bridgeToken);
        QVERIFY(rig.relay.attempts().constLast().accepted);
        answersAChat(rig, QStringLiteral("c-1"));

        // 2. A code the phone shows, typed with blanks around it: the bridge
        // moves to the new token.
        const QString phoneCode = account.issuePairingCode(email);
        const Result<PairingResult> manual =
            waitForTask(pairing.pairWithCode(QStringLiteral("  ") + phoneCode + QStringLiteral("\t")));
        QVERIFY(manual.ok());
        QCOMPARE(account.bridges().size(), 2);
        const RelayAccountStandIn::Bridge second = account.bridges().constLast();
        QCOMPARE(account.http().lastRequest().json().value(QStringLiteral("code")).toString(), phoneCode);
        QVERIFY(!manual->code);
        QVERIFY(!parsed(manual->payload).value(QStringLiteral("relay")).toObject().contains(QStringLiteral("code")));
        QCOMPARE(rig.credentials->load(CredentialService::bridge()).valueOr(std::nullopt),
                 std::optional<QString>(second.bridgeToken));
        QTRY_COMPARE_WITH_TIMEOUT(reloads, 2, 15000);
        QVERIFY(QTest::qWaitFor([&] { return rig.relay.attempts().constLast().token == second.bridgeToken; }, 15000));
        QVERIFY(rig.waitConnected());
        answersAChat(rig, QStringLiteral("c-2"));

        // A used or wrong code fails and leaves the pairing as it was.
        const Result<PairingResult> reused = waitForTask(pairing.pairWithCode(phoneCode));
        QCOMPARE(reused.error().description(), QStringLiteral("Invalid or expired pairing code"));
        QCOMPARE(waitForTask(pairing.pairWithCode(QStringLiteral("ABCD-EFG"))).error().description(),
                 QStringLiteral("The code needs at least 9 characters, as the phone shows it (XXXX-XXXX)."));
        const int asked = account.http().requestCount();
        QVERIFY(!waitForTask(pairing.pairWithCode(QStringLiteral("ABCD-EFGH\x1b[2J"))).ok());
        QVERIFY(!waitForTask(pairing.pairWithCode(QStringLiteral("ABCD EFGH"))).ok());
        QCOMPARE(account.http().requestCount(), asked); // refused before asking
        QCOMPARE(rig.credentials->load(CredentialService::bridge()).valueOr(std::nullopt),
                 std::optional<QString>(second.bridgeToken));
        QCOMPARE(rig.settings->string(SettingsKey::bridgeId), std::optional<QString>(second.bridgeId));
        QCOMPARE(announced, 2);

        // 3. Already paired: the payload without a code, id from the settings.
        const std::optional<PairingResult> shown = pairing.alreadyPaired();
        QVERIFY(shown);
        QCOMPARE(shown->bridgeId, second.bridgeId);
        QCOMPARE(parsed(shown->payload).value(QStringLiteral("relay")).toObject(),
                 (QJsonObject{{QStringLiteral("url"), kRelay}, {QStringLiteral("bridgeId"), second.bridgeId}}));

        // A stored id that is not a bridge id is reported, not shown to the phone.
        rig.settings->setString(SettingsKey::bridgeId, QStringLiteral("b\x1b]0;x\x07"));
        const std::optional<PairingResult> badId = pairing.alreadyPaired();
        QVERIFY(badId);
        QVERIFY(badId->bridgeId.isEmpty());
        QVERIFY(!parsed(badId->payload).value(QStringLiteral("relay")).toObject().contains(QStringLiteral("bridgeId")));
        rig.settings->setString(SettingsKey::bridgeId, second.bridgeId);

        // The QR window: a fresh code while signed in...
        const QRCodeContent fresh = waitForTask(pairing.generateQRCode());
        QVERIFY(fresh.png);
        QVERIFY(!fresh.errorMessage);
        QVERIFY(parsed(fresh.payload).value(QStringLiteral("relay")).toObject().contains(QStringLiteral("code")));
        // ...none when the relay refuses (and no error shown)...
        account.http().enqueue(
            ScriptedResponse::json(503, QJsonObject{{QStringLiteral("error"), QStringLiteral("busy")}}));
        const QRCodeContent refusedCode = waitForTask(pairing.generateQRCode());
        QVERIFY(refusedCode.png);
        QVERIFY(!refusedCode.errorMessage);
        QVERIFY(
            !parsed(refusedCode.payload).value(QStringLiteral("relay")).toObject().contains(QStringLiteral("code")));
        // ...and none, without asking, when signed out; the pairing stays.
        QVERIFY(accountService.signOut());
        const int requests = account.http().requestCount();
        const QRCodeContent signedOut = waitForTask(pairing.generateQRCode());
        QCOMPARE(account.http().requestCount(), requests);
        QCOMPARE(parsed(signedOut.payload).value(QStringLiteral("relay")).toObject().value(QStringLiteral("bridgeId")),
                 QJsonValue(second.bridgeId));
        QVERIFY(!parsed(signedOut.payload).value(QStringLiteral("relay")).toObject().contains(QStringLiteral("code")));
        QVERIFY(pairing.isPaired());
        QCOMPARE(bridge->connectionState(), BridgeConnectionState::connected());
    }

    // One rule for "paired" and one for the name, as the bridge, the pairing
    // and the terminal read them: a store that cannot answer counts as
    // paired; the stored name is trimmed, a blank one gives the machine's.
    void pairedAndNameRules_data()
    {
        QTest::addColumn<QString>("store"); // "token", "none" or "locked"
        QTest::addColumn<QString>("storedName");
        QTest::addColumn<bool>("paired");
        QTest::addColumn<QString>("name");
        QTest::newRow("token, name with spaces") << "token"
                                                 << "  Living Room  " << true << "Living Room";
        QTest::newRow("nothing stored") << "none"
                                        << "" << false << "Build Box";
        QTest::newRow("locked store, blank name") << "locked"
                                                  << "   " << true << "Build Box";
    }

    void pairedAndNameRules()
    {
        QFETCH(QString, store);
        QFETCH(QString, storedName);
        QFETCH(bool, paired);
        QFETCH(QString, name);
        std::unique_ptr<MemorySecretBackend> backend = store == QLatin1String("locked")
                                                           ? std::make_unique<LockedSecretBackend>()
                                                           : std::make_unique<MemorySecretBackend>();
        CredentialStore credentials(std::move(backend));
        if (store == QLatin1String("token"))
            QVERIFY(credentials.save(CredentialService::bridge(), QStringLiteral("bt")).ok());
        TempSettings settings;
        if (!storedName.isEmpty())
            settings->setString(SettingsKey::bridgeName, storedName);
        const auto machineName = [] { return QStringLiteral("Build Box"); };

        QCOMPARE(isPaired(bridgeTokenState(credentials)), paired);
        QCOMPARE(storedBridgeName(*settings.get(), machineName), name);
        PairingService::Dependencies deps;
        deps.credentials = &credentials;
        deps.settings = settings.get();
        deps.bridgeName = machineName;
        PairingService pairing(deps);
        QCOMPARE(pairing.isPaired(), paired);
        const std::optional<PairingResult> shown = pairing.alreadyPaired();
        QCOMPARE(shown.has_value(), paired);
        if (shown)
            QCOMPARE(shown->bridgeName, name);
    }

    void noBridgeRunning()
    {
        // Nobody listening: the command learns that no bridge runs.
        QTemporaryDir dir;
        SingleInstance nobody(dir.filePath(QStringLiteral("none")));
        QVERIFY(!announceCredentialsChanged(nobody));
        QVERIFY(!askRunningBridge(nobody, BridgeRequest::status));
    }

private:
    static void answersAChat(BridgeRig &rig, const QString &id)
    {
        rig.gateway.enqueue(
            ScriptedResponse::eventStream(sse::chatStream({QStringLiteral("Hi "), QStringLiteral("there")})),
            QByteArrayLiteral("/v1/chat/completions"));
        QVERIFY(rig.relay.sendJson(
            BridgeRig::chatMessage(id, QStringLiteral("u-1"), {{QStringLiteral("content"), QStringLiteral("Hello")}})));
        const QList<QJsonObject> replies = rig.waitForClosing(id);
        QVERIFY(!replies.isEmpty());
        QCOMPARE(replies.last().value(QStringLiteral("type")).toString(), QStringLiteral("chat_stream_end"));
        QCOMPARE(replies.last().value(QStringLiteral("content")).toString(), QStringLiteral("Hi there"));
    }
};

QTEST_GUILESS_MAIN(TestPairing)
#include "tst_pairing.moc"
