// The detector against the real OpenClaw 2026.9.6 (label "openclaw"): the
// tool found where a user's install puts it, the file as OpenClaw writes and
// accepts it (both agent shapes, token present or absent), the health rule
// with the HTTP chat endpoint on and off, enableLANAccess reporting what the
// running gateway really does, a gateway that is down, and a launcher that
// cannot run under an old Node.js.
#include "discovery/openclaw_detector.h"
#include "openclaw_gateway.h"
#include "platform/device_facts.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QNetworkProxy>
#include <QTemporaryDir>
#include <QTest>

using namespace halvex;
using namespace halvex::test;

namespace {

constexpr int kWait = 180000;

bool writeFile(const QString &path, const QByteArray &bytes, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return false;
    file.close();
    return !executable || file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

} // namespace

class TestOpenClawDetectorReal : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        HALVEX_REQUIRE_OPENCLAW();
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        QVERIFY2(m_gateway.start(), qPrintable(m_gateway.errorString()));
        // Where a per-user npm install links the tool.
        QVERIFY(QDir().mkpath(m_gateway.homeDir() + QStringLiteral("/.local/bin")));
        QVERIFY(QFile::link(m_gateway.cliPath(), m_gateway.homeDir() + QStringLiteral("/.local/bin/openclaw")));
    }

    void findsTheRunningInstallation()
    {
        std::unique_ptr<OpenClawDetector> detector = detectorFor(m_gateway.homeDir());
        QElapsedTimer clock;
        clock.start();
        QVERIFY(detect(*detector));
        qInfo("One detection against OpenClaw %s took %lld ms", qPrintable(m_gateway.version()), clock.elapsed());
        QVERIFY(detector->detected());
        QCOMPARE(detector->binaryPath(), m_gateway.homeDir() + QStringLiteral("/.local/bin/openclaw"));
        QCOMPARE(detector->gatewayToken(), m_gateway.token());
        QCOMPARE(detector->gatewayPort(), int(m_gateway.port()));
        QCOMPARE(detector->gatewayBind(), QStringLiteral("loopback"));
        QCOMPARE(detector->endpointURL(), m_gateway.httpUrl());
        QCOMPARE(detector->agents(), (QStringList{QStringLiteral("main"), QStringLiteral("mobile")}));
        QVERIFY(detector->hasMobileAgent());
        QVERIFY(detector->gatewayRunning());
        QVERIFY(detector->chatEndpointEnabled());
        QVERIFY(detector->tokenHint().isEmpty());
    }

    void readsTheNewAgentShape()
    {
        // 2026.9.6's own shape, as any CLI write to agents.* leaves it.
        const OpenClawGateway::CliResult set =
            m_gateway.runCli({QStringLiteral("config"), QStringLiteral("set"),
                              QStringLiteral("agents.entries.mobile.name"), QStringLiteral("Phone")});
        QVERIFY2(set.exitCode == 0, set.output.constData());
        QVERIFY2(m_gateway.readConfig().value(QLatin1String("agents")).toObject().contains(QLatin1String("entries")),
                 QJsonDocument(m_gateway.readConfig()).toJson().constData());
        std::unique_ptr<OpenClawDetector> detector = detectorFor(m_gateway.homeDir());
        QVERIFY(detect(*detector));
        QCOMPARE(detector->agents(), (QStringList{QStringLiteral("main"), QStringLiteral("mobile")}));
        QVERIFY(detector->hasMobileAgent());
    }

    void saysSoWhenTheFileHasNoToken()
    {
        // A user whose file has no token: the tool only prints the mask, so
        // the detector says how to set one instead of leaving it silently empty.
        QTemporaryDir home;
        QJsonObject config = m_gateway.readConfig();
        QJsonObject gateway = config.value(QLatin1String("gateway")).toObject();
        gateway.insert(QStringLiteral("auth"), QJsonObject{{QStringLiteral("mode"), QStringLiteral("token")}});
        config.insert(QStringLiteral("gateway"), gateway);
        QVERIFY(writeFile(openClawConfigPath(home.path()), QJsonDocument(config).toJson()));
        QVERIFY(QDir().mkpath(home.filePath(QStringLiteral(".local/bin"))));
        QVERIFY(QFile::link(m_gateway.cliPath(), home.filePath(QStringLiteral(".local/bin/openclaw"))));
        std::unique_ptr<OpenClawDetector> detector = detectorFor(home.path());
        QVERIFY(detect(*detector));
        QVERIFY(detector->detected());
        QVERIFY(detector->gatewayToken().isEmpty());
        QCOMPARE(detector->tokenHint(), OpenClawDetector::noTokenSentence());
        // What the tool prints for the token really is the mask.
        const OpenClawGateway::CliResult token =
            m_gateway.runCli({QStringLiteral("config"), QStringLiteral("get"), QStringLiteral("gateway.auth.token")});
        QVERIFY(isRedactedSecret(QString::fromUtf8(token.output).trimmed()));
    }

    void anOldNodeIsReportedNotUsed()
    {
        QTemporaryDir home;
        const QString launcher = home.filePath(QStringLiteral(".local/bin/openclaw"));
        // The launcher as npm installs it, but with the system's Node first on PATH.
        QVERIFY(writeFile(
            launcher,
            QStringLiteral("#!/bin/sh\nexec node \"%1\" \"$@\"\n").arg(OpenClawGateway::openclawScript()).toUtf8(),
            true));
        std::unique_ptr<OpenClawDetector> detector = detectorFor(home.path(), {launcher});
        QVERIFY(detect(*detector));
        if (detector->detected())
            QSKIP("the Node.js first on PATH runs OpenClaw here");
        QVERIFY(detector->binaryProblem().contains(launcher));
        QVERIFY2(detector->binaryProblem().contains(QLatin1String("node:sqlite")),
                 qPrintable(detector->binaryProblem()));
    }

    void enableLANAccessReportsWhatTheGatewayDoes()
    {
        const std::optional<QString> lan = localIPAddress();
        if (!lan)
            QSKIP("this machine has no LAN address");
        std::unique_ptr<OpenClawDetector> detector = detectorFor(m_gateway.homeDir());
        QVERIFY(detect(*detector));
        // OpenClaw restarts in process and keeps listening on loopback.
        QCOMPARE(enableLAN(*detector), std::optional<bool>(false));
        QCOMPARE(
            m_gateway.readConfig().value(QLatin1String("gateway")).toObject().value(QLatin1String("bind")).toString(),
            QStringLiteral("lan"));
        QCOMPARE(detector->gatewayBind(), QStringLiteral("lan"));
        QVERIFY(detector->lanAccessProblem().contains(QLatin1String("restart the gateway process")));

        // A new gateway process listens on the LAN: now it is true.
        QVERIFY2(m_gateway.restart(), qPrintable(m_gateway.errorString()));
        QCOMPARE(enableLAN(*detector), std::optional<bool>(true));
        QVERIFY(detector->lanAccessProblem().isEmpty());
        QVERIFY(detect(*detector));
        // The bridge keeps reaching it on loopback; the LAN address is the
        // phone's.
        QCOMPARE(detector->endpointURL(), QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_gateway.port())));
        QCOMPARE(detector->target().phoneEndpoint(*lan),
                 std::optional<QUrl>(QUrl(QStringLiteral("http://%1:%2").arg(*lan).arg(m_gateway.port()))));
        QVERIFY(detector->gatewayRunning());
    }

    void aStockGatewayWithItsChatEndpointOffIsRunning()
    {
        QJsonObject config = m_gateway.readConfig();
        QJsonObject gateway = config.value(QLatin1String("gateway")).toObject();
        gateway.insert(QStringLiteral("bind"), QStringLiteral("loopback"));
        gateway.insert(
            QStringLiteral("http"),
            QJsonObject{{QStringLiteral("endpoints"), QJsonObject{{QStringLiteral("chatCompletions"),
                                                                   QJsonObject{{QStringLiteral("enabled"), false}}}}}});
        config.insert(QStringLiteral("gateway"), gateway);
        QVERIFY(writeFile(m_gateway.configPath(), QJsonDocument(config).toJson()));
        QVERIFY2(m_gateway.restart(), qPrintable(m_gateway.errorString()));
        // For some seconds after /healthz first answers, /v1/models answers
        // 503 (still starting): not reachable yet. Then 404 with /healthz 200.
        std::unique_ptr<OpenClawDetector> detector = detectorFor(m_gateway.homeDir());
        QVERIFY(detect(*detector));
        for (int attempt = 0; attempt < 30 && !detector->gatewayRunning(); ++attempt) {
            QTest::qWait(2000);
            QVERIFY(detect(*detector));
        }
        QVERIFY(detector->gatewayRunning());
        QVERIFY(!detector->chatEndpointEnabled());
    }

    void aGatewayThatIsDownIsNotRunning()
    {
        m_gateway.stop();
        std::unique_ptr<OpenClawDetector> detector = detectorFor(m_gateway.homeDir());
        QVERIFY(detect(*detector));
        QVERIFY(detector->detected());
        QVERIFY(!detector->gatewayRunning());
        QCOMPARE(detector->gatewayToken(), m_gateway.token());
    }

