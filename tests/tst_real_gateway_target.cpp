// One gateway, one answer: against a real OpenClaw gateway, the resolver,
// the probe, the running bridge and the terminal's gateway, detect, doctor
// and status all say the same about it. As OpenClaw ships it (chat endpoint
// off, no "mobile" agent) on each installed release, and with its TLS on,
// where the certificate is pinned from its own file and a chat is answered
// over wss://.
#include "bridge_rig.h"
#include "gateway/gateway_probe.h"
#include "gateway/gateway_target.h"
#include "openclaw_gateway.h"
#include "platform/net/tls_pin.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTest>

#include <qcoro/qcorotask.h>

using namespace halvex;
using namespace halvex::test;

namespace {

constexpr int kWait = 120000;

QString program()
{
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("../src/halvex-bridge"));
}

// What every face must agree on.
struct Truth {
    bool reachable = true;
    bool chatEndpoint = false;
    bool mobileAgent = false;
};

QJsonObject checkOf(const QJsonObject &doctor, const QString &id)
{
    for (const QJsonArray elements = doctor.value(QLatin1String("checks")).toArray();
         const QJsonValue &check : elements) {
        if (check.toObject().value(QLatin1String("id")).toString() == id)
            return check.toObject();
    }
    return {};
}

bool copyInto(const QString &from, const QString &to)
{
    QDir().mkpath(QFileInfo(to).absolutePath());
    QFile::remove(to);
    return QFile::copy(from, to);
}

} // namespace

class TestRealGatewayTarget : public QObject
{
    Q_OBJECT

    // A terminal command as a user on the gateway's machine runs it: that
    // HOME, the gateway's own tool on PATH, nothing stored.
    QJsonObject runJson(const OpenClawGateway &gateway, const QStringList &arguments)
    {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), gateway.homeDir());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_scratch.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), m_scratch.filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("PATH"),
                   QFileInfo(gateway.cliPath()).absolutePath() + QStringLiteral(":/usr/bin:/bin"));
        env.insert(QStringLiteral("SHELL"), QStringLiteral("/bin/false"));
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/bus"));
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        env.insert(QStringLiteral("NO_PROXY"), QStringLiteral("*"));
        process.setProcessEnvironment(env);
        process.start(program(), arguments);
        if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, kWait)) {
            process.kill();
            process.waitForFinished();
            return {};
        }
        const QByteArray output = process.readAllStandardOutput();
        const QJsonObject object = QJsonDocument::fromJson(output).object();
        if (object.isEmpty())
            qWarning("%s %s printed: %s %s", qPrintable(arguments.join(QLatin1Char(' '))), "", output.constData(),
                     process.readAllStandardError().constData());
        return object;
    }

    QTemporaryDir m_scratch;

