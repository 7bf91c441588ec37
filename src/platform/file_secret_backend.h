#pragma once

#include "platform/secret_backend.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <functional>

namespace halvex {

// Secrets in a private file (mode 0600 in a 0700 folder): a JSON document
// whose "items" list holds {"service", "account", "value" (base64)} entries.
// It is the older store that the Secret Service migrates from, and the
// primary store on a box without a Secret Service.
//
// Every write replaces the file atomically and keeps all other entries
// (even ones it cannot read); a file it cannot parse is renamed, private, to
// "<file>.corrupt-<time>" and logged before a new one is started, and such
// copies are removed once a good store has been written (they hold secrets
// in plain text); a file readable by others is restricted to its owner.
class FileSecretBackend : public SecretBackend
{
public:
    struct Timings {
        // How long a write waits for another instance's write to finish.
        // Writes take milliseconds, and the caller is the event loop.
        int lockWaitMs = 500;
    };

    FileSecretBackend(QString filePath, Timings timings);
    explicit FileSecretBackend(QString filePath = defaultPath()) : FileSecretBackend(std::move(filePath), Timings{}) {}

    // "credentials.json" beside the user-defaults store.
    static QString defaultPath();

    QString filePath() const { return m_filePath; }

    QString name() const override { return QStringLiteral("file"); }
    SecretLookup lookup(const SecretItemKey &key) override;
    Result<Done> store(const SecretItemKey &key, const QByteArray &value) override;
    Result<Done> remove(const SecretItemKey &key) override;

private:
    // The document on disk, or an empty one when there is none yet (or the
    // unreadable one was just moved aside); an Error when the file exists
    // but cannot be read.
    Result<QJsonObject> read();
    // Locks the store, lets `edit` change its items and writes them back;
    // when `edit` returns false nothing changed and nothing is written.
    Result<Done> editItems(const std::function<bool(QJsonArray &items)> &edit);
    Result<Done> write(const QJsonObject &document);
    Result<Done> moveAside(const QString &reason);
    // Removes the copies moveAside() kept, now that a good store exists.
    void removeSetAside();
    void restrictPermissions();

    QString m_filePath;
    Timings m_timings;
    size_t m_reportedContent = 0; // content whose unreadable entries were logged
};

} // namespace halvex
