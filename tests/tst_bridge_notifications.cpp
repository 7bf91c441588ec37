// Notifications about the bridge's links: driven by a real BridgeManager on
// loopback stand-ins, and the desktop notification service played by a
// stand-in on the private session bus.
#include "app/bridge_notifications.h"
#include "app/desktop_notification.h"
#include "bridge_rig.h"
#include "gateway/openclaw_web_socket.h"
#include "gateway_ws_stand_in.h"

#include <QDBusConnection>
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

BridgeNotifications::Timings shortTimings()
{
    BridgeNotifications::Timings timings;
    timings.relayDownNotifyAfterMs = 300;
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
        timings.relayDownNotifyAfterMs = 60000;
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
        rig.timings.healthCheckInterval = 0.2;
        QVERIFY(w.watchConnected());
        QTRY_VERIFY_WITH_TIMEOUT(rig.bridge->openClawReachable(), 15000);
        const auto probes = [&rig] { return rig.gateway.requestsTo("/v1/models").size(); };

        rig.setModelsStatus(500);
        QTRY_COMPARE_WITH_TIMEOUT(shown.size(), 1, 15000);
        QCOMPARE(shown.at(0).title, QStringLiteral("OpenClaw is not answering"));
        QVERIFY(shown.at(0).body.contains(rig.gateway.url().toString()));
        // Still not answering through several more probes: nothing new.
        const qsizetype seen = probes();
        QTRY_VERIFY_WITH_TIMEOUT(probes() >= seen + 4, 15000);
        QCOMPARE(shown.size(), 1);

        // Back, then gone again: told again.
        rig.setModelsStatus(200);
        QTRY_VERIFY_WITH_TIMEOUT(rig.bridge->openClawReachable(), 15000);
        rig.setModelsStatus(500);
        QTRY_COMPARE_WITH_TIMEOUT(shown.size(), 2, 15000);
    }

    void theSettingTurnsThemOff()
    {
        Watched w;
        BridgeRig &rig = w.rig;
        rig.timings.healthCheckInterval = 0.2;
        QVERIFY(w.watchConnected());
        rig.settings->setBoolean(SettingsKey::notificationsEnabled, false);
        QTRY_VERIFY_WITH_TIMEOUT(rig.bridge->openClawReachable(), 15000);
        rig.setModelsStatus(500);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.bridge->openClawReachable(), 15000);
        rig.relay.refuseToken(BridgeRig::bridgeToken);
        QVERIFY(rig.relay.abortConnection());
        // Down for many times the notification delay.
        QVERIFY(rig.relay.waitForAttempts(rig.relay.attemptCount() + 8, 20000));
        QCOMPARE(w.shown.size(), 0);
    }

    void pairingThatNeedsTheUserIsTold()
    {
        Watched w;
        BridgeRig &rig = w.rig;
        GatewayWsStandIn gateway;
        QVERIFY(gateway.listen());
        gateway.setCloseAfterRefusal(1008);
        gateway.setPairingCheck([](const QString &) { return false; });
        rig.relay.acceptToken(BridgeRig::bridgeToken);
        QVERIFY(rig.relay.start());
        rig.storeBridgeToken();
        (void)rig.keychain->save(CredentialService::openClaw(), BridgeRig::gatewayToken);
        rig.settings->setString(SettingsKey::openClawEndpoint, gateway.httpUrl().toString());
        rig.create();
        w.watch();
        rig.bridge->start();
        QTRY_VERIFY_WITH_TIMEOUT(
            rig.bridge->openClawWebSocket()->state().errorText().startsWith(QLatin1String("Device not paired")), 20000);
        QCOMPARE(w.shown.size(), 1);
        QCOMPARE(w.shown.at(0).title, QStringLiteral("Approve Halvex Bridge in OpenClaw"));
        QVERIFY(w.shown.at(0).body.contains(QLatin1String("openclaw devices approve")));
    }

    void desktopNotificationReachesTheNotificationService()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected())
            QSKIP("no session bus (run through scripts/with-test-session)");
        NotificationServer server;
        QVERIFY(bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server,
                                   QDBusConnection::ExportAllSlots));
        if (!bus.registerService(QStringLiteral("org.freedesktop.Notifications")))
            QSKIP("another notification service owns the name on this bus");

        sendDesktopNotification(QStringLiteral("Halvex Bridge is offline"), QStringLiteral("The link is down."));
        QTRY_COMPARE_WITH_TIMEOUT(server.calls.size(), 1, 10000);
        const QVariantList call = server.calls.at(0);
        QCOMPARE(call.at(0).toString(), QStringLiteral("Halvex Bridge"));
        QCOMPARE(call.at(3).toString(), QStringLiteral("Halvex Bridge is offline"));
        QCOMPARE(call.at(4).toString(), QStringLiteral("The link is down."));
        QCOMPARE(call.at(6).toMap().value(QStringLiteral("desktop-entry")).toString(), appId());
        bus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
        bus.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
    }
};

QTEST_GUILESS_MAIN(TestBridgeNotifications)
#include "tst_bridge_notifications.moc"
