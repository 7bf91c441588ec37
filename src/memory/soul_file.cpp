#include "memory/soul_file.h"

#include "platform/logging.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <cmath>

namespace halvex {

namespace {

// Reads members of one JSON object; the first problem fails the decode and
// names the member's path.
class Members
{
public:
    Members(const QJsonObject &object, QString path, QString *failure)
        : m_object(object), m_path(std::move(path)), m_failure(failure)
    {
    }

    QString requiredString(const char *key) { return stringValue(key, true).value_or(QString()); }
    std::optional<QString> optionalString(const char *key) { return stringValue(key, false); }

    QStringList requiredStrings(const char *key)
    {
        const std::optional<QJsonValue> value = member(key, true, QJsonValue::Array);
        QStringList strings;
        if (!value)
            return strings;
        const QJsonArray array = value->toArray();
        for (qsizetype i = 0; i < array.size(); ++i) {
            if (!array.at(i).isString()) {
                fail(QStringLiteral("%1[%2] is not a string").arg(name(key)).arg(i));
                return {};
            }
            strings.append(array.at(i).toString());
        }
        return strings;
    }

    std::optional<qint64> optionalInteger(const char *key)
    {
        const std::optional<QJsonValue> value = member(key, false, QJsonValue::Double);
        if (!value)
            return std::nullopt;
        const double number = value->toDouble();
        // Integers beyond 2^53 do not survive a JSON double anyway.
        if (std::floor(number) != number || std::fabs(number) > 9007199254740992.0) {
            fail(QStringLiteral("%1 is not an integer").arg(name(key)));
            return std::nullopt;
        }
        return qint64(number);
    }

    std::optional<QJsonObject> requiredObject(const char *key)
    {
        const std::optional<QJsonValue> value = member(key, true, QJsonValue::Object);
        return value ? std::optional<QJsonObject>(value->toObject()) : std::nullopt;
    }

    std::optional<QJsonArray> requiredArray(const char *key)
    {
        const std::optional<QJsonValue> value = member(key, true, QJsonValue::Array);
        return value ? std::optional<QJsonArray>(value->toArray()) : std::nullopt;
    }

    bool requiredBool(const char *key)
    {
        const std::optional<QJsonValue> value = member(key, true, QJsonValue::Bool);
        return value && value->toBool();
    }

    QString name(const char *key) const
    {
        const QString member = QString::fromLatin1(key);
        return m_path.isEmpty() ? QStringLiteral("\"%1\"").arg(member)
                                : QStringLiteral("\"%1.%2\"").arg(m_path, member);
    }

    void fail(const QString &what)
    {
        if (m_failure->isEmpty())
            *m_failure = what;
    }

private:
    std::optional<QString> stringValue(const char *key, bool required)
    {
        const std::optional<QJsonValue> value = member(key, required, QJsonValue::String);
        return value ? std::optional<QString>(value->toString()) : std::nullopt;
    }

    // The member when present with the expected type. An optional member that
    // is absent or null gives nothing without failing.
    std::optional<QJsonValue> member(const char *key, bool required, QJsonValue::Type type)
    {
        const QJsonValue value = m_object.value(QLatin1String(key));
        if (value.isUndefined() || (!required && value.isNull())) {
            if (required)
                fail(QStringLiteral("%1 is missing").arg(name(key)));
            return std::nullopt;
        }
        if (value.type() != type) {
            fail(QStringLiteral("%1 has the wrong type").arg(name(key)));
            return std::nullopt;
        }
        return value;
    }

