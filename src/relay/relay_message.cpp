#include "relay/relay_message.h"

#include <QJsonArray>

#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

namespace {

// The members of a chunk after "accumulated"; `out` holds that one already.
void finishStreamChunkJson(QByteArray &out, const QString &replyTo, const QString &delta, const QString &appUserId)
{
    out += R"(","appUserId":")";
    appendJsonStringUtf8(out, appUserId);
    out += R"(","delta":")";
    appendJsonStringUtf8(out, delta);
    out += R"(","reply_to":")";
    appendJsonStringUtf8(out, replyTo);
    out += R"(","type":"chat_stream_chunk"})";
}

// The member names and quotes of a chunk, and the room the escaping asks
// for ahead of a block (64 units of up to 6 bytes): with both reserved, a
// chunk is written without its array growing.
constexpr qsizetype kChunkMembersBytes = 96 + 64 * 6;

} // namespace

QByteArray streamChunkJson(const QString &replyTo, const QString &delta, const QString &accumulated,
                           const QString &appUserId)
{
    QByteArray out;
    out.reserve(kChunkMembersBytes + replyTo.size() + delta.size() + accumulated.size() + appUserId.size());
    out += R"({"accumulated":")";
    appendJsonStringUtf8(out, accumulated);
    finishStreamChunkJson(out, replyTo, delta, appUserId);
    return out;
}

QByteArray StreamChunkWriter::write(const QString &replyTo, const QString &delta, const QString &accumulated,
                                    const QString &appUserId)
{
    const qsizetype known = m_text.size();
    if (accumulated.size() >= known && QStringView(accumulated).first(known) == QStringView(m_text)) {
        m_text.append(QStringView(accumulated).sliced(known));
    } else {
        m_text = accumulated;
        m_escaped.clear();
        m_escapedUnits = 0;
    }
    // Whole characters only: a first half of a surrogate pair at the end
    // waits for its second half before it joins the kept escaping.
    qsizetype whole = m_text.size();
    if (whole > m_escapedUnits && m_text.at(whole - 1).isHighSurrogate())
        --whole;
    if (whole > m_escapedUnits) {
        appendJsonStringUtf8(m_escaped, QStringView(m_text).sliced(m_escapedUnits, whole - m_escapedUnits));
        m_escapedUnits = whole;
    }

    QByteArray out;
    out.reserve(kChunkMembersBytes + m_escaped.size() + 6 * (replyTo.size() + delta.size() + appUserId.size() + 1));
    out += R"({"accumulated":")";
    out += m_escaped;
    if (m_escapedUnits < m_text.size())
        appendJsonStringUtf8(out, QStringView(m_text).sliced(m_escapedUnits));
    finishStreamChunkJson(out, replyTo, delta, appUserId);
    return out;
}

} // namespace RelayOutbound

namespace {

// Writes a block of UTF-16 units to `dst` as they are, one byte each, when
// all are printable ASCII other than quote and backslash; false (and `dst`
// holds nothing useful) otherwise. Eight units at a time where SSE2 is there.
template <qsizetype Size>
bool narrowPlainBlock(const char16_t *units, char *dst)
{
#if defined(__SSE2__)
    static_assert(Size % 16 == 0);
    const __m128i space = _mm_set1_epi16(0x20);
    const __m128i printable = _mm_set1_epi16(0x7e - 0x20);
    const __m128i quote = _mm_set1_epi16('"');
    const __m128i backslash = _mm_set1_epi16('\\');
    __m128i special = _mm_setzero_si128();
    for (qsizetype k = 0; k < Size; k += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(units + k));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(units + k + 8));
        for (const __m128i v : {a, b}) {
            // Outside 0x20..0x7e: v - 0x20 (wrapping) exceeds 0x5e.
            special = _mm_or_si128(special, _mm_subs_epu16(_mm_sub_epi16(v, space), printable));
            special = _mm_or_si128(special, _mm_or_si128(_mm_cmpeq_epi16(v, quote), _mm_cmpeq_epi16(v, backslash)));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + k), _mm_packus_epi16(a, b));
    }
    return _mm_movemask_epi8(_mm_cmpeq_epi8(special, _mm_setzero_si128())) == 0xFFFF;
