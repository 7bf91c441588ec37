// The credential file store reading a file of any content: no crash, and
// the write that follows loses nothing (an unreadable file is set aside
// and recovered from). Every entry that could be read
// before reads back the same afterwards (other than the one written), no
// item of the list is dropped, and the written item reads back.

#include "fuzz_support.h"

#include "platform/secrets/file_secret_backend.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

using namespace halvex;

namespace {

QTemporaryDir *folder = nullptr;

// The entries a reader of the file can find: the last of each key wins.
QHash<SecretItemKey, QByteArray> readableEntries(const QJsonArray &items)
{
    QHash<SecretItemKey, QByteArray> entries;
    for (const QJsonValue &item : items) {
        const QJsonObject object = item.toObject();
        const QJsonValue service = object.value(QLatin1String("service"));
        const QJsonValue account = object.value(QLatin1String("account"));
        const QJsonValue value = object.value(QLatin1String("value"));
        if (!item.isObject() || !service.isString() || service.toString().isEmpty() || !value.isString())
            continue;
        if (!account.isUndefined() && !account.isNull() && !account.isString())
            continue;
        const auto decoded =
            QByteArray::fromBase64Encoding(value.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded)
            continue;
        entries.insert({service.toString(), account.toString()}, *decoded);
    }
    return entries;
}

std::optional<QJsonArray> itemsOf(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonValue items = document.object().value(QLatin1String("items"));
    if (items.isUndefined())
        return QJsonArray();
    if (!items.isArray())
        return std::nullopt;
    return items.toArray();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::quietLogging();
    // In memory where there is a tmpfs: every write syncs its file.
    folder = QFileInfo(QStringLiteral("/dev/shm")).isWritable()
                 ? new QTemporaryDir(QStringLiteral("/dev/shm/halvex-fuzz-XXXXXX"))
                 : new QTemporaryDir;
    return folder->isValid() ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = folder->filePath(QStringLiteral("credentials.json"));
    const QByteArray content = fuzz::bytes(data, size);
    {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        FUZZ_CHECK(file.write(content) == content.size());
    }
    const std::optional<QJsonArray> before = content.trimmed().isEmpty() ? QJsonArray() : itemsOf(content);
    const QHash<SecretItemKey, QByteArray> readable = before ? readableEntries(*before) : decltype(readable){};

    FileSecretBackend store(path, FileSecretBackend::Timings{std::chrono::milliseconds(0)});
    for (auto it = readable.cbegin(); it != readable.cend(); ++it) {
        const SecretLookup found = store.lookup(it.key());
        FUZZ_CHECK(found.ok() && found.value() == it.value());
    }

    const SecretItemKey written{QStringLiteral("com.halvex.bridge.token"), QString()};
    const QByteArray secret("s3cret\0value\xff", 14);
    FUZZ_CHECK(store.store(written, secret).ok());

    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::ReadOnly));
    const std::optional<QJsonArray> after = itemsOf(file.readAll());
    FUZZ_CHECK(after.has_value());
    const SecretLookup again = store.lookup(written);
    FUZZ_CHECK(again.ok() && again.value() == secret);
    if (before) {
        // Items other than the written key's stay, in number and content.
        qsizetype ofWritten = 0;
        for (const QJsonValue &item : *before)
            ofWritten += readableEntries(QJsonArray{item}).contains(written) ? 1 : 0;
        FUZZ_CHECK(after->size() == before->size() - ofWritten + 1);
        const QHash<SecretItemKey, QByteArray> now = readableEntries(*after);
        for (auto it = readable.cbegin(); it != readable.cend(); ++it) {
            if (it.key() == written)
                continue;
            FUZZ_CHECK(now.value(it.key()) == it.value());
            const SecretLookup found = store.lookup(it.key());
            FUZZ_CHECK(found.ok() && found.value() == it.value());
        }
    } else {
        // An unreadable file was set aside: the new store holds the written
        // item alone, until recovery puts back what the copy still shows.
        FUZZ_CHECK(after->size() == 1);
    }
    const Result<FileSecretBackend::Recovery> recovered = store.recoverSetAside();
    FUZZ_CHECK(recovered.ok());
    FUZZ_CHECK(QDir(folder->path()).entryList({QStringLiteral("*.corrupt-*")}, QDir::Files).isEmpty());
    const SecretLookup kept = store.lookup(written);
    FUZZ_CHECK(kept.ok() && kept.value() == secret);
    return 0;
}
