#pragma once

#include "platform/json5.h"

#include <QByteArrayView>
#include <QString>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace halvex {

// What a block of string bytes holds: a quote, backslash or control
// character; else only ASCII, or also other characters. Read 16 bytes at a
// time where SSE2 is there (GCC leaves some inlined copies of the plain loop
// scalar).
enum class BlockKind { special, ascii, wide };
template <qsizetype Size>
inline BlockKind blockKind(const uchar *units)
{
#if defined(__SSE2__)
    if constexpr (Size % 16 == 0) {
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i backslash = _mm_set1_epi8('\\');
        const __m128i lastControl = _mm_set1_epi8(0x1f);
        __m128i special = _mm_setzero_si128();
        __m128i bits = _mm_setzero_si128();
        for (qsizetype k = 0; k < Size; k += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(units + k));
            special = _mm_or_si128(special, _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
            // Unsigned v <= 0x1f: the larger of the two is 0x1f.
            special = _mm_or_si128(special, _mm_cmpeq_epi8(_mm_max_epu8(v, lastControl), lastControl));
            bits = _mm_or_si128(bits, v);
        }
        if (_mm_movemask_epi8(special))
            return BlockKind::special;
        return _mm_movemask_epi8(bits) ? BlockKind::wide : BlockKind::ascii;
    }
#endif
    unsigned special = 0;
    unsigned bits = 0;
    for (qsizetype k = 0; k < Size; ++k) {
        const uchar u = units[k];
        special |= unsigned(u < 0x20) | unsigned(u == '"') | unsigned(u == '\\');
        bits |= u;
    }
    return special ? BlockKind::special : bits < 0x80 ? BlockKind::ascii : BlockKind::wide;
}

// The UTF-16 units that UTF-8 bytes stand for: lead bytes of four-byte
// sequences make two, continuation bytes none.
inline qsizetype utf16Units(uchar u)
{
    return qsizetype((u & 0xC0) != 0x80) + qsizetype(u >= 0xF0);
}
inline qsizetype utf16Units(const uchar *bytes, qsizetype count)
{
    qsizetype sum = 0;
    for (qsizetype k = 0; k < count; ++k)
        sum += utf16Units(bytes[k]);
    return sum;
}

// A strict JSON reader over checked UTF-8 that looks at a few members and
// only checks the rest. Every method returns false on anything it cannot
// accept.
class JsonScanner
{
public:
    explicit JsonScanner(QByteArrayView text)
        : m_data(reinterpret_cast<const uchar *>(text.data())), m_size(text.size())
    {
    }

    struct StringSpan {
        qsizetype begin = 0; // bytes
        qsizetype size = 0;
        qsizetype length = 0; // UTF-16 units of the decoded string
        bool hasEscapes = false;
    };

    void skipSpace()
    {
        while (m_at < m_size) {
            const uchar c = m_data[m_at];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
                return;
            ++m_at;
        }
    }
    bool atEnd()
    {
        skipSpace();
        return m_at == m_size;
    }
    bool take(char c)
    {
        skipSpace();
        if (m_at < m_size && m_data[m_at] == uchar(c)) {
            ++m_at;
            return true;
        }
        return false;
    }
    bool peek(char c)
    {
        skipSpace();
        return m_at < m_size && m_data[m_at] == uchar(c);
    }

    // A string; the span excludes the quotes.
    bool string(StringSpan *span)
    {
        if (!take('"'))
            return false;
        span->begin = m_at;
        span->length = 0;
        span->hasEscapes = false;
        const uchar *data = m_data;
        const qsizetype size = m_size;
        qsizetype plainRun = 0; // bytes of ordinary characters since the last escape
        while (m_at < size) {
            // Deep in a run of ordinary characters (the cumulative text of a
            // long answer), blocks are checked at once. Short strings never
            // get here.
            constexpr qsizetype kBlock = 32;
            if (plainRun >= kBlock) {
                while (m_at + kBlock <= size) {
                    const BlockKind kind = blockKind<kBlock>(data + m_at);
                    if (kind == BlockKind::special)
                        break;
                    span->length += kind == BlockKind::ascii ? kBlock : utf16Units(data + m_at, kBlock);
                    m_at += kBlock;
                }
                plainRun = 0;
                if (m_at >= size)
                    break;
            }
            const uchar c = data[m_at];
            if (c == '"') {
                span->size = m_at - span->begin;
                ++m_at;
                return true;
            }
            if (c < 0x20)
                return false;
            if (c == '\\') {
                span->hasEscapes = true;
                if (++m_at >= size)
                    return false;
                const uchar e = data[m_at];
                if (e == 'u') {
                    if (m_at + 4 >= size)
                        return false;
                    uint unit = 0;
                    for (qsizetype k = 1; k <= 4; ++k) {
                        const int digit = hexDigitValue(data[m_at + k]);
                        if (digit < 0)
                            return false;
                        unit = unit * 16 + uint(digit);
                    }
                    // Surrogates (paired or not) are left to the full reader.
                    if (unit >= 0xD800 && unit <= 0xDFFF)
                        return false;
                    m_at += 4;
                } else if (e != '"' && e != '\\' && e != '/' && e != 'b' && e != 'f' && e != 'n' && e != 'r' &&
                           e != 't') {
                    return false;
                }
                plainRun = 0;
                ++span->length;
            } else {
                ++plainRun;
                span->length += utf16Units(c);
            }
            ++m_at;
        }
        return false;
    }

