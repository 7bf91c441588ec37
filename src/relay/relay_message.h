#pragma once

#include "platform/chat_message.h"
#include "platform/error.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>

#include <optional>

namespace halvex {

// An inbound relay frame. Decoding is strict: a missing or non-string
// "type", or any present member of another type than documented, rejects
// the whole frame. Unknown members are ignored.
struct RelayMessage {
    QString type;
    std::optional<QString> id;
    std::optional<QString> content;
    std::optional<ChatMessages> messages;
    std::optional<QString> appUserId;

    // Decodes the UTF-8 JSON text of one frame; the error's description says
    // what was wrong.
    static Result<RelayMessage> decode(const QByteArray &utf8Json);
};

// The outbound failure reply; all four members are always present.
struct RelayResponse {
    QString type = QStringLiteral("chat_response");
    QString replyTo;
    QString content;
    QString appUserId;

    QJsonObject toJson() const;
};

// Builders of the outbound dictionaries.
namespace RelayOutbound {
QJsonObject streamChunk(const QString &replyTo, const QString &delta, const QString &accumulated,
                        const QString &appUserId);
QJsonObject streamEnd(const QString &replyTo, const QString &content, const QString &appUserId);
// The compact JSON of streamChunk() as UTF-8, written directly (members in
// the order a JSON document writes them): the form sent once per fragment.
QByteArray streamChunkJson(const QString &replyTo, const QString &delta, const QString &accumulated,
                           const QString &appUserId);

// streamChunkJson() for the successive chunks of one answer, at a cost that
// does not grow with it: the JSON escaping of the accumulated text is kept
// between chunks, and a chunk whose text extends the last one's escapes
// only the new part. (A text rewritten by the gateway is escaped anew.)
class StreamChunkWriter
{
public:
    QByteArray write(const QString &replyTo, const QString &delta, const QString &accumulated,
                     const QString &appUserId);

private:
    QString m_text;       // the accumulated text of the last chunk
    QByteArray m_escaped; // the escaping of its first m_escapedUnits units
    qsizetype m_escapedUnits = 0;
};
} // namespace RelayOutbound

// Appends `text` to `out` as the inside of a JSON string, in UTF-8: quote,
// backslash and control characters escaped, everything else as it is (a
// lone surrogate, which has no UTF-8 form, becomes "?" as in toUtf8()).
void appendJsonStringUtf8(QByteArray &out, QStringView text);

// "⚠️ Bridge error: " (U+26A0 U+FE0F, a space, then the words).
QString bridgeErrorPrefix();

} // namespace halvex
