#include "platform/json5.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QStringDecoder>

#include <cmath>
#include <limits>

namespace halvex {

namespace {

bool isLineTerminator(char16_t c)
{
    return c == u'\n' || c == u'\r' || c == 0x2028 || c == 0x2029;
}

bool isJson5Space(QChar c)
{
    const char16_t u = c.unicode();
    return u == u'\t' || u == u'\v' || u == u'\f' || u == u' ' || u == 0x00A0 || u == 0xFEFF || isLineTerminator(u) ||
           c.category() == QChar::Separator_Space;
}

bool isIdentifierStart(QChar c)
{
    return c == u'$' || c == u'_' || c.isLetter() || c.category() == QChar::Number_Letter;
}

bool isIdentifierPart(QChar c)
{
    const QChar::Category cat = c.category();
    return isIdentifierStart(c) || cat == QChar::Mark_NonSpacing || cat == QChar::Mark_SpacingCombining ||
           cat == QChar::Number_DecimalDigit || cat == QChar::Punctuation_Connector || c.unicode() == 0x200C ||
           c.unicode() == 0x200D;
}

bool isDigit(QChar c)
{
    return c.unicode() >= u'0' && c.unicode() <= u'9';
}

// A recursive-descent reader over the decoded text; `m_depth` bounds the
// recursion, the caller bounds the size.
class Reader
{
public:
    Reader(const QString &text, const Json5Limits &limits, Json5Notes *notes)
        : m_text(text), m_limits(limits), m_notes(notes)
    {
    }

    Result<QJsonValue> document()
    {
        if (!skipSpace())
            return failure();
        if (atEnd()) {
            fail(QStringLiteral("the document is empty"));
            return failure();
        }
        QJsonValue value;
        if (!readValue(value) || !skipSpace())
            return failure();
        if (!atEnd()) {
            fail(QStringLiteral("unexpected text after the value"));
            return failure();
        }
        return value;
    }

private:
    bool atEnd() const { return m_pos >= m_text.size(); }
    QChar peek(qsizetype ahead = 0) const
    {
        return m_pos + ahead < m_text.size() ? m_text.at(m_pos + ahead) : QChar(u'\0');
    }

    // "line:column" of `pos`.
    QString where(qsizetype pos) const
    {
        qsizetype line = 1;
        qsizetype column = 1;
        for (qsizetype i = 0; i < pos && i < m_text.size(); ++i) {
            const char16_t u = m_text.at(i).unicode();
            // "\r\n" is one line break.
            if (u == u'\n' || u == 0x2028 || u == 0x2029 ||
                (u == u'\r' && (i + 1 >= m_text.size() || m_text.at(i + 1) != u'\n'))) {
                ++line;
                column = 1;
            } else if (!m_text.at(i).isLowSurrogate()) {
                ++column;
            }
        }
        return QStringLiteral("%1:%2").arg(line).arg(column);
    }

    bool fail(const QString &what)
    {
        if (m_error.isEmpty())
            m_error = where(m_pos) + QStringLiteral(": ") + what;
        return false;
    }

    void noteInexact(qsizetype start)
    {
        if (m_notes)
            m_notes->inexactNumbers.append(where(start) + QStringLiteral(": ") + m_text.mid(start, m_pos - start));
    }
    Error failure() const { return Error::plain(m_error); }

    void noteComment()
    {
        if (m_notes)
            m_notes->hasComments = true;
    }

    bool skipSpace()
    {
        while (!atEnd()) {
            const QChar c = peek();
            if (isJson5Space(c)) {
                ++m_pos;
            } else if (c == u'/' && peek(1) == u'/') {
                noteComment();
                while (!atEnd() && !isLineTerminator(peek().unicode()))
                    ++m_pos;
            } else if (c == u'/' && peek(1) == u'*') {
                noteComment();
                const qsizetype end = m_text.indexOf(QLatin1String("*/"), m_pos + 2);
                if (end < 0)
                    return fail(QStringLiteral("a comment is not closed"));
                m_pos = end + 2;
            } else {
                break;
            }
        }
        return true;
    }

    bool readValue(QJsonValue &value)
    {
        const QChar c = peek();
        if (c == u'{')
            return readObject(value);
        if (c == u'[')
            return readArray(value);
        if (c == u'"' || c == u'\'') {
            QString text;
            if (!readString(text))
                return false;
            value = text;
            return true;
        }
        if (matchWord(QLatin1String("null"))) {
            value = QJsonValue(QJsonValue::Null);
            return true;
        }
        if (matchWord(QLatin1String("true"))) {
            value = true;
            return true;
        }
        if (matchWord(QLatin1String("false"))) {
            value = false;
            return true;
        }
        if (c == u'+' || c == u'-' || c == u'.' || isDigit(c) || c == u'I' || c == u'N')
            return readNumber(value);
        if (atEnd())
            return fail(QStringLiteral("a value is missing"));
        return fail(QStringLiteral("unexpected character '%1'").arg(c));
    }

