#pragma once
// A bridge wired to loopback stand-ins: relay stand-in <-> BridgeManager <->
// HTTP stand-in as the gateway, with a memory credential store, a private
// settings file and a scratch home directory. Shared by the bridge tests.

#include "bridge/bridge_manager.h"
#include "http_stand_in.h"
#include "loopback.h"
#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"
#include "platform/secrets/secret_backend.h"
#include "platform/settings.h"
#include "relay_stand_in.h"
#include "temp_settings.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace halvex::test {

// Memory sync that runs but never syncs within a test: its first sync is
// an hour away, against a relay that does not listen.
inline BridgeManager::Dependencies::MemorySync idleMemorySync()
{
    BridgeManager::Dependencies::MemorySync sync;
    sync.relayOrigin = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(closedLoopbackPort()));
    sync.timings.initialSyncDelay = std::chrono::milliseconds(3600000);
    return sync;
}

// What every bridge under test needs: private stores (a memory credential
// store, a settings file, a scratch home), a network access manager and
// short reconnect delays. The bridge goes first when the bed goes.
class BridgeTestBed
{
public:
    BridgeTestBed() : credentials(std::make_unique<CredentialStore>(std::make_unique<MemorySecretBackend>()))
    {
        // Short delays so reconnects happen in milliseconds; chats and probes
        // keep generous limits.
        timings.relay.link.initialDelay = std::chrono::milliseconds(50);
        timings.relay.link.maxDelay = std::chrono::milliseconds(200);
        timings.openClawWebSocket.link.initialDelay = std::chrono::milliseconds(50);
        timings.openClawWebSocket.link.maxDelay = std::chrono::milliseconds(200);
        timings.openClawWebSocket.challengeTimeout = std::chrono::milliseconds(2000);
        timings.openClawClient.chatTimeout = std::chrono::seconds(30);
        timings.gatewayProbeTimeout = std::chrono::seconds(10);
    }
    ~BridgeTestBed() { shutDown(); }
    BridgeTestBed(const BridgeTestBed &) = delete;
    BridgeTestBed &operator=(const BridgeTestBed &) = delete;

    // Ends the bridge. Requests still out when it goes resume from the event
    // loop with their cancellation; they finish before the test moves on.
    // (A derived rig calls this first, while its stand-ins still exist.)
    void shutDown()
    {
        if (!bridge)
            return;
        bridge.reset();
        for (int i = 0; i < 10; ++i) {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QCoreApplication::processEvents();
        }
    }

    BridgeManager::Dependencies dependencies(const QUrl &relayOrigin)
    {
        BridgeManager::Dependencies deps;
        deps.credentials = credentials.get();
        deps.settings = settings.get();
        deps.relayOrigin = relayOrigin;
        deps.homeDirectory = home.path();
        deps.openClawPlaces = openClawPlaces;
        return deps;
    }

    TempSettings settings;
    std::unique_ptr<CredentialStore> credentials;
    QTemporaryDir home;
    BridgeManager::Timings timings;
    // Where the bridge looks for the openclaw tool: nowhere unless a test
    // says so (never this machine's own tool or login shell).
    std::optional<OpenClawLocator::Places> openClawPlaces = OpenClawLocator::Places{};
    // Declared last: destroyed first, while everything it uses still exists.
    std::unique_ptr<BridgeManager> bridge;
};

class BridgeRig : public BridgeTestBed
{
public:
    static inline const QString bridgeToken = QStringLiteral("bt-test-1");
    static inline const QString gatewayToken = QStringLiteral("gw-test-token");

    ~BridgeRig() { shutDown(); }

    BridgeRig()
    {
        deviceFacts.model = QStringLiteral("ThinkPad T14");
        deviceFacts.isLaptop = true;
        deviceFacts.computerName = QStringLiteral("Test Box");
        deviceFacts.osVersion = QStringLiteral("Debian GNU/Linux 12 (bookworm)");
    }

    // Starts both stand-ins; the gateway answers its model list with 200.
    bool startStandIns()
    {
        relay.acceptToken(bridgeToken);
        if (!relay.start() || !gateway.listen())
            return false;
        setHealthStatus(200);
        return true;
    }

    void setHealthStatus(int status)
    {
        gateway.setDefaultResponse(
            QByteArrayLiteral("/healthz"),
            ScriptedResponse::json(status, QJsonObject{{QStringLiteral("object"), QStringLiteral("list")},
                                                       {QStringLiteral("data"), QJsonArray{}}}));
    }

