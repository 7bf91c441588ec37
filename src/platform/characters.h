#pragma once

#include <QString>

namespace halvex {

// Texts are measured in user-perceived characters (extended grapheme
// clusters), not bytes or UTF-16 units: an emoji, even a joined family or a
// flag, counts as one.
qsizetype characterCount(const QString &text);

// The text without its first `count` characters.
QString dropCharacters(const QString &text, qsizetype count);

// The first `count` characters of the text.
QString firstCharacters(const QString &text, qsizetype count);

// A secret as every face shows it: "●●●●●●●●" and its last four
// characters; empty stays empty.
QString maskedSecret(const QString &secret);

} // namespace halvex
