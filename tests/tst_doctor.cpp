// The doctor against loopback stand-ins of the relay, the gateway (HTTP and
// WebSocket) and Ollama: a working setup, and one broken link at a time.
#include "cli/doctor.h"
#include "fake_openclaw_tool.h"
#include "gateway/gateway_device_identity.h"
#include "gateway_ws_stand_in.h"
#include "http_stand_in.h"
#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"
#include "relay_stand_in.h"
#include "temp_settings.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <qcoro/qcorotask.h>

using namespace halvex;
using namespace halvex::test;

namespace {

const QString bridgeToken = QStringLiteral("bridge-secret-7A3F");
const QString gatewayToken = QStringLiteral("gateway-secret-91C2");

// Every peer of a working bridge, on loopback.
struct Rig {
    RelayStandIn relay;
    GatewayWsStandIn gateway;
    HttpStandIn ollama;
    TempSettings settings;
    QTemporaryDir home;
    CredentialStore credentials{std::make_unique<MemorySecretBackend>()};
    bool paired = true;

    Rig()
    {
        relay.acceptToken(bridgeToken);
        QVERIFY(relay.start());
        QVERIFY(gateway.listen());
        gateway.setGatewayToken(gatewayToken);
        gateway.setCloseAfterRefusal(1008);
        gateway.setPairingCheck([this](const QString &) { return paired; });
        QVERIFY(ollama.listen());
        ollama.setDefaultResponse(
            "/api/tags", ScriptedResponse::json(
                             200, QByteArrayLiteral(R"({"models":[{"name":"llama3.2:3b"},{"name":"qwen3:8b"}]})")));
        (void)credentials.save(CredentialService::bridge(), bridgeToken);
        (void)credentials.save(CredentialService::openClaw(), gatewayToken);
        settings->setString(SettingsKey::openClawEndpoint, gateway.httpUrl().toString());
        // This machine's OpenClaw: the gateway above, with the phone's agent.
        writeOpenClawConfig(QStringLiteral(R"({"gateway": {"port": %1, "auth": {"token": "%2"}},
            "agents": {"list": [{"id": "main", "default": true}, {"id": "mobile"}]}})")
                                .arg(gateway.port())
                                .arg(gatewayToken)
                                .toUtf8());
    }

    DoctorEnvironment environment()
    {
        DoctorEnvironment env;
        env.credentials = &credentials;
        env.settings = settings.get();
        env.relayOrigin = relay.origin();
        env.homeDirectory = home.path();
        env.ollamaURL = ollama.url();
        env.openClawPlaces = OpenClawLocator::Places{{home.path() + QStringLiteral("/bin/openclaw")}, {}, {}};
        env.timings.probeTimeout = std::chrono::seconds(10);
        env.timings.handshakeTimeout = std::chrono::seconds(20);
        return env;
    }

    DoctorReport run() { return QCoro::waitFor(runDoctor(environment(), doctorChecks())); }

    void writeOpenClawConfig(const QByteArray &json)
    {
        QVERIFY(QDir().mkpath(home.filePath(QStringLiteral(".openclaw"))));
        QFile file(home.filePath(QStringLiteral(".openclaw/openclaw.json")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(json);
    }
};

const CheckOutcome &outcome(const DoctorReport &report, const QString &id)
{
    for (const DoctorReport::Line &line : report.lines) {
        if (line.check.id == id)
            return line.outcome;
    }
    qFatal("no check %s", qPrintable(id));
}

using Status = CheckOutcome::Status;

} // namespace

class TestDoctor : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void workingSetupCanAnswerChats()
    {
        Rig rig;
        const DoctorReport report = rig.run();
        for (const DoctorReport::Line &line : report.lines) {
            if (line.check.id != QLatin1String("openclaw-tool") && line.check.id != QLatin1String("bind-mode") &&
                line.check.id != QLatin1String("http-chat-endpoint"))
                QVERIFY2(line.outcome.status == Status::passed,
                         qPrintable(line.check.id + QLatin1Char(' ') + line.outcome.detail));
        }
        QVERIFY(report.canAnswerChats());
        QVERIFY(outcome(report, QStringLiteral("ollama")).detail.contains(QLatin1String("2 local model")));

        // The relay saw the real token; the report shows it masked only.
        QVERIFY(rig.relay.acceptedCount() >= 1);
        QCOMPARE(rig.relay.attempts().constLast().token, bridgeToken);
        const QString text = report.text();
        const QByteArray json = QJsonDocument(report.json()).toJson();
        for (const QString &secret : {bridgeToken, gatewayToken}) {
            QVERIFY(!text.contains(secret));
            QVERIFY(!json.contains(secret.toUtf8()));
        }
        QVERIFY(text.contains(QString(8, QChar(0x25CF)) + QStringLiteral("7A3F")));
        QVERIFY(text.contains(QString(8, QChar(0x25CF)) + QStringLiteral("91C2")));
        QCOMPARE(report.json().value(QLatin1String("canAnswerChats")).toBool(), true);
        QCOMPARE(report.json().value(QLatin1String("checks")).toArray().size(), report.lines.size());
    }

