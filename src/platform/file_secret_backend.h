#pragma once

#include "platform/secret_backend.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <functional>
#include <optional>

namespace halvex {

// Secrets in a private file (mode 0600 in a 0700 folder): a JSON document
// whose "items" list holds {"service", "account", "value" (base64)} entries.
// It is the older store that the Secret Service migrates from, and the
// primary store on a box without a Secret Service.
//
// It never loses data: every write replaces the file atomically and keeps
// all other entries (even ones it cannot read); a file it cannot parse is
// renamed to "<file>.corrupt-<time>" and logged before a new one is started;
// a file readable by others is restricted to its owner.
class FileSecretBackend : public SecretBackend
{
public:
    explicit FileSecretBackend(QString filePath = defaultPath());

    // "credentials.json" beside the user-defaults store.
    static QString defaultPath();

    QString filePath() const { return m_filePath; }

    QString name() const override { return QStringLiteral("file"); }
    SecretOutcome lookup(const SecretItemKey &key) override;
    SecretOutcome store(const SecretItemKey &key, const QByteArray &value) override;
    SecretOutcome remove(const SecretItemKey &key) override;

private:
    // The document on disk, or an empty one when there is none yet (or the
    // unreadable one was just moved aside). nullopt with `error` set when
    // the file exists but cannot be read.
    std::optional<QJsonObject> read(SecretOutcome &error);
    // Locks the store, lets `edit` change its items and writes them back;
    // when `edit` returns false nothing was found and nothing is written.
    SecretOutcome editItems(const std::function<bool(QJsonArray &items)> &edit);
    SecretOutcome write(const QJsonObject &document);
    bool moveAside(const QString &reason, SecretOutcome &error);
    void restrictPermissions();

    QString m_filePath;
    size_t m_reportedContent = 0; // content whose unreadable entries were logged
};

} // namespace halvex
