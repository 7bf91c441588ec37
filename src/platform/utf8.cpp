#include "platform/utf8.h"

#include <QStringDecoder>

#include <cstring>

namespace halvex {

namespace {

// Plain ASCII is well-formed UTF-8 whatever follows; most of what the
// bridge reads is, so it skips the decoder. Eight bytes at a time.
bool isAscii(QByteArrayView bytes)
{
    const char *data = bytes.data();
    qsizetype i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        quint64 word;
        std::memcpy(&word, data + i, sizeof word);
        if (word & 0x8080808080808080ULL)
            return false;
    }
    for (; i < bytes.size(); ++i) {
        if (data[i] & 0x80)
            return false;
    }
    return true;
}

} // namespace

std::optional<QString> strictUtf8(QByteArrayView bytes, LeadingBom bom)
{
    if (isAscii(bytes))
        return QString::fromLatin1(bytes.data(), bytes.size());
    // Stateless: a sequence cut short at the end is an error, not something
    // held back for a next chunk. Qt skips a leading byte order mark unless
    // told to convert it into the text.
    QStringDecoder::Flags flags = QStringDecoder::Flag::Stateless;
    if (bom == LeadingBom::keep)
        flags |= QStringDecoder::Flag::ConvertInitialBom;
    QStringDecoder decoder(QStringDecoder::Utf8, flags);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

bool isStrictUtf8(QByteArrayView bytes)
{
    return isAscii(bytes) || strictUtf8(bytes).has_value();
}

} // namespace halvex
