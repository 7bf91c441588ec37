#pragma once

#include "platform/secret_backend.h"

#include <QString>

#include <memory>
#include <optional>

namespace halvex {

// The program's credential store. Strings are kept per service name in the
// primary store; items an older build left in the older store are moved
// into the primary one the first time they are read. Nothing is cached:
// every load asks the store.
class KeychainManager
{
public:
    explicit KeychainManager(std::unique_ptr<SecretBackend> primary, std::unique_ptr<SecretBackend> older = nullptr);

    // The user's store: the Secret Service, with the private file store as
    // the older store to migrate from. When no Secret Service answers (a
    // headless box) the file store becomes the primary store, with one
    // warning. `fileStorePath` overrides where the file store lives.
    static std::unique_ptr<KeychainManager> createDefault(const QString &fileStorePath = {});

    std::optional<QString> load(const QString &service);
    bool save(const QString &service, const QString &value);
    // delete(service:): removes the item from both stores.
    bool deleteItem(const QString &service);

    // Binary items keyed by service and account (the device signing key).
    // These touch the primary store only.
    SecretOutcome loadData(const QString &service, const QString &account);
    SecretOutcome saveData(const QString &service, const QString &account, const QByteArray &value);
    SecretOutcome deleteData(const QString &service, const QString &account);

    SecretBackend *primary() const { return m_primary.get(); }
    SecretBackend *older() const { return m_older.get(); }

private:
    std::unique_ptr<SecretBackend> m_primary;
    std::unique_ptr<SecretBackend> m_older;
};

} // namespace halvex