    QJsonObject m_object;
    QString m_path;
    QString *m_failure;
};

Error decodeFailure(const QString &what)
{
    return Error::plain(QStringLiteral("The soul file could not be read: %1.").arg(what));
}

Result<QJsonObject> parseObject(const QByteArray &json)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return decodeFailure(QStringLiteral("%1 at offset %2").arg(parseError.errorString()).arg(parseError.offset));
    if (!document.isObject())
        return decodeFailure(QStringLiteral("it is not a JSON object"));
    return document.object();
}

QJsonArray toArray(const QStringList &strings)
{
    QJsonArray array;
    for (const QString &string : strings)
        array.append(string);
    return array;
}

void appendMissing(QStringList &list, const QStringList &additions)
{
    for (const QString &addition : additions) {
        if (!list.contains(addition))
            list.append(addition);
    }
}

QJsonObject episodeJson(const Episode &episode)
{
    return QJsonObject{{QStringLiteral("date"), episode.date}, {QStringLiteral("summary"), episode.summary}};
}

// The bytes one element adds to a compact JSON array: its encoding, and the
// comma before it when it is not alone.
qsizetype elementBytes(const QJsonValue &value, qsizetype arraySize)
{
    const qsizetype encoded = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).size() - 2;
    return encoded + (arraySize > 1 ? 1 : 0);
}

} // namespace

Result<SoulFile> SoulFile::fromJson(const QJsonObject &object)
{
    QString failure;
    Members file(object, {}, &failure);
    SoulFile soul;
    soul.version = file.requiredString("version");
    soul.avatarId = file.requiredString("avatar_id");

    if (const std::optional<QJsonObject> relationship = file.requiredObject("relationship")) {
        Members members(*relationship, QStringLiteral("relationship"), &failure);
        soul.relationship.userName = members.optionalString("user_name");
        soul.relationship.facts = members.requiredStrings("facts");
        soul.relationship.preferences = members.requiredStrings("preferences");
        soul.relationship.lastUpdated = members.optionalString("last_updated");
    }

    if (const std::optional<QJsonArray> episodes = file.requiredArray("episodes")) {
        for (qsizetype i = 0; i < episodes->size() && failure.isEmpty(); ++i) {
            const QString path = QStringLiteral("episodes[%1]").arg(i);
            if (!episodes->at(i).isObject()) {
                file.fail(QStringLiteral("\"%1\" is not an object").arg(path));
                break;
            }
            Members episode(episodes->at(i).toObject(), path, &failure);
            Episode entry;
            entry.date = episode.requiredString("date");
            entry.summary = episode.requiredString("summary");
            soul.episodes.append(entry);
        }
    }

    if (const std::optional<QJsonObject> metadata = file.requiredObject("metadata")) {
        Members members(*metadata, QStringLiteral("metadata"), &failure);
        soul.metadata.totalSessions = members.optionalInteger("total_sessions");
        soul.metadata.totalMessages = members.optionalInteger("total_messages");
    }

    if (!failure.isEmpty())
        return decodeFailure(failure);
    return soul;
}

Result<SoulFile> SoulFile::decode(const QByteArray &json)
{
    const Result<QJsonObject> object = parseObject(json);
    if (!object)
        return object.error();
    return fromJson(*object);
}

QJsonObject SoulFile::toJson() const
{
    QJsonObject relationshipObject{{QStringLiteral("facts"), toArray(relationship.facts)},
                                   {QStringLiteral("preferences"), toArray(relationship.preferences)}};
    if (relationship.userName)
        relationshipObject.insert(QStringLiteral("user_name"), *relationship.userName);
    if (relationship.lastUpdated)
        relationshipObject.insert(QStringLiteral("last_updated"), *relationship.lastUpdated);

    QJsonArray episodeArray;
    for (const Episode &episode : episodes)
        episodeArray.append(episodeJson(episode));

    QJsonObject metadataObject;
    if (metadata.totalSessions)
        metadataObject.insert(QStringLiteral("total_sessions"), double(*metadata.totalSessions));
    if (metadata.totalMessages)
        metadataObject.insert(QStringLiteral("total_messages"), double(*metadata.totalMessages));

    return QJsonObject{{QStringLiteral("version"), version},
                       {QStringLiteral("avatar_id"), avatarId},
                       {QStringLiteral("relationship"), relationshipObject},
                       {QStringLiteral("episodes"), episodeArray},
                       {QStringLiteral("metadata"), metadataObject}};
}

QByteArray SoulFile::encode() const
{
    return QJsonDocument(toJson()).toJson(QJsonDocument::Compact);
}

