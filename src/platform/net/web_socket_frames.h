#pragma once

// WebSocket framing (RFC 6455) for the client side of a link: frames a
// server sends are read here, frames to the server are built and masked
// here. The one extension there is, permessage-deflate, sets the first
// reserved bit (RSV1) on the first frame of a compressed message.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

namespace halvex {

namespace WebSocketOpcode {
inline constexpr quint8 continuation = 0x0;
inline constexpr quint8 text = 0x1;
inline constexpr quint8 binary = 0x2;
inline constexpr quint8 close = 0x8;
inline constexpr quint8 ping = 0x9;
inline constexpr quint8 pong = 0xA;
} // namespace WebSocketOpcode

// Close codes this side sends or reads.
namespace WebSocketCloseCode {
inline constexpr quint16 normal = 1000;
inline constexpr quint16 goingAway = 1001;
inline constexpr quint16 protocolError = 1002;
inline constexpr quint16 noStatus = 1005;       // a close frame without a code
inline constexpr quint16 abnormal = 1006;       // no close frame at all
inline constexpr quint16 invalidPayload = 1007; // text that is not UTF-8
inline constexpr quint16 tooMuchData = 1009;
} // namespace WebSocketCloseCode

// XORs `size` bytes with the 4-byte masking key (network order), eight
// bytes at a time. Masking twice restores the bytes.
void maskWebSocketPayload(char *data, qsizetype size, quint32 key);

// One masked frame with FIN set; `compressed` sets RSV1.
QByteArray encodeWebSocketFrame(quint8 opcode, QByteArrayView payload, quint32 maskingKey, bool compressed = false);

// The longest frame header a client writes (with its masking key).
inline constexpr qsizetype kWebSocketHeaderRoom = 14;
// Makes one masked frame with FIN set out of `buffer`, whose payload starts
// at kWebSocketHeaderRoom: the header goes just before the payload, which
// is masked in place. The frame is the returned part of the buffer.
QByteArrayView sealWebSocketFrame(QByteArray &buffer, quint8 opcode, quint32 maskingKey, bool compressed);

class WebSocketInflater;

// Reads the frames a server sends, from bytes as they arrive, into whole
// messages and control frames. Fragmented messages are joined; a message
// whose size passes the limit is refused as soon as a frame header
// announces it, before its bytes are buffered. With permessage-deflate on,
// a compressed message is inflated frame by frame, and refused as soon as
// its inflated size would pass the limit.
class WebSocketFrameReader
{
public:
    enum class Kind { text, binary, ping, pong, close };
    struct Message {
        Kind kind = Kind::text;
        QByteArray payload; // close: the code (2 bytes, network order) and the reason
    };
    struct Failure {
        quint16 closeCode = WebSocketCloseCode::protocolError;
        QString reason;
    };
    enum class Status { needMore, message, failed };

    explicit WebSocketFrameReader(qint64 maxMessageBytes);
    ~WebSocketFrameReader();

    // Turns permessage-deflate on: from now on a data message whose first
    // frame has RSV1 set is inflated with this. Without it RSV1 is an error.
    void setInflater(std::unique_ptr<WebSocketInflater> inflater);
    const WebSocketInflater *inflater() const { return m_inflater.get(); }

    void append(QByteArrayView bytes) { m_buffer.append(bytes.data(), bytes.size()); }
    // The next message or control frame, once its last byte is in. After a
    // failure the reader stays failed.
    Status next(Message &message, Failure &failure);

private:
    Status fail(Failure &failure, quint16 code, QString reason);
    void compact();

    qint64 m_maxMessageBytes;
    QByteArray m_buffer;
    qsizetype m_offset = 0; // bytes of m_buffer already read
    // A fragmented data message in progress.
    bool m_inMessage = false;
    bool m_messageCompressed = false;
    Kind m_messageKind = Kind::text;
    QByteArray m_message;
    bool m_failed = false;
    std::unique_ptr<WebSocketInflater> m_inflater;
};

// The code and reason of a close frame's payload; nullopt when the payload
// is malformed (one byte, or a reason that is not UTF-8).
struct WebSocketClose {
    quint16 code = WebSocketCloseCode::noStatus;
    QString reason;
};
std::optional<WebSocketClose> readWebSocketClose(QByteArrayView payload);
QByteArray encodeWebSocketClose(quint16 code, const QString &reason);

} // namespace halvex