    // A literal word that is not the start of a longer identifier.
    bool matchWord(QLatin1String word)
    {
        if (QStringView(m_text).mid(m_pos, word.size()) != word)
            return false;
        if (m_pos + word.size() < m_text.size() && isIdentifierPart(m_text.at(m_pos + word.size())))
            return false;
        m_pos += word.size();
        return true;
    }

    bool enter()
    {
        if (++m_depth > m_limits.maxDepth)
            return fail(QStringLiteral("nested deeper than %1 levels").arg(m_limits.maxDepth));
        return true;
    }

    // The elements of an object or array up to `close`, each read by
    // `readElement`; one trailing comma is allowed.
    template <typename ReadElement>
    bool readElements(char16_t close, const QString &kind, ReadElement readElement)
    {
        if (!enter())
            return false;
        ++m_pos; // the opening bracket
        while (true) {
            if (!skipSpace())
                return false;
            if (peek() == close)
                break;
            if (!readElement() || !skipSpace())
                return false;
            if (peek() == u',')
                ++m_pos;
            else if (peek() != close)
                return fail(atEnd() ? QStringLiteral("%1 is not closed").arg(kind)
                                    : QStringLiteral("expected ',' or '%1' in %2").arg(QChar(close), kind));
        }
        ++m_pos;
        --m_depth;
        return true;
    }

    bool readObject(QJsonValue &value)
    {
        QJsonObject object;
        const bool ok = readElements(u'}', QStringLiteral("an object"), [&] {
            QString key;
            if (!readKey(key) || !skipSpace())
                return false;
            if (peek() != u':')
                return fail(QStringLiteral("expected ':' after a key"));
            ++m_pos;
            QJsonValue member;
            if (!skipSpace() || !readValue(member))
                return false;
            object.insert(key, member);
            return true;
        });
        value = object;
        return ok;
    }

    bool readArray(QJsonValue &value)
    {
        QJsonArray array;
        const bool ok = readElements(u']', QStringLiteral("an array"), [&] {
            QJsonValue element;
            if (!readValue(element))
                return false;
            array.append(element);
            return true;
        });
        value = array;
        return ok;
    }

    bool readKey(QString &key)
    {
        const QChar c = peek();
        if (c == u'"' || c == u'\'')
            return readString(key);
        if (atEnd())
            return fail(QStringLiteral("an object is not closed"));
        bool first = true;
        while (!atEnd()) {
            QChar part = peek();
            if (part == u'\\') {
                if (peek(1) != u'u')
                    return fail(QStringLiteral("invalid escape in a key"));
                m_pos += 2;
                char16_t unit = 0;
                if (!readHex(4, unit))
                    return false;
                part = QChar(unit);
                if (!(first ? isIdentifierStart(part) : isIdentifierPart(part)))
                    return fail(QStringLiteral("invalid character in a key"));
                key += part;
            } else if (first ? isIdentifierStart(part) : isIdentifierPart(part)) {
                key += part;
                ++m_pos;
            } else {
                break;
            }
            first = false;
        }
        if (key.isEmpty())
            return fail(QStringLiteral("expected a key"));
        return true;
    }

    bool readHex(int digits, char16_t &unit)
    {
        unit = 0;
        for (int i = 0; i < digits; ++i) {
            const int v = hexDigitValue(peek().unicode());
            if (v < 0)
                return fail(QStringLiteral("expected a hexadecimal digit"));
            unit = char16_t(unit * 16 + v);
            ++m_pos;
        }
        return true;
    }

    bool readString(QString &out)
    {
        const QChar quote = peek();
        ++m_pos;
        while (true) {
            if (atEnd())
                return fail(QStringLiteral("a string is not closed"));
            const QChar c = peek();
            if (c == quote) {
                ++m_pos;
                return true;
            }
            if (c == u'\n' || c == u'\r')
                return fail(QStringLiteral("a line break inside a string"));
            if (c != u'\\') {
                out += c;
                ++m_pos;
                continue;
            }
            ++m_pos;
            if (atEnd())
                return fail(QStringLiteral("a string is not closed"));
            const QChar e = peek();
            ++m_pos;
            switch (e.unicode()) {
            case u'b':
                out += u'\b';
                break;
            case u'f':
                out += u'\f';
                break;
            case u'n':
                out += u'\n';
                break;
            case u'r':
                out += u'\r';
                break;
            case u't':
                out += u'\t';
                break;
            case u'v':
                out += u'\v';
                break;
            case u'0':
                if (isDigit(peek()))
                    return fail(QStringLiteral("invalid escape in a string"));
                out += QChar(u'\0');
                break;
            case u'x': {
                char16_t unit = 0;
                if (!readHex(2, unit))
                    return false;
                out += QChar(unit);
                break;
            }
            case u'u': {
                char16_t unit = 0;
                if (!readHex(4, unit))
                    return false;
                out += QChar(unit);
                break;
            }
            case u'\r':
                if (peek() == u'\n')
                    ++m_pos;
                break; // a line continuation
            case u'\n':
            case 0x2028:
            case 0x2029:
                break;
            default:
                if (isDigit(e))
                    return fail(QStringLiteral("invalid escape in a string"));
                out += e;
            }
        }
    }

