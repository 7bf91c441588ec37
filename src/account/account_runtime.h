#pragma once

#include "account/account_service.h"
#include "account/pairing_service.h"
#include "account/relay_auth_service.h"
#include "account/relay_origin.h"
#include "gateway/gateway_target.h"

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <optional>

namespace halvex {

class CredentialStore;
class Settings;

// The account and pairing operations with the user's real stores: the
// credential store, the user-defaults store and the relay origins. What a
// terminal command needs to sign in and pair; a bridge that runs in this
// session is told when a pairing stored a new bridge token.
class AccountRuntime
{
public:
    explicit AccountRuntime(const RelayOrigins &origins);
    // With relayOriginsForCommands(), or why those were refused.
    static Result<std::unique_ptr<AccountRuntime>> forCommands();
    ~AccountRuntime();
    AccountRuntime(const AccountRuntime &) = delete;
    AccountRuntime &operator=(const AccountRuntime &) = delete;

    CredentialStore *credentials() const { return m_credentials.get(); }
    Settings *settings() const { return m_settings.get(); }
    RelayAuthService *auth() const { return m_auth.get(); }
    AccountService *account() const { return m_account.get(); }
    PairingService *pairing() const { return m_pairing.get(); }
    const RelayOrigins &origins() const { return m_origins; }

    // The gateway as the bridge resolves it, from this user's stores and
    // OpenClaw's configuration.
    GatewayTarget gatewayTarget() const;
    // Whether a running bridge took the reload request after the last pairing.
    bool bridgeNotified() const { return m_bridgeNotified; }

private:
    RelayOrigins m_origins;
    std::unique_ptr<CredentialStore> m_credentials;
    std::unique_ptr<Settings> m_settings;
    std::unique_ptr<RelayAuthService> m_auth;
    std::unique_ptr<AccountService> m_account;
    std::unique_ptr<PairingService> m_pairing;
    bool m_bridgeNotified = false;
};

} // namespace halvex
