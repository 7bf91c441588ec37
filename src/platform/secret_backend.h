#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

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

// Outcome of one store operation. `code` is the backend's status code when
// it failed (for a log line), `message` its own description.
struct SecretOutcome {
    enum class Status { ok, notFound, error };
    Status status = Status::ok;
    QByteArray data; // the value, for a successful lookup
    int code = 0;
    QString message;

    bool isOk() const { return status == Status::ok; }
    static SecretOutcome success(QByteArray data = {}) { return {Status::ok, std::move(data), 0, {}}; }
    static SecretOutcome notFound() { return {Status::notFound, {}, 0, {}}; }
    static SecretOutcome failure(int code, QString message) { return {Status::error, {}, code, std::move(message)}; }
};

// A place where secrets are kept: the Secret Service, a private file, or
// memory in tests. Values are bytes; a store must not alter them.
class SecretBackend
{
public:
    virtual ~SecretBackend() = default;
    virtual QString name() const = 0;
    virtual SecretOutcome lookup(const SecretItemKey &key) = 0;
    // Replaces any item with the same key. When it fails, the previous
    // value stays (KeychainManager relies on this and deletes nothing first).
    virtual SecretOutcome store(const SecretItemKey &key, const QByteArray &value) = 0;
    virtual SecretOutcome remove(const SecretItemKey &key) = 0;
};

// Keeps items in memory, for tests of components that need a store. It can
// be told to fail every write, to exercise failure paths.
class MemorySecretBackend : public SecretBackend
{
public:
    QString name() const override { return QStringLiteral("memory"); }
    SecretOutcome lookup(const SecretItemKey &key) override;
    SecretOutcome store(const SecretItemKey &key, const QByteArray &value) override;
    SecretOutcome remove(const SecretItemKey &key) override;

    void setFailWrites(bool fail) { m_failWrites = fail; }
    const QHash<SecretItemKey, QByteArray> &items() const { return m_items; }

private:
    QHash<SecretItemKey, QByteArray> m_items;
    bool m_failWrites = false;
};

} // namespace halvex
