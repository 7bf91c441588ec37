// The frames a WebSocket server sends, as both links read them: however the
// bytes are split across reads, the same messages come out in the same
// order; text is UTF-8, no message passes the limit (inflated ones
// included: the cap holds while inflating, whatever the compressed stream
// holds), control payloads stay within 125 bytes, and a failure stays a
// failure. Masking twice restores any payload; any payload compressed by
// our deflater and sent in any fragments reads back as it was, or is
// refused at the limit with 1009.

#include "fuzz_support.h"

#include "platform/net/web_socket_deflate.h"
#include "platform/net/web_socket_frames.h"
#include "platform/utf8.h"

#include <QStringList>

using namespace halvex;

namespace {

QStringList readAll(const QByteArray &bytes, qsizetype step, qint64 limit, bool deflate)
{
    WebSocketFrameReader reader(limit);
    if (deflate)
        reader.setInflater(std::make_unique<WebSocketInflater>(false));
    QStringList seen;
    for (qsizetype at = 0; at < bytes.size(); at += step) {
        reader.append(QByteArrayView(bytes).sliced(at, std::min(step, bytes.size() - at)));
        WebSocketFrameReader::Message message;
        WebSocketFrameReader::Failure failure;
        while (true) {
            const auto status = reader.next(message, failure);
            if (status == WebSocketFrameReader::Status::needMore)
                break;
            if (status == WebSocketFrameReader::Status::failed) {
                const quint16 code = failure.closeCode;
                // Sticky: nothing is read after a failure.
                FUZZ_CHECK(reader.next(message, failure) == WebSocketFrameReader::Status::failed);
                return seen << QStringLiteral("failed %1").arg(code);
            }
            const bool control = message.kind == WebSocketFrameReader::Kind::ping ||
                                 message.kind == WebSocketFrameReader::Kind::pong ||
                                 message.kind == WebSocketFrameReader::Kind::close;
            if (control)
                FUZZ_CHECK(message.payload.size() <= 125);
            else
                FUZZ_CHECK(message.payload.size() <= limit);
            if (message.kind == WebSocketFrameReader::Kind::text)
                FUZZ_CHECK(isStrictUtf8(message.payload));
            if (message.kind == WebSocketFrameReader::Kind::close) {
                if (const std::optional<WebSocketClose> close = readWebSocketClose(message.payload))
                    FUZZ_CHECK(close->reason.size() <= 123);
            }
            seen << QString::number(int(message.kind)) + QLatin1Char(':') +
                        QString::fromLatin1(message.payload.toHex());
        }
    }
    return seen;
}

// An unmasked server frame.
QByteArray serverFrame(quint8 first, QByteArrayView payload)
{
    QByteArray frame = encodeWebSocketFrame(first & 0x0F, payload, 0, first & 0x40);
    frame[0] = char(first);
    frame[1] = char(frame.at(1) & 0x7F);
    return frame.remove(frame.size() - payload.size() - 4, 4);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input input(data, size);
    const qint64 limit = 1 + qint64(input.byte()) * 32;
    const qsizetype step = 1 + input.byte() % 16;
    const quint32 key = quint32(input.byte()) << 24 | quint32(input.byte()) << 8 | input.byte();
    const quint8 mode = input.byte();
    const bool deflate = mode & 1;
    const QByteArray stream = input.rest();

    const QStringList whole = readAll(stream, std::max<qsizetype>(1, stream.size()), limit, deflate);
    FUZZ_CHECK(readAll(stream, step, limit, deflate) == whole);

    if (deflate) {
        // The bytes as one binary message of ours, compressed (any window,
        // with or without context takeover) and cut into fragments.
        WebSocketDeflater deflater(9 + (mode >> 1) % 7, mode & 0x10);
        QByteArray compressed;
        FUZZ_CHECK(deflater.compress(stream, compressed));
        const qsizetype piece = 1 + (mode >> 5) * 9;
        QByteArray frames;
        for (qsizetype at = 0; at == 0 || at < compressed.size(); at += piece) {
            const bool fin = at + piece >= compressed.size();
            const quint8 first = (fin ? 0x80 : 0x00) | (at == 0 ? 0x40 | WebSocketOpcode::binary : 0x00);
            frames +=
                serverFrame(first, QByteArrayView(compressed).sliced(at, std::min(piece, compressed.size() - at)));
        }
        // A fragment longer than the limit is refused on its header alone.
        const bool fits = stream.size() <= limit && std::min(piece, compressed.size()) <= limit;
        const QStringList expected{fits ? QStringLiteral("1:") + QString::fromLatin1(stream.toHex())
                                        : QStringLiteral("failed 1009")};
        FUZZ_CHECK(readAll(frames, step, limit, true) == expected);
    }

    QByteArray masked = stream;
    maskWebSocketPayload(masked.data(), masked.size(), key);
    maskWebSocketPayload(masked.data(), masked.size(), key);
    FUZZ_CHECK(masked == stream);
    return 0;
}