    void eachBrokenLinkIsNamedWithItsFix_data()
    {
        QTest::addColumn<QString>("breakage");
        QTest::addColumn<QString>("failedCheck");
        QTest::addColumn<bool>("canAnswerChats");
        QTest::newRow("no bridge token") << "no-token"
                                         << "bridge-token" << false;
        QTest::newRow("relay refuses the token") << "relay-refuses"
                                                 << "relay" << false;
        QTest::newRow("relay down") << "relay-down"
                                    << "relay" << false;
        QTest::newRow("gateway down") << "gateway-down"
                                      << "gateway" << false;
        QTest::newRow("gateway token wrong") << "wrong-gateway-token"
                                             << "gateway-websocket" << false;
        QTest::newRow("device not paired") << "not-paired"
                                           << "gateway-websocket" << false;
        QTest::newRow("device not paired, its request listed") << "not-paired-listed"
                                                               << "gateway-websocket" << false;
        QTest::newRow("ollama down") << "ollama-down"
                                     << "ollama" << true;
        QTest::newRow("no mobile agent") << "no-mobile-agent"
                                         << "mobile-agent" << false;
    }

    void eachBrokenLinkIsNamedWithItsFix()
    {
        QFETCH(QString, breakage);
        QFETCH(QString, failedCheck);
        QFETCH(bool, canAnswerChats);
        Rig rig;
        if (breakage == QLatin1String("no-token"))
            (void)rig.credentials.deleteItem(CredentialService::bridge());
        else if (breakage == QLatin1String("relay-refuses"))
            rig.relay.refuseToken(bridgeToken);
        else if (breakage == QLatin1String("relay-down"))
            rig.relay.stop();
        else if (breakage == QLatin1String("gateway-down"))
            rig.gateway.setRefuseConnections(true);
        else if (breakage == QLatin1String("wrong-gateway-token"))
            rig.gateway.setGatewayToken(QStringLiteral("another-token"));
        else if (breakage.startsWith(QLatin1String("not-paired")))
            rig.paired = false;
        else if (breakage == QLatin1String("ollama-down"))
            rig.ollama.close();
        else if (breakage == QLatin1String("no-mobile-agent"))
            rig.writeOpenClawConfig(QStringLiteral(R"({"gateway": {"port": %1, "auth": {"token": "%2"}},
                "agents": {"list": [{"id": "main"}]}})")
                                        .arg(rig.gateway.port())
                                        .arg(gatewayToken)
                                        .toUtf8());

        // The device the doctor's handshake loads, and a tool that lists its
        // pending request.
        const auto identity = GatewayDeviceIdentity::create(&rig.credentials);
        QVERIFY(identity.ok());
        std::optional<FakeOpenClawTool> tool;
        if (breakage == QLatin1String("not-paired-listed")) {
            tool.emplace(rig.home.filePath(QStringLiteral("bin")));
            tool->setAnswer({QStringLiteral("devices"), QStringLiteral("list"), QStringLiteral("--json")},
                            QStringLiteral(R"({"pending":[{"requestId":"req-9","deviceId":"%1"}],"paired":[]})")
                                .arg(identity.value()->deviceId())
                                .toUtf8());
        }

        const DoctorReport report = rig.run();
        const CheckOutcome &failed = outcome(report, failedCheck);
        QVERIFY2(failed.status == Status::failed, qPrintable(failed.detail));
        QVERIFY(!failed.fix.isEmpty());
        QCOMPARE(report.canAnswerChats(), canAnswerChats);
        QCOMPARE(outcome(report, QStringLiteral("chats")).status == Status::passed, canAnswerChats);
        QVERIFY(report.text().contains(QStringLiteral("\u2717 ") + report.lines.at(0).check.title) ||
                report.text().contains(QStringLiteral("    fix: ") + failed.fix));

