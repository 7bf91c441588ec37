#pragma once

#include "platform/error.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <optional>

namespace halvex {

// One item of a secure store: a service string, and an account for the few
// items that need one (the device key). An empty account means none.
struct SecretItemKey {
    QString service;
    QString account;
    bool operator==(const SecretItemKey &) const = default;
};

inline size_t qHash(const SecretItemKey &key, size_t seed = 0)
{
    return qHashMulti(seed, key.service, key.account);
}

// What a lookup finds: the value, or nothing when no such item exists. A
// store that cannot answer (locked, gone, unreadable) reports an Error with
// its status code, which is never taken for "nothing stored".
using SecretLookup = Result<std::optional<QByteArray>>;

// A place where secrets are kept: the Secret Service, a private file, or
// memory in tests. Values are bytes; a store must not alter them.
class SecretBackend
{
public:
    virtual ~SecretBackend() = default;
    virtual QString name() const = 0;
    virtual SecretLookup lookup(const SecretItemKey &key) = 0;
    // Replaces any item with the same key. When it fails, the previous
    // value stays (CredentialStore relies on this and deletes nothing first).
    virtual Result<Done> store(const SecretItemKey &key, const QByteArray &value) = 0;
    // Succeeds when no item with the key remains, including when there was none.
    virtual Result<Done> remove(const SecretItemKey &key) = 0;
};

// Keeps items in memory, for tests of components that need a store. It can
// be told to fail every write, or every call, to exercise failure paths.
class MemorySecretBackend : public SecretBackend
{
public:
    QString name() const override { return QStringLiteral("memory"); }
    SecretLookup lookup(const SecretItemKey &key) override;
    Result<Done> store(const SecretItemKey &key, const QByteArray &value) override;
    Result<Done> remove(const SecretItemKey &key) override;

    void setFailWrites(bool fail) { m_failWrites = fail; }
    // Every call fails, as a keyring that went away does.
    void setUnavailable(bool unavailable) { m_unavailable = unavailable; }
    const QHash<SecretItemKey, QByteArray> &items() const { return m_items; }

private:
    QHash<SecretItemKey, QByteArray> m_items;
    bool m_failWrites = false;
    bool m_unavailable = false;
};

} // namespace halvex
