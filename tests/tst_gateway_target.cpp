// The one resolver of the gateway: which endpoint, token and pin each
// combination of stored settings, credential store, OpenClaw's file and the
// user's entries gives, and that nothing it derives is ever stored.
#include "gateway/gateway_protocol.h"
#include "gateway/gateway_target.h"
#include "platform/deployment.h"
#include "platform/net/tls_pin.h"
#include "platform/secrets/credential_store.h"
#include "platform/secrets/secret_backend.h"
#include "temp_settings.h"

#include <QDir>
#include <QFile>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTest>

using namespace halvex;
using namespace halvex::test;

namespace {

const QString kCert = QStringLiteral(HALVEX_SOURCE_DIR "/tests/data/tls/server.pem");

void write(const QString &path, const QByteArray &text)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

} // namespace

class TestGatewayTarget : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void resolves_data()
    {
        QTest::addColumn<QByteArray>("config"); // openclaw.json; empty: none
        QTest::addColumn<QString>("storedEndpoint");
        QTest::addColumn<QString>("storedToken");
        QTest::addColumn<QString>("entered"); // "-": nothing entered
        QTest::addColumn<QString>("endpoint");
        QTest::addColumn<QString>("endpointFrom");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("tokenFrom");

        const QString none = QStringLiteral("-");
        QTest::newRow("nothing anywhere") << QByteArray() << QString() << QString() << none << "http://127.0.0.1:18789"
                                          << "default"
                                          << ""
                                          << "none";
        QTest::newRow("port only in the file") << QByteArray(R"({gateway: {port: 19001, auth: {token: "file-tok"}}})")
                                               << QString() << QString() << none << "http://127.0.0.1:19001"
                                               << "openclaw.json"
                                               << "file-tok"
                                               << "openclaw.json";
        QTest::newRow("lan is reached on loopback")
            << QByteArray(R"({"gateway": {"bind": "lan", "port": 19002, "auth": {"token": "t"}}})") << QString()
            << QString() << none << "http://127.0.0.1:19002"
            << "openclaw.json"
            << "t"
            << "openclaw.json";
        QTest::newRow("custom literal address")
            << QByteArray(R"({"gateway": {"bind": "custom", "customBindHost": "10.1.2.3", "auth": {"token": "t"}}})")
            << QString() << QString() << none << "http://10.1.2.3:18789"
            << "openclaw.json"
            << "t"
            << "openclaw.json";
        QTest::newRow("custom host that is no address")
            << QByteArray(R"({"gateway": {"bind": "custom", "customBindHost": "evil.example/x?"}})") << QString()
            << QString() << none << "http://127.0.0.1:18789"
            << "openclaw.json"
            << ""
            << "none";
        QTest::newRow("env reference resolved")
            << QByteArray(R"({"env": {"GW_TOK": "from-env-block"}, "gateway": {"auth": {"token": "${GW_TOK}"}}})")
            << QString() << QString() << none << "http://127.0.0.1:18789"
            << "openclaw.json"
            << "from-env-block"
            << "openclaw.json";
        QTest::newRow("rotated file token wins over an old stored copy")
            << QByteArray(R"({"gateway": {"auth": {"token": "new"}}})") << QString() << QStringLiteral("old") << none
            << "http://127.0.0.1:18789"
            << "openclaw.json"
            << "new"
            << "openclaw.json";
        QTest::newRow("masked file token: the stored one")
            << QByteArray(R"({"gateway": {"auth": {"token": "__OPENCLAW_REDACTED__"}}})") << QString()
            << QStringLiteral("stored") << none << "http://127.0.0.1:18789"
            << "openclaw.json"
            << "stored"
            << "credential store";
        QTest::newRow("stored endpoint elsewhere keeps the stored token")
            << QByteArray(R"({"gateway": {"auth": {"token": "file"}}})") << QStringLiteral("http://192.0.2.9:7000")
            << QStringLiteral("stored") << none << "http://192.0.2.9:7000"
            << "settings"
            << "stored"
            << "credential store";
        QTest::newRow("stored loopback on the file's port is the local gateway")
            << QByteArray(R"({"gateway": {"port": 19003, "auth": {"token": "file"}}})")
            << QStringLiteral("http://127.0.0.1:19003") << QStringLiteral("stored") << none << "http://127.0.0.1:19003"
            << "settings"
            << "file"
            << "openclaw.json";
        QTest::newRow("entered address gets no stored token")
            << QByteArray() << QStringLiteral("http://192.0.2.9:7000") << QStringLiteral("stored")
            << QStringLiteral("http://192.0.2.77:18789") << "http://192.0.2.77:18789"
            << "entered"
            << ""
            << "none";
        QTest::newRow("entered stored address keeps its token")
            << QByteArray() << QStringLiteral("http://192.0.2.9:7000") << QStringLiteral("stored")
            << QStringLiteral("http://192.0.2.9:7000") << "http://192.0.2.9:7000"
            << "entered"
            << "stored"
            << "credential store";
        QTest::newRow("entered nothing goes back to the file")
            << QByteArray(R"({"gateway": {"port": 19004}})") << QStringLiteral("http://192.0.2.9:7000") << QString()
            << QString() << "http://127.0.0.1:19004"
            << "openclaw.json"
            << ""
            << "none";
        QTest::newRow("broken file: defaults and the stored token")
            << QByteArray("{gateway: ") << QString() << QStringLiteral("stored") << none << "http://127.0.0.1:18789"
            << "default"
            << "stored"
            << "credential store";
    }
    void resolves()
    {
        QFETCH(QByteArray, config);
        QFETCH(QString, storedEndpoint);
        QFETCH(QString, storedToken);
        QFETCH(QString, entered);
        QTemporaryDir home;
        if (!config.isEmpty())
            write(home.filePath(QStringLiteral(".openclaw/openclaw.json")), config);
        TempSettings settings;
        if (!storedEndpoint.isEmpty())
            settings->setString(SettingsKey::openClawEndpoint, storedEndpoint);
        CredentialStore credentials(std::make_unique<MemorySecretBackend>());
        if (!storedToken.isEmpty())
            QVERIFY(credentials.save(CredentialService::openClaw(), storedToken).ok());
        GatewaySources sources{settings.get(), &credentials, home.path(),
                               [](const QString &) { return std::optional<QString>(); }};
        if (entered != QLatin1String("-"))
            sources.enteredEndpoint = QUrl(entered);

        const GatewayTarget target = resolveGatewayTarget(sources);
        QTEST(target.endpoint.toString(), "endpoint");
        QTEST(originName(target.endpointOrigin), "endpointFrom");
        QTEST(target.token, "token");
        QTEST(originName(target.tokenOrigin), "tokenFrom");
        // Nothing derived was written back.
        QCOMPARE(settings->string(SettingsKey::openClawEndpoint).value_or(QString()), storedEndpoint);
        QCOMPARE(credentials.load(CredentialService::openClaw()).valueOr(std::nullopt).value_or(QString()),
                 storedToken);
    }

    // A TLS gateway on this machine is reached over https and trusted by
    // the certificate file's fingerprint; a file that cannot be read leaves
    // no pin (and so ordinary verification, which a self-signed one fails).
    void pinsTheLocalTlsGateway()
    {
        QTemporaryDir home;
        const QString generated = home.filePath(QStringLiteral(".openclaw/gateway/tls/gateway-cert.pem"));
        QVERIFY(QDir().mkpath(QFileInfo(generated).absolutePath()));
        QVERIFY(QFile::copy(kCert, generated));
        write(home.filePath(QStringLiteral(".openclaw/openclaw.json")),
              R"({"gateway": {"port": 19005, "tls": {"enabled": true}, "auth": {"token": "t"}}})");
        const auto noEnv = [](const QString &) { return std::optional<QString>(); };
        GatewayTarget target = resolveGatewayTarget(GatewaySources{nullptr, nullptr, home.path(), noEnv});
        QCOMPARE(target.endpoint.toString(), QStringLiteral("https://127.0.0.1:19005"));
        QCOMPARE(GatewayProtocol::webSocketUrl(target.endpoint)->toString(), QStringLiteral("wss://127.0.0.1:19005"));
        QVERIFY(target.tlsEnabled);
        QFile pem(kCert);
        QVERIFY(pem.open(QIODevice::ReadOnly));
        QCOMPARE(target.tlsPin, certificateSha256(QSslCertificate(pem.readAll())));
        QCOMPARE(target.pinOrigin, GatewayValueOrigin::certificateFile);

        // A gateway elsewhere is trusted by the pin the user confirmed for
        // its address, and for no other address.
        TempSettings settings;
        settings->setString(SettingsKey::openClawEndpoint, QStringLiteral("https://192.0.2.9:18789"));
        settings->setString(SettingsKey::openClawTlsSha256, formatSha256(QByteArray(32, '\x5a')));
        target = resolveGatewayTarget(GatewaySources{settings.get(), nullptr, home.path(), noEnv});
        QCOMPARE(target.tlsPin, QByteArray(32, '\x5a'));
        QCOMPARE(target.pinOrigin, GatewayValueOrigin::settings);
        GatewaySources other{settings.get(), nullptr, home.path(), noEnv};
        other.enteredEndpoint = QUrl(QStringLiteral("https://192.0.2.10:18789"));
        QVERIFY(resolveGatewayTarget(other).tlsPin.isEmpty());

        // certPath names another file; a missing one is said, and no pin.
        write(home.filePath(QStringLiteral(".openclaw/openclaw.json")),
              R"({"gateway": {"tls": {"enabled": true, "certPath": "~/missing.pem"}}})");
        target = resolveGatewayTarget(GatewaySources{nullptr, nullptr, home.path(), noEnv});
        QVERIFY(target.tlsPin.isEmpty());
        QVERIFY(!target.tlsProblem.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestGatewayTarget)
#include "tst_gateway_target.moc"
