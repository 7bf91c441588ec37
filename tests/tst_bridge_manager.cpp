// The bridge manager: start-up and the stored switch, the gateway settings
// (settings, credential store, OpenClaw configuration file), the relay link's
// state, the health check, the agent card, local models and memory sync.
#include "bridge_rig.h"
#include "log_capture.h"

#include "bridge/bridge_runtime.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <qcoro/qcorosignal.h>

using namespace halvex;
using namespace halvex::test;

namespace {
const QString kNoTokenLine = QStringLiteral("Cannot start — no bridge token in Keychain");
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
        QCOMPARE(bridge->openClawWebSocket()->state(), OpenClawWSState::disconnected());
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
        QCOMPARE(bridge->openClawWebSocket()->state(), OpenClawWSState::disconnected());
        bridge->start(); // the launch's second start: returns at once
        QVERIFY(!bridge->relayWebSocket()->isRunning());
        QCOMPARE(rig.settings->boolean(SettingsKey::bridgeEnabled), std::optional<bool>(false));

        // The switch starts and stops the bridge and is stored each time.
        bridge->setIsEnabled(true);
        QCOMPARE(enabledSpy.size(), 1);
        QCOMPARE(rig.settings->boolean(SettingsKey::bridgeEnabled), std::optional<bool>(true));
        QVERIFY(rig.waitConnected());
        bridge->setIsEnabled(true); // no change, no signal
        QCOMPARE(enabledSpy.size(), 1);