private:
    std::unique_ptr<OpenClawDetector> detectorFor(const QString &home, const QStringList &places = {})
    {
        OpenClawDetector::Dependencies deps;
        deps.homeDirectory = home;
        if (!places.isEmpty())
            deps.places = OpenClawLocator::Places{places, {}, {}};
        deps.avahiBusAddress = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
        OpenClawDetectorTimings timings;
        timings.commands.timeout = std::chrono::minutes(2); // the real tool takes seconds on a loaded machine
        // A gateway that has just come up is busy loading for a while after
        // its first healthy answer; a loaded machine stretches that past 5 s.
        timings.probeTimeout = std::chrono::seconds(30);
        timings.lanCheckWindow = std::chrono::seconds(15);
        return std::make_unique<OpenClawDetector>(deps, timings);
    }
    static bool detect(OpenClawDetector &detector)
    {
        bool done = false;
        detector.detect().then([&] { done = true; });
        return QTest::qWaitFor([&] { return done; }, kWait);
    }
    static std::optional<bool> enableLAN(OpenClawDetector &detector)
    {
        std::optional<bool> result;
        detector.enableLANAccess().then([&](bool ok) { result = ok; });
        (void)QTest::qWaitFor([&] { return result.has_value(); }, kWait);
        return result;
    }

    OpenClawGateway m_gateway;
};

QTEST_GUILESS_MAIN(TestOpenClawDetectorReal)
#include "tst_openclaw_detector_real.moc"
