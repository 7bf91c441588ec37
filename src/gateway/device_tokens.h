#pragma once

#include "platform/error.h"

#include <QJsonObject>
#include <QString>

#include <optional>

namespace halvex {

class CredentialStore;

// The device tokens gateways granted this device, each kept with the
// origin that issued it (credentialOrigin(): scheme, host, port and the
// certificate pin where there is one) and handed back only for that origin.
// A token granted by one gateway never signs this device in anywhere else.
//
// One credential-store item holds them all as JSON, {"<origin>": "<token>"};
// every call reads the store afresh (nothing is cached here).
class DeviceTokens
{
public:
    explicit DeviceTokens(CredentialStore *credentials) : m_credentials(credentials) {}

    Result<std::optional<QString>> load(const QString &origin) const;
    Result<Done> save(const QString &origin, const QString &token);
    // Gone for that origin (also when there was none).
    Result<Done> forget(const QString &origin);

    // Older builds kept one device token for whichever gateway they used.
    // It was issued by the gateway the bridge resolves today, so it is
    // bound to `origin` (unless that origin has one already) and the
    // unbound item goes. Nothing to do when there is none.
    Result<Done> adoptUnbound(const QString &origin);

private:
    Result<QJsonObject> read() const;
    Result<Done> write(const QJsonObject &tokens);

    CredentialStore *m_credentials;
};

} // namespace halvex
