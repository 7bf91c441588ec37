#include "account/account_runtime.h"

#include "account/bridge_requests.h"
#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"
#include "platform/session/single_instance.h"
#include "platform/settings.h"

#include <QDir>

namespace halvex {

AccountRuntime::AccountRuntime(const RelayOrigins &origins)
    : m_origins(origins), m_credentials(CredentialStore::createDefault()), m_settings(Settings::userDefaults())
{
    m_auth = std::make_unique<RelayAuthService>(m_origins.http);
    m_account = std::make_unique<AccountService>(m_auth.get(), m_credentials.get(), m_settings.get());
    PairingService::Dependencies deps;
    deps.auth = m_auth.get();
    deps.credentials = m_credentials.get();
    deps.settings = m_settings.get();
    deps.relayWebSocketOrigin = m_origins.webSocket;
    deps.gateway = [this] { return gatewayTarget(); };
    deps.bridgeTokenStored = [this] {
        SingleInstance instance;
        m_bridgeNotified = announceCredentialsChanged(instance);
    };
    m_pairing = std::make_unique<PairingService>(std::move(deps));
}

AccountRuntime::~AccountRuntime() = default;

Result<std::unique_ptr<AccountRuntime>> AccountRuntime::forCommands()
{
    const Result<RelayOrigins> origins = relayOriginsForCommands();
    if (!origins)
        return origins.error();
    return std::make_unique<AccountRuntime>(*origins);
}

GatewayTarget AccountRuntime::gatewayTarget() const
{
    return resolveGatewayTarget(
        GatewaySources{m_settings.get(), m_credentials.get(), QDir::homePath(), processEnvironment});
}

} // namespace halvex
