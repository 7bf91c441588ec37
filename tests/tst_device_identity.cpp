// The device identity: one Ed25519 key per installation, kept in the
// credential store and reused, the device id derived from it, signatures
// that verify, and the device token kept alongside.
#include "gateway/device_tokens.h"
#include "gateway/gateway_device_identity.h"
#include "gateway/gateway_target.h"
#include "gateway/gateway_web_socket.h"
#include "gateway_ws_stand_in.h"
#include "log_capture.h"
#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"
#include "platform/secrets/secret_backend.h"

#include <QDir>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <sodium.h>

using namespace halvex;

namespace {

std::unique_ptr<CredentialStore> memoryCredentials(MemorySecretBackend **backend = nullptr)
{
    auto store = std::make_unique<MemorySecretBackend>();
    if (backend)
        *backend = store.get();
    return std::make_unique<CredentialStore>(std::move(store));
}

// A store that can be locked: every lookup then fails as a locked or
// unreachable Secret Service does.
class LockableSecretBackend : public MemorySecretBackend
{
public:
    bool locked = false;
    SecretLookup lookup(const SecretItemKey &key) override
    {
        if (locked)
            return Error::plain(QStringLiteral("Cannot unlock the collection"), 2);
        return MemorySecretBackend::lookup(key);
    }
};

QString keyAccount()
{
    return QString::fromLatin1(CredentialService::deviceKeyAccount);
}

std::unique_ptr<GatewayDeviceIdentity> createOrFail(CredentialStore *credentials)
{
    auto created = GatewayDeviceIdentity::create(credentials);
    if (!created.ok()) {
        qWarning("identity: %s", qPrintable(created.error().description()));
        return nullptr;
    }
    return std::move(created).value();
}

bool verifies(const QString &signature, const QString &payload, const QByteArray &publicKey)
{
    const auto raw = test::GatewayWsStandIn::decodeBase64Url(signature);
    if (!raw || raw->size() != crypto_sign_BYTES)
        return false;
    const QByteArray message = payload.toUtf8();
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(raw->constData()),
                                       reinterpret_cast<const unsigned char *>(message.constData()),
                                       static_cast<unsigned long long>(message.size()),
                                       reinterpret_cast<const unsigned char *>(publicKey.constData())) == 0;
}

} // namespace

