// A laptop's life under the running bridge: both links' paths die without a
// word (another Wi-Fi, a sleep), and the desktop says so or does not. The
// system bus is a private one with NetworkManager and logind stand-ins, the
// links run through proxies whose open connections can be frozen, and the
// links must come back over fresh connections. Each row prints how long
// that took.
#include "desktop_bus/wakeup_watcher.h"
#include "desktop_bus_stand_in.h"
#include "frozen_paths_rig.h"

#include <QElapsedTimer>
#include <QTest>

using namespace halvex;
using namespace halvex::test;

class TestWakeups : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        m_desktop = std::make_unique<DesktopBusStandIn>();
        QVERIFY(m_desktop->start());
        // Before anything in this process touches the system bus.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_desktop->address().toUtf8());
        m_watcher = std::make_unique<WakeupWatcher>(QDBusConnection::systemBus());
        QCOMPARE(m_watcher->networkBackend(), QStringLiteral("networkmanager"));
        QVERIFY(m_watcher->watchesSleep());
    }

    void cleanupTestCase()
    {
        m_watcher.reset();
        m_desktop.reset();
    }

    void aPathThatDiedComesBack_data()
    {
        QTest::addColumn<QByteArray>("news");
        QTest::newRow("NetworkManager: the primary connection changes") << QByteArrayLiteral("network roam");
        QTest::newRow("logind: the machine resumes") << QByteArrayLiteral("resume");
        QTest::newRow("no word from the desktop") << QByteArray();
    }

    void aPathThatDiedComesBack()
    {
        QFETCH(QByteArray, news);
        FrozenPathsRig rig;
        // With news from the desktop, the heartbeat is far off: only the
        // wake-up can bring the links back. Without, both links keep the
        // product's heartbeat.
        if (!news.isEmpty()) {
            rig.timings.relay.link.heartbeatInterval = std::chrono::hours(1);
            rig.timings.openClawWebSocket.link.heartbeatInterval = std::chrono::hours(1);
        }
        QVERIFY(rig.launchBehindProxies([this](BridgeManager *bridge) {
            QObject::connect(m_watcher.get(), &WakeupWatcher::woke, bridge, &BridgeManager::wake);
        }));
        GatewayWsStandIn &ws = rig.ws;
        FrozenPathProxy &relayPath = *rig.relayPath;
        FrozenPathProxy &gatewayPath = *rig.gatewayPath;
        QCOMPARE(rig.relay.acceptedCount(), 1);
        const int gatewayConnections = ws.connectionCount();

        relayPath.freeze();
        gatewayPath.freeze();
        QElapsedTimer since;
        since.start();
        if (!news.isEmpty())
            QVERIFY(m_desktop->command(news));

        qint64 relayBackMs = -1;
        qint64 gatewayBackMs = -1;
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         if (relayBackMs < 0 && rig.relay.acceptedCount() > 1 &&
                             rig.bridge->connectionState() == BridgeConnectionState::connected())
                             relayBackMs = since.elapsed();
                         if (gatewayBackMs < 0 && ws.connectionCount() > gatewayConnections &&
                             rig.bridge->openClawWebSocket()->isUsableForChat())
                             gatewayBackMs = since.elapsed();
                         return relayBackMs >= 0 && gatewayBackMs >= 0;
                     },
                     90000),
                 qPrintable(rig.bridge->openClawWebSocket()->state().description()));
        // The relay hears of the bridge again on the new connection.
        QVERIFY(QTest::qWaitFor([&] { return rig.sent(QStringLiteral("agent_card")).size() >= 2; }, 30000));
        QCOMPARE(relayPath.frozenConnections(), 1);
        QCOMPARE(gatewayPath.frozenConnections(), 1);
        qInfo("%s: relay link back after %lld ms, gateway link after %lld ms", QTest::currentDataTag(),
              static_cast<long long>(relayBackMs), static_cast<long long>(gatewayBackMs));
        QObject::disconnect(m_watcher.get(), nullptr, rig.bridge.get(), nullptr);
    }

private:
    std::unique_ptr<DesktopBusStandIn> m_desktop;
    std::unique_ptr<WakeupWatcher> m_watcher;
};

QTEST_GUILESS_MAIN(TestWakeups)
#include "tst_wakeups.moc"
