// Trusting a gateway by its certificate's SHA-256: the pin's text forms and
// certificate files, then each gateway client that carries the token against
// a loopback TLS server that records what it decrypts. Only the pinned
// certificate gets a request; another gets not a byte, even one that
// ordinary verification accepts. tests/data/tls/README says how the
// certificates were made.
#include "gateway/gateway_http_client.h"
#include "gateway/gateway_web_socket.h"
#include "gateway_timings.h"
#include "platform/net/tls_pin.h"
#include "platform/secrets/credential_store.h"
#include "platform/secrets/secret_backend.h"

#include <QFile>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace halvex;

namespace {

constexpr int kWait = 30000;
// `openssl x509 -in gateway-b-cert.pem -noout -fingerprint -sha256`
const QString kOpensslPinB =
    QStringLiteral("73:ED:D7:A2:79:33:37:2C:85:D0:76:3A:83:40:65:C8:AC:7F:1E:A5:BA:68:AF:2B:B2:EE:72:F9:D6:F6:27:6B");

QString dataFile(const char *name)
{
    return QStringLiteral(HALVEX_SOURCE_DIR "/tests/data/tls/") + QLatin1String(name);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A TLS server that answers nothing and keeps every byte it decrypts.
class RecordingTlsServer : public QTcpServer
{
public:
    RecordingTlsServer(const char *certificate, const char *key, QSsl::KeyAlgorithm algorithm)
    {
        m_tls.setLocalCertificate(QSslCertificate(readFile(dataFile(certificate))));
        m_tls.setPrivateKey(QSslKey(readFile(dataFile(key)), algorithm));
        if (!m_tls.privateKey().isNull())
            listen(QHostAddress::LocalHost);
    }

    QByteArray received;
    int accepted = 0;
    int open = 0;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        socket->setSslConfiguration(m_tls);
        ++accepted;
        ++open;
        connect(socket, &QSslSocket::readyRead, this, [this, socket] { received += socket->readAll(); });
        const auto end = [this, socket, ended = std::make_shared<bool>(false)] {
            if (std::exchange(*ended, true))
                return;
            received += socket->readAll();
            --open;
            socket->deleteLater();
        };
        connect(socket, &QAbstractSocket::disconnected, this, end);
        connect(socket, &QAbstractSocket::errorOccurred, this, end);
        socket->startServerEncryption();
    }

private:
    QSslConfiguration m_tls = QSslConfiguration::defaultConfiguration();
};

enum class Client { gatewaySocket, streamedChat };

} // namespace

Q_DECLARE_METATYPE(Client)

class TstTlsPin : public QObject
{
    Q_OBJECT

    QByteArray m_pinA;         // gateway-a, which no server here shows
    QByteArray m_pinB;         // gateway-b, the self-signed server's
    QByteArray m_pinAuthority; // server.pem, signed by the test authority
    QTemporaryDir m_dir;

private Q_SLOTS:
    void initTestCase()
    {
        // The test authority is trusted process-wide: one server passes
        // ordinary verification, and only the pin can turn it away.
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificates(QSslCertificate::fromData(readFile(dataFile("ca.pem"))));
        QSslConfiguration::setDefaultConfiguration(tls);
        m_pinA = readCertificateFileSha256(dataFile("gateway-a-cert.pem")).valueOr({});
        m_pinB = readCertificateFileSha256(dataFile("gateway-b-cert.pem")).valueOr({});
        m_pinAuthority = readCertificateFileSha256(dataFile("server.pem")).valueOr({});
        QVERIFY(!m_pinA.isEmpty() && !m_pinB.isEmpty() && !m_pinAuthority.isEmpty() && m_dir.isValid());
    }