class TstDeviceIdentity : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QVERIFY(sodium_init() >= 0); }

    void theKeyIsCreatedOnceAndReused()
    {
        test::LogCapture log;
        MemorySecretBackend *store = nullptr;
        auto credentials = memoryCredentials(&store);

        auto first = createOrFail(credentials.get());
        QVERIFY(first);
        const QString id = first->deviceId();
        QCOMPARE(log.count(QStringLiteral("Generated NEW device identity — deviceId: ") + id), 1);

        // The stored item is the raw 32-byte key under the service and account.
        const SecretLookup stored = credentials->loadData(CredentialService::openClawDeviceKey(), keyAccount());
        QVERIFY(stored && stored.value());
        QCOMPARE(stored.value()->size(), 32);

        auto second = createOrFail(credentials.get());
        QVERIFY(second);
        QCOMPARE(second->deviceId(), id);
        QCOMPARE(second->publicKey(), first->publicKey());
        QCOMPARE(log.count(QStringLiteral("Loaded existing device identity — deviceId: ") + id), 1);
        QCOMPARE(log.countStartingWith(QStringLiteral("Generated NEW device identity")), 1);
        QCOMPARE(store->items().size(), 1);
    }

    void aStoredItemOfTheWrongSizeIsReplaced_data()
    {
        QTest::addColumn<int>("length");
        QTest::newRow("31 bytes") << 31;
        QTest::newRow("33 bytes") << 33;
        QTest::newRow("empty") << 0;
    }

    void aStoredItemOfTheWrongSizeIsReplaced()
    {
        QFETCH(int, length);
        test::LogCapture log;
        auto credentials = memoryCredentials();
        const QByteArray wrong(length, '\x42');
        QVERIFY(credentials->saveData(CredentialService::openClawDeviceKey(), keyAccount(), wrong));

        auto identity = createOrFail(credentials.get());
        QVERIFY(identity);
        QCOMPARE(log.countStartingWith(QStringLiteral("Generated NEW device identity — deviceId: ")), 1);
        QCOMPARE(log.countStartingWith(QStringLiteral("Loaded existing")), 0);

        const SecretLookup stored = credentials->loadData(CredentialService::openClawDeviceKey(), keyAccount());
        QVERIFY(stored && stored.value());
        QCOMPARE(stored.value()->size(), 32);
        QVERIFY(*stored.value() != wrong.left(32));

        // From now on the new key is the one that is loaded.
        auto again = createOrFail(credentials.get());
        QCOMPARE(again->deviceId(), identity->deviceId());
    }

    void theDeviceIdIsTheHashOfThePublicKeyInHex()
    {
        static const QRegularExpression hex64(QStringLiteral("^[0-9a-f]{64}$"));
        static const QRegularExpression base64url(QStringLiteral("^[A-Za-z0-9_-]+$"));
        for (int i = 0; i < 20; ++i) {
            auto credentials = memoryCredentials();
            auto identity = createOrFail(credentials.get());
            QVERIFY(identity);
            const QString id = identity->deviceId();
            QVERIFY2(hex64.match(id).hasMatch(), qPrintable(id));
            QCOMPARE(id, test::GatewayWsStandIn::deviceIdForPublicKey(identity->publicKey()));

            const QString key = identity->publicKeyBase64Url();
            QCOMPARE(key.size(), 43);
            QVERIFY2(base64url.match(key).hasMatch(), qPrintable(key));
            QCOMPARE(test::GatewayWsStandIn::decodeBase64Url(key), std::optional<QByteArray>(identity->publicKey()));
        }
    }

    void base64UrlReplacesTheTwoSymbolsAndDropsPadding()
    {
        // 0xfb 0xff encodes as "+/8=" in standard Base64.
        QCOMPARE(GatewayDeviceIdentity::base64Url(QByteArray("\xfb\xff", 2)), QStringLiteral("-_8"));
        QCOMPARE(GatewayDeviceIdentity::base64Url(QByteArray("\xfb\xef\xbe", 3)), QStringLiteral("----"));
        QCOMPARE(GatewayDeviceIdentity::base64Url(QByteArray("a")), QStringLiteral("YQ"));
        QCOMPARE(GatewayDeviceIdentity::base64Url({}), QString());
    }

    void signaturesVerifyAgainstThePublicKey()
    {
        auto credentials = memoryCredentials();
        auto identity = createOrFail(credentials.get());
        QVERIFY(identity);
        const QString payload =
            QStringLiteral("v2|%1|openclaw-ios|ui|operator|a,b|1700000000000|tøken 🔑|nonce").arg(identity->deviceId());
        const Result<QString> first = identity->sign(payload);
        const Result<QString> second = identity->sign(payload);
        QVERIFY(first.ok());
        QVERIFY(second.ok());
        QCOMPARE(first->size(), 86);
        QVERIFY(!first->contains(QLatin1Char('+')) && !first->contains(QLatin1Char('/')) &&
                !first->contains(QLatin1Char('=')));
        QVERIFY(verifies(*first, payload, identity->publicKey()));
        QVERIFY(verifies(*second, payload, identity->publicKey()));
        // Over the exact bytes: one character more and it no longer verifies.
        QVERIFY(!verifies(*first, payload + QLatin1Char(' '), identity->publicKey()));

        // A reloaded identity signs with the same key.
        auto reloaded = createOrFail(credentials.get());
        const Result<QString> third = reloaded->sign(payload);
        QVERIFY(third.ok());
        QVERIFY(verifies(*third, payload, identity->publicKey()));
    }

    void textWithoutUtf8FormCannotBeSigned()
    {
        auto credentials = memoryCredentials();
        auto identity = createOrFail(credentials.get());
        const QString lone = QStringLiteral("v2|") + QChar(0xD800) + QStringLiteral("|x");
        const Result<QString> signature = identity->sign(lone);
        QVERIFY(!signature.ok());
        QCOMPARE(signature.error().description(), QStringLiteral("Failed to create payload data"));
    }

    void errorDescriptions()
    {
        QCOMPARE(DeviceIdentityError::storeError(-25299).description(),
                 QStringLiteral("Credential store error: -25299"));
        QCOMPARE(DeviceIdentityError::invalidPayload().description(), QStringLiteral("Failed to create payload data"));
        QCOMPARE(DeviceIdentityError::invalidStoredData().description(),
                 QStringLiteral("Invalid data in the credential store"));
    }

    void aKeyThatCannotBeStoredFailsConstruction()
    {
        test::LogCapture log;
        MemorySecretBackend *store = nullptr;
        auto credentials = memoryCredentials(&store);
        store->setFailWrites(true);

        auto created = GatewayDeviceIdentity::create(credentials.get());
        QVERIFY(!created.ok());
        // In the store's words, never a bare number.
        QCOMPARE(created.error().description(),
                 QStringLiteral("The credential store could not keep the device key: writes refused"));
        QCOMPARE(log.countStartingWith(QStringLiteral("Generated NEW")), 0);

        // The gateway socket then runs without an identity and cannot sign in.
        test::GatewayWsStandIn gateway;
        QVERIFY(gateway.listen());
        GatewayWebSocket socket(credentials.get(), GatewayWebSocket::Timings{});
        QCOMPARE(log.count(QStringLiteral("Failed to initialize device identity: The credential store could not keep "
                                          "the device key: writes refused")),
                 1);
        QVERIFY(!socket.deviceIdentity());
        socket.connect(gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(log.waitFor(QStringLiteral("No device identity — cannot authenticate")));
        QCOMPARE(socket.state(), GatewayLinkState::error(QStringLiteral("No device identity")));
        QVERIFY(gateway.framesWithMethod(QStringLiteral("connect")).isEmpty());
        socket.disconnect();
    }

    void aStoreThatCannotBeReadKeepsTheIdentity()
    {
        test::LogCapture log;
        auto owned = std::make_unique<LockableSecretBackend>();
        LockableSecretBackend *store = owned.get();
        CredentialStore credentials(std::move(owned));
        auto first = createOrFail(&credentials);
        const QString deviceId = first->deviceId();
        const QByteArray key =
            store->items().value(SecretItemKey{CredentialService::openClawDeviceKey(), keyAccount()});
        QCOMPARE(key.size(), 32);

        // Locked: no identity, and above all no new one over the stored key.
        store->locked = true;
        auto failed = GatewayDeviceIdentity::create(&credentials);
        QVERIFY(!failed.ok());
        QVERIFY(failed.error().description().contains(QLatin1String("Cannot unlock the collection")));
        QCOMPARE(store->items().value(SecretItemKey{CredentialService::openClawDeviceKey(), keyAccount()}), key);

        // The gateway socket reports it and tries again later, with the same key.
        test::GatewayWsStandIn gateway;
        QVERIFY(gateway.listen());
        GatewayWebSocket::Timings timings;
        timings.link.initialDelay = std::chrono::milliseconds(10);
        GatewayWebSocket socket(&credentials, timings);
        QVERIFY(!socket.deviceIdentity());
        socket.connect(gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(QTest::qWaitFor(
            [&] { return socket.state() == GatewayLinkState::error(QStringLiteral("No device identity")); }, 20000));
        store->locked = false;
        QVERIFY(QTest::qWaitFor([&] { return socket.state() == GatewayLinkState::connected(); }, 20000));
        QCOMPARE(socket.deviceIdentity()->deviceId(), deviceId);
        QCOMPARE(gateway.connectRecords()
                     .constLast()
                     .params.value(QLatin1String("device"))
                     .toObject()
                     .value(QLatin1String("id"))
                     .toString(),
                 deviceId);
        QCOMPARE(log.countStartingWith(QStringLiteral("Generated NEW")), 1);
        socket.disconnect();
    }

    void aDeviceTokenIsKeptForTheOriginThatIssuedIt()
    {
        auto credentials = memoryCredentials();
        auto identity = createOrFail(credentials.get());
        const QString home = credentialOrigin(QUrl(QStringLiteral("http://127.0.0.1:18789")));
        const QString moved = credentialOrigin(QUrl(QStringLiteral("http://127.0.0.1:28790")));
        const QString pinned = credentialOrigin(QUrl(QStringLiteral("https://gw.lan:18789")), QByteArray(32, 'a'));
        QVERIFY(!identity->loadDeviceToken(home).has_value());
        QVERIFY(identity->saveDeviceToken(home, QStringLiteral("dtok-1")));
        QVERIFY(identity->saveDeviceToken(pinned, QStringLiteral("dtok-tls")));
        QCOMPARE(identity->loadDeviceToken(home), std::optional<QString>(QStringLiteral("dtok-1")));
        // Another port, another certificate: another gateway, no token.
        QCOMPARE(identity->loadDeviceToken(moved), std::nullopt);
        QCOMPARE(identity->loadDeviceToken(
                     credentialOrigin(QUrl(QStringLiteral("https://gw.lan:18789")), QByteArray(32, 'b'))),
                 std::nullopt);
        // A fresh identity on the same store reads what was kept.
        auto again = createOrFail(credentials.get());
        QCOMPARE(again->loadDeviceToken(pinned), std::optional<QString>(QStringLiteral("dtok-tls")));
        again->forgetDeviceToken(home);
        QCOMPARE(DeviceTokens(credentials.get()).load(home).valueOr(std::nullopt), std::nullopt);
        QCOMPARE(DeviceTokens(credentials.get()).load(pinned).valueOr(std::nullopt),
                 std::optional<QString>(QStringLiteral("dtok-tls")));

        // The single token of an older build belongs to the gateway it was
        // issued by, and the unbound item goes.
        QVERIFY(credentials->save(CredentialService::openClawDeviceToken(), QStringLiteral("dtok-old")));
        QVERIFY(DeviceTokens(credentials.get()).adoptUnbound(home));
        QCOMPARE(DeviceTokens(credentials.get()).load(home).valueOr(std::nullopt),
                 std::optional<QString>(QStringLiteral("dtok-old")));
        QCOMPARE(credentials->load(CredentialService::openClawDeviceToken()).valueOr(std::nullopt), std::nullopt);
    }

    void theKeySurvivesTheRealSecretStore()
    {
        // The session's Secret Service (gnome-keyring) must hand back the raw
        // bytes unchanged, or every run would be a new device.
        auto credentials = CredentialStore::createDefault(QDir::temp().filePath(QStringLiteral("halvex-devid-files")));
        QVERIFY(credentials);
        QVERIFY(credentials->deleteData(CredentialService::openClawDeviceKey(), keyAccount()));
        auto first = createOrFail(credentials.get());
        QVERIFY(first);
        auto second = createOrFail(credentials.get());
        QVERIFY(second);
        QCOMPARE(second->deviceId(), first->deviceId());
        const SecretLookup stored = credentials->loadData(CredentialService::openClawDeviceKey(), keyAccount());
        QVERIFY(stored && stored.value());
        QCOMPARE(stored.value()->size(), 32);
        QVERIFY(credentials->deleteData(CredentialService::openClawDeviceKey(), keyAccount()));
    }
};

QTEST_GUILESS_MAIN(TstDeviceIdentity)
#include "tst_device_identity.moc"