#else
    unsigned special = 0;
    for (qsizetype k = 0; k < Size; ++k) {
        const char16_t c = units[k];
        special |= unsigned(c < 0x20) | unsigned(c == u'"') | unsigned(c == u'\\') | unsigned(c >= 0x7f);
        dst[k] = char(c);
    }
    return !special;
#endif
}

} // namespace

void appendJsonStringUtf8(QByteArray &out, QStringView text)
{
    static const char hex[] = "0123456789abcdef";
    const char16_t *units = text.utf16();
    const qsizetype size = text.size();
    // Written through a pointer into room made ahead, a block at a time;
    // the array is cut to what was written at the end.
    qsizetype at = out.size();
    constexpr qsizetype kBlock = 64;
    constexpr qsizetype kMostPerUnit = 6; // "\u001f"
    auto room = [&out, &at](qsizetype bytes) {
        if (out.size() < at + bytes)
            out.resize(std::max(at + bytes, 2 * out.size()));
        return out.data() + at;
    };
    qsizetype i = 0;
    while (i < size) {
        // Most text is ASCII with nothing to escape: whole blocks are
        // checked at once and narrowed as they are.
        if (i + kBlock <= size && narrowPlainBlock<kBlock>(units + i, room(kBlock))) {
            at += kBlock;
            i += kBlock;
            continue;
        }
        // A block with something else in it, or the short rest: one by one.
        char *dst = room(kBlock * kMostPerUnit);
        char *const blockStart = dst;
        for (const qsizetype end = std::min(size, i + kBlock); i < end; ++i) {
            const char16_t c = units[i];
            if (c < 0x80) {
                if (c >= 0x20 && c != u'"' && c != u'\\') {
                    *dst++ = char(c);
                    continue;
                }
                *dst++ = '\\';
                switch (c) {
                case u'"':
                    *dst++ = '"';
                    break;
                case u'\\':
                    *dst++ = '\\';
                    break;
                case u'\b':
                    *dst++ = 'b';
                    break;
                case u'\f':
                    *dst++ = 'f';
                    break;
                case u'\n':
                    *dst++ = 'n';
                    break;
                case u'\r':
                    *dst++ = 'r';
                    break;
                case u'\t':
                    *dst++ = 't';
                    break;
                default:
                    *dst++ = 'u';
                    *dst++ = '0';
                    *dst++ = '0';
                    *dst++ = hex[c >> 4];
                    *dst++ = hex[c & 0xf];
                }
            } else if (c < 0x800) {
                *dst++ = char(0xC0 | (c >> 6));
                *dst++ = char(0x80 | (c & 0x3F));
            } else if (!QChar::isSurrogate(c)) {
                *dst++ = char(0xE0 | (c >> 12));
                *dst++ = char(0x80 | ((c >> 6) & 0x3F));
                *dst++ = char(0x80 | (c & 0x3F));
            } else if (QChar::isHighSurrogate(c) && i + 1 < size && QChar::isLowSurrogate(units[i + 1])) {
                // Four bytes for two units: within the room made for the block.
                const char32_t u = QChar::surrogateToUcs4(c, units[++i]);
                *dst++ = char(0xF0 | (u >> 18));
                *dst++ = char(0x80 | ((u >> 12) & 0x3F));
                *dst++ = char(0x80 | ((u >> 6) & 0x3F));
                *dst++ = char(0x80 | (u & 0x3F));
            } else {
                *dst++ = '?';
            }
        }
        at += dst - blockStart;
    }
    out.resize(at);
}

QString bridgeErrorPrefix()
{
    // U+26A0 WARNING SIGN, U+FE0F VARIATION SELECTOR-16, a space.
    return QString(QChar(0x26A0)) + QChar(0xFE0F) + QStringLiteral(" Bridge error: ");
}

} // namespace halvex
