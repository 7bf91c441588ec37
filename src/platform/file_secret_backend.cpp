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

SecretOutcome fileFailure(const QFileDevice &file, const QString &what)
{
    return SecretOutcome::failure(int(file.error()), what + QStringLiteral(": ") + file.errorString());
}

} // namespace

FileSecretBackend::FileSecretBackend(QString filePath) : m_filePath(std::move(filePath)) {}

QString FileSecretBackend::defaultPath()
{
    return Settings::configDirectory() + QStringLiteral("/credentials.json");
}

SecretOutcome FileSecretBackend::lookup(const SecretItemKey &key)
{
    SecretOutcome error;
    const std::optional<QJsonObject> document = read(error);
    if (!document)
        return error;
    const QJsonArray items = document->value(kItems).toArray();
    for (qsizetype i = items.size() - 1; i >= 0; --i) {
        const std::optional<Entry> entry = parseEntry(items.at(i));
        if (entry && entry->key == key)
            return SecretOutcome::success(entry->value);
    }
    return SecretOutcome::notFound();
}

SecretOutcome FileSecretBackend::store(const SecretItemKey &key, const QByteArray &value)
{
    const QFileInfo info(m_filePath);
    const QString folder = info.absolutePath();
    if (!QFileInfo::exists(folder)) {
        if (!QDir().mkpath(folder))
            return SecretOutcome::failure(-1, QStringLiteral("Cannot create the folder ") + folder);
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

SecretOutcome FileSecretBackend::remove(const SecretItemKey &key)
{
    if (!QFileInfo::exists(m_filePath))
        return SecretOutcome::notFound();
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

SecretOutcome FileSecretBackend::editItems(const std::function<bool(QJsonArray &items)> &edit)
{
    // Another instance of the program may write at the same moment.
    QLockFile lock(m_filePath + QStringLiteral(".lock"));
    if (!lock.tryLock(10000))
        return SecretOutcome::failure(int(lock.error()), QStringLiteral("The credential store is locked"));

    SecretOutcome error;
    std::optional<QJsonObject> document = read(error);
    if (!document)
        return error;
    QJsonArray items = document->value(kItems).toArray();
    if (!edit(items))
        return SecretOutcome::notFound();
    document->insert(kItems, items);
    return write(*document);
}

std::optional<QJsonObject> FileSecretBackend::read(SecretOutcome &error)
{
    QFile file(m_filePath);
    if (!file.exists())
        return emptyDocument();
    restrictPermissions();
    if (!file.open(QIODevice::ReadOnly)) {
        error = fileFailure(file, QStringLiteral("Cannot open ") + m_filePath);
        return std::nullopt;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        error = fileFailure(file, QStringLiteral("Cannot read ") + m_filePath);
        return std::nullopt;
    }
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
    if (!moveAside(problem, error))
        return std::nullopt;
    return emptyDocument();
}

SecretOutcome FileSecretBackend::write(const QJsonObject &document)
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
        const SecretOutcome failed = fileFailure(file, QStringLiteral("Cannot write ") + m_filePath);
        file.cancelWriting();
        return failed;
    }
    if (!file.commit())
        return fileFailure(file, QStringLiteral("Cannot save ") + m_filePath);
    return SecretOutcome::success();
}

bool FileSecretBackend::moveAside(const QString &reason, SecretOutcome &error)
{
    const QString base = m_filePath + QStringLiteral(".corrupt-") +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString target = base;
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = base + QLatin1Char('-') + QString::number(n);
    if (!QFile::rename(m_filePath, target)) {
        qCCritical(lcKeychain,
                   "Credential store %s cannot be parsed (%s) and could not be moved aside; leaving it as it is",
                   qUtf8Printable(m_filePath), qUtf8Printable(reason));
        error = SecretOutcome::failure(-1, QStringLiteral("Unreadable credential store ") + m_filePath);
        return false;
    }
    qCCritical(lcKeychain, "Credential store %s cannot be parsed (%s); kept it as %s and started a new one",
               qUtf8Printable(m_filePath), qUtf8Printable(reason), qUtf8Printable(target));
    return true;
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
