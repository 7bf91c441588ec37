#include "platform/utf8.h"

#include <QStringDecoder>

namespace halvex {

std::optional<QString> strictUtf8(QByteArrayView bytes, LeadingBom bom)
{
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
    return strictUtf8(bytes).has_value();
}

} // namespace halvex