    bool readNumber(QJsonValue &value)
    {
        const qsizetype start = m_pos;
        double sign = 1.0;
        if (peek() == u'+' || peek() == u'-') {
            if (peek() == u'-')
                sign = -1.0;
            ++m_pos;
        }
        if (matchWord(QLatin1String("Infinity"))) {
            value = sign * std::numeric_limits<double>::infinity();
            noteInexact(start);
            return true;
        }
        if (matchWord(QLatin1String("NaN"))) {
            value = std::numeric_limits<double>::quiet_NaN();
            noteInexact(start);
            return true;
        }
        if (peek() == u'0' && (peek(1) == u'x' || peek(1) == u'X')) {
            m_pos += 2;
            double number = 0;
            int count = 0;
            for (int v = hexDigitValue(peek().unicode()); v >= 0; v = hexDigitValue(peek().unicode())) {
                number = number * 16 + v;
                ++m_pos;
                ++count;
            }
            if (count == 0)
                return fail(QStringLiteral("expected a hexadecimal digit"));
            if (isIdentifierPart(peek()))
                return fail(QStringLiteral("invalid number"));
            value = sign * number;
            // Past 2^53 a double no longer holds every integer; -0 is
            // written back as 0.
            if (number > 9007199254740992.0 || (number == 0 && sign < 0))
                noteInexact(start);
            return true;
        }
        qsizetype intDigits = 0;
        const bool leadingZero = peek() == u'0';
        while (isDigit(peek())) {
            ++m_pos;
            ++intDigits;
        }
        if (leadingZero && intDigits > 1) {
            m_pos = start;
            return fail(QStringLiteral("a number may not start with 0"));
        }
        qsizetype fracDigits = 0;
        const bool point = peek() == u'.';
        if (point) {
            ++m_pos;
            while (isDigit(peek())) {
                ++m_pos;
                ++fracDigits;
            }
        }
        if (intDigits == 0 && fracDigits == 0) {
            m_pos = start;
            return fail(QStringLiteral("invalid number"));
        }
        const bool integral = !point && peek() != u'e' && peek() != u'E';
        if (peek() == u'e' || peek() == u'E') {
            ++m_pos;
            if (peek() == u'+' || peek() == u'-')
                ++m_pos;
            if (!isDigit(peek()))
                return fail(QStringLiteral("expected digits in an exponent"));
            while (isDigit(peek()))
                ++m_pos;
        }
        if (isIdentifierPart(peek()))
            return fail(QStringLiteral("invalid number"));
        QString lexeme = m_text.mid(start, m_pos - start);
        if (lexeme.startsWith(u'+'))
            lexeme.remove(0, 1);
        bool ok = false;
        // An integer is kept exact, as Qt's own JSON reader keeps it: the
        // configuration writer writes back what the user wrote, and a double
        // would round anything beyond 2^53 (ids, timestamps).
        if (integral) {
            const qint64 exact = lexeme.toLongLong(&ok);
            if (ok) {
                value = exact;
                if (exact == 0 && sign < 0)
                    noteInexact(start);
                return true;
            }
        }
        const double number = lexeme.toDouble(&ok); // C locale; "5." and ".5" are accepted
        if (!ok && !std::isinf(number))
            return fail(QStringLiteral("invalid number"));
        value = number;
        // An integer beyond 64 bits becomes a rounded double; an exponent
        // past the double's range becomes Infinity; -0.0 loses its sign.
        if ((integral && std::abs(number) > 9007199254740992.0) || std::isinf(number) || (number == 0 && sign < 0))
            noteInexact(start);
        return true;
    }

    const QString &m_text;
    const Json5Limits &m_limits;
    Json5Notes *m_notes = nullptr;
    qsizetype m_pos = 0;
    int m_depth = 0;
    QString m_error;
};

} // namespace

int hexDigitValue(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

Result<QJsonValue> parseJson5(const QByteArray &text, const Json5Limits &limits, Json5Notes *notes)
{
    if (text.size() > limits.maxBytes)
        return Error::plain(QStringLiteral("1:1: the document is larger than %1 bytes").arg(limits.maxBytes));
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(text);
    if (decoder.hasError())
        return Error::plain(QStringLiteral("1:1: the document is not valid UTF-8"));
    return Reader(decoded, limits, notes).document();
}

} // namespace halvex