        if (breakage == QLatin1String("no-token")) {
            // Nothing to try: the relay is not asked with an empty token.
            QCOMPARE(outcome(report, QStringLiteral("relay")).status, Status::skipped);
            QCOMPARE(rig.relay.attemptCount(), 0);
        }
        if (breakage.startsWith(QLatin1String("not-paired"))) {
            // The doctor looks and approves nothing; the token itself was fine.
            // The fix names this device's own request, else this device.
            QVERIFY(failed.detail.contains(QLatin1String("accepted")));
            QVERIFY2(!failed.fix.contains(QLatin1String("--latest")), qPrintable(failed.fix));
            QVERIFY2(failed.fix.contains(tool ? QStringLiteral("openclaw devices approve req-9 ")
                                              : identity.value()->deviceId()),
                     qPrintable(failed.fix));
            if (tool)
                QVERIFY(!tool->calls().join(QLatin1Char('\n')).contains(QLatin1String("approve")));
        }
        if (breakage == QLatin1String("gateway-down"))
            QCOMPARE(outcome(report, QStringLiteral("gateway-websocket")).status, Status::skipped);
        if (breakage == QLatin1String("no-mobile-agent"))
            QVERIFY(failed.fix.contains(QLatin1String("halvex-bridge models set")));
    }

    void gatewayCoordinatesAndBindModeComeFromTheOpenClawConfiguration()
    {
        Rig rig;
        // Nothing stored: the port and the token come from the file, as the
        // bridge reads them.
        rig.settings->remove(SettingsKey::openClawEndpoint);
        (void)rig.credentials.deleteItem(CredentialService::openClaw());
        rig.writeOpenClawConfig(QStringLiteral(R"({"gateway": {"port": %1, "bind": "lan",
            "auth": {"mode": "token", "token": "%2"}}, "agents": {"list": [{"id": "mobile"}]}})")
                                    .arg(rig.gateway.port())
                                    .arg(gatewayToken)
                                    .toUtf8());
        const DoctorReport report = rig.run();
        QCOMPARE(outcome(report, QStringLiteral("gateway-websocket")).status, Status::passed);
        QVERIFY(outcome(report, QStringLiteral("bind-mode")).detail.startsWith(QLatin1String("lan:")));
        QVERIFY(report.canAnswerChats());
        // Read, never written.
        QVERIFY(!rig.credentials.load(CredentialService::openClaw()).valueOr(std::nullopt) ||
                *rig.credentials.load(CredentialService::openClaw()).valueOr(std::nullopt) == gatewayToken);
    }

    void openClawToolIsFoundWhereItIsInstalled()
    {
        Rig rig;
        QVERIFY(QDir().mkpath(rig.home.filePath(QStringLiteral("bin"))));
        const QString tool = rig.home.filePath(QStringLiteral("bin/openclaw"));
        const auto install = [&](const QByteArray &script) {
            QFile file(tool);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(script);
            file.close();
            QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        };
        // One that does not run is named, with why.
        install("#!/bin/sh\necho 'node: bad option' >&2\nexit 9\n");
        const CheckOutcome broken = outcome(rig.run(), QStringLiteral("openclaw-tool"));
        QCOMPARE(broken.status, Status::failed);
        QVERIFY2(broken.detail.contains(tool) && broken.detail.contains(QLatin1String("node: bad option")),
                 qPrintable(broken.detail));

        install("#!/bin/sh\ntouch \"$0.ran\"\necho 'OpenClaw 2026.9.6'\n");
        const CheckOutcome working = outcome(rig.run(), QStringLiteral("openclaw-tool"));
        QCOMPARE(working.status, Status::passed);
        QCOMPARE(working.detail, tool + QStringLiteral(" (OpenClaw 2026.9.6)"));

        // In a folder anybody can write it is not run, and the fix names the folder.
        const QString folder = rig.home.filePath(QStringLiteral("bin"));
        QVERIFY(QFile::remove(tool + QStringLiteral(".ran")));
        QVERIFY(QFile::setPermissions(folder, QFileDevice::Permissions(0x7777) /* rwxrwxrwx */));
        const CheckOutcome planted = outcome(rig.run(), QStringLiteral("openclaw-tool"));
        QCOMPARE(planted.status, Status::failed);
        QVERIFY(!QFile::exists(tool + QStringLiteral(".ran")));
        QVERIFY2(planted.detail.contains(tool) && planted.fix.contains(folder), qPrintable(planted.fix));
    }

    void aNewCheckIsOneTableEntry()
    {
        Rig rig;
        QList<DoctorCheck> checks = doctorChecks();
        checks.append({QStringLiteral("extra"), QStringLiteral("Extra"), true,
                       [](const DoctorEnvironment &, DoctorFindings &) -> QCoro::Task<CheckOutcome> {
                           co_return CheckOutcome::fail(QStringLiteral("broken"), QStringLiteral("mend it"));
                       }});
        const DoctorReport report = QCoro::waitFor(runDoctor(rig.environment(), checks));
        QVERIFY(!report.canAnswerChats());
        QVERIFY(report.text().contains(QStringLiteral("\u2717 Extra: broken\n    fix: mend it\n")));
    }
};

QTEST_GUILESS_MAIN(TestDoctor)
#include "tst_doctor.moc"