    void storeBridgeToken() { QVERIFY(credentials->save(CredentialService::bridge(), bridgeToken)); }

    // The gateway endpoint and token the way the settings window stores them.
    void pointAtGateway()
    {
        settings->setString(SettingsKey::openClawEndpoint, gateway.url().toString());
        QVERIFY(credentials->save(CredentialService::openClaw(), gatewayToken));
    }

    BridgeManager::Dependencies dependencies()
    {
        BridgeManager::Dependencies deps = BridgeTestBed::dependencies(relay.origin());
        deps.localModelDetector = localModelDetector;
        deps.memorySync = memorySync;
        const DeviceFacts facts = deviceFacts;
        deps.deviceFacts = [facts] { return facts; };
        return deps;
    }

    // The bridge as the programs make it: created, then started.
    BridgeManager *create()
    {
        bridge = std::make_unique<BridgeManager>(dependencies(), timings);
        bridge->start();
        return bridge.get();
    }

    // Stand-ins up, tokens stored, the bridge created and started, and
    // connected to the relay.
    bool createConnected()
    {
        if (!startStandIns())
            return false;
        storeBridgeToken();
        pointAtGateway();
        return launch();
    }

    // create(), then waits for the relay connection and its card.
    bool launch()
    {
        create();
        // Connected, and the agent card of that connection is in.
        return waitConnected() && relay.waitForType(QStringLiteral("agent_card")).has_value();
    }

    bool waitConnected(int timeoutMs = 15000)
    {
        return QTest::qWaitFor([&] { return bridge->connectionState() == BridgeConnectionState::connected(); },
                               timeoutMs);
    }

    void useMemorySync()
    {
        settings->setBoolean(SettingsKey::memorySyncEnabled, true);
        memorySync = idleMemorySync();
    }

    // Messages the bridge sent of one type (and, when given, for one request).
    QList<QJsonObject> sent(const QString &type, const QString &replyTo = {}) const
    {
        QList<QJsonObject> out;
        const QList<QJsonObject> all = relay.receivedJson();
        for (const QJsonObject &o : all) {
            if (o.value(QStringLiteral("type")).toString() != type)
                continue;
            if (!replyTo.isEmpty() && o.value(QStringLiteral("reply_to")).toString() != replyTo)
                continue;
            out.append(o);
        }
        return out;
    }

    // Every reply for one request, in order (chunks, ends, failure replies).
    QList<QJsonObject> repliesTo(const QString &replyTo) const
    {
        QList<QJsonObject> out;
        const QList<QJsonObject> all = relay.receivedJson();
        for (const QJsonObject &o : all) {
            if (o.value(QStringLiteral("reply_to")).toString() == replyTo)
                out.append(o);
        }
        return out;
    }

    static bool isClosing(const QJsonObject &o)
    {
        const QString type = o.value(QStringLiteral("type")).toString();
        return type == QLatin1String("chat_stream_end") || type == QLatin1String("chat_response");
    }

    // Spins until the request got its closing message; returns its replies.
    QList<QJsonObject> waitForClosing(const QString &replyTo, int timeoutMs = 20000) const
    {
        QList<QJsonObject> replies;
        const bool closed = QTest::qWaitFor(
            [&] {
                replies = repliesTo(replyTo);
                return !replies.isEmpty() && isClosing(replies.last());
            },
            timeoutMs);
        Q_UNUSED(closed) // the caller checks the replies themselves
        return replies;
    }

    static QJsonObject chatMessage(const QString &id, const QString &appUserId, const QJsonObject &extra = {})
    {
        QJsonObject o = extra;
        o.insert(QStringLiteral("type"), QStringLiteral("chat_message"));
        if (!id.isEmpty())
            o.insert(QStringLiteral("id"), id);
        if (!appUserId.isEmpty())
            o.insert(QStringLiteral("appUserId"), appUserId);
        return o;
    }

    static QJsonObject entry(const QString &role, const QString &content)
    {
        return QJsonObject{{QStringLiteral("role"), role}, {QStringLiteral("content"), content}};
    }

    QList<HttpRequest> chatRequests() const { return gateway.requestsTo(QByteArrayLiteral("/v1/chat/completions")); }

    RelayStandIn relay;
    HttpStandIn gateway;
    DeviceFacts deviceFacts;
    LocalModelDetector localModelDetector;
    std::optional<BridgeManager::Dependencies::MemorySync> memorySync;
};

} // namespace halvex::test
