#include "gateway/device_tokens.h"

#include "platform/deployment.h"
#include "platform/logging.h"
#include "platform/secrets/credential_store.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace halvex {

Result<QJsonObject> DeviceTokens::read() const
{
    if (!m_credentials)
        return QJsonObject();
    const Result<std::optional<QString>> stored = m_credentials->load(CredentialService::openClawDeviceTokens());
    if (!stored)
        return stored.error();
    if (!stored.value() || stored.value()->isEmpty())
        return QJsonObject();
    const QJsonDocument document = QJsonDocument::fromJson(stored.value()->toUtf8());
    if (!document.isObject())
        // Kept as it is: a later save replaces it, a read never does.
        return Error::plain(QStringLiteral("The stored gateway device tokens are not readable"));
    return document.object();
}

Result<Done> DeviceTokens::write(const QJsonObject &tokens)
{
    if (!m_credentials)
        return Done{};
    if (tokens.isEmpty())
        return m_credentials->deleteItem(CredentialService::openClawDeviceTokens());
    return m_credentials->save(CredentialService::openClawDeviceTokens(),
                               QString::fromUtf8(QJsonDocument(tokens).toJson(QJsonDocument::Compact)));
}

Result<std::optional<QString>> DeviceTokens::load(const QString &origin) const
{
    const Result<QJsonObject> tokens = read();
    if (!tokens)
        return tokens.error();
    const QJsonValue token = tokens.value().value(origin);
    if (origin.isEmpty() || !token.isString() || token.toString().isEmpty())
        return std::optional<QString>();
    return std::optional<QString>(token.toString());
}

Result<Done> DeviceTokens::save(const QString &origin, const QString &token)
{
    if (origin.isEmpty())
        return Error::plain(QStringLiteral("A device token needs the origin that issued it"));
    // An unreadable item is replaced: the gateway just granted this token,
    // and the others are worth nothing while they cannot be read.
    QJsonObject tokens = read().valueOr(QJsonObject());
    tokens.insert(origin, token);
    return write(tokens);
}

Result<Done> DeviceTokens::forget(const QString &origin)
{
    Result<QJsonObject> tokens = read();
    if (!tokens)
        return tokens.error();
    if (!tokens.value().contains(origin))
        return Done{};
    QJsonObject kept = tokens.value();
    kept.remove(origin);
    return write(kept);
}

Result<Done> DeviceTokens::adoptUnbound(const QString &origin)
{
    if (!m_credentials || origin.isEmpty())
        return Done{};
    const Result<std::optional<QString>> unbound = m_credentials->load(CredentialService::openClawDeviceToken());
    if (!unbound)
        return unbound.error();
    if (!unbound.value())
        return Done{};
    Result<QJsonObject> tokens = read();
    if (!tokens)
        return tokens.error();
    if (!unbound.value()->isEmpty() && !tokens.value().contains(origin)) {
        QJsonObject bound = tokens.value();
        bound.insert(origin, *unbound.value());
        if (Result<Done> saved = write(bound); !saved)
            return saved;
        qCInfo(lcDeviceId, "Bound the device token of an earlier version to %s", qUtf8Printable(origin));
    }
    return m_credentials->deleteItem(CredentialService::openClawDeviceToken());
}

} // namespace halvex
