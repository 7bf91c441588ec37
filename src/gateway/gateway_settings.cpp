#include "gateway/gateway_settings.h"

#include "gateway/device_tokens.h"
#include "platform/deployment.h"
#include "platform/net/listener_owner.h"
#include "platform/net/tls_pin.h"
#include "platform/secrets/credential_store.h"
#include "platform/session/process_runner.h"
#include "platform/settings.h"

#include <QRegularExpression>

namespace halvex {

namespace {

QUrl withoutTrailingSlash(const QUrl &url)
{
    return url.adjusted(QUrl::StripTrailingSlash);
}

void storeOwners(Settings *settings, const QStringList &owners)
{
    if (owners.isEmpty())
        settings->remove(SettingsKey::openClawListenerOwners);
    else
        settings->setString(SettingsKey::openClawListenerOwners, owners.join(QLatin1Char(',')));
}

} // namespace

GatewaySettings::GatewaySettings(Settings *settings, CredentialStore *credentials, QString homeDirectory,
                                 EnvironmentLookup environment)
    : m_settings(settings), m_credentials(credentials), m_homeDirectory(std::move(homeDirectory)),
      m_environment(environment ? std::move(environment) : processEnvironment)
{
}

GatewaySources GatewaySettings::sources() const
{
    return GatewaySources{m_settings, m_credentials, m_homeDirectory, m_environment};
}

GatewayTarget GatewaySettings::target() const
{
    return resolveGatewayTarget(sources());
}

GatewayTarget GatewaySettings::targetWith(const std::optional<QUrl> &endpoint,
                                          const std::optional<QString> &token) const
{
    GatewaySources entered = sources();
    entered.enteredEndpoint = endpoint;
    entered.enteredToken = token;
    return resolveGatewayTarget(entered);
}

void GatewaySettings::settleOrigins(const GatewayTarget &before)
{
    // As the resolver reads stores from before: the stored endpoint's
    // origin, else this machine's gateway's. Written down even while the
    // credential store cannot be read, so that a token nobody could look at
    // now still cannot follow the address to a new place.
    const std::optional<QString> stored = m_settings->string(SettingsKey::openClawEndpoint);
    const QString legacy = stored ? credentialOrigin(QUrl(*stored)) : credentialOrigin(before.endpoint);
    if ((before.tokenOrigin == GatewayValueOrigin::credentialStore || before.tokenUnreadable) &&
        !m_settings->contains(SettingsKey::openClawTokenOrigin))
        m_settings->setString(SettingsKey::openClawTokenOrigin, legacy);
    if (m_settings->contains(SettingsKey::openClawTlsSha256) &&
        !m_settings->contains(SettingsKey::openClawTlsSha256Origin))
        m_settings->setString(SettingsKey::openClawTlsSha256Origin, legacy);
}

void GatewaySettings::adoptUnboundDeviceToken()
{
    (void)targetAdoptingUnbound();
}

GatewayTarget GatewaySettings::targetAdoptingUnbound()
{
    // The unbound token belongs to the gateway the stored settings resolve
    // to: the same target every change starts from.
    GatewayTarget current = target();
    (void)DeviceTokens(m_credentials).adoptUnbound(current.credentialOrigin());
    return current;
}

Result<GatewaySettings::Change> GatewaySettings::setEndpoint(const QUrl &endpoint, const std::optional<QString> &token,
                                                             bool keepToken)
{
    if (!endpoint.isEmpty()) {
        const QString scheme = endpoint.scheme().toLower();
        if (!endpoint.isValid() || endpoint.host().isEmpty() ||
            (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
            return Error::plain(QStringLiteral("%1 is not an http:// or https:// URL with a host")
                                    .arg(endpoint.toString(QUrl::FullyEncoded)));
    }
    const GatewayTarget before = targetAdoptingUnbound();
    settleOrigins(before);

    const GatewayTarget file = resolveGatewayTarget(GatewaySources{nullptr, nullptr, m_homeDirectory, m_environment});
    const bool fileEndpoint =
        endpoint.isEmpty() || (file.endpointOrigin == GatewayValueOrigin::openClawConfig &&
                               withoutTrailingSlash(endpoint) == withoutTrailingSlash(file.endpoint));
    // A token the store will not take or give up leaves the address as it was.
    const std::optional<QString> previous = m_settings->string(SettingsKey::openClawEndpoint);
    const auto keptBack = [this, &previous](const Error &error) -> Result<Change> {
        if (previous)
            m_settings->setString(SettingsKey::openClawEndpoint, *previous);
        else
            m_settings->remove(SettingsKey::openClawEndpoint);
        return error;
    };
    if (fileEndpoint)
        m_settings->remove(SettingsKey::openClawEndpoint);
    else
        m_settings->setString(SettingsKey::openClawEndpoint, endpoint.toString());

    Change change;
    const GatewayTarget placed = target();
    const QString origin = credentialOrigin(placed.endpoint);
    change.moved = credentialOrigin(before.endpoint) != origin;

    if (token && !token->isEmpty()) {
        if (fileEndpoint && *token == file.token) {
            if (Result<Done> removed = m_credentials->deleteItem(CredentialService::openClaw()); !removed)
                return keptBack(removed.error());
            m_settings->remove(SettingsKey::openClawTokenOrigin);
        } else {
            if (Result<Done> saved = m_credentials->save(CredentialService::openClaw(), *token); !saved)
                return keptBack(saved.error());
            m_settings->setString(SettingsKey::openClawTokenOrigin, origin);
        }
    } else if (change.moved && keepToken && !before.token.isEmpty()) {
        if (Result<Done> saved = m_credentials->save(CredentialService::openClaw(), before.token); !saved)
            return keptBack(saved.error());
        m_settings->setString(SettingsKey::openClawTokenOrigin, origin);
        change.tokenKept = true;
    } else if (change.moved) {
        if (Result<Done> removed = m_credentials->deleteItem(CredentialService::openClaw()); !removed)
            return keptBack(removed.error());
        m_settings->remove(SettingsKey::openClawTokenOrigin);
    }

    if (change.moved) {
        // A pin vouches for the address it was confirmed for, nothing else.
        if (m_settings->string(SettingsKey::openClawTlsSha256Origin).value_or(QString()) != origin &&
            m_settings->contains(SettingsKey::openClawTlsSha256)) {
            m_settings->remove(SettingsKey::openClawTlsSha256);
            m_settings->remove(SettingsKey::openClawTlsSha256Origin);
            change.pinDropped = true;
        }
        (void)DeviceTokens(m_credentials).forget(before.credentialOrigin());
    }
    change.target = target();
    change.needsToken = change.target.token.isEmpty() && !change.target.authDisabled && !change.target.isLocal();
    return change;
}

Result<GatewayTarget> GatewaySettings::setToken(const QString &token)
{
    if (token.isEmpty())
        return Error::plain(QStringLiteral("No token given"));
    const GatewayTarget before = target();
    if (Result<Done> saved = m_credentials->save(CredentialService::openClaw(), token); !saved)
        return saved.error();
    m_settings->setString(SettingsKey::openClawTokenOrigin, credentialOrigin(before.endpoint));
    return target();
}

Result<GatewayTarget> GatewaySettings::reset()
{
    const GatewayTarget before = targetAdoptingUnbound();
    m_settings->remove(SettingsKey::openClawEndpoint);
    m_settings->remove(SettingsKey::openClawTlsSha256);
    m_settings->remove(SettingsKey::openClawTlsSha256Origin);
    m_settings->remove(SettingsKey::openClawTokenOrigin);
    if (Result<Done> removed = m_credentials->deleteItem(CredentialService::openClaw()); !removed)
        return removed.error();
    GatewayTarget after = target();
    if (after.credentialOrigin() != before.credentialOrigin())
        (void)DeviceTokens(m_credentials).forget(before.credentialOrigin());
    return after;
}

Result<GatewayTarget> GatewaySettings::trust(const QByteArray &sha256)
{
    const GatewayTarget current = target();
    if (current.isLocal())
        return Error::plain(QStringLiteral("This machine's gateway is trusted by its certificate file (%1); nothing "
                                           "to confirm.")
                                .arg(current.certificatePath));
    if (!current.tlsEnabled)
        return Error::plain(QStringLiteral("The gateway at %1 is not an https address: there is no certificate to "
                                           "trust.")
                                .arg(current.endpoint.toString()));
    m_settings->setString(SettingsKey::openClawTlsSha256, formatSha256(sha256));
    m_settings->setString(SettingsKey::openClawTlsSha256Origin, credentialOrigin(current.endpoint));
    return target();
}

Result<GatewayTarget> GatewaySettings::allowListenerOwner(const QString &user)
{
    static const QRegularExpression name(QStringLiteral("^[A-Za-z0-9_][A-Za-z0-9_.-]{0,63}$"));
    const QString trimmed = user.trimmed();
    if (!name.match(trimmed).hasMatch())
        return Error::plain(QStringLiteral("%1 is not a user name").arg(quotedForLog(trimmed, 80)));
    if (!ownerUid(trimmed))
        return Error::plain(QStringLiteral("There is no user %1 on this machine").arg(quotedForLog(trimmed, 80)));
    QStringList owners = target().listenerOwners;
    if (!owners.contains(trimmed))
        owners << trimmed;
    storeOwners(m_settings, owners);
    return target();
}

Result<GatewayTarget> GatewaySettings::forbidListenerOwner(const QString &user)
{
    QStringList owners = target().listenerOwners;
    owners.removeAll(user.trimmed());
    storeOwners(m_settings, owners);
    return target();
}

} // namespace halvex