Result<SoulFileResponse> SoulFileResponse::decode(const QByteArray &json)
{
    const Result<QJsonObject> object = parseObject(json);
    if (!object)
        return object.error();
    QString failure;
    Members members(*object, {}, &failure);
    SoulFileResponse response;
    response.found = members.requiredBool("found");
    const QJsonValue data = object->value(QLatin1String("data"));
    if (!data.isUndefined() && !data.isNull()) {
        if (!data.isObject()) {
            members.fail(QStringLiteral("\"data\" has the wrong type"));
        } else if (failure.isEmpty()) {
            Result<SoulFile> soul = SoulFile::fromJson(data.toObject());
            if (!soul)
                return soul.error();
            response.data = std::move(soul).value();
        }
    }
    response.updatedAt = members.optionalString("updated_at");
    if (!failure.isEmpty())
        return decodeFailure(failure);
    return response;
}

QString soulFileTimestamp(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODate);
}

SoulFileTrim trimSoulFile(SoulFile &file, qsizetype maxBytes)
{
    SoulFileTrim dropped;
    QStringList &facts = file.relationship.facts;
    QStringList &preferences = file.relationship.preferences;
    // The room each list takes, kept up to date as entries go, so that the
    // file is encoded again only to confirm.
    const auto bytesOf = [](const auto &list, const auto &toJson) {
        qsizetype total = 0;
        for (const auto &entry : list)
            total += elementBytes(toJson(entry), list.size());
        return total;
    };
    const auto asString = [](const QString &text) { return QJsonValue(text); };
    qsizetype factBytes = bytesOf(facts, asString);
    qsizetype episodeBytes = bytesOf(file.episodes, episodeJson);
    qsizetype size = file.encode().size();
    while (size > maxBytes) {
        while (size > maxBytes) {
            if (!facts.isEmpty() && (factBytes >= episodeBytes || file.episodes.isEmpty())) {
                const qsizetype bytes = elementBytes(facts.first(), facts.size());
                facts.removeFirst();
                factBytes -= bytes;
                size -= bytes;
                ++dropped.facts;
            } else if (!file.episodes.isEmpty()) {
                const qsizetype bytes = elementBytes(episodeJson(file.episodes.first()), file.episodes.size());
                file.episodes.removeFirst();
                episodeBytes -= bytes;
                size -= bytes;
                ++dropped.episodes;
            } else if (!preferences.isEmpty()) {
                size -= elementBytes(preferences.first(), preferences.size());
                preferences.removeFirst();
                ++dropped.preferences;
            } else {
                return dropped; // nothing left to drop: the rest is not ours to cut
            }
        }
        size = file.encode().size();
    }
    return dropped;
}

SoulFile mergeSoulFile(const std::optional<SoulFile> &existing, const QStringList &newFacts,
                       const QStringList &newPreferences, const std::optional<QString> &recentActivity,
                       const QDateTime &now, qsizetype maxBytes)
{
    SoulFile soul;
    if (existing) {
        soul = *existing;
    } else {
        soul.version = QString::fromLatin1(kSoulFileVersion);
        soul.avatarId = QString::fromLatin1(kMemoryAvatarId);
    }
    appendMissing(soul.relationship.facts, newFacts);
    appendMissing(soul.relationship.preferences, newPreferences);
    const QString timestamp = soulFileTimestamp(now);
    if (recentActivity)
        soul.episodes.append(Episode{timestamp.left(10), *recentActivity});
    soul.relationship.lastUpdated = timestamp;
    const SoulFileTrim dropped = trimSoulFile(soul, maxBytes);
    if (!dropped.isEmpty())
        qCInfo(lcMemorySync,
               "Soul file kept within %lld KiB: dropped %lld oldest facts, %lld oldest episodes, "
               "%lld oldest preferences",
               qlonglong(maxBytes / 1024), qlonglong(dropped.facts), qlonglong(dropped.episodes),
               qlonglong(dropped.preferences));
    return soul;
}

} // namespace halvex