        bridge->setIsEnabled(false);
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
        rig.localIPAddress = [] { return std::optional<QString>(QStringLiteral("192.168.7.20")); };
        const QString path = writeConfig(rig, R"({"gateway": {"auth": {"mode": "token", "token": "file-token"},
                                                   "port": 19000, "bind": "lan"}, "agents": {}})");
        const QByteArray before = readFile(path);
        const QDateTime modified = QFileInfo(path).lastModified();

        BridgeManager *bridge = rig.create();
        QCOMPARE(bridge->openClawClient()->gatewayToken(), QStringLiteral("file-token"));
        QCOMPARE(rig.keychain->load(CredentialService::openClaw()).valueOr(std::nullopt),
                 std::optional<QString>(QStringLiteral("file-token")));
        QCOMPARE(bridge->openClawClient()->endpointURL(), QUrl(QStringLiteral("http://192.168.7.20:19000")));
        QCOMPARE(rig.settings->string(SettingsKey::openClawEndpoint),
                 std::optional<QString>(QStringLiteral("http://192.168.7.20:19000")));
        QCOMPARE(log.count(QtInfoMsg, QStringLiteral("Loaded OpenClaw token from config file")), 1);
        QCOMPARE(log.count(QtInfoMsg,
                           QStringLiteral("Loaded OpenClaw endpoint from config file: http://192.168.7.20:19000")),
                 1);
        // The user's file is only read.
        QCOMPARE(readFile(path), before);
        QCOMPARE(QFileInfo(path).lastModified(), modified);

        // Next time the stored token and endpoint are used; the file is not read.
        log.clear();
        rig.bridge.reset();
        rig.create();
        QCOMPARE(rig.bridge->openClawClient()->gatewayToken(), QStringLiteral("file-token"));
        QCOMPARE(rig.bridge->openClawClient()->endpointURL(), QUrl(QStringLiteral("http://192.168.7.20:19000")));
        QCOMPARE(log.countStartingWith(QStringLiteral("Loaded OpenClaw")), 0);
    }

    void configurationFileVariants()
    {
        // "lan" without any address: loopback, with the file's port.
        {
            BridgeRig rig;
            disable(rig);
            writeConfig(rig, R"({"gateway": {"auth": {"token": "t1"}, "port": 19000, "bind": "lan"}})");
            rig.create();
            QCOMPARE(rig.bridge->openClawClient()->endpointURL(), QUrl(QStringLiteral("http://127.0.0.1:19000")));
        }
        // Endpoint already chosen: only the token is taken.
        {
            LogCapture log;
            BridgeRig rig;
            disable(rig);
            rig.localIPAddress = [] { return std::optional<QString>(QStringLiteral("192.168.7.20")); };
            rig.settings->setString(SettingsKey::openClawEndpoint, QStringLiteral("http://10.0.0.5:18789"));
            writeConfig(rig, R"({"gateway": {"auth": {"token": "t2"}, "port": 19000, "bind": "lan"}})");
            rig.create();
            QCOMPARE(rig.bridge->openClawClient()->gatewayToken(), QStringLiteral("t2"));
            QCOMPARE(rig.bridge->openClawClient()->endpointURL(), QUrl(QStringLiteral("http://10.0.0.5:18789")));
            QCOMPARE(rig.settings->string(SettingsKey::openClawEndpoint),
                     std::optional<QString>(QStringLiteral("http://10.0.0.5:18789")));
            QCOMPARE(log.countStartingWith(QStringLiteral("Loaded OpenClaw endpoint")), 0);
        }
        // A redacted token in the credential store is ignored and the file's
        // token replaces it; members of the wrong type leave the defaults.
        {
            BridgeRig rig;
            disable(rig);
            QVERIFY(rig.keychain->save(CredentialService::openClaw(), QStringLiteral("__OPENCLAW_REDACTED__")));
            writeConfig(rig, R"({"gateway": {"auth": {"token": "real"}, "port": "19000", "bind": 7}})");
            rig.create();
            QCOMPARE(rig.bridge->openClawClient()->gatewayToken(), QStringLiteral("real"));
            QCOMPARE(rig.keychain->load(CredentialService::openClaw()).valueOr(std::nullopt),
                     std::optional<QString>(QStringLiteral("real")));
            QCOMPARE(rig.bridge->openClawClient()->endpointURL(), QUrl(QStringLiteral("http://127.0.0.1:18789")));
        }
        // A redacted placeholder in the file is no token either.
        {
            BridgeRig rig;
            disable(rig);
            writeConfig(rig, R"({"gateway": {"auth": {"token": "__OPENCLAW_REDACTED__"}}})");
            rig.create();
            QCOMPARE(rig.bridge->openClawClient()->gatewayToken(), QString());
            QCOMPARE(rig.keychain->load(CredentialService::openClaw()).valueOr(std::nullopt), std::nullopt);
        }
        // A stored token wins; the file is not consulted.
        {
            BridgeRig rig;
            disable(rig);
            QVERIFY(rig.keychain->save(CredentialService::openClaw(), QStringLiteral("stored")));
            writeConfig(rig, R"({"gateway": {"auth": {"token": "file"}, "port": 19000}})");
            rig.create();
            QCOMPARE(rig.bridge->openClawClient()->gatewayToken(), QStringLiteral("stored"));
            QCOMPARE(rig.bridge->openClawClient()->endpointURL(), QUrl(QStringLiteral("http://127.0.0.1:18789")));
            QVERIFY(!rig.settings->contains(SettingsKey::openClawEndpoint));
        }
        // A stored endpoint that is no usable URL is ignored.
        {
            BridgeRig rig;
            disable(rig);
            QVERIFY(rig.keychain->save(CredentialService::openClaw(), QStringLiteral("stored")));
            rig.settings->setString(SettingsKey::openClawEndpoint, QStringLiteral("not a url at all"));
            rig.create();
            QCOMPARE(rig.bridge->openClawClient()->endpointURL(), QUrl(QStringLiteral("http://127.0.0.1:18789")));
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
        QCOMPARE(rig.bridge->openClawClient()->endpointURL(), QUrl(QStringLiteral("http://127.0.0.1:18789")));
        QVERIFY(!rig.settings->contains(SettingsKey::openClawEndpoint));
        QCOMPARE(rig.keychain->load(CredentialService::openClaw()).valueOr(std::nullopt), std::nullopt);
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
        QCOMPARE(rig.bridge->openClawWebSocket()->state(), OpenClawWSState::disconnected());
        // The link's late report of the closed connection changes nothing.
        QVERIFY(log.waitForPrefix(QStringLiteral("Disconnected: ")));
        QVERIFY(rig.relay.waitForOpenConnections(0));
        QCOMPARE(rig.bridge->connectionState(), BridgeConnectionState::disconnected());

        // Reconfiguration: stop, load, start.
        HttpStandIn second;
        QVERIFY(second.listen());
        second.setDefaultResponse(QByteArrayLiteral("/v1/models"),
                                  ScriptedResponse::json(200, QByteArrayLiteral("{}")));
        rig.settings->setString(SettingsKey::openClawEndpoint, second.url().toString());
        rig.bridge->stop();
        rig.bridge->loadOpenClawConfig();
        rig.bridge->start();
        QCOMPARE(rig.bridge->openClawClient()->endpointURL(), second.url());
        QVERIFY(rig.waitConnected());
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->openClawReachable(); }, 15000));
        QVERIFY(second.requestsTo(QByteArrayLiteral("/v1/models")).size() >= 1);
    }

    void agentCard()
    {
        BridgeRig rig;
        QVERIFY(rig.startStandIns());
        rig.setModelsStatus(503); // not reachable at first
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
                  QJsonObject{{QStringLiteral("name"), QStringLiteral("My Mac")},
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

        // The card carries reachability as it is when the card is built, and
        // the bridge name once the user set one.
        rig.setModelsStatus(200);
        rig.bridge->startHealthCheck();
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->openClawReachable(); }, 15000));
        rig.settings->setString(SettingsKey::bridgeName, QStringLiteral("Ana's Desk"));
        rig.relay.clearRecords();
        rig.bridge->sendAgentCard();
        const QJsonObject second = cardOf(rig.relay.waitForType(kAgentCard).value());
        QCOMPARE(second.value(QStringLiteral("agent")).toObject().value(QStringLiteral("name")).toString(),
                 QStringLiteral("Ana's Desk"));
        QCOMPARE(second.value(QStringLiteral("capabilities")).toObject().value(QStringLiteral("openclaw")),
                 QJsonValue(QJsonObject{{QStringLiteral("connected"), true}}));
    }

    void healthCheckFlipsReachability()
    {
        BridgeRig rig;
        rig.timings.healthCheckInterval = 0.05;
        QVERIFY(rig.createConnected());
        QSignalSpy spy(rig.bridge.get(), &BridgeManager::openClawReachableChanged);
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->openClawReachable(); }, 15000));

        rig.setModelsStatus(401);
        QVERIFY(QTest::qWaitFor([&] { return !rig.bridge->openClawReachable(); }, 15000));
        rig.setModelsStatus(200);
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->openClawReachable(); }, 15000));
        rig.gateway.close(); // nobody answers at all
        QVERIFY(QTest::qWaitFor([&] { return !rig.bridge->openClawReachable(); }, 15000));
        // Signals only on real changes.
        for (int i = 1; i < spy.size(); ++i)
            QVERIFY(spy.at(i).first().toBool() != spy.at(i - 1).first().toBool());
        // The probe asks for the model list with the gateway token.
        const QList<HttpRequest> probes = rig.gateway.requestsTo(QByteArrayLiteral("/v1/models"));
        QVERIFY(probes.size() >= 3);
        QCOMPARE(probes.last().header("Authorization"), QByteArray("Bearer ") + BridgeRig::gatewayToken.toUtf8());
    }

    void lateProbeAfterStopIsIgnored()
    {
        BridgeRig rig;
        QVERIFY(rig.startStandIns());
        rig.storeBridgeToken();
        rig.pointAtGateway();
        // The first probe is answered (200) only after the bridge stopped.
        rig.gateway.enqueue(ScriptedResponse::json(200, QByteArrayLiteral("{}")).withHeadDelay(400),
                            QByteArrayLiteral("/v1/models"));
        QSignalSpy written(&rig.gateway, &HttpStandIn::responseWritten);
        disable(rig);
        rig.create();
        rig.bridge->setIsEnabled(true);
        QVERIFY(rig.gateway.waitForRequests(1));
        rig.bridge->stop();
        QVERIFY(written.wait(15000));
        // A probe made after the delayed one was answered ends after it.
        QVERIFY(QCoro::waitFor(rig.bridge->openClawClient()->isReachable()));
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
        // (The launch's two start() calls both detected.)
        gate.open();
        QVERIFY(log.waitFor(QStringLiteral("Detected 2 local Ollama model(s) for agent card"), 2));
        QVERIFY(QTest::qWaitFor([&] { return rig.sent(kAgentCard).size() == 3; }, 15000));
        const QJsonObject device = cardOf(rig.sent(kAgentCard).last()).value(QStringLiteral("device")).toObject();
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
        rig.settings->setString(SettingsKey::bridgeName, QStringLiteral("marker"));
        rig.bridge->sendAgentCard();
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
        rig.timings.healthCheckInterval = 0.05;
        rig.useMemorySync();
        QVERIFY(rig.createConnected());
        const auto &sync = *rig.memorySync;

        // Relay connected and gateway reachable: one service runs.
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->memorySyncService() != nullptr; }, 15000));
        QCOMPARE(sync.created, 1);
        QCOMPARE(sync.started, 1);

        // A failed health check stops and drops it; the next good one while
        // connected makes a new one.
        rig.setModelsStatus(500);
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->memorySyncService() == nullptr; }, 15000));
        QCOMPARE(sync.stopped, 1);
        rig.setModelsStatus(200);
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->memorySyncService() != nullptr; }, 15000));
        QCOMPARE(sync.created, 2);

        // Starting again while one runs changes nothing; stop() ends it.
        rig.bridge->startMemorySyncIfEnabled();
        QCOMPARE(sync.created, 2);
        rig.bridge->stop();
        QVERIFY(rig.bridge->memorySyncService() == nullptr);
        QCOMPARE(sync.stopped, 2);

        // Switched off by the user: never created.
        rig.settings->setBoolean(SettingsKey::memorySyncEnabled, false);
        rig.bridge->start();
        QVERIFY(rig.waitConnected());
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->openClawReachable(); }, 15000));
        rig.bridge->startMemorySyncIfEnabled();
        QVERIFY(rig.bridge->memorySyncService() == nullptr);
        QCOMPARE(sync.created, 2);
    }

    void gatewayToolLocation()
    {
        BridgeRig rig;
        disable(rig);
        rig.create();
        // A tool under ~/.openclaw/bin is used unless a system-wide one exists.
        const QString local = rig.home.filePath(QStringLiteral(".openclaw/bin/openclaw"));
        QDir().mkpath(QFileInfo(local).path());
        QFile tool(local);
        QVERIFY(tool.open(QIODevice::WriteOnly));
        tool.write("#!/bin/sh\n");
        tool.close();
        tool.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        rig.bridge->configureGatewayWebSocket();
        const bool systemWide = QFileInfo(QStringLiteral("/opt/homebrew/bin/openclaw")).isExecutable() ||
                                QFileInfo(QStringLiteral("/usr/local/bin/openclaw")).isExecutable();
        if (!systemWide)
            QCOMPARE(rig.bridge->openClawWebSocket()->openClawBinaryPath(), std::optional<QString>(local));
        rig.bridge->openClawWebSocket()->disconnect();
    }
};

QTEST_GUILESS_MAIN(TestBridgeManager)
#include "tst_bridge_manager.moc"
