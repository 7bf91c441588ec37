#include "platform/file_secret_backend.h"

#include "platform/logging.h"
#include "platform/settings.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLockFile>
#include <QSaveFile>

namespace halvex {

namespace {

const QString kItems = QStringLiteral("items");
const QString kService = QStringLiteral("service");
const QString kAccount = QStringLiteral("account");
const QString kValue = QStringLiteral("value");

constexpr QFile::Permissions kPrivateFile = QFile::ReadOwner | QFile::WriteOwner;
constexpr QFile::Permissions kPrivateFolder = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
constexpr QFile::Permissions kOthers =
    QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;

struct Entry {
    SecretItemKey key;
    QByteArray value;
};

// One entry of the list, or nullopt for anything that is not a complete,
// well-formed entry (those are kept in the file untouched, never dropped).
std::optional<Entry> parseEntry(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    const QJsonObject object = json.toObject();
    const QJsonValue service = object.value(kService);
    const QJsonValue account = object.value(kAccount);
    const QJsonValue value = object.value(kValue);
    if (!service.isString() || service.toString().isEmpty() || !value.isString())
        return std::nullopt;
    if (!account.isUndefined() && !account.isNull() && !account.isString())
        return std::nullopt;
    const auto decoded =
        QByteArray::fromBase64Encoding(value.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    return Entry{{service.toString(), account.toString()}, *decoded};
}

QJsonObject entryJson(const SecretItemKey &key, const QByteArray &value)
{
    QJsonObject entry;
    entry.insert(kService, key.service);
    if (!key.account.isEmpty())
        entry.insert(kAccount, key.account);
    entry.insert(kValue, QString::fromLatin1(value.toBase64()));
    return entry;
}

QJsonObject emptyDocument()
{
    QJsonObject document;
    document.insert(QStringLiteral("version"), 1);
    document.insert(kItems, QJsonArray());
    return document;
}

Error fileFailure(const QFileDevice &file, const QString &what)
{
    return Error::plain(what + QStringLiteral(": ") + file.errorString(), int(file.error()));
}

QString setAsidePrefix(const QString &filePath)
{
    return QFileInfo(filePath).fileName() + QStringLiteral(".corrupt-");
}

} // namespace

FileSecretBackend::FileSecretBackend(QString filePath, Timings timings)
    : m_filePath(std::move(filePath)), m_timings(timings)
{
}

QString FileSecretBackend::defaultPath()
{
    return Settings::configDirectory() + QStringLiteral("/credentials.json");
}

SecretLookup FileSecretBackend::lookup(const SecretItemKey &key)
{
    const Result<QJsonObject> document = read();
    if (!document)
        return document.error();
    const QJsonArray items = document->value(kItems).toArray();
    for (qsizetype i = items.size() - 1; i >= 0; --i) {
        const std::optional<Entry> entry = parseEntry(items.at(i));
        if (entry && entry->key == key)
            return std::optional<QByteArray>(entry->value);
    }
    return std::optional<QByteArray>{};
}

Result<Done> FileSecretBackend::store(const SecretItemKey &key, const QByteArray &value)
{
    const QFileInfo info(m_filePath);
    const QString folder = info.absolutePath();
    if (!QFileInfo::exists(folder)) {
        if (!QDir().mkpath(folder))
            return Error::plain(QStringLiteral("Cannot create the folder ") + folder, -1);
        QFile::setPermissions(folder, kPrivateFolder);
    } else if (folder == QFileInfo(defaultPath()).absolutePath() && (QFile::permissions(folder) & kOthers)) {
        // Our own configuration folder: nobody else needs to look inside.
        QFile::setPermissions(folder, kPrivateFolder);
    }

    return editItems([&](QJsonArray &items) {
        bool placed = false;
        for (qsizetype i = 0; i < items.size();) {
            const std::optional<Entry> entry = parseEntry(items.at(i));
            if (!entry || !(entry->key == key)) {
                ++i;
            } else if (!placed) {
                items.replace(i++, entryJson(key, value));
                placed = true;
            } else {
                items.removeAt(i);
            }
        }
        if (!placed)
            items.append(entryJson(key, value));
        return true;
    });
}

Result<Done> FileSecretBackend::remove(const SecretItemKey &key)
{
    if (!QFileInfo::exists(m_filePath))
        return Done{};
    return editItems([&](QJsonArray &items) {
        bool removed = false;
        for (qsizetype i = 0; i < items.size();) {
            const std::optional<Entry> entry = parseEntry(items.at(i));
            if (entry && entry->key == key) {
                items.removeAt(i);
                removed = true;
            } else {
                ++i;
            }
        }
        return removed;
    });
}

Result<Done> FileSecretBackend::editItems(const std::function<bool(QJsonArray &items)> &edit)
{
    // Another instance of the program may write at the same moment; a lock
    // held longer than a write takes is not waited out on the event loop.
    QLockFile lock(m_filePath + QStringLiteral(".lock"));
    if (!lock.tryLock(m_timings.lockWaitMs))
        return Error::plain(QStringLiteral("The credential store is locked by another process"), int(lock.error()));

    Result<QJsonObject> document = read();
    if (!document)
        return document.error();
    QJsonArray items = document->value(kItems).toArray();
    if (!edit(items))
        return Done{};
    document.value().insert(kItems, items);
    return write(*document);
}

Result<QJsonObject> FileSecretBackend::read()
{
    QFile file(m_filePath);
    if (!file.exists())
        return emptyDocument();
    restrictPermissions();
    if (!file.open(QIODevice::ReadOnly))
        return fileFailure(file, QStringLiteral("Cannot open ") + m_filePath);
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return fileFailure(file, QStringLiteral("Cannot read ") + m_filePath);
    file.close();
    if (bytes.trimmed().isEmpty())
        return emptyDocument(); // nothing in it to lose

    QJsonParseError parseError;
    const QJsonDocument json = QJsonDocument::fromJson(bytes, &parseError);
    QString problem;
    if (parseError.error != QJsonParseError::NoError)
        problem = parseError.errorString() + QStringLiteral(" at offset ") + QString::number(parseError.offset);
    else if (!json.isObject())
        problem = QStringLiteral("not a JSON object");
    else if (json.object().contains(kItems) && !json.object().value(kItems).isArray())
        problem = QStringLiteral("\"items\" is not a list");
    if (problem.isEmpty()) {
        QJsonObject document = json.object();
        // Said once per file content, not on every read.
        const size_t contentHash = qHash(bytes);
        if (contentHash != m_reportedContent) {
            m_reportedContent = contentHash;
            const QJsonArray items = document.value(kItems).toArray();
            for (qsizetype i = 0; i < items.size(); ++i) {
                if (!parseEntry(items.at(i)))
                    qCWarning(lcKeychain, "Skipping unreadable entry %ld in %s", long(i), qUtf8Printable(m_filePath));
            }
        }
        if (!document.contains(kItems))
            document.insert(kItems, QJsonArray());
        return document;
    }
    const Result<Done> moved = moveAside(problem);
    if (!moved)
        return moved.error();
    return emptyDocument();
}

Result<Done> FileSecretBackend::write(const QJsonObject &document)
{
    // QSaveFile writes a temporary file and renames it over the old one, so
    // a crash or a full disk leaves the previous file whole.
    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly))
        return fileFailure(file, QStringLiteral("Cannot write ") + m_filePath);
    // Private before the first byte lands.
    if (!file.setPermissions(kPrivateFile)) {
        file.cancelWriting();
        return fileFailure(file, QStringLiteral("Cannot make private ") + m_filePath);
    }
    const QByteArray bytes = QJsonDocument(document).toJson(QJsonDocument::Indented);
    if (file.write(bytes) != bytes.size()) {
        const Error failed = fileFailure(file, QStringLiteral("Cannot write ") + m_filePath);
        file.cancelWriting();
        return failed;
    }
    if (!file.commit())
        return fileFailure(file, QStringLiteral("Cannot save ") + m_filePath);
    removeSetAside();
    return Done{};
}

