// The doctor against a real OpenClaw gateway (and the relay stand-in): a
// working setup found from the user's OpenClaw configuration alone, and a
// broken one. HALVEX_DOCS_DIR=<folder> also writes both reports there.
#include "cli/doctor.h"
#include "gateway/device_tokens.h"
#include "gateway/gateway_target.h"
#include "openclaw_gateway.h"
#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"
#include "platform/settings.h"
#include "relay_stand_in.h"
#include "temp_settings.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <qcoro/qcorotask.h>

using namespace halvex;
using namespace halvex::test;

namespace {

const QString bridgeToken = QStringLiteral("bridge-real-token-5E1D");

CheckOutcome::Status statusOf(const DoctorReport &report, const QString &id)
{
    for (const DoctorReport::Line &line : report.lines) {
        if (line.check.id == id)
            return line.outcome.status;
    }
    return CheckOutcome::Status::skipped;
}

void keepForDocs(const QString &name, const DoctorReport &report)
{
    const QString folder = qEnvironmentVariable("HALVEX_DOCS_DIR");
    if (folder.isEmpty())
        return;
    QFile file(folder + QLatin1Char('/') + name);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(report.text().toUtf8());
}

} // namespace

class TestRealGatewayDoctor : public QObject
{
    Q_OBJECT
    OpenClawGateway m_gateway;
    RelayStandIn m_relay;
    QTemporaryDir m_bin;

    DoctorEnvironment environment(CredentialStore &credentials, Settings *settings)
    {
        DoctorEnvironment env;
        env.credentials = &credentials;
        env.settings = settings;
        env.relayOrigin = m_relay.origin();
        env.homeDirectory = m_gateway.homeDir();
        env.openClawPlaces = OpenClawLocator::Places{{m_bin.filePath(QStringLiteral("openclaw"))}, {}, {}};
        // Nothing listens there: Ollama is not part of this setup.
        env.ollamaURL = QUrl(QStringLiteral("http://127.0.0.1:9"));
        env.timings.handshakeTimeout = std::chrono::seconds(30);
        return env;
    }

private Q_SLOTS:
    void initTestCase()
    {
        HALVEX_REQUIRE_OPENCLAW();
        QVERIFY2(m_gateway.start(), qPrintable(m_gateway.errorString()));
        m_relay.acceptToken(bridgeToken);
        QVERIFY(m_relay.start());
        // The gateway's own command-line tool, where users have it.
        QVERIFY(QFile::link(m_gateway.cliPath(), m_bin.filePath(QStringLiteral("openclaw"))));
    }

    void workingSetupFromTheOpenClawConfiguration()
    {
        // The user's store: the private session's Secret Service.
        QTemporaryDir files;
        std::unique_ptr<CredentialStore> store =
            CredentialStore::createDefault(files.filePath(QStringLiteral("c.json")));
        CredentialStore &credentials = *store;
        (void)credentials.save(CredentialService::bridge(), bridgeToken);
        // A device token from an earlier gateway: refused, dropped, and the
        // gateway token signs in instead.
        const QString origin = credentialOrigin(m_gateway.httpUrl());
        (void)DeviceTokens(&credentials).save(origin, QStringLiteral("stale-device-token-0000"));
        TempSettings settings;
        const DoctorReport report = QCoro::waitFor(runDoctor(environment(credentials, settings.get()), doctorChecks()));
        (void)credentials.deleteItem(CredentialService::bridge());
        keepForDocs(QStringLiteral("doctor-working.txt"), report);
        QVERIFY2(report.canAnswerChats(), qPrintable(report.text()));
        QCOMPARE(statusOf(report, QStringLiteral("openclaw-tool")), CheckOutcome::Status::passed);
        QCOMPARE(statusOf(report, QStringLiteral("http-chat-endpoint")), CheckOutcome::Status::passed);
        QCOMPARE(statusOf(report, QStringLiteral("gateway-websocket")), CheckOutcome::Status::passed);
        QCOMPARE(statusOf(report, QStringLiteral("bind-mode")), CheckOutcome::Status::passed);
        QVERIFY(!report.text().contains(m_gateway.token()));
        // The link left the gateway's new device token in its place.
        const std::optional<QString> deviceToken = DeviceTokens(&credentials).load(origin).valueOr(std::nullopt);
        QVERIFY(deviceToken && *deviceToken != QLatin1String("stale-device-token-0000"));
        (void)DeviceTokens(&credentials).forget(origin);
    }

    void wrongGatewayTokenAndNoPairing()
    {
        // The gateway set by hand with a wrong token (this machine's own
        // file would give the right one, so the home holds none).
        CredentialStore credentials(std::make_unique<MemorySecretBackend>());
        (void)credentials.save(CredentialService::openClaw(), QStringLiteral("not-the-gateway-token-0000"));
        TempSettings settings;
        settings->setString(SettingsKey::openClawEndpoint, m_gateway.httpUrl().toString());
        QTemporaryDir elsewhere;
        DoctorEnvironment env = environment(credentials, settings.get());
        env.homeDirectory = elsewhere.path();
        const DoctorReport report = QCoro::waitFor(runDoctor(env, doctorChecks()));
        keepForDocs(QStringLiteral("doctor-broken.txt"), report);
        QVERIFY(!report.canAnswerChats());
        QCOMPARE(statusOf(report, QStringLiteral("bridge-token")), CheckOutcome::Status::failed);
        QCOMPARE(statusOf(report, QStringLiteral("gateway")), CheckOutcome::Status::passed);
        QCOMPARE(statusOf(report, QStringLiteral("gateway-websocket")), CheckOutcome::Status::failed);
        QCOMPARE(statusOf(report, QStringLiteral("chats")), CheckOutcome::Status::failed);
    }
};

QTEST_GUILESS_MAIN(TestRealGatewayDoctor)
#include "tst_real_gateway_doctor.moc"
