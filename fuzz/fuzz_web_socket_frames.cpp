// The frames a WebSocket server sends, as both links read them: however the
// bytes are split across reads, the same messages come out in the same
// order; text is UTF-8, no message passes the limit, control payloads stay
// within 125 bytes, and a failure stays a failure. Masking twice restores
// any payload.

#include "fuzz_support.h"

#include "platform/utf8.h"
#include "platform/web_socket_frames.h"

#include <QStringList>

using namespace halvex;

namespace {

QStringList readAll(const QByteArray &bytes, qsizetype step, qint64 limit)
{
    WebSocketFrameReader reader(limit);
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
                // Sticky: nothing is read after a failure.
                FUZZ_CHECK(reader.next(message, failure) == WebSocketFrameReader::Status::failed);
                return seen << QStringLiteral("failed %1").arg(failure.closeCode);
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
            seen << QString::number(int(message.kind)) + QLatin1Char(':') + QString::fromLatin1(message.payload.toHex());
        }
    }
    return seen;
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
    const QByteArray stream = input.rest();

    const QStringList whole = readAll(stream, std::max<qsizetype>(1, stream.size()), limit);
    FUZZ_CHECK(readAll(stream, step, limit) == whole);

    QByteArray masked = stream;
    maskWebSocketPayload(masked.data(), masked.size(), key);
    maskWebSocketPayload(masked.data(), masked.size(), key);
    FUZZ_CHECK(masked == stream);
    return 0;
}
