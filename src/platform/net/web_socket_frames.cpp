#include "platform/net/web_socket_frames.h"

#include "platform/net/web_socket_deflate.h"
#include "platform/utf8.h"

#include <QtEndian>

#include <cstring>

namespace halvex {

void maskWebSocketPayload(char *data, qsizetype size, quint32 key)
{
    // The key's bytes in wire order, repeated over eight bytes.
    unsigned char keyBytes[4];
    qToBigEndian(key, keyBytes);
    unsigned char wide[8];
    for (int i = 0; i < 8; ++i)
        wide[i] = keyBytes[i % 4];
    quint64 wideKey;
    std::memcpy(&wideKey, wide, sizeof wideKey);

    qsizetype i = 0;
    for (; i + 8 <= size; i += 8) {
        quint64 block;
        std::memcpy(&block, data + i, sizeof block);
        block ^= wideKey;
        std::memcpy(data + i, &block, sizeof block);
    }
    for (; i < size; ++i)
        data[i] = char(static_cast<unsigned char>(data[i]) ^ keyBytes[i % 4]);
}

QByteArrayView sealWebSocketFrame(QByteArray &buffer, quint8 opcode, quint32 maskingKey, bool compressed)
{
    const qsizetype size = buffer.size() - kWebSocketHeaderRoom;
    const qsizetype lengthBytes = size < 126 ? 0 : size <= 0xFFFF ? 2 : 8;
    const qsizetype start = kWebSocketHeaderRoom - (2 + lengthBytes + 4);
    auto *out = reinterpret_cast<unsigned char *>(buffer.data() + start);
    out[0] = 0x80 | (compressed ? 0x40 : 0x00) | (opcode & 0x0F);
    if (lengthBytes == 0) {
        out[1] = 0x80 | quint8(size);
    } else if (lengthBytes == 2) {
        out[1] = 0x80 | 126;
        qToBigEndian(quint16(size), out + 2);
    } else {
        out[1] = 0x80 | 127;
        qToBigEndian(quint64(size), out + 2);
    }
    qToBigEndian(maskingKey, out + 2 + lengthBytes);
    maskWebSocketPayload(buffer.data() + kWebSocketHeaderRoom, size, maskingKey);
    return QByteArrayView(buffer).sliced(start);
}

QByteArray encodeWebSocketFrame(quint8 opcode, QByteArrayView payload, quint32 maskingKey, bool compressed)
{
    QByteArray buffer;
    buffer.reserve(kWebSocketHeaderRoom + payload.size());
    buffer.resize(kWebSocketHeaderRoom);
    buffer.append(payload.data(), payload.size());
    return sealWebSocketFrame(buffer, opcode, maskingKey, compressed).toByteArray();
}

WebSocketFrameReader::WebSocketFrameReader(qint64 maxMessageBytes) : m_maxMessageBytes(maxMessageBytes)
{
}

WebSocketFrameReader::~WebSocketFrameReader() = default;

void WebSocketFrameReader::setInflater(std::unique_ptr<WebSocketInflater> inflater)
{
    m_inflater = std::move(inflater);
}

WebSocketFrameReader::Status WebSocketFrameReader::fail(Failure &failure, quint16 code, QString reason)
{
    m_failed = true;
    m_buffer.clear();
    m_offset = 0;
    m_message.clear();
    failure.closeCode = code;
    failure.reason = std::move(reason);
    return Status::failed;
}

WebSocketFrameReader::Status WebSocketFrameReader::next(Message &message, Failure &failure)
{
    if (m_failed)
        return fail(failure, WebSocketCloseCode::protocolError, QStringLiteral("The link already failed"));
    while (true) {
        const qsizetype available = m_buffer.size() - m_offset;
        if (available < 2)
            break;
        const auto *head = reinterpret_cast<const unsigned char *>(m_buffer.constData() + m_offset);
        const bool fin = head[0] & 0x80;
        const quint8 opcode = head[0] & 0x0F;
        // RSV1 marks a compressed message, and only where permessage-deflate is on.
        const bool rsv1 = head[0] & 0x40;
        if ((head[0] & 0x30) || (rsv1 && !m_inflater))
            return fail(failure, WebSocketCloseCode::protocolError, QStringLiteral("Reserved bits set in a frame"));
        if (head[1] & 0x80)
            return fail(failure, WebSocketCloseCode::protocolError, QStringLiteral("A masked frame from the server"));
        quint64 length = head[1] & 0x7F;
        qsizetype headerBytes = 2;
        if (length == 126) {
            if (available < 4)
                break;
            length = qFromBigEndian<quint16>(head + 2);
            headerBytes = 4;
        } else if (length == 127) {
            if (available < 10)
                break;
            length = qFromBigEndian<quint64>(head + 2);
            headerBytes = 10;
            if (length >> 63)
                return fail(failure, WebSocketCloseCode::protocolError, QStringLiteral("A frame length over 2^63"));
        }

        const bool control = opcode & 0x08;
        if (control) {
            if (!fin || length > 125)
                return fail(failure, WebSocketCloseCode::protocolError,
                            QStringLiteral("A control frame that is fragmented or over 125 bytes"));
            if (opcode != WebSocketOpcode::close && opcode != WebSocketOpcode::ping && opcode != WebSocketOpcode::pong)
                return fail(failure, WebSocketCloseCode::protocolError,
                            QStringLiteral("Unknown control opcode %1").arg(opcode));
            if (rsv1)
                return fail(failure, WebSocketCloseCode::protocolError, QStringLiteral("A compressed control frame"));
        } else {
            if (opcode == WebSocketOpcode::continuation) {
                if (!m_inMessage)
                    return fail(failure, WebSocketCloseCode::protocolError,
                                QStringLiteral("A continuation frame outside a message"));
                if (rsv1)
                    return fail(failure, WebSocketCloseCode::protocolError,
                                QStringLiteral("RSV1 on a continuation frame"));
            } else if (opcode == WebSocketOpcode::text || opcode == WebSocketOpcode::binary) {
                if (m_inMessage)
                    return fail(failure, WebSocketCloseCode::protocolError,
                                QStringLiteral("A new message inside a fragmented one"));
            } else {
                return fail(failure, WebSocketCloseCode::protocolError,
                            QStringLiteral("Unknown data opcode %1").arg(opcode));
            }
            // Refused on the header alone: nothing of it is buffered. (A
            // compressed frame's inflated size is checked as it inflates.)
            const bool compressed = m_inMessage ? m_messageCompressed : rsv1;
            const quint64 total = quint64(m_inMessage && !compressed ? m_message.size() : 0) + length;
            if (total > quint64(m_maxMessageBytes))
                return fail(failure, WebSocketCloseCode::tooMuchData,
                            QStringLiteral("A message over %1 bytes").arg(m_maxMessageBytes));
        }

        if (quint64(available - headerBytes) < length)
            break;
        const char *payload = m_buffer.constData() + m_offset + headerBytes;
        const qsizetype size = qsizetype(length);
        m_offset += headerBytes + size;

        if (control) {
            message.kind = opcode == WebSocketOpcode::close  ? Kind::close
                           : opcode == WebSocketOpcode::ping ? Kind::ping
                                                             : Kind::pong;
            message.payload = QByteArray(payload, size);
        } else {
            if (!m_inMessage) {
                m_inMessage = true;
                m_messageCompressed = rsv1;
                m_messageKind = opcode == WebSocketOpcode::text ? Kind::text : Kind::binary;
            }
            if (m_messageCompressed) {
                WebSocketInflater::Outcome outcome =
                    m_inflater->inflate(QByteArrayView(payload, size), m_message, m_maxMessageBytes);
                if (outcome == WebSocketInflater::Outcome::ok && fin)
                    outcome = m_inflater->finish(m_message, m_maxMessageBytes);
                if (outcome == WebSocketInflater::Outcome::tooBig)
                    return fail(failure, WebSocketCloseCode::tooMuchData,
                                QStringLiteral("A message over %1 bytes").arg(m_maxMessageBytes));
                if (outcome == WebSocketInflater::Outcome::broken)
                    return fail(failure, WebSocketCloseCode::invalidPayload,
                                QStringLiteral("A compressed message that does not inflate"));
            } else {
                m_message.append(payload, size);
            }
            if (!fin)
                continue;
            m_inMessage = false;
            if (m_messageKind == Kind::text && !isStrictUtf8(m_message))
                return fail(failure, WebSocketCloseCode::invalidPayload,
                            QStringLiteral("A text message that is not UTF-8"));
            message.kind = m_messageKind;
            message.payload = std::exchange(m_message, QByteArray());
        }
        compact();
        return Status::message;
    }
    compact();
    return Status::needMore;
}

void WebSocketFrameReader::compact()
{
    // What was read goes once it is all of the buffer or a good share of it.
    if (m_offset >= m_buffer.size()) {
        m_buffer.clear();
        m_offset = 0;
    } else if (m_offset > 65536 && m_offset * 2 > m_buffer.size()) {
        m_buffer.remove(0, m_offset);
        m_offset = 0;
    }
}

std::optional<WebSocketClose> readWebSocketClose(QByteArrayView payload)
{
    WebSocketClose close;
    if (payload.isEmpty())
        return close;
    if (payload.size() == 1)
        return std::nullopt;
    close.code = qFromBigEndian<quint16>(payload.data());
    const std::optional<QString> reason = strictUtf8(payload.sliced(2));
    if (!reason)
        return std::nullopt;
    close.reason = *reason;
    return close;
}

QByteArray encodeWebSocketClose(quint16 code, const QString &reason)
{
    QByteArray payload(2, Qt::Uninitialized);
    qToBigEndian(code, payload.data());
    QByteArray text = reason.toUtf8();
    // A control frame holds 125 bytes: the reason is cut on a character boundary.
    if (text.size() > 123) {
        qsizetype cut = 123;
        while (cut > 0 && (static_cast<unsigned char>(text.at(cut)) & 0xC0) == 0x80)
            --cut;
        text.truncate(cut);
    }
    return payload + text;
}

} // namespace halvex
