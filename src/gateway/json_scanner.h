#pragma once

#include "platform/json5.h"

#include <QString>
#include <QStringView>

namespace halvex {

// A strict JSON reader over UTF-16 text that looks at a few members and only
// checks the rest. Every method returns false on anything it cannot accept.
class JsonScanner
{
public:
    explicit JsonScanner(QStringView text) : m_text(text) {}

    struct StringSpan {
        qsizetype begin = 0;
        qsizetype size = 0;
        qsizetype length = 0;
        bool hasEscapes = false;
    };

    void skipSpace()
    {
        while (m_at < m_text.size()) {
            const char16_t c = m_text[m_at].unicode();
            if (c != u' ' && c != u'\t' && c != u'\n' && c != u'\r')
                return;
            ++m_at;
        }
    }
    bool atEnd()
    {
        skipSpace();
        return m_at == m_text.size();
    }
    bool take(char16_t c)
    {
        skipSpace();
        if (m_at < m_text.size() && m_text[m_at].unicode() == c) {
            ++m_at;
            return true;
        }
        return false;
    }
    bool peek(char16_t c)
    {
        skipSpace();
        return m_at < m_text.size() && m_text[m_at].unicode() == c;
    }

    // A string; the span excludes the quotes.
    bool string(StringSpan *span)
    {
        if (!take(u'"'))
            return false;
        span->begin = m_at;
        span->length = 0;
        span->hasEscapes = false;
        const QChar *data = m_text.data();
        const qsizetype size = m_text.size();
        qsizetype plainRun = 0; // ordinary characters since the last escape
        while (m_at < size) {
            // Deep in a run of ordinary characters (the cumulative text of a
            // long answer), blocks are checked at once: a loop without early
            // exit that the compiler vectorizes. Short strings never get here.
            constexpr qsizetype kBlock = 32;
            if (plainRun >= kBlock) {
                while (m_at + kBlock <= size) {
                    unsigned special = 0;
                    for (qsizetype k = 0; k < kBlock; ++k) {
                        const char16_t u = data[m_at + k].unicode();
                        special |= unsigned(u < 0x20) | unsigned(u == u'"') | unsigned(u == u'\\');
                    }
                    if (special)
                        break;
                    m_at += kBlock;
                    span->length += kBlock;
                }
                plainRun = 0;
                if (m_at >= size)
                    break;
            }
            const char16_t c = data[m_at].unicode();
            if (c == u'"') {
                span->size = m_at - span->begin;
                ++m_at;
                return true;
            }
            if (c < 0x20)
                return false;
            if (c == u'\\') {
                span->hasEscapes = true;
                if (++m_at >= size)
                    return false;
                const char16_t e = data[m_at].unicode();
                if (e == u'u') {
                    if (m_at + 4 >= size)
                        return false;
                    uint unit = 0;
                    for (qsizetype k = 1; k <= 4; ++k) {
                        const int digit = hexDigitValue(data[m_at + k].unicode());
                        if (digit < 0)
                            return false;
                        unit = unit * 16 + uint(digit);
                    }
                    // Surrogates (paired or not) are left to the full reader.
                    if (unit >= 0xD800 && unit <= 0xDFFF)
                        return false;
                    m_at += 4;
                } else if (e != u'"' && e != u'\\' && e != u'/' && e != u'b' && e != u'f' && e != u'n' &&
                           e != u'r' && e != u't') {
                    return false;
                }
                plainRun = 0;
            } else {
                ++plainRun;
            }
            ++m_at;
            ++span->length;
        }
        return false;
    }

    // Any value, checked and skipped.
    bool skipValue(int depth = 0)
    {
        if (depth > 64)
            return false;
        skipSpace();
        if (m_at >= m_text.size())
            return false;
        const char16_t c = m_text[m_at].unicode();
        if (c == u'"') {
            StringSpan ignored;
            return string(&ignored);
        }
        if (c == u'{')
            return object([&](const StringSpan &) { return skipValue(depth + 1); });
        if (c == u'[') {
            ++m_at;
            if (take(u']'))
                return true;
            do {
                if (!skipValue(depth + 1))
                    return false;
            } while (take(u','));
            return take(u']');
        }
        for (const QLatin1StringView word : {QLatin1StringView("true"), QLatin1StringView("false"),
                                             QLatin1StringView("null")}) {
            if (m_text.sliced(m_at).startsWith(word)) {
                m_at += word.size();
                return true;
            }
        }
        return number();
    }

    // An object; `member` reads each member's value (the key is given).
    template <typename Member> bool object(Member member)
    {
        if (!take(u'{'))
            return false;
        if (take(u'}'))
            return true;
        do {
            StringSpan key;
            if (!string(&key) || !take(u':') || !member(key))
                return false;
        } while (take(u','));
        return take(u'}');
    }

    // An array; `element` reads each element (its index is given).
    template <typename Element> bool array(Element element)
    {
        if (!take(u'['))
            return false;
        if (take(u']'))
            return true;
        int index = 0;
        do {
            if (!element(index++))
                return false;
        } while (take(u','));
        return take(u']');
    }

    QStringView raw(const StringSpan &span) const { return m_text.sliced(span.begin, span.size); }
    bool keyIs(const StringSpan &key, QLatin1StringView name) const
    {
        return !key.hasEscapes && raw(key) == name;
    }

private:
    bool number()
    {
        const qsizetype start = m_at;
        auto digits = [this] {
            const qsizetype from = m_at;
            while (m_at < m_text.size() && m_text[m_at] >= u'0' && m_text[m_at] <= u'9')
                ++m_at;
            return m_at > from;
        };
        if (m_at < m_text.size() && m_text[m_at] == u'-')
            ++m_at;
        if (!digits())
            return false;
        if (m_at < m_text.size() && m_text[m_at] == u'.') {
            ++m_at;
            if (!digits())
                return false;
        }
        if (m_at < m_text.size() && (m_text[m_at] == u'e' || m_text[m_at] == u'E')) {
            ++m_at;
            if (m_at < m_text.size() && (m_text[m_at] == u'+' || m_text[m_at] == u'-'))
                ++m_at;
            if (!digits())
                return false;
        }
        return m_at > start;
    }

    QStringView m_text;
    qsizetype m_at = 0;
};

// Decodes an escaped JSON string body (as the scanner accepted it) from unit
// `from` of its decoded form.
inline QString unescapeJsonString(QStringView escaped, qsizetype from)
{
    QString out;
    const qsizetype size = escaped.size();
    qsizetype unit = 0;
    for (qsizetype i = 0; i < size; ++i, ++unit) {
        QChar c = escaped[i];
        if (c == u'\\') {
            const char16_t e = escaped[++i].unicode();
            switch (e) {
            case u'b': c = u'\b'; break;
            case u'f': c = u'\f'; break;
            case u'n': c = u'\n'; break;
            case u'r': c = u'\r'; break;
            case u't': c = u'\t'; break;
            case u'u': {
                uint unit = 0;
                for (qsizetype k = 1; k <= 4; ++k)
                    unit = unit * 16 + uint(hexDigitValue(escaped[i + k].unicode()));
                c = QChar(char16_t(unit));
                i += 4;
                break;
            }
            default: c = QChar(e); break;
            }
        }
        if (unit >= from)
            out.append(c);
    }
    return out;
}


} // namespace halvex
