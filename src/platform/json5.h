#pragma once

#include "platform/error.h"

#include <QByteArray>
#include <QJsonValue>
#include <QStringList>

namespace halvex {

// Bounds on a JSON5 document read from outside.
struct Json5Limits {
    qsizetype maxBytes = 8 * 1024 * 1024;
    int maxDepth = 64; // nesting of objects and arrays
};

// What a reader noticed that a plain JSON writer cannot give back: comments,
// and numbers it would write as another value (NaN, Infinity, -0, integers
// beyond what a double or a 64-bit integer holds exactly), each as
// "line:column: text".
struct Json5Notes {
    bool hasComments = false;
    QStringList inexactNumbers;
};

// Reads a JSON5 document (UTF-8): comments, trailing commas, unquoted keys,
// single-quoted strings, hexadecimal numbers, leading or trailing decimal
// points, an explicit "+", Infinity and NaN. Plain JSON is JSON5. A later
// duplicate key replaces an earlier one, as in JavaScript.
//
// On failure the error's description names the place as "line:column: what"
// (both from 1, columns counted in characters).
Result<QJsonValue> parseJson5(const QByteArray &text, const Json5Limits &limits = {}, Json5Notes *notes = nullptr);

// The value of one hexadecimal digit (0-9, a-f, A-F), or -1.
int hexDigitValue(char16_t c);

} // namespace halvex
