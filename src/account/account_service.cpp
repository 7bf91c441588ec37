#include "account/account_service.h"

#include "account/relay_auth_service.h"
#include "platform/deployment.h"
#include "platform/logging.h"
#include "platform/secrets/credential_store.h"
#include "platform/settings.h"

namespace halvex {

AccountService::AccountService(RelayAuthService *auth, CredentialStore *credentials, Settings *settings)
    : m_auth(auth), m_credentials(credentials), m_settings(settings)
{
}

Result<Done> AccountService::keep(const QString &email, const QString &relayToken)
{
    if (!m_credentials->save(CredentialService::relay(), relayToken))
        return Error::plain(QStringLiteral("The sign-in could not be kept: the credential store refused the token."));
    m_settings->setString(SettingsKey::accountEmail, email);
    qCInfo(lcAuth, "Signed in to the relay");
    return Done{};
}

QCoro::Task<Result<Done>> AccountService::signIn(QString email, QString password)
{
    const Result<AuthResponse> answer = co_await m_auth->login(email, password);
    if (!answer)
        co_return answer.error();
    co_return keep(email, answer->token);
}

QCoro::Task<Result<Done>> AccountService::createAccount(QString email, QString password)
{
    const Result<AuthResponse> answer = co_await m_auth->registerAccount(email, password);
    if (!answer)
        co_return answer.error();
    co_return keep(email, answer->token);
}

bool AccountService::signOut(CredentialStore *credentials, Settings *settings)
{
    const bool gone = credentials->deleteItem(CredentialService::relay()).ok();
    settings->remove(SettingsKey::accountEmail);
    qCInfo(lcAuth, "Signed out of the relay");
    return gone;
}

bool AccountService::isSignedIn() const
{
    return !m_credentials->load(CredentialService::relay()).valueOr(std::nullopt).value_or(QString()).isEmpty();
}

std::optional<QString> AccountService::accountEmail() const
{
    return m_settings->string(SettingsKey::accountEmail);
}

} // namespace halvex
