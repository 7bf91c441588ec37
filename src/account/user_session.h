#pragma once

#include "account/account_service.h"
#include "account/pairing_service.h"
#include "account/relay_auth_service.h"
#include "account/relay_origin.h"
#include "gateway/gateway_target.h"
#include "platform/secrets/credential_store.h"
#include "platform/settings.h"

#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace halvex {

// This user's session, opened once per program: the user-defaults store, the
// credential store, the relay origins, and the account and pairing services
// on them. The tray, the headless bridge, the windows and every terminal
// command take what they need from here. The stores open on first use, so a
// command that needs only the settings never asks the keyring.
class UserSession
{
public:
    struct Options {
        // Stand-ins for the user's stores (tests); none: Settings::userDefaults()
        // and CredentialStore::createDefault().
        std::unique_ptr<Settings> settings;
        std::unique_ptr<CredentialStore> credentials;
        // None: relayOriginsForCommands().
        std::optional<RelayOrigins> relayOrigins;
        QString homeDirectory; // empty: QDir::homePath()
    };

    explicit UserSession(Options options = {});
    ~UserSession();
    UserSession(const UserSession &) = delete;
    UserSession &operator=(const UserSession &) = delete;

    Settings *settings();
    CredentialStore *credentials();
    // The relay the bridge and the account reach: the deployment's or, in
    // development builds, the override (relay_origin.h); or why the
    // override was refused.
    const Result<RelayOrigins> &relayOrigins() const { return m_relayOrigins; }
    // Those, or the deployment's where the override was refused.
    RelayOrigins usableRelayOrigins() const;
    const QString &homeDirectory() const { return m_homeDirectory; }

    RelayAuthService *auth();
    AccountService *account();
    PairingService *pairing();

    // The gateway as the bridge resolves it, from these stores and OpenClaw's
    // configuration (or the running bridge's, see setBridgeInProcess()).
    GatewayTarget gatewayTarget();

    // A bridge runs in this process: the pairing takes the gateway from it
    // and hands it a new bridge token at once. Without one, a bridge running
    // elsewhere is told over the instance socket.
    void setBridgeInProcess(std::function<GatewayTarget()> gateway, std::function<void()> reloadCredentials);
    // Whether a running bridge took the last pairing's new token.
    bool bridgeNotified() const { return m_bridgeNotified; }

private:
    std::unique_ptr<Settings> m_settings;
    std::unique_ptr<CredentialStore> m_credentials;
    Result<RelayOrigins> m_relayOrigins;
    QString m_homeDirectory;
    std::unique_ptr<RelayAuthService> m_auth;
    std::unique_ptr<AccountService> m_account;
    std::unique_ptr<PairingService> m_pairing;
    std::function<GatewayTarget()> m_bridgeGateway;
    std::function<void()> m_reloadBridgeCredentials;
    bool m_bridgeNotified = false;
};

} // namespace halvex
