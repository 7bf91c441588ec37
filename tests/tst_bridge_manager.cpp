// The bridge manager: start-up and the stored switch, the gateway settings
// (settings, credential store, OpenClaw configuration file), the relay link's
// state, the health check, the agent card, local models and memory sync.
#include "bridge_rig.h"
#include "fake_openclaw_tool.h"
#include "log_capture.h"

#include "bridge/bridge_runtime.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <atomic>

#include <qcoro/qcorosignal.h>

using namespace halvex;
using namespace halvex::test;

namespace {
const QString kNoTokenLine = QStringLiteral("Cannot start — no bridge token in the credential store");
const QString kAgentCard = QStringLiteral("agent_card");

QJsonObject cardOf(const QJsonObject &message)
{
    return message.value(QStringLiteral("card")).toObject();
}
} // namespace

// Lets a test decide when an awaited step finishes.
class Gate : public QObject
{
    Q_OBJECT
public:
    void open() { Q_EMIT opened(); }
Q_SIGNALS:
    void opened();
};

// A credential store whose next call waits, as a keyring's unlock prompt
// does, until the test answers it (or a minute passes).
class PromptingBackend : public MemorySecretBackend
{
public:
    void openPrompt() { m_open = true; }
    void answerPrompt() { m_answered.release(); }
    SecretLookup lookup(const SecretItemKey &key) override
    {
        if (m_open.exchange(false))
            (void)m_answered.tryAcquire(1, 60000);
        return MemorySecretBackend::lookup(key);
    }

private:
    std::atomic<bool> m_open = false;
    QSemaphore m_answered;
};

class TestBridgeManager : public QObject
{
    Q_OBJECT

private:
    // Writes the OpenClaw configuration file under the rig's home.
    static QString writeConfig(BridgeRig &rig, const QByteArray &content)
    {
        const QString dir = rig.home.filePath(QStringLiteral(".openclaw"));
        QDir().mkpath(dir);
        const QString path = dir + QStringLiteral("/openclaw.json");
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return {};
        file.write(content);
        return path;
    }

    static QByteArray readFile(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // A rig whose bridge is switched off, so that construction only loads the
    // gateway settings and connects nothing.
    static void disable(BridgeRig &rig) { rig.settings->setBoolean(SettingsKey::bridgeEnabled, false); }

private Q_SLOTS:
    void startupWithoutSwitchOrToken()
    {
        LogCapture log;
        BridgeRig rig;
        QVERIFY(rig.startStandIns());
        QVERIFY(!rig.settings->contains(SettingsKey::bridgeEnabled));

        BridgeManager *bridge = rig.create();
        QVERIFY(bridge->isEnabled());
        QCOMPARE(rig.settings->boolean(SettingsKey::bridgeEnabled), std::optional<bool>(true)); // written back
        QCOMPARE(bridge->connectionState(), BridgeConnectionState::error(QStringLiteral("No bridge token")));
        QCOMPARE(bridge->connectionState().description(), QStringLiteral("error(No bridge token)"));
        QCOMPARE(log.count(QtCriticalMsg, kNoTokenLine), 1);
        // Nothing else started: no relay link, no gateway socket.
        QVERIFY(!bridge->relayWebSocket()->isRunning());
        QCOMPARE(bridge->openClawWebSocket()->state(), GatewayLinkState::disconnected());
        QVERIFY(!bridge->openClawReachable());

        // Once paired, start() connects.
        rig.storeBridgeToken();
        bridge->start();
        QCOMPARE(bridge->connectionState(), BridgeConnectionState::connecting());
        QVERIFY(rig.waitConnected());
        QCOMPARE(log.count(kNoTokenLine), 1);
    }

    void switchedOffConnectsNothing()
    {
        BridgeRig rig;
        QVERIFY(rig.startStandIns());
        rig.storeBridgeToken();
        rig.pointAtGateway();
        disable(rig);
        BridgeManager *bridge = rig.create();
        QSignalSpy enabledSpy(bridge, &BridgeManager::isEnabledChanged);
        QSignalSpy stateSpy(bridge, &BridgeManager::connectionStateChanged);

        QVERIFY(!bridge->isEnabled());
        QCOMPARE(bridge->connectionState(), BridgeConnectionState::disconnected());
        QVERIFY(!bridge->relayWebSocket()->isRunning());
        QCOMPARE(bridge->openClawWebSocket()->state(), GatewayLinkState::disconnected());
        bridge->start(); // the launch's second start: returns at once
        QVERIFY(!bridge->relayWebSocket()->isRunning());
        QCOMPARE(rig.settings->boolean(SettingsKey::bridgeEnabled), std::optional<bool>(false));

        // The switch starts and stops the bridge and is stored each time.
        bridge->setEnabled(true);
        QCOMPARE(enabledSpy.size(), 1);
        QCOMPARE(rig.settings->boolean(SettingsKey::bridgeEnabled), std::optional<bool>(true));
        QVERIFY(rig.waitConnected());
        bridge->setEnabled(true); // no change, no signal
        QCOMPARE(enabledSpy.size(), 1);

        bridge->setEnabled(false);
        QCOMPARE(enabledSpy.size(), 2);
        QCOMPARE(rig.settings->boolean(SettingsKey::bridgeEnabled), std::optional<bool>(false));
        QCOMPARE(bridge->connectionState(), BridgeConnectionState::disconnected());
        QVERIFY(rig.relay.waitForOpenConnections(0));
        // disconnected -> connecting -> connected -> disconnected, each once.
        QCOMPARE(stateSpy.size(), 3);
        QCOMPARE(stateSpy.last().first().value<BridgeConnectionState>(), BridgeConnectionState::disconnected());
    }

    void configurationFileTokenAndLanEndpoint()
    {
        LogCapture log;
        BridgeRig rig;
        disable(rig);
        const QString path = writeConfig(rig, R"({"gateway": {"auth": {"mode": "token", "token": "file-token"},
                                                   "port": 19000, "bind": "lan"}, "agents": {}})");
        const QByteArray before = readFile(path);
        const QDateTime modified = QFileInfo(path).lastModified();

