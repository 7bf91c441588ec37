// Notifications about the bridge's links: driven by a real BridgeManager on
// loopback stand-ins, and the desktop notification service played by a
// stand-in on the private session bus, which the headless bridge talks to
// with no tray anywhere.
#include "bridge_rig.h"
#include "fake_openclaw_tool.h"
#include "gateway/gateway_device_identity.h"
#include "gateway/gateway_web_socket.h"
#include "gateway_ws_stand_in.h"
#include "service/bridge_notifications.h"
#include "service/desktop_notification.h"
#include "service/headless.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

using namespace halvex;
using namespace halvex::test;

namespace {

struct Shown {
    QString title;
    QString body;
};

// Plays org.freedesktop.Notifications on the session bus and records calls.
class NotificationServer : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QList<QVariantList> calls;

public Q_SLOTS:
    uint Notify(const QString &appName, uint replacesId, const QString &appIcon, const QString &summary,
                const QString &body, const QStringList &actions, const QVariantMap &hints, int expireTimeout)
    {
        calls.append({appName, replacesId, appIcon, summary, body, actions, hints, expireTimeout});
        return uint(calls.size());
    }
};

// The notification server registered on the session bus for one test.
class NotificationPeer
{
public:
    NotificationPeer() : m_bus(QDBusConnection::sessionBus()) {}
    ~NotificationPeer()
    {
        if (m_registered)
            m_bus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
        m_bus.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
    }
    // An empty text when the peer is on the bus, else why not.
    QString registerOnBus()
    {
        if (!m_bus.isConnected())
            return QStringLiteral("no session bus (run through scripts/with-test-session)");
        if (!m_bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server,
                                  QDBusConnection::ExportAllSlots))
            return QStringLiteral("cannot export the notification server");
        m_registered = m_bus.registerService(QStringLiteral("org.freedesktop.Notifications"));
        return m_registered ? QString() : QStringLiteral("another notification service owns the name on this bus");
    }
    // How many notifications with this summary arrived.
    qsizetype count(const QString &summary) const
    {
        return std::count_if(server.calls.cbegin(), server.calls.cend(),
                             [&](const QVariantList &call) { return call.at(3).toString() == summary; });
    }

    NotificationServer server;

private:
    QDBusConnection m_bus;
    bool m_registered = false;
};

BridgeNotifications::Timings shortTimings()
{
    BridgeNotifications::Timings timings;
    timings.relayDownNotifyAfter = std::chrono::milliseconds(300);
    return timings;
}

// A bridge whose notifications are recorded instead of shown.
struct Watched {
    BridgeRig rig;
    QList<Shown> shown;
    std::unique_ptr<BridgeNotifications> notifications;

    void watch(BridgeNotifications::Timings timings = shortTimings())
    {
        notifications = std::make_unique<BridgeNotifications>(
            rig.bridge.get(), rig.settings.get(),
            [this](const QString &title, const QString &body) {
                shown.append({title, body});
            },
            timings);
    }

    // Connected to the relay and the gateway, then watched.
    bool watchConnected(BridgeNotifications::Timings timings = shortTimings())
    {
        if (!rig.createConnected())
            return false;
        watch(timings);
        return true;
    }
};

} // namespace

