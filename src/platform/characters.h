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

// Outside text (from the relay, the gateway, a tool's output, a file) made
// safe for a log line or a terminal: every character that could steer a
// terminal, break the line or disguise the text is shown as "\uXXXX":
// the C0 and C1 controls (tab, CR, LF and ESC among them) and DEL, the
// bidirectional embeddings, overrides and isolates (U+202A-U+202E,
// U+2066-U+2069), the zero-width and direction marks (U+200B-U+200F), the
// line and paragraph separators (U+2028, U+2029), the byte order mark
// (U+FEFF) and a lone surrogate. At most `maxLength` UTF-16 units of the
// text are kept (never half a pair), then "…".
QString quotedForLog(const QString &text, int maxLength = 200);

} // namespace halvex