void FileSecretBackend::removeSetAside()
{
    const QFileInfo info(m_filePath);
    const QDir folder = info.absoluteDir();
    // Matched by prefix, not by a wildcard pattern: the store's own name may
    // hold wildcard characters (and a pattern costs a regular expression).
    const QString prefix = setAsidePrefix(m_filePath);
    for (const QString &name : folder.entryList(QDir::Files | QDir::Hidden)) {
        if (!name.startsWith(prefix))
            continue;
        const QString path = folder.filePath(name);
        if (QFile::remove(path))
            qCInfo(lcKeychain, "Removed %s: a good credential store has been written", qUtf8Printable(path));
        else
            qCWarning(lcKeychain, "Could not remove %s", qUtf8Printable(path));
    }
}

Result<Done> FileSecretBackend::moveAside(const QString &reason)
{
    const QString base = QFileInfo(m_filePath).absoluteDir().filePath(setAsidePrefix(m_filePath)) +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString target = base;
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = base + QLatin1Char('-') + QString::number(n);
    if (!QFile::rename(m_filePath, target)) {
        qCCritical(lcKeychain,
                   "Credential store %s cannot be parsed (%s) and could not be moved aside; leaving it as it is",
                   qUtf8Printable(m_filePath), qUtf8Printable(reason));
        return Error::plain(QStringLiteral("Unreadable credential store ") + m_filePath, -1);
    }
    // It may hold secrets: nobody else reads it, whatever the original allowed.
    QFile::setPermissions(target, kPrivateFile);
    qCCritical(lcKeychain, "Credential store %s cannot be parsed (%s); kept it as %s and started a new one",
               qUtf8Printable(m_filePath), qUtf8Printable(reason), qUtf8Printable(target));
    return Done{};
}

void FileSecretBackend::restrictPermissions()
{
    if (!(QFile::permissions(m_filePath) & kOthers))
        return;
    if (QFile::setPermissions(m_filePath, kPrivateFile))
        qCWarning(lcKeychain, "Credential store %s was open to other users; restricted it to its owner",
                  qUtf8Printable(m_filePath));
    else
        qCCritical(lcKeychain, "Credential store %s is open to other users and could not be restricted",
                   qUtf8Printable(m_filePath));
}

} // namespace halvex
