// Local-network discovery against a real avahi-daemon in a network
// namespace made here: two gateways published with avahi-publish, one with
// a "gatewayPort" TXT record; the resolved address and port; the list
// shrinking and emptying as services go away; the detector's window.
// Needs root (label "root"/"netns"); skips with the reason otherwise.
#include "avahi_network.h"
#include "desktop_bus/avahi_gateway_browser.h"
#include "discovery/openclaw_detector.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace halvex;
using namespace halvex::test;

namespace {

constexpr int kWait = 30000;
const QString type = QStringLiteral("_openclaw-gw._tcp");

QStringList describe(const DiscoveredGateways &gateways)
{
    QStringList lines;
    for (const DiscoveredGateway &gateway : gateways)
        lines.append(QStringLiteral("%1 %2:%3").arg(gateway.name, gateway.host).arg(gateway.port));
    return lines;
}

} // namespace

class TestGatewayDiscovery : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        const QString missing = m_network.start();
        if (!missing.isEmpty())
            QSKIP(qPrintable(QStringLiteral("no private Avahi network: ") + missing));
    }
    void cleanupTestCase() { m_network.stop(); }

    void resolvesAddressAndPortAndFollowsChanges()
    {
        const int studio = m_network.publish(QStringLiteral("studio (OpenClaw)"), type, 18789,
                                             {QStringLiteral("gatewayPort=19001"), QStringLiteral("role=gateway")});
        const int attic = m_network.publish(QStringLiteral("attic (OpenClaw)"), type, 18790);
        QVERIFY(studio >= 0 && attic >= 0);
        // Another service type is not ours.
        QVERIFY(m_network.publish(QStringLiteral("printer"), QStringLiteral("_ipp._tcp"), 631) >= 0);

        AvahiGatewayBrowser browser(m_network.bus());
        QSignalSpy failed(&browser, &AvahiGatewayBrowser::failed);
        browser.start();
        const QStringList both{QStringLiteral("attic (OpenClaw) %1:18790").arg(AvahiNetwork::address()),
                               QStringLiteral("studio (OpenClaw) %1:18789").arg(AvahiNetwork::address())};
        QTRY_COMPARE_WITH_TIMEOUT(describe(browser.gateways()), both, kWait);
        QVERIFY(failed.isEmpty());
        // The SRV port is used; the TXT hint is only kept to be shown.
        const DiscoveredGateways seen = browser.gateways();
        QCOMPARE(seen.last().txtGatewayPort, 19001);
        // Every sighting gets a new id.
        QVERIFY(browser.gateways().constFirst().id != browser.gateways().constFirst().id);

        QSignalSpy changed(&browser, &AvahiGatewayBrowser::gatewaysChanged);
        m_network.withdraw(studio);
        QTRY_COMPARE_WITH_TIMEOUT(describe(browser.gateways()), QStringList{both.first()}, kWait);
        QVERIFY(!changed.isEmpty());
        QCOMPARE(describe(changed.last().first().value<DiscoveredGateways>()), QStringList{both.first()});
        m_network.withdraw(attic);
        QTRY_VERIFY_WITH_TIMEOUT(browser.gateways().isEmpty(), kWait);
        QVERIFY(changed.last().first().value<DiscoveredGateways>().isEmpty());
    }

    void theDetectorPublishesWhatItSeesForItsWindow()
    {
        const int kitchen = m_network.publish(QStringLiteral("kitchen (OpenClaw)"), type, 18789,
                                              {QStringLiteral("gatewayPort=not-a-port")});
        QVERIFY(kitchen >= 0);
        const std::unique_ptr<OpenClawDetector> owned = detectorWithWindow(8000);
        OpenClawDetector &detector = *owned;
        detector.startNetworkDiscovery();
        QTRY_COMPARE_WITH_TIMEOUT(
            describe(detector.discoveredGateways()),
            QStringList{QStringLiteral("kitchen (OpenClaw) %1:18789").arg(AvahiNetwork::address())}, kWait);
        // After the window the browse stops and the list stays.
        QTRY_VERIFY_WITH_TIMEOUT(!detector.isBrowsing(), kWait);
        m_network.withdraw(kitchen);
        QTest::qWait(1000);
        QCOMPARE(detector.discoveredGateways().size(), 1);
    }

    void eachRunHasItsOwnWindow()
    {
        const std::unique_ptr<OpenClawDetector> owned = detectorWithWindow(3000);
        OpenClawDetector &detector = *owned;
        QSignalSpy finished(&detector, &OpenClawDetector::networkDiscoveryFinished);
        QElapsedTimer clock;
        clock.start();
        detector.startNetworkDiscovery();
        QTest::qWait(1200);
        detector.startNetworkDiscovery();
        QVERIFY(finished.wait(kWait));
        // The second browse ran its own three seconds, not what was left of the first one's.
        QVERIFY2(clock.elapsed() >= 4000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(finished.size(), 1);
        QVERIFY(!detector.isBrowsing());
    }

private:
    // A detector that browses the private network (it never looks for a tool here).
    std::unique_ptr<OpenClawDetector> detectorWithWindow(int windowMs)
    {
        OpenClawDetector::Dependencies deps;
        deps.homeDirectory = m_home.path();
        deps.avahiBusAddress = m_network.busAddress();
        OpenClawDetectorTimings timings;
        timings.discoveryWindow = std::chrono::milliseconds(windowMs);
        return std::make_unique<OpenClawDetector>(deps, timings);
    }

    AvahiNetwork m_network;
    QTemporaryDir m_home;
};

QTEST_GUILESS_MAIN(TestGatewayDiscovery)
#include "tst_gateway_discovery.moc"
