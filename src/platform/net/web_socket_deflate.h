#pragma once

// permessage-deflate (RFC 7692) for the client end of a link: the offer in
// the upgrade, the server's answer to it, and the compression state of each
// direction. A compressed message is one raw DEFLATE stream flushed to a
// byte boundary, without the 00 00 ff ff that the flush ends with.

#include "platform/error.h"

#include <QByteArray>
#include <QByteArrayView>

#include <memory>
#include <optional>

namespace halvex {

// What both ends agreed on. Window sizes are powers of two (8 to 15 bits).
struct PerMessageDeflate {
    bool serverNoContextTakeover = false;
    bool clientNoContextTakeover = false;
    int serverMaxWindowBits = 15;
    int clientMaxWindowBits = 15;
};

// The value of the upgrade's Sec-WebSocket-Extensions: the extension with
// client_max_window_bits, so the server may also bound our window.
QByteArray perMessageDeflateOffer();

// Reads the server's Sec-WebSocket-Extensions (every such header of the
// answer, joined with commas). Nothing there: the server declined (nullopt).
// Any other extension, a second one, or a parameter that is unknown,
// repeated or out of range is an error: the link must fail.
Result<std::optional<PerMessageDeflate>> readPerMessageDeflateAnswer(QByteArrayView extensions);

// The bytes zlib holds for one link's compression state, counted as it
// allocates them.
struct DeflateMemory {
    qint64 current = 0;
    qint64 peak = 0;
};

// Compresses the messages this side sends. With context takeover each
// message may refer back to the ones before it (within the window), which
// is what makes a message that repeats the previous one cost a few bytes.
class WebSocketDeflater
{
public:
    // `windowBits` as agreed for this side (8 to 15); `noContextTakeover`
    // starts every message afresh.
    WebSocketDeflater(int windowBits, bool noContextTakeover);
    ~WebSocketDeflater();
    WebSocketDeflater(const WebSocketDeflater &) = delete;
    WebSocketDeflater &operator=(const WebSocketDeflater &) = delete;

    // Whether messages are compressed at all: zlib writes no raw stream
    // for a window of 256 bytes, and none is needed: such a link gets its
    // messages uncompressed (which the extension allows).
    bool isActive() const;
    // Appends the compressed form of one whole message to `out`; false when
    // zlib failed (the message must then go uncompressed).
    bool compress(QByteArrayView message, QByteArray &out);
    DeflateMemory memory() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// Decompresses the messages the server sends, frame by frame, into at most
// a given number of bytes: the cap holds while inflating, so a small frame
// that would inflate past it is refused without the output growing beyond
// the cap.
class WebSocketInflater
{
public:
    enum class Outcome { ok, tooBig, broken };

    explicit WebSocketInflater(bool noContextTakeover);
    ~WebSocketInflater();
    WebSocketInflater(const WebSocketInflater &) = delete;
    WebSocketInflater &operator=(const WebSocketInflater &) = delete;

    // Inflates the payload of one frame of a compressed message, appending
    // to `message` (never past `maxBytes` in all).
    Outcome inflate(QByteArrayView payload, QByteArray &message, qint64 maxBytes);
    // Ends the message (the flush tail the sender left off).
    Outcome finish(QByteArray &message, qint64 maxBytes);
    DeflateMemory memory() const;

private:
    Outcome run(QByteArrayView input, QByteArray &message, qint64 maxBytes);

    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace halvex
