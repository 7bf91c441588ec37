#pragma once

#include "platform/secrets/secret_backend.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

namespace halvex {

// Secrets in a private file (mode 0600 in a 0700 folder): a JSON document
// whose "items" list holds {"service", "account", "value" (base64)} entries.
// It is the older store that the Secret Service migrates from, and the
// primary store on a box without a Secret Service.
//
// Every write replaces the file atomically and keeps all other entries
// (even ones it cannot read); a file readable by others is restricted to its
// owner.
//
// A file it cannot parse is never read as empty. It is renamed, private, to
// "<file>.corrupt-<time>" (a "set-aside copy") and the read that found it
// fails. While a set-aside copy exists, a lookup of an item the new store
// does not hold fails too (the copy may hold it: a device key made anew
// would replace this machine's pairing), writes go to a new store so the
// user can sign in again, and recoverSetAside() brings back every entry
// that can still be read from the copies. A copy is deleted (it holds
// secrets in plain text) only once every entry readable from it is in the
// store.
class FileSecretBackend : public SecretBackend
{
public:
    struct Timings {
        // How long a write waits for another instance's write to finish.
        // Writes take milliseconds, and the caller is the event loop.
        std::chrono::milliseconds lockWait = std::chrono::milliseconds(500);
    };

    FileSecretBackend(QString filePath, Timings timings);
    explicit FileSecretBackend(QString filePath = defaultPath()) : FileSecretBackend(std::move(filePath), Timings{}) {}

    // "credentials.json" beside the user-defaults store.
    static QString defaultPath();

    QString filePath() const { return m_filePath; }

    // What the set-aside copies hold, and what recovering them did.
    struct Recovery {
        QStringList copies;            // the set-aside copies found
        QList<SecretItemKey> restored; // entries put back into the store
        QList<SecretItemKey> kept;     // entries the store already held (the newer value stays)
        QStringList removedCopies;     // copies deleted: all they held is in the store
    };

    // The set-aside copies beside the store, oldest first.
    QStringList setAsideCopies() const;
    // Puts back every entry that can be read from the set-aside copies and
    // that the store does not hold, then deletes the copies whose entries
    // are all in the store.
    Result<Recovery> recoverSetAside();

    // The error code of a lookup that failed because of a set-aside copy.
    static constexpr int setAsideCode = -1020;

    QString name() const override { return QStringLiteral("file"); }
    SecretLookup lookup(const SecretItemKey &key) override;
    Result<Done> store(const SecretItemKey &key, const QByteArray &value) override;
    Result<Done> remove(const SecretItemKey &key) override;

private:
    // The document on disk, or an empty one when there is none yet; an
    // Error when the file exists but cannot be read (an unparseable one is
    // set aside first, and the error has setAsideCode).
    Result<QJsonObject> read();
    // Locks the store, lets `edit` change its items and writes them back;
    // when `edit` returns false nothing changed and nothing is written.
    Result<Done> editItems(const std::function<bool(QJsonArray &items)> &edit);
    Result<Done> write(const QJsonObject &document);
    Result<QString> moveAside(const QString &reason);
    // Removes the copies moveAside() kept whose every readable entry is in
    // `items`.
    void removeCoveredCopies(const QJsonArray &items);
    Error setAsideError() const;
    void restrictPermissions();

    QString m_filePath;
    Timings m_timings;
    size_t m_reportedContent = 0; // content whose unreadable entries were logged
};

} // namespace halvex
