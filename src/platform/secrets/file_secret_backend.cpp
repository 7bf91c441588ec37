#include "platform/secrets/file_secret_backend.h"

#include "platform/atomic_file.h"
#include "platform/logging.h"
#include "platform/settings.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLockFile>

#include <algorithm>

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

// A store holds a few dozen entries of well under a kilobyte each; a damaged
// copy is read no further than this, and yields no more entries than this.
constexpr qint64 kSalvageScanBytes = 4 * 1024 * 1024;
constexpr qsizetype kSalvageEntries = 1000;

// The entries that can still be read from a damaged store. Entries are flat
// objects, so every innermost {...} is tried on its own: damage elsewhere in
// the file costs nothing, damage inside an entry costs that entry. One pass:
// each '}' closes the last '{' before it, and each byte is looked at once.
QList<Entry> salvageEntries(QByteArrayView bytes)
{
    QList<Entry> entries;
    qsizetype open = -1;
    for (qsizetype at = 0; at < bytes.size() && entries.size() < kSalvageEntries; ++at) {
        if (bytes[at] == '{') {
            open = at;
        } else if (bytes[at] == '}' && open >= 0) {
            const QJsonDocument json = QJsonDocument::fromJson(bytes.sliced(open, at - open + 1).toByteArray());
            if (const std::optional<Entry> entry = json.isObject() ? parseEntry(json.object()) : std::nullopt)
                entries.append(*entry);
            open = -1;
        }
    }
    return entries;
}

QList<Entry> salvageFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return salvageEntries(file.read(kSalvageScanBytes));
}

bool holds(const QJsonArray &items, const SecretItemKey &key)
{
    return std::any_of(items.begin(), items.end(), [&](const QJsonValue &item) {
        const std::optional<Entry> entry = parseEntry(item);
        return entry && entry->key == key;
    });
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
    // Not here, but perhaps in the damaged store set aside: "nothing stored"
    // would be a guess.
    if (!setAsideCopies().isEmpty())
        return setAsideError();
    return std::optional<QByteArray>{};
}

QStringList FileSecretBackend::setAsideCopies() const
{
    const QDir folder = QFileInfo(m_filePath).absoluteDir();
    // Matched by prefix, not by a wildcard pattern: the store's own name may
    // hold wildcard characters (and a pattern costs a regular expression).
    const QString prefix = setAsidePrefix(m_filePath);
    QStringList copies;
    for (const QString &name : folder.entryList(QDir::Files | QDir::Hidden, QDir::Name)) {
        if (name.startsWith(prefix))
            copies.append(folder.filePath(name));
    }
    return copies;
}

Error FileSecretBackend::setAsideError() const
{
    return Error::plain(QStringLiteral("The credential store was damaged and set aside as %1; "
                                       "recover what it held with: halvex-bridge credentials recover")
                            .arg(setAsideCopies().join(QStringLiteral(", "))),
                        setAsideCode);
}

