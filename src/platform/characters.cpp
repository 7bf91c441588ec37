#include "platform/characters.h"

#include <QTextBoundaryFinder>

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

} // namespace halvex
