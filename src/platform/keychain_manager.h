#pragma once

#include "platform/error.h"
#include "platform/secret_backend.h"

#include <QString>

#include <memory>
#include <optional>

namespace halvex {

// The program's credential store. Strings are kept per service name in the
// primary store; items an older build left in the older store are moved
// into the primary one the first time they are read, and the older copy is
// removed once the primary store holds the same value. Nothing is cached:
// every load asks the store.
//
// Every call reports why it failed: a store that is locked or gone is an
// Error, never taken for "nothing stored".
class KeychainManager
{
public:
    explicit KeychainManager(std::unique_ptr<SecretBackend> primary, std::unique_ptr<SecretBackend> older = nullptr);

    // The user's store: the Secret Service, with the private file store as
    // the older store to migrate from. When no Secret Service answers (a
    // headless box) the file store becomes the primary store, with one
    // warning. `fileStorePath` overrides where the file store lives.
    static std::unique_ptr<KeychainManager> createDefault(const QString &fileStorePath = {});

    // The stored string; nothing when no item exists. Bytes that are not
    // UTF-8 text and a store that cannot answer are errors.
    Result<std::optional<QString>> load(const QString &service);
    Result<Done> save(const QString &service, const QString &value);
    // delete(service:): removes the item from both stores; succeeds when it
    // is gone (also when it never existed).
    Result<Done> deleteItem(const QString &service);

    // Binary items keyed by service and account (the device signing key).
    // These touch the primary store only.
    SecretLookup loadData(const QString &service, const QString &account);
    Result<Done> saveData(const QString &service, const QString &account, const QByteArray &value);
    Result<Done> deleteData(const QString &service, const QString &account);

    SecretBackend *primary() const { return m_primary.get(); }
    SecretBackend *older() const { return m_older.get(); }

private:
    // Moves a value found only in the older store into the primary one.
    void migrate(const QString &service, const QString &value);

    std::unique_ptr<SecretBackend> m_primary;
    std::unique_ptr<SecretBackend> m_older;
};

} // namespace halvex
