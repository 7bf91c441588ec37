#include "relay/relay_message.h"

#include <QJsonArray>

#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

#include <algorithm>

namespace halvex {

namespace {

QString quoted(const QString &key)
{
    return QLatin1Char('"') + key + QLatin1Char('"');
}

// An optional string member: absent and null both read as "not given" (as a
// standard JSON decoder treats optionals); any other non-string rejects the frame.
Result<std::optional<QString>> optionalString(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::optional<QString>{};
    if (!value.isString())
        return Error::plain(QStringLiteral("Member %1 is not a string").arg(quoted(key)));
    return std::optional<QString>(value.toString());
}

// "messages": an array of objects whose member values are all strings. Every
// member is kept, so extra ones reach the gateway unchanged.
Result<std::optional<ChatMessages>> optionalMessages(const QJsonObject &object)
{
    const QString key = QStringLiteral("messages");
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::optional<ChatMessages>{};
    if (!value.isArray())
        return Error::plain(QStringLiteral("Member \"messages\" is not an array"));

    ChatMessages messages;
    const QJsonArray array = value.toArray();
    messages.reserve(array.size());
    for (qsizetype i = 0; i < array.size(); ++i) {
        const QJsonValue entry = array.at(i);
        if (!entry.isObject())
            return Error::plain(QStringLiteral("Entry %1 of \"messages\" is not an object").arg(i));
        ChatMessage message;
        const QJsonObject entryObject = entry.toObject();
        for (auto it = entryObject.begin(); it != entryObject.end(); ++it) {
            if (!it.value().isString())
                return Error::plain(QStringLiteral("Entry %1 of \"messages\" has a non-string value for %2")
                                        .arg(i)
                                        .arg(quoted(it.key())));
            message.insert(it.key(), it.value().toString());
        }
        messages.append(std::move(message));
    }
    return std::optional<ChatMessages>(std::move(messages));
}

} // namespace

Result<RelayMessage> RelayMessage::decode(const QByteArray &utf8Json)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(utf8Json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return Error::plain(
            QStringLiteral("Invalid JSON: %1 at offset %2").arg(parseError.errorString()).arg(parseError.offset));
    if (!document.isObject())
        return Error::plain(QStringLiteral("The frame is not a JSON object"));
    const QJsonObject object = document.object();

    RelayMessage message;
    const QJsonValue type = object.value(QStringLiteral("type"));
    if (type.isUndefined())
        return Error::plain(QStringLiteral("Missing member \"type\""));
    if (!type.isString())
        return Error::plain(QStringLiteral("Member \"type\" is not a string"));
    message.type = type.toString();

    const auto id = optionalString(object, QStringLiteral("id"));
    if (!id)
        return id.error();
    message.id = *id;

    const auto content = optionalString(object, QStringLiteral("content"));
    if (!content)
        return content.error();
    message.content = *content;

    auto messages = optionalMessages(object);
    if (!messages)
        return messages.error();
    message.messages = std::move(messages).value();

    const auto appUserId = optionalString(object, QStringLiteral("appUserId"));
    if (!appUserId)
        return appUserId.error();
    message.appUserId = *appUserId;

    return message;
}

QJsonObject RelayResponse::toJson() const
{
    return QJsonObject{
        {QStringLiteral("type"), type},
        {QStringLiteral("reply_to"), replyTo},
        {QStringLiteral("content"), content},
        {QStringLiteral("appUserId"), appUserId},
    };
}

namespace RelayOutbound {

QJsonObject streamChunk(const QString &replyTo, const QString &delta, const QString &accumulated,
                        const QString &appUserId)
{
    return QJsonObject{
        {QStringLiteral("type"), QStringLiteral("chat_stream_chunk")},
        {QStringLiteral("reply_to"), replyTo},
        {QStringLiteral("delta"), delta},
        {QStringLiteral("accumulated"), accumulated},
        {QStringLiteral("appUserId"), appUserId},
    };
}

QJsonObject streamEnd(const QString &replyTo, const QString &content, const QString &appUserId)
{
    return QJsonObject{
        {QStringLiteral("type"), QStringLiteral("chat_stream_end")},
        {QStringLiteral("reply_to"), replyTo},
        {QStringLiteral("content"), content},
        {QStringLiteral("appUserId"), appUserId},
    };
}

QString streamChunkText(const QString &replyTo, const QString &delta, const QString &accumulated,
                        const QString &appUserId)
{
    QString out;
    out.reserve(96 + replyTo.size() + delta.size() + accumulated.size() + appUserId.size());
    out += QLatin1String(R"({"accumulated":")");
    appendJsonStringContent(out, accumulated);
    out += QLatin1String(R"(","appUserId":")");
    appendJsonStringContent(out, appUserId);
    out += QLatin1String(R"(","delta":")");
    appendJsonStringContent(out, delta);
    out += QLatin1String(R"(","reply_to":")");
    appendJsonStringContent(out, replyTo);
    out += QLatin1String(R"(","type":"chat_stream_chunk"})");
    return out;
}

} // namespace RelayOutbound

void appendJsonStringContent(QString &out, QStringView text)
{
    static const char hex[] = "0123456789abcdef";
    const QChar *data = text.data();
    const char16_t *units = reinterpret_cast<const char16_t *>(text.utf16());
    const qsizetype size = text.size();
    qsizetype run = 0; // start of the characters copied as they are
    // Most text needs no escape at all: whole blocks are checked at once
    // (a loop without early exit, which the compiler vectorizes).
    constexpr qsizetype kBlock = 64;
    qsizetype i = 0;
    while (i < size) {
        if (i + kBlock <= size) {
            unsigned special = 0;
            for (qsizetype k = 0; k < kBlock; ++k) {
                const char16_t c = units[i + k];
                special |= unsigned(c < 0x20) | unsigned(c == u'"') | unsigned(c == u'\\');
            }
            if (!special) {
                i += kBlock;
                continue;
            }
        }
        // A block with something to escape, or the short rest: one by one.
        for (const qsizetype end = std::min(size, i + kBlock); i < end; ++i) {
            const char16_t c = units[i];
            if (c >= 0x20 && c != u'"' && c != u'\\')
                continue;
            out.append(data + run, i - run);
            run = i + 1;
            switch (c) {
            case u'"': out += QLatin1String("\\\""); break;
            case u'\\': out += QLatin1String("\\\\"); break;
            case u'\b': out += QLatin1String("\\b"); break;
            case u'\f': out += QLatin1String("\\f"); break;
            case u'\n': out += QLatin1String("\\n"); break;
            case u'\r': out += QLatin1String("\\r"); break;
            case u'\t': out += QLatin1String("\\t"); break;
            default: {
                const char escaped[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xf]};
                out += QLatin1String(escaped, 6);
            }
            }
        }
    }
    out.append(data + run, size - run);
}

QString bridgeErrorPrefix()
{
    // U+26A0 WARNING SIGN, U+FE0F VARIATION SELECTOR-16, a space.
    return QString(QChar(0x26A0)) + QChar(0xFE0F) + QStringLiteral(" Bridge error: ");
}

} // namespace halvex