    void theTextFormsOfAPin_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        const QString plain = QString(kOpensslPinB).remove(QLatin1Char(':'));
        QTest::newRow("as openssl prints it") << kOpensslPinB << true;
        QTest::newRow("lower case with colons") << kOpensslPinB.toLower() << true;
        QTest::newRow("plain lower-case hex, spaces around") << QStringLiteral(" %1\n").arg(plain.toLower()) << true;
        QTest::newRow("with a prefix") << QStringLiteral("sha256:") + plain << false;
        QTest::newRow("a digit short") << plain.chopped(1) << false;
        QTest::newRow("not hex") << QStringLiteral("G") + plain.mid(1) << false;
        QTest::newRow("colons out of place") << QStringLiteral("7:3") + kOpensslPinB.mid(2) << false;
        QTest::newRow("empty") << QString() << false;
    }

    void theTextFormsOfAPin()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        const std::optional<QByteArray> pin = parseSha256(text);
        QCOMPARE(pin.has_value(), valid);
        if (valid) {
            QCOMPARE(*pin, m_pinB);
            QCOMPARE(formatSha256(*pin), kOpensslPinB);
        }
    }

    void certificateFiles_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("readable");
        QFile big(m_dir.filePath(QStringLiteral("big.pem")));
        QVERIFY(big.open(QIODevice::WriteOnly));
        big.write(readFile(dataFile("gateway-b-cert.pem")) + QByteArray(64 * 1024, '\n'));
        QTest::newRow("a certificate") << dataFile("gateway-b-cert.pem") << true;
        QTest::newRow("a key") << dataFile("gateway-b-key.pem") << false;
        QTest::newRow("missing") << m_dir.filePath(QStringLiteral("missing.pem")) << false;
        QTest::newRow("over 64 KiB") << big.fileName() << false;
    }

    void certificateFiles()
    {
        QFETCH(QString, path);
        QFETCH(bool, readable);
        const Result<QByteArray> pin = readCertificateFileSha256(path);
        QCOMPARE(pin.ok(), readable);
        QVERIFY(readable ? *pin == m_pinB : pin.error().description().contains(path));
    }

    void onlyThePinnedCertificateGetsTheRequest_data()
    {
        QTest::addColumn<Client>("client");
        QTest::addColumn<bool>("selfSigned");
        QTest::addColumn<QByteArray>("pin");
        QTest::addColumn<bool>("delivered");
        const std::pair<Client, const char *> clients[] = {{Client::gatewaySocket, "WebSocket"},
                                                           {Client::streamedChat, "streamed chat"}};
        for (const auto &[client, name] : clients) {
            QTest::addRow("%s: pinned self-signed", name) << client << true << m_pinB << true;
            QTest::addRow("%s: other self-signed", name) << client << true << m_pinA << false;
            QTest::addRow("%s: self-signed, no pin", name) << client << true << QByteArray() << false;
            QTest::addRow("%s: trusted but not the pinned", name) << client << false << m_pinA << false;
            QTest::addRow("%s: trusted, no pin", name) << client << false << QByteArray() << true;
        }
    }

    void onlyThePinnedCertificateGetsTheRequest()
    {
        QFETCH(Client, client);
        QFETCH(bool, selfSigned);
        QFETCH(QByteArray, pin);
        QFETCH(bool, delivered);

        RecordingTlsServer server(selfSigned ? "gateway-b-cert.pem" : "server.pem",
                                  selfSigned ? "gateway-b-key.pem" : "server.key", selfSigned ? QSsl::Rsa : QSsl::Ec);
        QVERIFY(server.isListening());
        const QUrl https(QStringLiteral("https://127.0.0.1:%1").arg(server.serverPort()));
        CredentialStore credentials(std::make_unique<MemorySecretBackend>());

        // How the client gave up; a chat may resolve after this frame.
        auto failure = std::make_shared<std::optional<QString>>();
        auto context = std::make_unique<QObject>();
        GatewayWebSocket *gatewaySocket = nullptr;
        if (client == Client::gatewaySocket) {
            gatewaySocket = new GatewayWebSocket(&credentials, test::fastGatewayTimings(), {}, context.get());
            gatewaySocket->setTlsPin(pin);
            connect(gatewaySocket, &GatewayWebSocket::stateChanged, context.get(),
                    [failure](const GatewayLinkState &state) {
                        if (state.kind() == GatewayLinkState::Kind::error && !*failure)
                            *failure = state.errorText();
                    });
            gatewaySocket->connect(https, QStringLiteral("secret"));
        } else {
            auto *chat = new GatewayHttpClient(https, QStringLiteral("secret"), context.get());
            chat->setTlsPin(pin);
            const ChatMessages hello{ChatMessage{{QStringLiteral("role"), QStringLiteral("user")}}};
            const auto outcome = [failure](Result<QString> result) {
                *failure = result ? QStringLiteral("no failure") : result.error().description();
            };
            chat->sendChatStreaming(hello, [](const QString &, const QString &) {}).then(outcome);
        }

        if (delivered) {
            QTRY_VERIFY_WITH_TIMEOUT(
                server.received.contains(gatewaySocket ? "Upgrade: websocket" : "Authorization: Bearer secret"), kWait);
            QVERIFY2(!*failure, qPrintable(failure->value_or(QString())));
            // A chat still waiting for its answer resolves once its client is gone.
            context.reset();
            QTRY_VERIFY_WITH_TIMEOUT(client == Client::gatewaySocket || failure->has_value(), kWait);
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(failure->has_value(), kWait);
        if (gatewaySocket)
            gatewaySocket->disconnect();
        // Every connection is over: nothing can still be on its way.
        QTRY_COMPARE_WITH_TIMEOUT(server.open, 0, kWait);
        QVERIFY(server.accepted > 0);
        QCOMPARE(server.received, QByteArray());
        // The streamed chat files it under network errors, in the same words.
        if (!pin.isEmpty())
            QVERIFY2(failure->value().contains(
                         QStringLiteral("The gateway's certificate changed: expected SHA-256 %1, got %2")
                             .arg(formatSha256(pin), formatSha256(selfSigned ? m_pinB : m_pinAuthority))),
                     qPrintable(failure->value()));
    }
};

QTEST_GUILESS_MAIN(TstTlsPin)

#include "tst_tls_pin.moc"
