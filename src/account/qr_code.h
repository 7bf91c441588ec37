#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

namespace halvex {

// What the user sees when a pairing code cannot be drawn.
inline QString qrCodeFailureText()
{
    return QStringLiteral("Failed to generate QR code");
}

// The modules of a QR code at error-correction level M: true is dark.
class QRMatrix
{
public:
    // Nothing when the text does not fit in a QR code.
    static std::optional<QRMatrix> encode(const QByteArray &text);

    int size() const { return m_size; }
    // Outside the code (the quiet zone) is light.
    bool isDark(int x, int y) const;

private:
    int m_size = 0;
    std::vector<bool> m_modules;
};

// Quiet zone around the code, in modules, as the QR standard asks.
inline constexpr int qrQuietZone = 4;

// A crisp black-on-white square image with the quiet zone, every module the
// same whole number of pixels, at least `minimumSize` pixels wide, as the
// bytes of a 1-bit greyscale PNG file. Encoded here rather than with QImage
// so that the terminal face and the headless bridge never load Qt Gui.
// Nothing when the text does not fit in a QR code.
std::optional<QByteArray> makeQRPng(const QByteArray &text, int minimumSize = 200);

// The code as terminal text: two module rows per line with Unicode half
// blocks ("▀", "▄", "█", space), the glyphs drawing the dark modules, with
// the quiet zone. With `colours`, each line is drawn black on white with ANSI
// escapes so that it reads the same on dark and light terminals. Nothing when
// the text does not fit in a QR code.
std::optional<QString> renderTerminalQR(const QByteArray &text, bool colours);

} // namespace halvex