Result<FileSecretBackend::Recovery> FileSecretBackend::recoverSetAside()
{
    Recovery recovery;
    recovery.copies = setAsideCopies();
    if (recovery.copies.isEmpty())
        return recovery;
    // Oldest copy first: a newer copy's value of the same item wins.
    QList<Entry> salvaged;
    for (const QString &copy : std::as_const(recovery.copies))
        salvaged += salvageFile(copy);
    const Result<Done> written = editItems([&](QJsonArray &items) {
        QHash<SecretItemKey, QByteArray> missing;
        for (const Entry &entry : std::as_const(salvaged)) {
            if (holds(items, entry.key)) {
                if (!recovery.kept.contains(entry.key))
                    recovery.kept.append(entry.key);
            } else {
                missing.insert(entry.key, entry.value);
            }
        }
        for (const Entry &entry : std::as_const(salvaged)) {
            if (!missing.contains(entry.key) || recovery.restored.contains(entry.key))
                continue;
            items.append(entryJson(entry.key, missing.value(entry.key)));
            recovery.restored.append(entry.key);
        }
        return true;
    });
    if (!written)
        return written.error();
    for (const QString &copy : std::as_const(recovery.copies)) {
        if (!QFileInfo::exists(copy))
            recovery.removedCopies.append(copy);
    }
    return recovery;
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
    if (!lock.tryLock(m_timings.lockWait))
        return Error::plain(QStringLiteral("The credential store is locked by another process"), int(lock.error()));

    Result<QJsonObject> document = read();
    // A damaged store was just set aside: the edit starts a new one.
    if (!document && document.error().code() == setAsideCode)
        document = read();
    if (!document)
        return document.error();
    QJsonArray items = document->value(kItems).toArray();
    if (!edit(items))
        return Done{};
    document.value().insert(kItems, items);
    const Result<Done> written = write(*document);
    if (written)
        removeCoveredCopies(items);
    return written;
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
                    qCWarning(lcCredentials, "Skipping unreadable entry %ld in %s", long(i),
                              qUtf8Printable(m_filePath));
            }
        }
        if (!document.contains(kItems))
            document.insert(kItems, QJsonArray());
        return document;
    }
    const Result<QString> moved = moveAside(problem);
    if (!moved)
        return moved.error();
    return setAsideError();
}

Result<Done> FileSecretBackend::write(const QJsonObject &document)
{
    // Private before the first byte lands; a crash or a full disk leaves the
    // previous file whole.
    const Result<Done> written =
        writeFileAtomically(m_filePath, QJsonDocument(document).toJson(QJsonDocument::Indented), kPrivateFile);
    if (!written)
        return Error::plain(QStringLiteral("Cannot save ") + m_filePath + QStringLiteral(": ") +
                            written.error().description());
    return Done{};
}

void FileSecretBackend::removeCoveredCopies(const QJsonArray &items)
{
    for (const QString &path : setAsideCopies()) {
        const QList<Entry> salvaged = salvageFile(path);
        if (!std::all_of(salvaged.begin(), salvaged.end(), [&](const Entry &entry) { return holds(items, entry.key); }))
            continue;
        if (QFile::remove(path)) {
            qCInfo(lcCredentials, "Removed %s: the credential store holds everything it held", qUtf8Printable(path));
        } else {
            qCWarning(lcCredentials, "Could not remove %s", qUtf8Printable(path));
        }
    }
}

Result<QString> FileSecretBackend::moveAside(const QString &reason)
{
    const QString base = QFileInfo(m_filePath).absoluteDir().filePath(setAsidePrefix(m_filePath)) +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString target = base;
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = base + QLatin1Char('-') + QString::number(n);
    if (!QFile::rename(m_filePath, target)) {
        qCCritical(lcCredentials,
                   "Credential store %s cannot be parsed (%s) and could not be moved aside; leaving it as it is",
                   qUtf8Printable(m_filePath), qUtf8Printable(reason));
        return Error::plain(QStringLiteral("Unreadable credential store ") + m_filePath, -1);
    }
    // It may hold secrets: nobody else reads it, whatever the original allowed.
    QFile::setPermissions(target, kPrivateFile);
    qCCritical(lcCredentials, "Credential store %s cannot be parsed (%s); kept it as %s", qUtf8Printable(m_filePath),
               qUtf8Printable(reason), qUtf8Printable(target));
    return target;
}

void FileSecretBackend::restrictPermissions()
{
    if (!(QFile::permissions(m_filePath) & kOthers))
        return;
    if (QFile::setPermissions(m_filePath, kPrivateFile))
        qCWarning(lcCredentials, "Credential store %s was open to other users; restricted it to its owner",
                  qUtf8Printable(m_filePath));
    else
        qCCritical(lcCredentials, "Credential store %s is open to other users and could not be restricted",
                   qUtf8Printable(m_filePath));
}

} // namespace halvex
