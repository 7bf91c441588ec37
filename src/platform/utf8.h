#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace halvex {

// What a leading byte order mark means: part of the text (secrets, frames),
// or a marker to drop (an event stream's first bytes).
enum class LeadingBom { keep, drop };

// The text the bytes hold when they are well-formed UTF-8, or nothing when
// any sequence is invalid or cut short at the end. The one place bytes from
// outside become text.
std::optional<QString> strictUtf8(QByteArrayView bytes, LeadingBom bom = LeadingBom::keep);

// Whether the bytes are well-formed UTF-8.
bool isStrictUtf8(QByteArrayView bytes);

} // namespace halvex
