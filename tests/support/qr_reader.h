#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

#include <optional>

namespace halvex::test {

// What zbarimg (Debian zbar-tools), reading as a phone camera would, finds
// in the image: the raw bytes of the code, or nothing when it finds none.
std::optional<QByteArray> decodeQRWithZbar(const QImage &image);

// True when zbarimg is installed.
bool zbarAvailable();

// Draws text printed with half blocks as a screen shows it: each character
// cell one module wide and two high, glyphs dark on light, ANSI colour
// escapes ignored.
QImage renderHalfBlockText(const QString &text, int pixelsPerModule = 4);

} // namespace halvex::test
