#include "platform/net/web_socket_deflate.h"

#include <QList>

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace halvex {

namespace {

// The compression this side does. Levels 1 to 3 take a long match and move
// past it without indexing its bytes: a message that repeats one before it
// costs a few table lookups per 258 bytes, not a hash per byte. Level 3
// follows up to 32 earlier places with the same three bytes, enough to find
// the repeat of a chat's text among those of other chats streaming at the
// same time (levels 1 and 2 follow 4 and 8, and lose it once chats
// interleave); the lazy matching of level 4 and up costs several times the
// CPU for no fewer bytes here. A memory level of 4 keeps zlib's hash table
// and symbol buffer at 4 KB each; what dominates is the 32 KB window (twice
// over, with its match chains), which a message that repeats one 30 KB back
// needs.
constexpr int kDeflateLevel = 3;
constexpr int kDeflateMemLevel = 4;
// The most a server's window may be; ours decodes any smaller one.
constexpr int kMaxWindowBits = 15;
constexpr unsigned char kFlushTail[] = {0x00, 0x00, 0xff, 0xff};

// zlib's allocations with their sizes counted (a size header before each).
struct CountingAllocator {
    DeflateMemory memory;

    static voidpf allocate(voidpf opaque, uInt items, uInt size)
    {
        auto *self = static_cast<CountingAllocator *>(opaque);
        const size_t bytes = size_t(items) * size;
        auto *block = static_cast<unsigned char *>(std::malloc(bytes + sizeof(max_align_t)));
        if (!block)
            return Z_NULL;
        std::memcpy(block, &bytes, sizeof bytes);
        self->memory.current += qint64(bytes);
        self->memory.peak = std::max(self->memory.peak, self->memory.current);
        return block + sizeof(max_align_t);
    }
    static void release(voidpf opaque, voidpf address)
    {
        auto *self = static_cast<CountingAllocator *>(opaque);
        auto *block = static_cast<unsigned char *>(address) - sizeof(max_align_t);
        size_t bytes;
        std::memcpy(&bytes, block, sizeof bytes);
        self->memory.current -= qint64(bytes);
        std::free(block);
    }
    void attach(z_stream &stream)
    {
        stream.zalloc = &CountingAllocator::allocate;
        stream.zfree = &CountingAllocator::release;
        stream.opaque = this;
    }
};

// A parameter's value: digits, possibly quoted; nullopt when malformed.
std::optional<int> windowBits(QByteArray value)
{
    if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
        value = value.sliced(1, value.size() - 2);
    if (value.isEmpty() || value.size() > 2 || value.startsWith('0'))
        return std::nullopt;
    for (const char c : std::as_const(value))
        if (c < '0' || c > '9')
            return std::nullopt;
    const int bits = value.toInt();
    if (bits < 8 || bits > 15)
        return std::nullopt;
    return bits;
}

Error badAnswer(const QString &why)
{
    return Error::plain(QStringLiteral("The server's permessage-deflate answer is not a valid one: %1").arg(why));
}

} // namespace

QByteArray perMessageDeflateOffer()
{
    return QByteArrayLiteral("permessage-deflate; client_max_window_bits");
}

Result<std::optional<PerMessageDeflate>> readPerMessageDeflateAnswer(QByteArrayView extensions)
{
    QList<QByteArray> accepted;
    for (const QByteArray &part : QByteArray(extensions.data(), extensions.size()).split(','))
        if (!part.trimmed().isEmpty())
            accepted << part.trimmed();
    if (accepted.isEmpty())
        return std::optional<PerMessageDeflate>{};
    if (accepted.size() > 1)
        return badAnswer(QStringLiteral("more than the one extension offered"));

    const QList<QByteArray> items = accepted.constFirst().split(';');
    if (items.constFirst().trimmed().toLower() != "permessage-deflate")
        return badAnswer(QStringLiteral("an extension that was not offered"));
    PerMessageDeflate agreed;
    QList<QByteArray> seen;
    for (qsizetype i = 1; i < items.size(); ++i) {
        const QByteArray item = items.at(i).trimmed();
        const qsizetype equals = item.indexOf('=');
        const QByteArray name = (equals < 0 ? item : item.first(equals)).trimmed().toLower();
        const std::optional<QByteArray> value =
            equals < 0 ? std::nullopt : std::optional<QByteArray>(item.sliced(equals + 1).trimmed());
        if (seen.contains(name))
            return badAnswer(QStringLiteral("a parameter given twice"));
        seen << name;
        if (name == "server_no_context_takeover" || name == "client_no_context_takeover") {
            if (value)
                return badAnswer(QStringLiteral("a value for %1").arg(QLatin1StringView(name)));
            (name.startsWith("server") ? agreed.serverNoContextTakeover : agreed.clientNoContextTakeover) = true;
        } else if (name == "server_max_window_bits" || name == "client_max_window_bits") {
            const std::optional<int> bits = value ? windowBits(*value) : std::nullopt;
            if (!bits)
                return badAnswer(QStringLiteral("%1 without a size of 8 to 15").arg(QLatin1StringView(name)));
            (name.startsWith("server") ? agreed.serverMaxWindowBits : agreed.clientMaxWindowBits) = *bits;
        } else {
            return badAnswer(QStringLiteral("an unknown parameter"));
        }
    }
    return std::optional<PerMessageDeflate>(agreed);
}

// ------------------------------------------------------------------ deflate

struct WebSocketDeflater::State {
    CountingAllocator allocator;
    z_stream stream{};
    bool ready = false;
    bool noContextTakeover = false;
};

WebSocketDeflater::WebSocketDeflater(int windowBits, bool noContextTakeover) : m_state(std::make_unique<State>())
{
    m_state->noContextTakeover = noContextTakeover;
    m_state->allocator.attach(m_state->stream);
    // Negative bits: a raw stream, no zlib header or checksum.
    if (windowBits >= 9 && windowBits <= kMaxWindowBits)
        m_state->ready = deflateInit2(&m_state->stream, kDeflateLevel, Z_DEFLATED, -windowBits, kDeflateMemLevel,
                                      Z_DEFAULT_STRATEGY) == Z_OK;
}

WebSocketDeflater::~WebSocketDeflater()
{
    if (m_state->ready)
        deflateEnd(&m_state->stream);
}

bool WebSocketDeflater::isActive() const
{
    return m_state->ready;
}

DeflateMemory WebSocketDeflater::memory() const
{
    return m_state->allocator.memory;
}

bool WebSocketDeflater::compress(QByteArrayView message, QByteArray &out)
{
    if (!m_state->ready)
        return false;
    z_stream &z = m_state->stream;
    const qsizetype start = out.size();
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(message.data()));
    z.avail_in = uInt(message.size());
    // The flush ends in an empty stored block (5 bytes with its header); a
    // message that does not compress grows by a few bytes per 16 KB.
    qsizetype at = start;
    qsizetype room = message.size() + message.size() / 1000 + 64;
    for (;;) {
        out.resize(at + room);
        z.next_out = reinterpret_cast<Bytef *>(out.data() + at);
        z.avail_out = uInt(room);
        const int rc = deflate(&z, Z_SYNC_FLUSH);
        at = out.size() - qsizetype(z.avail_out);
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            out.resize(start);
            return false;
        }
        // Done once all input is in and the flush had room to finish.
        if (z.avail_in == 0 && z.avail_out > 0)
            break;
        room = std::max<qsizetype>(room, 256);
    }
    // The flush ends in 00 00 ff ff, which the receiver puts back.
    if (at - start < 4 || std::memcmp(out.constData() + at - 4, kFlushTail, 4) != 0) {
        out.resize(start);
        return false;
    }
    out.resize(at - 4);
    if (m_state->noContextTakeover)
        deflateReset(&z);
    return true;
}

