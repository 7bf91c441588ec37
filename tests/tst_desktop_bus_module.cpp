// The desktop-bus module (Avahi, notifications) when it cannot be used: the
// features that need it end cleanly and say why, nothing hangs. This process
// finds only a damaged copy of the module (the working one is tried by the
// discovery and notification tests).
#include "discovery/openclaw_detector.h"
#include "platform/session/desktop_bus_module.h"
#include "service/desktop_notification.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace halvex;

class TstDesktopBusModule : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_modules.isValid());
        QFile damaged(m_modules.filePath(QLatin1String(DesktopBusModule::fileName)));
        QVERIFY(damaged.open(QIODevice::WriteOnly));
        damaged.write("not a shared object");
        damaged.close();
        qputenv("HALVEX_MODULE_DIR", QFile::encodeName(m_modules.path()));
        QVERIFY(DesktopBusModule::problem().isEmpty()); // not needed yet
    }

    void aBrowseWithoutTheModuleEndsAtOnceAndSaysWhy()
    {
        QTemporaryDir home;
        OpenClawDetector::Dependencies deps;
        deps.homeDirectory = home.path();
        OpenClawDetector detector(deps);
        QSignalSpy finished(&detector, &OpenClawDetector::networkDiscoveryFinished);
        detector.startNetworkDiscovery();
        QCOMPARE(finished.size(), 1);
        QVERIFY(!detector.isBrowsing());
        QVERIFY(detector.discoveredGateways().isEmpty());

        const QString problem = DesktopBusModule::problem();
        QVERIFY2(problem.contains(QLatin1String(DesktopBusModule::fileName)), qPrintable(problem));
        QVERIFY2(problem.contains(QLatin1String("cannot be loaded")), qPrintable(problem));

        // Every later use gets the same answer, without another try.
        int failed = 0;
        GatewayBrowse::Handlers handlers;
        handlers.failed = [&failed](const QString &) { ++failed; };
        QVERIFY(!DesktopBusModule::browseGateways(QString(), gatewayServiceType(), handlers, &detector));
        QCOMPARE(failed, 0);
    }

    void aNotificationWithoutTheModuleIsDropped()
    {
        // A session bus is configured (the test session's), so the module is
        // wanted; it cannot be used, and nothing is sent.
        QVERIFY(qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS") || qEnvironmentVariableIsSet("XDG_RUNTIME_DIR"));
        QVERIFY(!DesktopBusModule::notify(QStringLiteral("title"), QStringLiteral("body")));
        sendDesktopNotification(QStringLiteral("title"), QStringLiteral("body"));
    }

private:
    QTemporaryDir m_modules;
};

QTEST_GUILESS_MAIN(TstDesktopBusModule)
#include "tst_desktop_bus_module.moc"