private Q_SLOTS:
    // Without an installed gateway there are no rows to run.
    void initTestCase() { HALVEX_REQUIRE_OPENCLAW(); }

    void everyFaceSaysTheSame_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("tls");
        for (const QString &version : OpenClawGateway::installedVersions())
            QTest::newRow(qPrintable(version + QStringLiteral(" as shipped"))) << version << false;
        // TLS with a certificate it makes itself is what 2026.9 does.
        if (OpenClawGateway::installedVersions().contains(OpenClawGateway::defaultVersion()))
            QTest::newRow("2026.9.6 with TLS") << OpenClawGateway::defaultVersion() << true;
    }

    void everyFaceSaysTheSame()
    {
        QFETCH(QString, version);
        QFETCH(bool, tls);
        HALVEX_REQUIRE_OPENCLAW_VERSION(version);
        if (!QFileInfo(program()).isExecutable())
            QSKIP("halvex-bridge is not built");
        OpenClawGateway gateway(version);
        OpenClawGateway::Options options;
        Truth truth;
        if (tls) {
            options.tls = true;
            truth.chatEndpoint = true;
            truth.mobileAgent = true;
        } else {
            options.chatCompletions = false;
            options.mobileAgent = false;
        }
        QVERIFY2(gateway.start(options), qPrintable(gateway.errorString()));
        const auto env = [&gateway](const QString &name) -> std::optional<QString> {
            if (name == QLatin1String("HOME"))
                return gateway.homeDir();
            return std::nullopt;
        };

        // The resolver: the file's endpoint, token and (with TLS) the pin of
        // the certificate the gateway made.
        const GatewayTarget target = resolveGatewayTarget(GatewaySources{nullptr, nullptr, gateway.homeDir(), env});
        QCOMPARE(target.endpoint, gateway.httpUrl());
        QCOMPARE(target.token, gateway.token());
        QCOMPARE(target.tokenOrigin, GatewayValueOrigin::openClawConfig);
        QByteArray pin;
        if (tls) {
            QFile pem(gateway.certificatePath());
            QVERIFY(pem.open(QIODevice::ReadOnly));
            pin = certificateSha256(QSslCertificate(pem.readAll()));
            QVERIFY(!pin.isEmpty());
        }
        QCOMPARE(target.tlsPin, pin);

        // The probe.
        GatewayProbe probe;
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         probe = QCoro::waitFor(probeGateway(target));
                         return probe.reachable && probe.chatEndpoint != ChatEndpointState::unknown;
                     },
                     60000),
                 qPrintable(probe.description()));
        QCOMPARE(probe.chatEndpoint == ChatEndpointState::on, truth.chatEndpoint);
        QCOMPARE(probe.mobileAgent, std::optional<bool>(truth.mobileAgent));
        QCOMPARE(probe.tlsPinMatches, tls);

        // The terminal.
        const QJsonObject shown = runJson(gateway, {QStringLiteral("gateway"), QStringLiteral("--json")});
        const QJsonObject shownProbe = shown.value(QLatin1String("probe")).toObject();
        QCOMPARE(shownProbe.value(QLatin1String("reachable")).toBool(), truth.reachable);
        QCOMPARE(shownProbe.value(QLatin1String("chatEndpoint")).toString(),
                 truth.chatEndpoint ? QStringLiteral("on") : QStringLiteral("off"));
        QCOMPARE(shownProbe.value(QLatin1String("mobileAgent")).toBool(), truth.mobileAgent);
        QCOMPARE(shownProbe.value(QLatin1String("tokenAccepted")).toBool(), true);
        QCOMPARE(shownProbe.value(QLatin1String("devicePaired")).toBool(), true);
        QCOMPARE(shown.value(QLatin1String("target"))
                     .toObject()
                     .value(QLatin1String("tls"))
                     .toObject()
                     .value(QLatin1String("sha256"))
                     .toString(),
                 pin.isEmpty() ? QString() : formatSha256(pin));

        const QJsonObject detected = runJson(gateway, {QStringLiteral("detect"), QStringLiteral("--json")});
        QCOMPARE(detected.value(QLatin1String("gatewayRunning")).toBool(), truth.reachable);
        QCOMPARE(detected.value(QLatin1String("chatEndpointEnabled")).toBool(), truth.chatEndpoint);
        QCOMPARE(detected.value(QLatin1String("hasMobileAgent")).toBool(), truth.mobileAgent);
        QCOMPARE(detected.value(QLatin1String("endpointURL")).toString(), gateway.httpUrl().toString());

        const QJsonObject doctor = runJson(gateway, {QStringLiteral("doctor"), QStringLiteral("--json")});
        QCOMPARE(checkOf(doctor, QStringLiteral("gateway")).value(QLatin1String("status")).toString(),
                 QStringLiteral("passed"));
        QVERIFY(checkOf(doctor, QStringLiteral("http-chat-endpoint"))
                    .value(QLatin1String("detail"))
                    .toString()
                    .startsWith(truth.chatEndpoint ? QLatin1String("on") : QLatin1String("off")));
        QCOMPARE(checkOf(doctor, QStringLiteral("gateway-websocket")).value(QLatin1String("status")).toString(),
                 QStringLiteral("passed"));
        QCOMPARE(checkOf(doctor, QStringLiteral("mobile-agent")).value(QLatin1String("status")).toString(),
                 truth.mobileAgent ? QStringLiteral("passed") : QStringLiteral("failed"));

        const QJsonObject status = runJson(gateway, {QStringLiteral("status"), QStringLiteral("--json")});
        QCOMPARE(status.value(QLatin1String("gateway")).toObject().value(QLatin1String("reachable")).toBool(),
                 truth.reachable);

        // The running bridge, on the same files.
        BridgeRig rig;
        rig.timings.openClawClient.chatTimeout = std::chrono::minutes(2);
        rig.timings.openClawWebSocket.challengeTimeout = std::chrono::milliseconds(10000);
        rig.timings.chat.chatDeadline = std::chrono::milliseconds(180000);
        QVERIFY(rig.startStandIns());
        rig.storeBridgeToken();
        QVERIFY(copyInto(gateway.configPath(), rig.home.filePath(QStringLiteral(".openclaw/openclaw.json"))));
        if (tls)
            QVERIFY(copyInto(gateway.certificatePath(),
                             rig.home.filePath(QStringLiteral(".openclaw/gateway/tls/gateway-cert.pem"))));
        rig.create();
        QVERIFY(rig.waitConnected(60000));
        QCOMPARE(rig.bridge->gatewayTarget().endpoint, gateway.httpUrl());
        QCOMPARE(rig.bridge->gatewayTarget().tlsPin, pin);
        QVERIFY(QTest::qWaitFor([&] { return rig.bridge->openClawReachable(); }, 60000));
        QVERIFY2(QTest::qWaitFor([&] { return rig.bridge->gatewayState() == GatewayLinkState::connected(); }, 60000),
                 qPrintable(rig.bridge->gatewayState().description()));
        if (!truth.mobileAgent)
            return;
        // A chat answered over the pinned wss:// link.
        rig.relay.sendJson(BridgeRig::chatMessage(QStringLiteral("tls-1"), QStringLiteral("user-1"),
                                                  {{QStringLiteral("content"), QStringLiteral("Hello over TLS")}}));
        const QList<QJsonObject> replies = rig.waitForClosing(QStringLiteral("tls-1"), 240000);
        QVERIFY(!replies.isEmpty());
        QCOMPARE(replies.last().value(QLatin1String("type")).toString(), QStringLiteral("chat_stream_end"));
    }

    // TLS switched on from the terminal, through OpenClaw's own writer: the
    // running gateway applies it by itself (measured: about 15 s, no new
    // process), and the bridge's faces then reach it over https with the
    // certificate it made pinned.
    void tlsTurnedOnFromTheTerminal()
    {
        HALVEX_REQUIRE_OPENCLAW();
        if (!QFileInfo(program()).isExecutable())
            QSKIP("halvex-bridge is not built");
        OpenClawGateway gateway;
        QVERIFY2(gateway.start(), qPrintable(gateway.errorString()));
        const QJsonObject switched = runJson(gateway, {QStringLiteral("gateway"), QStringLiteral("tls"),
                                                       QStringLiteral("on"), QStringLiteral("--json")});
        QVERIFY2(switched.value(QLatin1String("ok")).toBool(), QJsonDocument(switched).toJson().constData());
        QFile pem(gateway.certificatePath());
        QVERIFY(pem.open(QIODevice::ReadOnly));
        const QByteArray pin = certificateSha256(QSslCertificate(pem.readAll()));
        const QJsonObject shown = runJson(gateway, {QStringLiteral("gateway"), QStringLiteral("--json")});
        const QJsonObject target = shown.value(QLatin1String("target")).toObject();
        QVERIFY(target.value(QLatin1String("endpoint"))
                    .toObject()
                    .value(QLatin1String("value"))
                    .toString()
                    .startsWith(QLatin1String("https://")));
        QCOMPARE(target.value(QLatin1String("tls")).toObject().value(QLatin1String("sha256")).toString(),
                 formatSha256(pin));
        QCOMPARE(shown.value(QLatin1String("probe")).toObject().value(QLatin1String("reachable")).toBool(), true);
    }

    // A certificate that is not the one in the file gets nothing: the
    // probe says both fingerprints, and the bridge's socket stays out.
    void aSwappedCertificateIsRefused()
    {
        HALVEX_REQUIRE_OPENCLAW();
        OpenClawGateway gateway;
        OpenClawGateway::Options options;
        options.tls = true;
        QVERIFY2(gateway.start(options), qPrintable(gateway.errorString()));
        QTemporaryDir home;
        QVERIFY(copyInto(gateway.configPath(), home.filePath(QStringLiteral(".openclaw/openclaw.json"))));
        // Another certificate where the file should be.
        QVERIFY(copyInto(QStringLiteral(HALVEX_SOURCE_DIR "/tests/data/tls/gateway-b-cert.pem"),
                         home.filePath(QStringLiteral(".openclaw/gateway/tls/gateway-cert.pem"))));
        const GatewayTarget target = resolveGatewayTarget(
            GatewaySources{nullptr, nullptr, home.path(), [](const QString &) { return std::optional<QString>(); }});
        const GatewayProbe probe = QCoro::waitFor(probeGateway(target));
        QVERIFY(!probe.reachable);
        QVERIFY2(probe.problem.contains(formatSha256(target.tlsPin)) &&
                     probe.problem.contains(formatSha256(probe.tlsSha256)),
                 qPrintable(probe.problem));
        QVERIFY(!probe.tlsPinMatches);
    }
};

QTEST_GUILESS_MAIN(TestRealGatewayTarget)
#include "tst_real_gateway_target.moc"
