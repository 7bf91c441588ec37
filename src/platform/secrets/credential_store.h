#pragma once

#include "platform/error.h"
#include "platform/secrets/secret_backend.h"

#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QThreadPool;

namespace halvex {

// The program's credential store. Strings are kept per service name in the
// primary store; items an older build left in the older store are moved
// into the primary one the first time they are read, and the older copy is
// removed once the primary store holds the same value. Nothing is cached:
// every load asks the store.
//
// Every call reports why it failed: a store that is locked or gone is an
// Error, never taken for "nothing stored".
//
// The stores are asked on a thread of their own, one call at a time. A call
// that takes longer than a quarter second (an unlock prompt, a keyring that
// hangs) keeps its caller's event loop running while it waits (user input
// aside), so a prompt left open for a minute does not stall the links;
// callers must expect events to arrive meanwhile.
class CredentialStore
{
public:
    explicit CredentialStore(std::unique_ptr<SecretBackend> primary, std::unique_ptr<SecretBackend> older = nullptr);
    ~CredentialStore();
    CredentialStore(const CredentialStore &) = delete;
    CredentialStore &operator=(const CredentialStore &) = delete;

    // The user's store: one choice per user, made the first time and
    // remembered in the user-defaults store ("credentialStore"), so the
    // desktop session and the systemd service always use the same one. The
    // first choice is the Secret Service when it answers and has a keyring
    // (or a display can show the prompt that creates one), else the private
    // file store. With the Secret Service, the file store is the older store
    // to migrate from. A remembered Secret Service that does not answer is
    // an error of every call, never a silent switch to the file store.
    // `fileStorePath` overrides where the file store lives.
    static std::unique_ptr<CredentialStore> createDefault(const QString &fileStorePath = {});

    // The stored string; nothing when no item exists. Bytes that are not
    // UTF-8 text and a store that cannot answer are errors.
    Result<std::optional<QString>> load(const QString &service);
    Result<Done> save(const QString &service, const QString &value);
    // delete(service:): removes the item from both stores; succeeds when it
    // is gone (also when it never existed).
    Result<Done> deleteItem(const QString &service);

    // Binary items keyed by service and account (the device signing key).
    // They migrate from the older store like strings do.
    SecretLookup loadData(const QString &service, const QString &account);
    Result<Done> saveData(const QString &service, const QString &account, const QByteArray &value);
    Result<Done> deleteData(const QString &service, const QString &account);

    // Where each of the program's own items is kept, for `doctor` and
    // `credentials`: per store, "stored", "none" or why it cannot be told.
    struct ItemPlace {
        QString label; // "relay session token", …
        SecretItemKey key;
        QString primary;
        QString older;        // empty without an older store
        bool differs = false; // both stores hold it, with different values
    };
    QList<ItemPlace> itemPlaces();

    // Moves every item of the program from the other store into `target`
    // (read back before the old copy goes) and makes `target` the primary
    // store. Items the other store cannot give stay where they are and are
    // named in the error.
    Result<Done> moveItemsInto(std::unique_ptr<SecretBackend> target);

    // Runs `op` on the stores' thread with the stores to itself (for a
    // backend's own extras, such as recovering the file store).
    template <typename T>
    T withStores(const std::function<T()> &op)
    {
        return serially<T>(op);
    }

    // Switches to the store the user-defaults store now names, after
    // `credentials use` moved the items (the file store must be one of
    // this manager's stores already, as createDefault() makes it).
    void followRememberedStore();

    // The Secret Service store for a user who chose it, whether or not it
    // answers now (see createDefault()).
    static std::unique_ptr<SecretBackend> secretServiceStoreBackend();

    SecretBackend *primary() const { return m_primary.get(); }
    SecretBackend *older() const { return m_older.get(); }

    // The settings value of each kind of store.
    static constexpr char secretServiceStore[] = "secret-service";
    static constexpr char fileStore[] = "file";

private:
    template <typename T>
    T serially(const std::function<T()> &op);
    void runSerially(const std::function<void()> &op);

    // The primary store's value when `usable`, else a usable one from the
    // older store, moved over; one lookup of each store at most.
    SecretLookup lookupMigrating(
        const SecretItemKey &key, bool (*usable)(const QByteArray &) = [](const QByteArray &) { return true; });
    Result<Done> storeLogged(const SecretItemKey &key, const QByteArray &value);
    // Moves a value found only in the older store into the primary one.
    void migrate(const SecretItemKey &key, const QByteArray &value);

    std::unique_ptr<SecretBackend> m_primary;
    std::unique_ptr<SecretBackend> m_older;
    std::unique_ptr<QThreadPool> m_thread;
};

template <typename T>
T CredentialStore::serially(const std::function<T()> &op)
{
    std::optional<T> out;
    runSerially([&] { out.emplace(op()); });
    return std::move(*out);
}

} // namespace halvex
