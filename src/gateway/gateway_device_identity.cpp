#include "gateway/gateway_device_identity.h"

#include "gateway/device_tokens.h"
#include "platform/characters.h"
#include "platform/deployment.h"
#include "platform/logging.h"
#include "platform/secrets/credential_store.h"

#include <QCryptographicHash>

#include <sodium.h>

namespace halvex {

namespace {

bool sodiumReady()
{
    // sodium_init() is safe to call more than once; do it once anyway.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

QString keyAccount()
{
    return QString::fromLatin1(CredentialService::deviceKeyAccount);
}

} // namespace

QString DeviceIdentityError::description() const
{
    switch (m_kind) {
    case Kind::storeError:
        if (!m_why.isEmpty())
            return QStringLiteral("The credential store could not keep the device key: ") + m_why;
        return QStringLiteral("Credential store error: ") + QString::number(m_status);
    case Kind::invalidPayload:
        return QStringLiteral("Failed to create payload data");
    case Kind::invalidStoredData:
        return QStringLiteral("Invalid data in the credential store");
    }
    return {};
}

GatewayDeviceIdentity::GatewayDeviceIdentity(CredentialStore *credentials, const QByteArray &seed)
    : m_credentials(credentials)
{
    m_secretKey.resize(crypto_sign_SECRETKEYBYTES);
    m_publicKey.resize(crypto_sign_PUBLICKEYBYTES);
    crypto_sign_seed_keypair(reinterpret_cast<unsigned char *>(m_publicKey.data()),
                             reinterpret_cast<unsigned char *>(m_secretKey.data()),
                             reinterpret_cast<const unsigned char *>(seed.constData()));
}

GatewayDeviceIdentity::~GatewayDeviceIdentity()
{
    sodium_memzero(m_secretKey.data(), size_t(m_secretKey.size()));
}

Result<std::unique_ptr<GatewayDeviceIdentity>> GatewayDeviceIdentity::create(CredentialStore *credentials)
{
    if (!sodiumReady())
        return Error::plain(QStringLiteral("The signing library could not be initialised"));

    const QString service = CredentialService::openClawDeviceKey();
    const SecretLookup stored = credentials->loadData(service, keyAccount());
    if (stored && stored.value() && stored.value()->size() == crypto_sign_SEEDBYTES) {
        std::unique_ptr<GatewayDeviceIdentity> identity(new GatewayDeviceIdentity(credentials, *stored.value()));
        qCInfo(lcDeviceId, "Loaded existing device identity — deviceId: %s",
               qUtf8Printable(quotedForLog(identity->deviceId())));
        return identity;
    }

    // A store that could not answer (locked, unavailable) may well hold the
    // key: a new one would replace this device's pairing for good. Report
    // it; the caller tries again later.
    if (!stored)
        return Error::plain(QStringLiteral("The device key could not be read: %1 (%2)")
                                .arg(stored.error().description().isEmpty() ? QStringLiteral("credential store error")
                                                                            : stored.error().description())
                                .arg(stored.error().code()));

    // Missing or of the wrong size: a new key replaces it (the gateway then
    // sees a new device that needs pairing).
    QByteArray seed(crypto_sign_SEEDBYTES, Qt::Uninitialized);
    randombytes_buf(seed.data(), size_t(seed.size()));
    const Result<Done> saved = credentials->saveData(service, keyAccount(), seed);
    if (!saved) {
        sodium_memzero(seed.data(), size_t(seed.size()));
        return DeviceIdentityError::storeError(saved.error().code(), saved.error().description()).toError();
    }
    std::unique_ptr<GatewayDeviceIdentity> identity(new GatewayDeviceIdentity(credentials, seed));
    sodium_memzero(seed.data(), size_t(seed.size()));
    qCInfo(lcDeviceId, "Generated NEW device identity — deviceId: %s",
           qUtf8Printable(quotedForLog(identity->deviceId())));
    return identity;
}

QString GatewayDeviceIdentity::deviceId() const
{
    return QString::fromLatin1(QCryptographicHash::hash(m_publicKey, QCryptographicHash::Sha256).toHex());
}

QByteArray GatewayDeviceIdentity::publicKey() const
{
    return m_publicKey;
}

QString GatewayDeviceIdentity::publicKeyBase64Url() const
{
    return base64Url(m_publicKey);
}

Result<QString> GatewayDeviceIdentity::sign(const QString &payload) const
{
    // A QString can hold lone surrogates, which have no UTF-8 form.
    for (qsizetype i = 0; i < payload.size(); ++i) {
        const QChar c = payload.at(i);
        if (c.isHighSurrogate()) {
            if (i + 1 >= payload.size() || !payload.at(i + 1).isLowSurrogate())
                return DeviceIdentityError::invalidPayload().toError();
            ++i;
        } else if (c.isLowSurrogate()) {
            return DeviceIdentityError::invalidPayload().toError();
        }
    }
    const QByteArray bytes = payload.toUtf8();
    QByteArray signature(crypto_sign_BYTES, Qt::Uninitialized);
    if (crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
                             reinterpret_cast<const unsigned char *>(bytes.constData()),
                             static_cast<unsigned long long>(bytes.size()),
                             reinterpret_cast<const unsigned char *>(m_secretKey.constData())) != 0)
        return Error::plain(QStringLiteral("Ed25519 signing failed"));
    return base64Url(signature);
}

bool GatewayDeviceIdentity::saveDeviceToken(const QString &origin, const QString &token)
{
    const bool saved = DeviceTokens(m_credentials).save(origin, token).ok();
    if (saved)
        qCInfo(lcDeviceId, "Saved device token");
    // The gateway uses this token from now on, whether or not the store kept it.
    m_deviceTokens.insert(origin, token);
    return saved;
}

std::optional<QString> GatewayDeviceIdentity::loadDeviceToken(const QString &origin) const
{
    if (const auto known = m_deviceTokens.constFind(origin); known != m_deviceTokens.cend())
        return *known;
    const Result<std::optional<QString>> stored = DeviceTokens(m_credentials).load(origin);
    if (!stored)
        return std::nullopt;
    m_deviceTokens.insert(origin, stored.value());
    return stored.value();
}

void GatewayDeviceIdentity::forgetDeviceToken(const QString &origin)
{
    m_deviceTokens.insert(origin, std::nullopt);
    (void)DeviceTokens(m_credentials).forget(origin);
}

QString GatewayDeviceIdentity::base64Url(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

} // namespace halvex
