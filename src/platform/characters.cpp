#include "platform/characters.h"

#include <QTextBoundaryFinder>

#include <algorithm>

namespace halvex {

namespace {

// The next character boundary, never one inside a surrogate pair: Qt's
// finder reports one there before some scripts (U+1F661 followed by
// U+0925, Qt 6.4), and half a pair has no UTF-8 form.
qsizetype nextBoundary(QTextBoundaryFinder &finder, const QString &text)
{
    qsizetype position = finder.toNextBoundary();
    while (position > 0 && position < text.size() && text.at(position - 1).isHighSurrogate() &&
           text.at(position).isLowSurrogate())
        position = finder.toNextBoundary();
    return position;
}

bool needsEscape(char16_t u)
{
    return u < 0x20 || (u >= 0x7f && u < 0xa0) || (u >= 0x200b && u <= 0x200f) || (u >= 0x2028 && u <= 0x202e) ||
           (u >= 0x2066 && u <= 0x2069) || u == 0xfeff;
}

} // namespace

qsizetype characterCount(const QString &text)
{
    if (text.isEmpty())
        return 0;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (nextBoundary(finder, text) != -1)
        ++count;
    return count;
}

QString dropCharacters(const QString &text, qsizetype count)
{
    if (count <= 0)
        return text;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype position = 0;
    for (qsizetype i = 0; i < count; ++i) {
        position = nextBoundary(finder, text);
        if (position == -1)
            return {};
    }
    return text.mid(position);
}

QString firstCharacters(const QString &text, qsizetype count)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype position = 0;
    for (qsizetype i = 0; i < count; ++i) {
        const qsizetype next = nextBoundary(finder, text);
        if (next == -1)
            break;
        position = next;
    }
    return text.left(position);
}

QString maskedSecret(const QString &secret)
{
    if (secret.isEmpty())
        return {};
    return QString(8, QChar(0x25CF)) + secret.right(4);
}

QString quotedForLog(const QString &text, int maxLength)
{
    QString out;
    out.reserve(std::min<qsizetype>(text.size(), maxLength) + 8);
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t u = text.at(i).unicode();
        const bool pair = QChar::isHighSurrogate(u) && i + 1 < size && text.at(i + 1).isLowSurrogate();
        if (i + (pair ? 1 : 0) >= maxLength) {
            out += QChar(0x2026);
            break;
        }
        if (pair) {
            out += text.at(i);
            out += text.at(++i);
        } else if (needsEscape(u) || QChar::isSurrogate(u)) {
            out += QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0'));
        } else {
            out += QChar(u);
        }
    }
    return out;
}

} // namespace halvex
