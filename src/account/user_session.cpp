#include "account/user_session.h"

#include "account/bridge_requests.h"
#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"
#include "platform/session/single_instance.h"
#include "platform/settings.h"

#include <QDir>

namespace halvex {

UserSession::UserSession(Options options)
    : m_settings(std::move(options.settings)), m_credentials(std::move(options.credentials)),
      m_relayOrigins(options.relayOrigins ? Result<RelayOrigins>(*options.relayOrigins) : relayOriginsForCommands()),
      m_homeDirectory(options.homeDirectory.isEmpty() ? QDir::homePath() : options.homeDirectory)
{
}

// The services go first: they refer to the stores.
UserSession::~UserSession()
{
    m_pairing.reset();
    m_account.reset();
    m_auth.reset();
}

Settings *UserSession::settings()
{
    if (!m_settings)
        m_settings = Settings::userDefaults();
    return m_settings.get();
}

CredentialStore *UserSession::credentials()
{
    if (!m_credentials)
        m_credentials = CredentialStore::createDefault();
    return m_credentials.get();
}

RelayOrigins UserSession::usableRelayOrigins() const
{
    // Development builds may point at a loopback relay; others get the
    // deployment's relay whatever the environment says.
    return m_relayOrigins ? *m_relayOrigins : RelayOrigins{relayHttpOrigin(), relayWebSocketOrigin()};
}

RelayAuthService *UserSession::auth()
{
    if (!m_auth)
        m_auth = std::make_unique<RelayAuthService>(usableRelayOrigins().http);
    return m_auth.get();
}

AccountService *UserSession::account()
{
    if (!m_account)
        m_account = std::make_unique<AccountService>(auth(), credentials(), settings());
    return m_account.get();
}

PairingService *UserSession::pairing()
{
    if (m_pairing)
        return m_pairing.get();
    PairingService::Dependencies deps;
    deps.auth = auth();
    deps.credentials = credentials();
    deps.settings = settings();
    deps.relayWebSocketOrigin = usableRelayOrigins().webSocket;
    deps.gateway = [this] { return gatewayTarget(); };
    // A new bridge token (first pairing or "Pair Again") reaches the bridge
    // at once: in this process directly, else over the instance socket.
    deps.bridgeTokenStored = [this] {
        if (m_reloadBridgeCredentials) {
            m_reloadBridgeCredentials();
            m_bridgeNotified = true;
            return;
        }
        SingleInstance instance;
        m_bridgeNotified = announceCredentialsChanged(instance);
    };
    m_pairing = std::make_unique<PairingService>(std::move(deps));
    return m_pairing.get();
}

GatewayTarget UserSession::gatewayTarget()
{
    if (m_bridgeGateway)
        return m_bridgeGateway();
    return resolveGatewayTarget(GatewaySources{settings(), credentials(), m_homeDirectory, processEnvironment});
}

void UserSession::setBridgeInProcess(std::function<GatewayTarget()> gateway, std::function<void()> reloadCredentials)
{
    m_bridgeGateway = std::move(gateway);
    m_reloadBridgeCredentials = std::move(reloadCredentials);
}

} // namespace halvex