        // A gateway bound to "lan" listens on loopback too: the bridge's own
        // connection stays on this machine, and the derived address is not
        // stored.
        BridgeManager *bridge = rig.create();
        QCOMPARE(bridge->openClawClient()->gatewayToken(), QStringLiteral("file-token"));
        QCOMPARE(bridge->gatewayTarget().tokenOrigin, GatewayValueOrigin::openClawConfig);
        // Followed, never copied: the store holds no token of the file's.
        QCOMPARE(rig.credentials->load(CredentialService::openClaw()).valueOr(std::nullopt), std::nullopt);
        QCOMPARE(bridge->openClawEndpoint(), QUrl(QStringLiteral("http://127.0.0.1:19000")));
        QCOMPARE(bridge->gatewayTarget().endpointOrigin, GatewayValueOrigin::openClawConfig);
        QVERIFY(!rig.settings->contains(SettingsKey::openClawEndpoint));
        // The user's file is only read.
        QCOMPARE(readFile(path), before);
        QCOMPARE(QFileInfo(path).lastModified(), modified);

        // A port changed in the file since, and a rotated token, are seen.
        writeConfig(rig, R"({"gateway": {"auth": {"token": "rotated"}, "port": 19001, /* moved */ }})");
        rig.bridge.reset();
        rig.create();
        QCOMPARE(rig.bridge->openClawClient()->gatewayToken(), QStringLiteral("rotated"));
        QCOMPARE(rig.bridge->openClawEndpoint(), QUrl(QStringLiteral("http://127.0.0.1:19001")));
        QVERIFY(!rig.settings->contains(SettingsKey::openClawEndpoint));
    }

    void configurationFileVariants()
    {
        // An endpoint chosen elsewhere: the file's token belongs to this
        // machine's gateway and is not sent there.
        {
            BridgeRig rig;
            disable(rig);
            rig.settings->setString(SettingsKey::openClawEndpoint, QStringLiteral("http://10.0.0.5:18789"));
            writeConfig(rig, R"({"gateway": {"auth": {"token": "t2"}, "port": 19000, "bind": "lan"}})");
            rig.create();
            QCOMPARE(rig.bridge->openClawClient()->gatewayToken(), QString());
            QCOMPARE(rig.bridge->openClawEndpoint(), QUrl(QStringLiteral("http://10.0.0.5:18789")));
            QCOMPARE(rig.settings->string(SettingsKey::openClawEndpoint),
                     std::optional<QString>(QStringLiteral("http://10.0.0.5:18789")));
        }
        // A token given as an environment reference that is not set is no
        // token, and is never stored.
        {
            BridgeRig rig;
            disable(rig);
            writeConfig(rig, R"({"gateway": {"auth": {"token": "${HALVEX_TEST_UNSET_TOKEN_VAR}"}}})");
            rig.create();
            QCOMPARE(rig.bridge->openClawClient()->gatewayToken(), QString());
            QCOMPARE(rig.credentials->load(CredentialService::openClaw()).valueOr(std::nullopt), std::nullopt);
        }
        // A redacted token in the credential store is ignored and the file's
        // token is used (the store is left as it is); members of the wrong
        // type leave the defaults.
        {
            BridgeRig rig;
            disable(rig);
            (void)rig.credentials->save(CredentialService::openClaw(), QStringLiteral("__OPENCLAW_REDACTED__"));
            writeConfig(rig, R"({"gateway": {"auth": {"token": "real"}, "port": "19000", "bind": 7}})");
            rig.create();
            QCOMPARE(rig.bridge->openClawClient()->gatewayToken(), QStringLiteral("real"));
            QCOMPARE(rig.credentials->load(CredentialService::openClaw()).valueOr(std::nullopt),
                     std::optional<QString>(QStringLiteral("__OPENCLAW_REDACTED__")));
            QCOMPARE(rig.bridge->openClawEndpoint(), QUrl(QStringLiteral("http://127.0.0.1:18789")));
        }
        // A redacted placeholder in the file is no token either.
        {
            BridgeRig rig;
            disable(rig);
            writeConfig(rig, R"({"gateway": {"auth": {"token": "__OPENCLAW_REDACTED__"}}})");
            rig.create();
            QCOMPARE(rig.bridge->openClawClient()->gatewayToken(), QString());
            QCOMPARE(rig.credentials->load(CredentialService::openClaw()).valueOr(std::nullopt), std::nullopt);
        }
        // For this machine's gateway the file's token wins over an older
        // stored copy; the file gives the endpoint too.
        {
            BridgeRig rig;
            disable(rig);
            (void)rig.credentials->save(CredentialService::openClaw(), QStringLiteral("stored"));
            writeConfig(rig, R"({"gateway": {"auth": {"token": "file"}, "port": 19000}})");
            rig.create();
            QCOMPARE(rig.bridge->openClawClient()->gatewayToken(), QStringLiteral("file"));
            QCOMPARE(rig.bridge->openClawEndpoint(), QUrl(QStringLiteral("http://127.0.0.1:19000")));
            QVERIFY(!rig.settings->contains(SettingsKey::openClawEndpoint));
        }
        // A stored endpoint that is no usable URL is ignored.
        {
            BridgeRig rig;
            disable(rig);
            (void)rig.credentials->save(CredentialService::openClaw(), QStringLiteral("stored"));
            rig.settings->setString(SettingsKey::openClawEndpoint, QStringLiteral("not a url at all"));
            rig.create();
            QCOMPARE(rig.bridge->openClawEndpoint(), QUrl(QStringLiteral("http://127.0.0.1:18789")));
        }
    }

    void malformedConfigurationFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("not JSON") << QByteArray("{\"gateway\": {\"auth\": {\"token\": \"x\"");
        QTest::newRow("not an object") << QByteArray("[1, 2]");
        QTest::newRow("gateway not an object") << QByteArray(R"({"gateway": "loopback"})");
        QTest::newRow("empty") << QByteArray();
    }

    void malformedConfigurationFile()
    {
        QFETCH(QByteArray, content);
        BridgeRig rig;
        disable(rig);
        const QString path = writeConfig(rig, content);
        rig.create();
        QCOMPARE(rig.bridge->openClawClient()->gatewayToken(), QString());
        QCOMPARE(rig.bridge->openClawEndpoint(), QUrl(QStringLiteral("http://127.0.0.1:18789")));
        QVERIFY(!rig.settings->contains(SettingsKey::openClawEndpoint));
        QCOMPARE(rig.credentials->load(CredentialService::openClaw()).valueOr(std::nullopt), std::nullopt);
        QCOMPARE(readFile(path), content);
    }

    void relayDropShowsConnectingUntilBack()
    {
        LogCapture log;
        BridgeRig rig;
        QVERIFY(rig.createConnected());
        QList<BridgeConnectionState> states;
        QObject::connect(rig.bridge.get(), &BridgeManager::connectionStateChanged,
                         [&](const BridgeConnectionState &s) { states.append(s); });

        // The relay goes away entirely: connecting while it is down ...
        rig.relay.stop();
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->connectionState() == BridgeConnectionState::connecting(); },
                                15000));
        QVERIFY(log.waitForPrefix(QStringLiteral("Disconnected: ")));
        const int attempts = rig.relay.attemptCount();
        QVERIFY(log.waitForPrefix(QStringLiteral("Disconnected: "), 3)); // reconnects keep failing
        QCOMPARE(rig.bridge->connectionState(), BridgeConnectionState::connecting());
        QCOMPARE(rig.relay.attemptCount(), attempts);

        // ... and connected (with a new card) once it is back.
        rig.relay.clearRecords();
        QVERIFY(rig.relay.start());
        QVERIFY(rig.waitConnected());
        QVERIFY(rig.relay.waitForType(kAgentCard));

        // An abrupt drop of the connection alone: the same.
        rig.relay.abortConnection();
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->connectionState() == BridgeConnectionState::connecting(); },
                                15000));
        QVERIFY(rig.waitConnected());
        for (const BridgeConnectionState &s : std::as_const(states))
            QVERIFY2(s != BridgeConnectionState::disconnected(), "a relay drop never shows disconnected");
    }

    void stopAndReconfigure()
    {
        LogCapture log;
        BridgeRig rig;
        QVERIFY(rig.createConnected());
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->openClawReachable(); }, 15000));

        rig.bridge->stop();
        QCOMPARE(rig.bridge->connectionState(), BridgeConnectionState::disconnected());
        QVERIFY(!rig.bridge->openClawReachable());
        QCOMPARE(rig.bridge->openClawWebSocket()->state(), GatewayLinkState::disconnected());
        // The link's late report of the closed connection changes nothing.
        QVERIFY(log.waitForPrefix(QStringLiteral("Disconnected: ")));
        QVERIFY(rig.relay.waitForOpenConnections(0));
        QCOMPARE(rig.bridge->connectionState(), BridgeConnectionState::disconnected());

        // Reconfiguration while running: stored, and the gateway links move
        // over without the relay link noticing.
        rig.bridge->start();
        QVERIFY(rig.waitConnected());
        QSignalSpy stateSpy(rig.bridge.get(), &BridgeManager::connectionStateChanged);
        HttpStandIn second;
        QVERIFY(second.listen());
        second.setDefaultResponse(QByteArrayLiteral("/healthz"), ScriptedResponse::json(200, QByteArrayLiteral("{}")));
        (void)rig.bridge->reconfigureGateway(second.url(), QStringLiteral("second-token"));
        QCOMPARE(rig.settings->string(SettingsKey::openClawEndpoint), std::optional<QString>(second.url().toString()));
        QCOMPARE(rig.credentials->load(CredentialService::openClaw()).valueOr(std::nullopt),
                 std::optional<QString>(QStringLiteral("second-token")));
        QCOMPARE(rig.bridge->openClawEndpoint(), second.url());
        QVERIFY(second.waitForRequests(1));
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->openClawReachable(); }, 15000));
        QVERIFY(!second.requestsTo(QByteArrayLiteral("/healthz")).isEmpty());
        QCOMPARE(rig.bridge->gatewayTarget().token, QStringLiteral("second-token"));
        QCOMPARE(stateSpy.size(), 0);
    }

    void agentCard()
    {
        BridgeRig rig;
        QVERIFY(rig.startStandIns());
        rig.setHealthStatus(503); // not reachable at first
        rig.storeBridgeToken();
        rig.pointAtGateway();
        QVERIFY(rig.launch());
        const QJsonObject first = rig.relay.waitForType(kAgentCard).value();

        const QJsonObject expectedCapabilities{
            {QStringLiteral("streaming"), true},
            {QStringLiteral("emotions"),
             QJsonArray{QStringLiteral("neutral"), QStringLiteral("happy"), QStringLiteral("sad"),
                        QStringLiteral("angry"), QStringLiteral("surprised"), QStringLiteral("relaxed"),
                        QStringLiteral("thinking"), QStringLiteral("excited"), QStringLiteral("confused"),
                        QStringLiteral("love"), QStringLiteral("fear")}},
            {QStringLiteral("memory"), QJsonObject{{QStringLiteral("read"), true}, {QStringLiteral("write"), true}}},
            {QStringLiteral("voice"), QJsonObject{{QStringLiteral("tts_provider"), QStringLiteral("client")},
                                                  {QStringLiteral("stt_provider"), QStringLiteral("client")}}},
            {QStringLiteral("input_accepts"), QJsonArray{QStringLiteral("text")}},
            {QStringLiteral("output_modalities"), QJsonArray{QStringLiteral("text")}},
            {QStringLiteral("artifacts"), false},
            {QStringLiteral("tools"), QJsonArray{}},
            {QStringLiteral("openclaw"), QJsonObject{{QStringLiteral("connected"), false}}},
        };
        const QJsonObject expected{
            {QStringLiteral("type"), kAgentCard},
            {QStringLiteral("card"),
             QJsonObject{
                 {QStringLiteral("halvex_connect"), QStringLiteral("0.1")},
                 {QStringLiteral("agent"),
                  QJsonObject{{QStringLiteral("name"), QStringLiteral("Test Box")},
                              {QStringLiteral("description"), QStringLiteral("Halvex Bridge — OpenClaw gateway relay")},
                              {QStringLiteral("version"), appShortVersion()},
                              {QStringLiteral("author"), QStringLiteral("Halvex, LLC")}}},
                 // No "local_models" member at all when none were found.
                 {QStringLiteral("device"),
                  QJsonObject{{QStringLiteral("type"), QStringLiteral("laptop")},
                              {QStringLiteral("os"), QStringLiteral("linux")},
                              {QStringLiteral("os_version"), QStringLiteral("Debian GNU/Linux 12 (bookworm)")},
                              {QStringLiteral("model"), QStringLiteral("ThinkPad T14")},
                              {QStringLiteral("hostname"), QStringLiteral("Test Box")},
                              {QStringLiteral("platform"), QStringLiteral("openclaw")}}},
                 {QStringLiteral("capabilities"), expectedCapabilities},
                 {QStringLiteral("auth"),
                  QJsonObject{{QStringLiteral("methods"), QJsonArray{QStringLiteral("bridge_token")}}}},
             }},
        };
        QCOMPARE(first, expected);
        QVERIFY(!appShortVersion().isEmpty());

        // The bridge name the user sets goes out with a new card at once.
        rig.relay.clearRecords();
        rig.bridge->setBridgeName(QStringLiteral("Ana's Desk"));
        QCOMPARE(rig.settings->string(SettingsKey::bridgeName), std::optional<QString>(QStringLiteral("Ana's Desk")));
        const QJsonObject second = cardOf(rig.relay.waitForType(kAgentCard).value());
        QCOMPARE(second.value(QStringLiteral("agent")).toObject().value(QStringLiteral("name")).toString(),
                 QStringLiteral("Ana's Desk"));
        QCOMPARE(rig.bridge->bridgeName(), QStringLiteral("Ana's Desk"));
        // Without a name of its own or the machine's, the card says "My Computer".
        rig.settings->remove(SettingsKey::bridgeName);
        rig.deviceFacts.computerName = QStringLiteral("Unknown");
        BridgeRig unnamed;
        unnamed.deviceFacts.computerName = QStringLiteral("Unknown");
        QVERIFY(unnamed.createConnected());
        QCOMPARE(cardOf(unnamed.sent(kAgentCard).constFirst())
                     .value(QStringLiteral("agent"))
                     .toObject()
                     .value(QStringLiteral("name"))
                     .toString(),
                 QStringLiteral("My Computer"));
    }

    void agentCardFollowsTheGatewayConnection()
    {
        // The gateway becomes reachable after the relay connected: the card
        // says so without waiting for the next relay connection, and changes
        // in quick succession go out as one card per interval.
        BridgeRig rig;
        rig.timings.healthCheckInterval = std::chrono::milliseconds(50);
        rig.timings.agentCardInterval = std::chrono::milliseconds(1000);
        QVERIFY(rig.startStandIns());
        rig.setHealthStatus(503);
        rig.storeBridgeToken();
        rig.pointAtGateway();
        QVERIFY(rig.launch());
        const auto connectedFlag = [](const QJsonObject &card) {
            return cardOf(card)
                .value(QStringLiteral("capabilities"))
                .toObject()
                .value(QStringLiteral("openclaw"))
                .toObject()
                .value(QStringLiteral("connected"))
                .toBool();
        };
        QVERIFY(!connectedFlag(rig.sent(kAgentCard).constLast()));
        QElapsedTimer clock;
        clock.start();
        rig.setHealthStatus(200);
        QVERIFY(QTest::qWaitFor([&] { return connectedFlag(rig.sent(kAgentCard).constLast()); }, 15000));
        const int cards = rig.sent(kAgentCard).size();

        // Flapping: down and up again many times within one interval.
        for (int i = 0; i < 3; ++i) {
            rig.setHealthStatus(503);
            QVERIFY(QTest::qWaitFor([&] { return !rig.bridge->openClawReachable(); }, 15000));
            rig.setHealthStatus(200);
            QVERIFY(QTest::qWaitFor([&] { return rig.bridge->openClawReachable(); }, 15000));
        }
        const qint64 flapped = clock.elapsed();
        // Settled: the last card says connected, and no more cards went out
        // than one per interval while it flapped (plus the one in flight).
        QVERIFY(QTest::qWaitFor([&] { return connectedFlag(rig.sent(kAgentCard).constLast()); }, 15000));
        QTest::qWait(1200);
        QVERIFY(connectedFlag(rig.sent(kAgentCard).constLast()));
        QVERIFY2(rig.sent(kAgentCard).size() - cards <= 2 + flapped / 1000,
                 qPrintable(QString::number(rig.sent(kAgentCard).size() - cards)));
    }

    void healthCheckFlipsReachability()
    {
        BridgeRig rig;
        rig.timings.healthCheckInterval = std::chrono::milliseconds(50);
        QVERIFY(rig.createConnected());
        QSignalSpy spy(rig.bridge.get(), &BridgeManager::openClawReachableChanged);
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->openClawReachable(); }, 15000));

        rig.setHealthStatus(401);
        QVERIFY(QTest::qWaitFor([&] { return !rig.bridge->openClawReachable(); }, 15000));
        rig.setHealthStatus(200);
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->openClawReachable(); }, 15000));
        rig.gateway.close(); // nobody answers at all
        QVERIFY(QTest::qWaitFor([&] { return !rig.bridge->openClawReachable(); }, 15000));
        // Signals only on real changes.
        for (int i = 1; i < spy.size(); ++i)
            QVERIFY(spy.at(i).first().toBool() != spy.at(i - 1).first().toBool());
        // The probe asks /healthz, which needs no token: none is sent.
        QVERIFY(rig.gateway.requestsTo(QByteArrayLiteral("/healthz")).size() >= 3);
        for (const HttpRequest &health : rig.gateway.requestsTo(QByteArrayLiteral("/healthz")))
            QVERIFY(!health.hasHeader("Authorization"));
    }

    void lateProbeAfterStopIsIgnored()
    {
        BridgeRig rig;
        QVERIFY(rig.startStandIns());
        rig.storeBridgeToken();
        rig.pointAtGateway();
        // The first probe is answered (200) only after the bridge stopped.
        rig.gateway.enqueue(ScriptedResponse::json(200, QByteArrayLiteral("{}")).withHeadDelay(400),
                            QByteArrayLiteral("/healthz"));
        QSignalSpy written(&rig.gateway, &HttpStandIn::responseWritten);
        disable(rig);
        rig.create();
        rig.bridge->setEnabled(true);
        QVERIFY(rig.gateway.waitForRequests(1));
        rig.bridge->stop();
        QVERIFY(written.wait(15000));
        // A probe made after the delayed one was answered ends after it.
        QVERIFY(QCoro::waitFor(probeGateway(rig.bridge->gatewayTarget())).reachable);
        QVERIFY(!rig.bridge->openClawReachable());
    }

    void localModels()
    {
        LogCapture log;
        BridgeRig rig;
        Gate gate; // detection finishes when the test says so
        QList<LocalModel> found{{QStringLiteral("llama3.2:3b"), 1.9, QStringLiteral("3.2B")},
                                {QStringLiteral("qwen2.5:7b"), 4.4, QStringLiteral("7.6B")}};
        bool detected = false;
        rig.localModelDetector = [&]() -> QCoro::Task<QList<LocalModel>> {
            co_await qCoro(&gate, &Gate::opened);
            detected = true;
            co_return QList<LocalModel>(found); // a copy: several detections may be waiting
        };
        QVERIFY(rig.createConnected());
        QCOMPARE(rig.sent(kAgentCard).size(), 1);

        // Found while connected: logged, cached, and another card lists them.
        gate.open();
        QVERIFY(log.waitFor(QStringLiteral("Detected 2 local Ollama model(s) for agent card")));
        QVERIFY(QTest::qWaitFor([&] { return rig.sent(kAgentCard).size() == 2; }, 15000));
        const QJsonObject device = cardOf(rig.sent(kAgentCard).constLast()).value(QStringLiteral("device")).toObject();
        QCOMPARE(device.value(QStringLiteral("local_models")).toArray(),
                 (QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("llama3.2:3b")},
                                         {QStringLiteral("size_gb"), 1.9},
                                         {QStringLiteral("params"), QStringLiteral("3.2B")}},
                             QJsonObject{{QStringLiteral("name"), QStringLiteral("qwen2.5:7b")},
                                         {QStringLiteral("size_gb"), 4.4},
                                         {QStringLiteral("params"), QStringLiteral("7.6B")}}}));
        QCOMPARE(rig.bridge->cachedLocalModels().size(), 2);
        rig.bridge->stop();
        QCOMPARE(rig.bridge->cachedLocalModels().size(), 2); // kept across stop()

        // Nothing found: nothing cached, no extra card.
        found.clear();
        detected = false;
        log.clear();
        rig.relay.clearRecords();
        rig.bridge->start();
        QVERIFY(rig.waitConnected());
        QVERIFY(rig.relay.waitForType(kAgentCard));
        gate.open();
        QVERIFY(QTest::qWaitFor([&] { return detected; }, 15000));
        QVERIFY(rig.bridge->cachedLocalModels().isEmpty());
        // A marker card: anything sent before it has arrived when it does.
        rig.bridge->setBridgeName(QStringLiteral("marker"));
        QVERIFY(rig.relay.waitForJson([](const QJsonObject &o) {
            return cardOf(o).value(QStringLiteral("agent")).toObject().value(QStringLiteral("name")).toString() ==
                   QLatin1String("marker");
        }));
        QCOMPARE(rig.sent(kAgentCard).size(), 2); // the connection's card and the marker
        QCOMPARE(log.countStartingWith(QStringLiteral("Detected ")), 0);
    }

    void memorySyncFollowsHealthAndRelay()
    {
        BridgeRig rig;
        rig.timings.healthCheckInterval = std::chrono::milliseconds(50);
        rig.useMemorySync();
        QVERIFY(rig.createConnected());
        const auto running = [&] {
            return rig.bridge->memorySyncService() && rig.bridge->memorySyncService()->isRunning();
        };

        // Relay connected and gateway reachable: one service runs.
        QVERIFY(QTest::qWaitFor(running, 15000));
        QPointer<MemorySyncService> first = rig.bridge->memorySyncService();

        // A failed health check stops and drops it; the next good one while
        // connected makes a new one.
        rig.setHealthStatus(500);
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->memorySyncService() == nullptr; }, 15000));
        QVERIFY(!first);
        rig.setHealthStatus(200);
        QVERIFY(QTest::qWaitFor(running, 15000));

        // Switching on again while one runs changes nothing; stop() ends it.
        QPointer<MemorySyncService> second = rig.bridge->memorySyncService();
        rig.bridge->setMemorySyncEnabled(true);
        QCOMPARE(rig.bridge->memorySyncService(), second.data());
        rig.bridge->stop();
        QVERIFY(rig.bridge->memorySyncService() == nullptr);
        QVERIFY(!second);

        // Switched off by the user: stopped, stored, and never created again.
        rig.bridge->start();
        QVERIFY(rig.waitConnected());
        QVERIFY(QTest::qWaitFor(running, 15000));
        rig.bridge->setMemorySyncEnabled(false);
        QVERIFY(rig.bridge->memorySyncService() == nullptr);
        QCOMPARE(rig.settings->boolean(SettingsKey::memorySyncEnabled), std::optional<bool>(false));
        rig.setHealthStatus(500);
        QVERIFY(QTest::qWaitFor([&] { return !rig.bridge->openClawReachable(); }, 15000));
        rig.setHealthStatus(200);
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->openClawReachable(); }, 15000));
        QVERIFY(rig.bridge->memorySyncService() == nullptr);
    }

    void gatewayToolLocation()
    {
        BridgeRig rig;
        QVERIFY(rig.startStandIns());
        rig.storeBridgeToken();
        rig.pointAtGateway();
        // The first tool that answers goes to the gateway socket once the
        // search ends; a reconfiguration searches again.
        FakeOpenClawTool broken(QStringLiteral("broken"));
        broken.setAnswer({QStringLiteral("--version")}, "", 1);
        FakeOpenClawTool tool;
        rig.openClawPlaces = OpenClawLocator::Places{{broken.path(), tool.path()}, {}, {}};
        rig.create();
        QTRY_COMPARE_WITH_TIMEOUT(rig.bridge->openClawWebSocket()->openClawBinaryPath(),
                                  std::optional<QString>(tool.path()), 30000);
        QVERIFY(QFile::remove(tool.path()));
        (void)rig.bridge->reconfigureGateway(QUrl(QStringLiteral("http://127.0.0.1:9")), BridgeRig::gatewayToken);
        QTRY_COMPARE_WITH_TIMEOUT(rig.bridge->openClawWebSocket()->openClawBinaryPath(), std::nullopt, 30000);
    }

    void firstGatewayAttemptGoesToTheConfiguredGateway()
    {
        // No endpoint stored: the configuration file names the gateway's
        // port, and already the first attempt of the gateway socket goes
        // there.
        BridgeRig rig;
        QVERIFY(rig.startStandIns());
        rig.storeBridgeToken();
        writeConfig(rig, QStringLiteral(R"({"gateway": {"port": %1, "auth": {"token": "t"}}})")
                             .arg(rig.gateway.url().port())
                             .toUtf8());
        LogCapture log;
        rig.create();
        QCOMPARE(rig.bridge->openClawEndpoint(),
                 QUrl(QStringLiteral("http://127.0.0.1:%1").arg(rig.gateway.url().port())));
        QVERIFY(rig.gateway.waitForRequests(1));
        // Every request the socket and the probe made went to that port
        // (nothing else listens here), and the first socket attempt was the
        // configured one.
        const QStringList attempts = log.messagesStartingWith(QStringLiteral("Connecting to OpenClaw WS at "));
        QVERIFY(!attempts.isEmpty());
        QVERIFY2(attempts.first().contains(QString::number(rig.gateway.url().port())), qPrintable(attempts.first()));
    }

    void credentialsReloadWithoutARestart()
    {
        BridgeRig rig;
        QVERIFY(rig.startStandIns());
        rig.pointAtGateway();
        rig.create();
        QCOMPARE(rig.bridge->connectionState(), BridgeConnectionState::error(QStringLiteral("No bridge token")));
        QVERIFY(!rig.bridge->hasBridgeToken());

        // A pairing stored the token: the bridge connects on it.
        rig.storeBridgeToken();
        rig.bridge->reloadCredentials();
        QVERIFY(rig.waitConnected());

        // A new pairing replaced it: the relay link moves to the new token.
        const QString fresh = QStringLiteral("bt-test-2");
        rig.relay.acceptToken(fresh);
        rig.relay.clearRecords();
        (void)rig.credentials->save(CredentialService::bridge(), fresh);
        rig.bridge->reloadCredentials();
        QVERIFY(QTest::qWaitFor(
            [&] {
                const QList<RelayStandIn::Attempt> attempts = rig.relay.attempts();
                return !attempts.isEmpty() && attempts.last().token == fresh && attempts.last().accepted;
            },
            15000));
        QVERIFY(rig.waitConnected());
        QVERIFY(rig.relay.waitForType(kAgentCard));

        // Signing out of the account keeps the bridge running.
        (void)rig.credentials->save(CredentialService::relay(), QStringLiteral("session"));
        rig.settings->setString(SettingsKey::accountEmail, QStringLiteral("ana@example.com"));
        rig.bridge->signOut();
        QCOMPARE(rig.credentials->load(CredentialService::relay()).valueOr(std::nullopt), std::nullopt);
        QVERIFY(!rig.settings->contains(SettingsKey::accountEmail));
        QCOMPARE(rig.bridge->connectionState(), BridgeConnectionState::connected());
        QVERIFY(rig.bridge->hasBridgeToken());
    }

    void theLinksRunOnWhileTheKeyringPromptIsOpen()
    {
        // A keyring that asks the user to unlock it holds a store call for
        // as long as the prompt is open. The relay link keeps pinging
        // meanwhile; the call returns what was stored once it is answered.
        BridgeRig rig;
        auto *prompt = new PromptingBackend;
        rig.credentials = std::make_unique<CredentialStore>(std::unique_ptr<SecretBackend>(prompt));
        rig.timings.relay.link.heartbeatInterval = std::chrono::milliseconds(50);
        rig.timings.relay.link.heartbeatGrid = std::chrono::milliseconds(0);
        QVERIFY(rig.createConnected());
        const int before = rig.relay.pingCount();

        prompt->openPrompt();
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, &answer, [&] {
            if (rig.relay.pingCount() >= before + 3)
                prompt->answerPrompt();
        });
        answer.start(10);
        QElapsedTimer waited;
        waited.start();
        const auto state = rig.bridge->bridgeTokenState();
        QCOMPARE(state, BridgeManager::TokenState::stored);
        QVERIFY(rig.relay.pingCount() >= before + 3);
        QCOMPARE(rig.bridge->connectionState(), BridgeConnectionState::connected());
        qInfo("A store call waited %lld ms on the prompt while the relay link pinged %d times",
              static_cast<long long>(waited.elapsed()), rig.relay.pingCount() - before);
    }

    void aStoreThatCannotAnswerLeavesTheRunningBridgeAlone()
    {
        BridgeRig rig;
        // OpenClaw's own file holds another token, which must not replace
        // the stored one just because the store is out of reach.
        writeConfig(rig, R"({"gateway": {"auth": {"token": "file-token"}}})");
        QVERIFY(rig.createConnected());
        auto *store = static_cast<MemorySecretBackend *>(rig.credentials->primary());
        const int connections = rig.relay.connectionCount();

        store->setUnavailable(true);
        rig.bridge->reloadCredentials();
        QCOMPARE(rig.bridge->connectionState(), BridgeConnectionState::connected());
        QCOMPARE(rig.bridge->openClawClient()->gatewayToken(), BridgeRig::gatewayToken);
        (void)rig.bridge->reconfigureGateway(rig.gateway.url(), QString()); // the deletion fails too
        QCOMPARE(rig.bridge->openClawClient()->gatewayToken(), BridgeRig::gatewayToken);
        // Another address while the token can be neither read nor removed:
        // refused, the address stays, and the token stays bound to it.
        QVERIFY(!rig.bridge->reconfigureGateway(QUrl(QStringLiteral("http://127.0.0.1:9")), std::nullopt));
        QCOMPARE(rig.bridge->openClawEndpoint(), rig.gateway.url());
        QCOMPARE(rig.relay.connectionCount(), connections);
        QCOMPARE(rig.relay.openConnectionCount(), 1);

        // Back again: nothing was replaced meanwhile.
        store->setUnavailable(false);
        QCOMPARE(rig.credentials->load(CredentialService::bridge()).valueOr(std::nullopt),
                 std::optional<QString>(BridgeRig::bridgeToken));
        QCOMPARE(rig.credentials->load(CredentialService::openClaw()).valueOr(std::nullopt),
                 std::optional<QString>(BridgeRig::gatewayToken));
        rig.bridge->reloadCredentials();
        QCOMPARE(rig.bridge->openClawClient()->gatewayToken(), BridgeRig::gatewayToken);
        QCOMPARE(rig.bridge->connectionState(), BridgeConnectionState::connected());
    }
};

QTEST_GUILESS_MAIN(TestBridgeManager)
#include "tst_bridge_manager.moc"
