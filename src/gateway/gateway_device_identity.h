#pragma once

#include "platform/error.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <memory>
#include <optional>

namespace halvex {

class CredentialStore;

// Why the device identity could not be created or could not sign.
class DeviceIdentityError
{
public:
    enum class Kind { storeError, invalidPayload, invalidStoredData };

    // `why`: the store's own words, which the user reads.
    static DeviceIdentityError storeError(qint32 status, QString why = {})
    {
        return {Kind::storeError, status, std::move(why)};
    }
    static DeviceIdentityError invalidPayload() { return {Kind::invalidPayload, 0, {}}; }
    static DeviceIdentityError invalidStoredData() { return {Kind::invalidStoredData, 0, {}}; }

    Kind kind() const { return m_kind; }
    qint32 status() const { return m_status; }
    QString description() const;
    // As an Error for Result<T>, carrying the same description.
    Error toError() const { return Error::plain(description()); }

private:
    DeviceIdentityError(Kind kind, qint32 status, QString why) : m_kind(kind), m_status(status), m_why(std::move(why))
    {
    }
    Kind m_kind;
    qint32 m_status;
    QString m_why;
};

// This installation's Ed25519 identity towards the OpenClaw gateway. The
// 32-byte seed (the raw private key) is kept in the credential store and
// reused by every run; the device id is the SHA-256 of the public key in
// hex. The identity also keeps the device tokens gateways hand out.
class GatewayDeviceIdentity
{
public:
    // Loads the stored key, or creates and stores a new one when there is
    // none or the stored one is malformed. Fails when the store could not
    // be read (then nothing is replaced) or a new key cannot be stored. The store is
    // not owned and must outlive the identity.
    static Result<std::unique_ptr<GatewayDeviceIdentity>> create(CredentialStore *credentials);

    ~GatewayDeviceIdentity();
    GatewayDeviceIdentity(const GatewayDeviceIdentity &) = delete;
    GatewayDeviceIdentity &operator=(const GatewayDeviceIdentity &) = delete;

    // 64 lower-case hex digits.
    QString deviceId() const;
    // The raw 32-byte public key, and its base64url text (43 characters).
    QByteArray publicKey() const;
    QString publicKeyBase64Url() const;

    // sign(payload:): the base64url Ed25519 signature over the UTF-8 bytes.
    Result<QString> sign(const QString &payload) const;

    // The device token each gateway granted, kept with the origin that
    // issued it (DeviceTokens) and handed back only for that origin. Read
    // from the store once per origin (a failed read is tried again next
    // time) and kept with the identity, so a handshake costs no keyring call.
    bool saveDeviceToken(const QString &origin, const QString &token);
    std::optional<QString> loadDeviceToken(const QString &origin) const;
    // That gateway refused it: gone from the store and from memory.
    void forgetDeviceToken(const QString &origin);

    // Standard Base64 with "+" -> "-", "/" -> "_" and no "=" padding.
    static QString base64Url(const QByteArray &bytes);

private:
    GatewayDeviceIdentity(CredentialStore *credentials, const QByteArray &seed);

    CredentialStore *m_credentials;
    // libsodium's 64-byte secret key (seed followed by public key) and the
    // 32-byte public key, derived from the stored seed.
    QByteArray m_secretKey;
    QByteArray m_publicKey;
    mutable QHash<QString, std::optional<QString>> m_deviceTokens; // per origin, once read
};

} // namespace halvex
