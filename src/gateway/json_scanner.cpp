#include "gateway/json_scanner.h"

#include <cstring>

namespace halvex {

namespace {

// The length in bytes of the UTF-8 sequence a lead byte starts.
qsizetype sequenceLength(uchar lead)
{
    return lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
}

// Appends a decoded body that holds escapes.
void appendUnescaped(QString &out, const uchar *data, qsizetype size)
{
    qsizetype run = 0; // start of the bytes decoded as they are
    for (qsizetype i = 0; i < size; ++i) {
        if (data[i] != '\\')
            continue;
        out.append(QString::fromUtf8(QByteArrayView(data + run, i - run)));
        const uchar e = data[++i];
        switch (e) {
        case 'b':
            out.append(u'\b');
            break;
        case 'f':
            out.append(u'\f');
            break;
        case 'n':
            out.append(u'\n');
            break;
        case 'r':
            out.append(u'\r');
            break;
        case 't':
            out.append(u'\t');
            break;
        case 'u': {
            uint unit = 0;
            for (qsizetype k = 1; k <= 4; ++k)
                unit = unit * 16 + uint(hexDigitValue(data[i + k]));
            out.append(QChar(char16_t(unit)));
            i += 4;
            break;
        }
        default:
            out.append(QChar(char16_t(e)));
            break;
        }
        run = i + 1;
    }
    out.append(QString::fromUtf8(QByteArrayView(data + run, size - run)));
}

} // namespace

QString unescapeJsonString(QByteArrayView escaped, qsizetype from)
{
    const auto *data = reinterpret_cast<const uchar *>(escaped.data());
    const qsizetype size = escaped.size();
    qsizetype i = 0;
    qsizetype unit = 0;
    // Whole blocks without an escape that end on a character's edge (the
    // body was checked: a quote or control character is never in it).
    constexpr qsizetype kBlock = 32;
    while (i + kBlock < size && unit + kBlock <= from) {
        const BlockKind kind = blockKind<kBlock>(data + i);
        if (kind == BlockKind::special || (data[i + kBlock] & 0xC0) == 0x80)
            break;
        unit += kind == BlockKind::ascii ? kBlock : utf16Units(data + i, kBlock);
        i += kBlock;
    }
    // Then a character or an escape at a time.
    while (i < size && unit < from) {
        const uchar c = data[i];
        if (c == '\\') {
            i += data[i + 1] == 'u' ? 6 : 2;
            ++unit;
            continue;
        }
        const qsizetype units = utf16Units(c); // a lead byte: one or two
        if (unit + units > from)
            break; // `from` is the second half of a surrogate pair
        i += sequenceLength(c);
        unit += units;
    }
    const qsizetype dropFirst = unit < from ? from - unit : 0;
    QString out;
    if (std::memchr(data + i, '\\', size_t(size - i)))
        appendUnescaped(out, data + i, size - i);
    else
        out = QString::fromUtf8(QByteArrayView(data + i, size - i));
    if (dropFirst)
        out.remove(0, dropFirst);
    return out;
}

} // namespace halvex