class TestBridgeNotifications : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // The user's stores of the headless bridge stay apart from the real ones.
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void relayDownIsToldOncePerOutage()
    {
        Watched w;
        QVERIFY(w.watchConnected());
        BridgeRig &rig = w.rig;
        QList<Shown> &shown = w.shown;

        // The relay turns the bridge away: the link keeps retrying.
        rig.relay.refuseToken(BridgeRig::bridgeToken);
        QVERIFY(rig.relay.abortConnection());
        QTRY_COMPARE_WITH_TIMEOUT(shown.size(), 1, 15000);
        QCOMPARE(shown.at(0).title, QStringLiteral("Halvex Bridge is offline"));
        QVERIFY(shown.at(0).body.contains(relayHost()));
        // Still down through several more reconnect attempts: nothing new.
        QVERIFY(rig.relay.waitForAttempts(rig.relay.attemptCount() + 6, 20000));
        QCOMPARE(shown.size(), 1);

        // Back, then down again: a new outage is a new notification.
        rig.relay.acceptToken(BridgeRig::bridgeToken);
        QVERIFY(rig.waitConnected());
        QCOMPARE(shown.size(), 1);
        rig.relay.stop();
        QTRY_COMPARE_WITH_TIMEOUT(shown.size(), 2, 15000);
    }

    void aRelayLinkBackWithinTheDelayIsNotTold()
    {
        Watched w;
        BridgeNotifications::Timings timings;
        timings.relayDownNotifyAfter = std::chrono::minutes(1);
        QVERIFY(w.watchConnected(timings));
        w.rig.relay.abortConnection();
        QTRY_VERIFY_WITH_TIMEOUT(w.rig.bridge->connectionState() != BridgeConnectionState::connected(), 15000);
        QVERIFY(w.rig.waitConnected());
        QCOMPARE(w.shown.size(), 0);
    }

    void gatewayThatStopsAnsweringIsToldOnceUntilItIsBack()
    {
        Watched w;
        BridgeRig &rig = w.rig;
        QList<Shown> &shown = w.shown;
        // The health check asks the gateway's model list five times a second.
        rig.timings.healthCheckInterval = std::chrono::milliseconds(200);
        QVERIFY(w.watchConnected());
        QTRY_VERIFY_WITH_TIMEOUT(rig.bridge->openClawReachable(), 15000);
        const auto probes = [&rig] { return rig.gateway.requestsTo("/healthz").size(); };

        rig.setHealthStatus(500);
        QTRY_COMPARE_WITH_TIMEOUT(shown.size(), 1, 15000);
        QCOMPARE(shown.at(0).title, QStringLiteral("OpenClaw is not answering"));
        QVERIFY(shown.at(0).body.contains(rig.gateway.url().toString()));
        // Still not answering through several more probes: nothing new.
        const qsizetype seen = probes();
        QTRY_VERIFY_WITH_TIMEOUT(probes() >= seen + 4, 15000);
        QCOMPARE(shown.size(), 1);

        // Back, then gone again: told again.
        rig.setHealthStatus(200);
        QTRY_VERIFY_WITH_TIMEOUT(rig.bridge->openClawReachable(), 15000);
        rig.setHealthStatus(500);
        QTRY_COMPARE_WITH_TIMEOUT(shown.size(), 2, 15000);
    }

    void theSettingTurnsThemOff()
    {
        Watched w;
        BridgeRig &rig = w.rig;
        rig.timings.healthCheckInterval = std::chrono::milliseconds(200);
        QVERIFY(w.watchConnected());
        rig.settings->setBoolean(SettingsKey::notificationsEnabled, false);
        QTRY_VERIFY_WITH_TIMEOUT(rig.bridge->openClawReachable(), 15000);
        rig.setHealthStatus(500);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.bridge->openClawReachable(), 15000);
        rig.relay.refuseToken(BridgeRig::bridgeToken);
        QVERIFY(rig.relay.abortConnection());
        // Down for many times the notification delay.
        QVERIFY(rig.relay.waitForAttempts(rig.relay.attemptCount() + 8, 20000));
        QCOMPARE(w.shown.size(), 0);
    }

    void pairingThatNeedsTheUserIsTold_data()
    {
        QTest::addColumn<bool>("toolListsTheRequest");
        QTest::newRow("no openclaw tool") << false;
        QTest::newRow("the tool lists the request, cannot approve it") << true;
    }

    // The advice names this device's own request (the newest one may be
    // someone else's on a shared network), else this device's id.
    void pairingThatNeedsTheUserIsTold()
    {
        QFETCH(bool, toolListsTheRequest);
        Watched w;
        BridgeRig &rig = w.rig;
        GatewayWsStandIn gateway;
        QVERIFY(gateway.listen());
        gateway.setCloseAfterRefusal(1008);
        gateway.setPairingCheck([](const QString &) { return false; });
        rig.relay.acceptToken(BridgeRig::bridgeToken);
        QVERIFY(rig.relay.start());
        rig.storeBridgeToken();
        (void)rig.credentials->save(CredentialService::openClaw(), BridgeRig::gatewayToken);
        rig.settings->setString(SettingsKey::openClawEndpoint, gateway.httpUrl().toString());
        // The identity the bridge loads.
        const auto identity = GatewayDeviceIdentity::create(rig.credentials.get());
        QVERIFY(identity.ok());
        const QString deviceId = identity.value()->deviceId();
        FakeOpenClawTool tool;
        if (toolListsTheRequest) {
            tool.setAnswer({QStringLiteral("devices"), QStringLiteral("list"), QStringLiteral("--json")},
                           QStringLiteral(R"({"pending":[{"requestId":"req-7","deviceId":"%1"}],"paired":[]})")
                               .arg(deviceId)
                               .toUtf8());
            rig.openClawPlaces = OpenClawLocator::Places{{tool.path()}, {}, {}};
            // The gateway answers once the bridge has found the tool.
            gateway.setRefuseConnections(true);
            rig.timings.openClawWebSocket.link.attemptsPerRound = 1000;
        }
        rig.create();
        w.watch();
        rig.bridge->start();
        if (toolListsTheRequest) {
            QTRY_COMPARE_WITH_TIMEOUT(rig.bridge->openClawWebSocket()->openClawBinaryPath(),
                                      std::optional<QString>(tool.path()), 30000);
            gateway.setRefuseConnections(false);
        }
        QTRY_VERIFY_WITH_TIMEOUT(
            rig.bridge->openClawWebSocket()->state().errorText().startsWith(QLatin1String("Device not paired")), 20000);
        QCOMPARE(w.shown.size(), 1);
        QCOMPARE(w.shown.at(0).title, QStringLiteral("Approve Halvex Bridge in OpenClaw"));
        const QString body = w.shown.at(0).body;
        QVERIFY2(!body.contains(QLatin1String("--latest")), qPrintable(body));
        if (toolListsTheRequest)
            QVERIFY2(body.endsWith(QLatin1String("openclaw devices approve req-7")), qPrintable(body));
        else
            QVERIFY2(body.contains(QLatin1String("openclaw devices list")) && body.contains(deviceId),
                     qPrintable(body));
    }

    void desktopNotificationReachesTheNotificationService()
    {
        NotificationPeer peer;
        if (const QString why = peer.registerOnBus(); !why.isEmpty())
            QSKIP(qPrintable(why));
        const NotificationServer &server = peer.server;

        sendDesktopNotification(QStringLiteral("Halvex Bridge is offline"), QStringLiteral("The link is down."));
        QTRY_COMPARE_WITH_TIMEOUT(server.calls.size(), 1, 10000);
        const QVariantList call = server.calls.at(0);
        QCOMPARE(call.at(0).toString(), QStringLiteral("Halvex Bridge"));
        QCOMPARE(call.at(3).toString(), QStringLiteral("Halvex Bridge is offline"));
        QCOMPARE(call.at(4).toString(), QStringLiteral("The link is down."));
        QCOMPARE(call.at(6).toMap().value(QStringLiteral("desktop-entry")).toString(), appId());
    }

    // Where no notification service runs, sending is silent: no warning,
    // nothing waits for an answer.
    void withoutANotificationServiceNothingComplains()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected())
            QSKIP("no session bus (run through scripts/with-test-session)");
        if (bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.Notifications")))
            QSKIP("a notification service runs on this bus");
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
        sendDesktopNotification(QStringLiteral("Halvex Bridge is offline"), QStringLiteral("The link is down."));
        // A round trip after the call: the bus has answered it by then.
        QVERIFY(bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.DBus")));
        QCoreApplication::processEvents();
    }

    // The headless bridge, on the user's own stores (private to this test),
    // tells the session's notification service itself: once per cause until
    // it recovers, and nothing at all with the setting off.
    void headlessBridgeNotifiesTheDesktop_data()
    {
        QTest::addColumn<bool>("enabled");
        QTest::newRow("on") << true;
        QTest::newRow("off") << false;
    }

    void headlessBridgeNotifiesTheDesktop()
    {
        QFETCH(bool, enabled);
        NotificationPeer peer;
        if (const QString why = peer.registerOnBus(); !why.isEmpty())
            QSKIP(qPrintable(why));
        const QString gatewayDown = QStringLiteral("OpenClaw is not answering");
        const QString relayDown = QStringLiteral("Halvex Bridge is offline");

        BridgeRig stands; // only its stand-ins and short timings
        QVERIFY(stands.startStandIns());
        std::unique_ptr<CredentialStore> credentials = CredentialStore::createDefault();
        QVERIFY(credentials->save(CredentialService::bridge(), BridgeRig::bridgeToken).ok());
        std::unique_ptr<Settings> settings = Settings::userDefaults();
        settings->setString(SettingsKey::openClawEndpoint, stands.gateway.url().toString());
        settings->setBoolean(SettingsKey::notificationsEnabled, enabled);
        const auto forget = qScopeGuard([&] {
            (void)credentials->deleteItem(CredentialService::bridge());
            settings->remove(SettingsKey::openClawEndpoint);
            settings->remove(SettingsKey::notificationsEnabled);
        });

        HeadlessBridge::Options options;
        options.runtime.session.relayOrigins = RelayOrigins{QUrl(), stands.relay.origin()};
        options.runtime.session.homeDirectory = stands.home.path();
        options.runtime.timings = stands.timings;
        options.runtime.timings.healthCheckInterval = std::chrono::milliseconds(200);
        options.notifications = shortTimings();
        HeadlessBridge headless(std::move(options));
        BridgeManager *bridge = headless.bridgeManager();
        headless.start();
        QTRY_VERIFY_WITH_TIMEOUT(bridge->connectionState() == BridgeConnectionState::connected(), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(bridge->openClawReachable(), 20000);
        const auto probes = [&stands] { return stands.gateway.requestsTo("/healthz").size(); };

        // The gateway stops answering and stays so through several probes.
        stands.setHealthStatus(500);
        QTRY_VERIFY_WITH_TIMEOUT(!bridge->openClawReachable(), 20000);
        const qsizetype seen = probes();
        QTRY_VERIFY_WITH_TIMEOUT(probes() >= seen + 4, 20000);
        // The relay link goes down too, for many times the delay.
        stands.relay.refuseToken(BridgeRig::bridgeToken);
        QVERIFY(stands.relay.abortConnection());
        QVERIFY(stands.relay.waitForAttempts(stands.relay.attemptCount() + 8, 20000));

        if (!enabled) {
            // What was sent would have arrived by now: the peer answers every
            // call before the bus delivers the next message from us.
            sendDesktopNotification(QStringLiteral("marker"), QString());
            QTRY_COMPARE_WITH_TIMEOUT(peer.server.calls.size(), 1, 10000);
            QCOMPARE(peer.count(QStringLiteral("marker")), 1);
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(peer.count(gatewayDown), 1, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(peer.count(relayDown), 1, 20000);
        QCOMPARE(peer.server.calls.size(), 2);
        const QVariantList gatewayCall = *std::find_if(peer.server.calls.cbegin(), peer.server.calls.cend(),
                                                       [&](const QVariantList &c) { return c.at(3) == gatewayDown; });
        QCOMPARE(gatewayCall.at(0).toString(), QStringLiteral("Halvex Bridge"));
        QVERIFY(gatewayCall.at(4).toString().contains(stands.gateway.url().toString()));

        // Back, then gone again: each cause is told once more.
        stands.setHealthStatus(200);
        QTRY_VERIFY_WITH_TIMEOUT(bridge->openClawReachable(), 20000);
        stands.setHealthStatus(500);
        QTRY_COMPARE_WITH_TIMEOUT(peer.count(gatewayDown), 2, 20000);
        stands.relay.acceptToken(BridgeRig::bridgeToken);
        QTRY_VERIFY_WITH_TIMEOUT(bridge->connectionState() == BridgeConnectionState::connected(), 20000);
        stands.relay.refuseToken(BridgeRig::bridgeToken);
        QVERIFY(stands.relay.abortConnection());
        QTRY_COMPARE_WITH_TIMEOUT(peer.count(relayDown), 2, 20000);
    }
};

QTEST_GUILESS_MAIN(TestBridgeNotifications)
#include "tst_bridge_notifications.moc"
