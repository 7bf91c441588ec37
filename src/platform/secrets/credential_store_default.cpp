#include "platform/logging.h"
#include "platform/secrets/credential_store.h"
#include "platform/secrets/file_secret_backend.h"
#include "platform/secrets/secret_service_module.h"
#include "platform/settings.h"

namespace halvex {

namespace {

// The remembered Secret Service when it cannot be used in this session:
// every call says why, and nothing falls back to another store (which would
// give this user a second set of credentials and a second device).
class UnreachableSecretService : public SecretBackend
{
public:
    explicit UnreachableSecretService(QString reason) : m_reason(std::move(reason)) {}
    QString name() const override { return QString::fromLatin1(CredentialStore::secretServiceStore); }
    SecretLookup lookup(const SecretItemKey &) override { return failure(); }
    Result<Done> store(const SecretItemKey &, const QByteArray &) override { return failure(); }
    Result<Done> remove(const SecretItemKey &) override { return failure(); }

private:
    Error failure() const
    {
        return Error::plain(QStringLiteral("The Secret Service cannot be reached (%1). Credentials of this user are "
                                           "kept there; to keep them in a private file instead: "
                                           "halvex-bridge credentials use file")
                                .arg(m_reason),
                            -1);
    }
    QString m_reason;
};

} // namespace

void CredentialStore::followRememberedStore()
{
    const std::optional<QString> remembered = Settings::userDefaults()->string(SettingsKey::credentialStore);
    runSerially([&] {
        const bool wantSecretService = remembered == QLatin1String(secretServiceStore);
        const bool onSecretService = m_primary->name() == QLatin1String(secretServiceStore);
        const bool onFile = m_primary->name() == QLatin1String(fileStore);
        const bool fileBeside = m_older && m_older->name() == QLatin1String(fileStore);
        // Only between the user's two stores, as createDefault() made them.
        if (!remembered || onSecretService == wantSecretService || !(onFile || (onSecretService && fileBeside)))
            return;
        // The file store is the primary or the older store; it stays.
        std::unique_ptr<SecretBackend> file =
            m_primary->name() == QLatin1String(fileStore) ? std::move(m_primary) : std::move(m_older);
        if (wantSecretService) {
            m_primary = secretServiceStoreBackend();
            m_older = std::move(file);
        } else {
            m_primary = std::move(file);
            m_older.reset();
        }
        qCInfo(lcCredentials, "Credentials are now kept in the %s store", qUtf8Printable(m_primary->name()));
    });
}

std::unique_ptr<SecretBackend> CredentialStore::secretServiceStoreBackend()
{
    if (std::unique_ptr<SecretBackend> secretService = SecretServiceModule::load(std::chrono::milliseconds::zero()))
        return secretService;
    const QString problem = SecretServiceModule::problem();
    return std::make_unique<UnreachableSecretService>(problem.isEmpty() ? QStringLiteral("no D-Bus session bus")
                                                                        : problem);
}

std::unique_ptr<CredentialStore> CredentialStore::createDefault(const QString &fileStorePath)
{
    auto fileStore =
        std::make_unique<FileSecretBackend>(fileStorePath.isEmpty() ? FileSecretBackend::defaultPath() : fileStorePath);
    const std::unique_ptr<Settings> settings = Settings::userDefaults();
    const std::optional<QString> remembered = settings->string(SettingsKey::credentialStore);

    if (remembered == QLatin1String(CredentialStore::fileStore) || remembered == QLatin1String(secretServiceStore)) {
        auto credentials = std::make_unique<CredentialStore>(std::move(fileStore));
        credentials->followRememberedStore();
        return credentials;
    }
    if (remembered)
        qCWarning(lcCredentials, "Unknown credential store \"%s\" in the settings; choosing again",
                  qUtf8Printable(*remembered));

    // The first choice, kept for good: the same for the desktop and the service.
    if (std::unique_ptr<SecretBackend> secretService = SecretServiceModule::load(std::chrono::seconds(5))) {
        settings->setString(SettingsKey::credentialStore, QString::fromLatin1(secretServiceStore));
        qCInfo(lcCredentials, "Keeping credentials in the Secret Service (remembered for this user)");
        return std::make_unique<CredentialStore>(std::move(secretService), std::move(fileStore));
    }

    // A headless box: the bridge must still keep its tokens somewhere.
    if (const QString problem = SecretServiceModule::problem(); !problem.isEmpty())
        qCCritical(lcCredentials, "Secret Service support is not usable: %s", qUtf8Printable(problem));
    qCWarning(lcCredentials, "No Secret Service available — keeping credentials in %s",
              qUtf8Printable(fileStore->filePath()));
    settings->setString(SettingsKey::credentialStore, QString::fromLatin1(CredentialStore::fileStore));
    return std::make_unique<CredentialStore>(std::move(fileStore));
}

} // namespace halvex