// ------------------------------------------------------------------ inflate

struct WebSocketInflater::State {
    CountingAllocator allocator;
    z_stream stream{};
    bool ready = false;
    bool noContextTakeover = false;
    // The sender closed its stream (a final block) within this message:
    // the rest of the message is not DEFLATE data, and the next one starts
    // a new stream.
    bool ended = false;
};

WebSocketInflater::WebSocketInflater(bool noContextTakeover) : m_state(std::make_unique<State>())
{
    m_state->noContextTakeover = noContextTakeover;
    m_state->allocator.attach(m_state->stream);
    m_state->ready = inflateInit2(&m_state->stream, -kMaxWindowBits) == Z_OK;
}

WebSocketInflater::~WebSocketInflater()
{
    if (m_state->ready)
        inflateEnd(&m_state->stream);
}

DeflateMemory WebSocketInflater::memory() const
{
    return m_state->allocator.memory;
}

WebSocketInflater::Outcome WebSocketInflater::inflate(QByteArrayView payload, QByteArray &message, qint64 maxBytes)
{
    return run(payload, message, maxBytes);
}

WebSocketInflater::Outcome WebSocketInflater::finish(QByteArray &message, qint64 maxBytes)
{
    const Outcome outcome =
        run(QByteArrayView(reinterpret_cast<const char *>(kFlushTail), sizeof kFlushTail), message, maxBytes);
    if (m_state->ended || m_state->noContextTakeover) {
        inflateReset(&m_state->stream);
        m_state->ended = false;
    }
    return outcome;
}

WebSocketInflater::Outcome WebSocketInflater::run(QByteArrayView input, QByteArray &message, qint64 maxBytes)
{
    if (!m_state->ready)
        return Outcome::broken;
    // Nothing is left pending between calls (the output is drained until
    // zlib asks for input), so no input means nothing to do.
    if (m_state->ended || input.isEmpty())
        return Outcome::ok;
    z_stream &z = m_state->stream;
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(input.data()));
    z.avail_in = uInt(input.size());
    qsizetype used = message.size();
    Outcome outcome = Outcome::ok;
    for (;;) {
        if (used == message.size()) {
            if (used >= maxBytes) {
                // Full at the cap: one more byte of output would pass it.
                // It is asked for into a byte outside the message.
                unsigned char probe;
                z.next_out = &probe;
                z.avail_out = 1;
                const int rc = ::inflate(&z, Z_SYNC_FLUSH);
                if (z.avail_out == 0)
                    outcome = Outcome::tooBig;
                else if (rc == Z_STREAM_END)
                    m_state->ended = true;
                else if (rc != Z_OK && rc != Z_BUF_ERROR)
                    outcome = Outcome::broken;
                break;
            }
            // Room made exactly, doubling up to the cap.
            const qsizetype grown = qsizetype(std::min<qint64>(maxBytes, std::max<qint64>(2 * used, used + 16384)));
            message.reserve(grown);
            message.resize(grown);
        }
        z.next_out = reinterpret_cast<Bytef *>(message.data() + used);
        z.avail_out = uInt(message.size() - used);
        const int rc = ::inflate(&z, Z_SYNC_FLUSH);
        used = message.size() - qsizetype(z.avail_out);
        if (rc == Z_STREAM_END) {
            m_state->ended = true;
            break;
        }
        if (rc == Z_BUF_ERROR) // nothing more to do with what came
            break;
        if (rc != Z_OK) {
            outcome = Outcome::broken;
            break;
        }
        if (z.avail_in == 0 && z.avail_out > 0)
            break;
    }
    message.resize(used);
    return outcome;
}

} // namespace halvex