    // Any value, checked and skipped.
    bool skipValue(int depth = 0)
    {
        if (depth > 64)
            return false;
        skipSpace();
        if (m_at >= m_size)
            return false;
        const uchar c = m_data[m_at];
        if (c == '"') {
            StringSpan ignored;
            return string(&ignored);
        }
        if (c == '{')
            return object([&](const StringSpan &) { return skipValue(depth + 1); });
        if (c == '[') {
            ++m_at;
            if (take(']'))
                return true;
            do {
                if (!skipValue(depth + 1))
                    return false;
            } while (take(','));
            return take(']');
        }
        for (const QLatin1StringView word :
             {QLatin1StringView("true"), QLatin1StringView("false"), QLatin1StringView("null")}) {
            if (textAt(m_at, word)) {
                m_at += word.size();
                return true;
            }
        }
        return number();
    }

    // An object; `member` reads each member's value (the key is given).
    template <typename Member>
    bool object(Member member)
    {
        if (!take('{'))
            return false;
        if (take('}'))
            return true;
        do {
            StringSpan key;
            if (!string(&key) || !take(':') || !member(key))
                return false;
        } while (take(','));
        return take('}');
    }

    // An array; `element` reads each element (its index is given).
    template <typename Element>
    bool array(Element element)
    {
        if (!take('['))
            return false;
        if (take(']'))
            return true;
        int index = 0;
        do {
            if (!element(index++))
                return false;
        } while (take(','));
        return take(']');
    }

    QByteArrayView raw(const StringSpan &span) const { return bytes(span.begin, span.size); }
    // A string without escapes that is exactly `name`.
    bool is(const StringSpan &span, QLatin1StringView name) const
    {
        return !span.hasEscapes && raw(span) == QByteArrayView(name.data(), name.size());
    }

private:
    QByteArrayView bytes(qsizetype at, qsizetype size) const
    {
        return QByteArrayView(reinterpret_cast<const char *>(m_data) + at, size);
    }
    bool textAt(qsizetype at, QLatin1StringView word) const
    {
        return bytes(at, m_size - at).startsWith(QByteArrayView(word.data(), word.size()));
    }

    bool number()
    {
        const qsizetype start = m_at;
        auto isDigit = [this] { return m_at < m_size && m_data[m_at] >= '0' && m_data[m_at] <= '9'; };
        auto digits = [&] {
            const qsizetype from = m_at;
            while (isDigit())
                ++m_at;
            return m_at > from;
        };
        if (m_at < m_size && m_data[m_at] == '-')
            ++m_at;
        if (!digits())
            return false;
        if (m_at < m_size && m_data[m_at] == '.') {
            ++m_at;
            if (!digits())
                return false;
        }
        if (m_at < m_size && (m_data[m_at] == 'e' || m_data[m_at] == 'E')) {
            ++m_at;
            if (m_at < m_size && (m_data[m_at] == '+' || m_data[m_at] == '-'))
                ++m_at;
            if (!digits())
                return false;
        }
        return m_at > start;
    }

    const uchar *m_data;
    qsizetype m_size;
    qsizetype m_at = 0;
};

// Decodes an escaped JSON string body (as the scanner accepted it) from
// UTF-16 unit `from` of its decoded form. Only what lies beyond `from` is
// decoded: the part before it is stepped over, whole blocks at a time.
QString unescapeJsonString(QByteArrayView escaped, qsizetype from);

} // namespace halvex
