#pragma once

#include "platform/error.h"

#include <QString>

#include <qcoro/qcorotask.h>

#include <optional>

namespace halvex {

class CredentialStore;
class RelayAuthService;
class Settings;

// The relay account as every window and command sees it: sign-up, sign-in
// and sign-out with what each stores.
// Nothing is stored when an operation fails.
class AccountService
{
public:
    // None of these is owned.
    AccountService(RelayAuthService *auth, CredentialStore *credentials, Settings *settings);

    // On success the relay token is in the credential store (".relay") and
    // the e-mail address, as given, in "accountEmail".
    QCoro::Task<Result<Done>> signIn(QString email, QString password);
    QCoro::Task<Result<Done>> createAccount(QString email, QString password);
    // The relay's account client, for what stores nothing (the password
    // reset).
    RelayAuthService *auth() const { return m_auth; }

    // Deletes the relay token and "accountEmail"; the bridge token,
    // "bridgeName" and "bridgeId" stay. True when the token is gone.
    bool signOut() { return signOut(m_credentials, m_settings); }
    // The same for a caller without the relay client (signing out asks
    // nothing of the relay).
    static bool signOut(CredentialStore *credentials, Settings *settings);

    bool isSignedIn() const;
    std::optional<QString> accountEmail() const;

private:
    Result<Done> keep(const QString &email, const QString &relayToken);

    RelayAuthService *m_auth;
    CredentialStore *m_credentials;
    Settings *m_settings;
};

} // namespace halvex
