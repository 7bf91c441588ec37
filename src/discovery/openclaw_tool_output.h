#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace halvex {

// Agent ids from `openclaw agents list --json` (an array of objects with
// "id"); nullopt when the text is not such an array.
std::optional<QStringList> agentsFromJsonListing(const QString &text);

// Agent names from the plain `openclaw agents list`: each line trimmed of
// spaces and tabs, empty lines dropped. When the listing marks agents with
// "- " (OpenClaw 2026), only those lines count and their decorations go:
// "- main (default)" gives "main"; indented detail lines are skipped.
QStringList agentsFromPlainListing(const QString &text);

// A decimal integer: optional "+" or "-", digits only, no overflow.
std::optional<int> parseDecimalInteger(const QString &text);

// The first non-empty line of a tool's error output (why it failed).
QString firstLine(const QString &text);

} // namespace halvex
