#include "account/qr_code.h"

#include "platform/logging.h"

#include <qrcodegen.hpp>

#include <QPainter>

#include <exception>

namespace halvex {

std::optional<QRMatrix> QRMatrix::encode(const QByteArray &text)
{
    try {
        // Byte mode holds the UTF-8 text exactly as it is.
        const std::vector<std::uint8_t> bytes(text.cbegin(), text.cend());
        const qrcodegen::QrCode code = qrcodegen::QrCode::encodeBinary(bytes, qrcodegen::QrCode::Ecc::MEDIUM);
        QRMatrix matrix;
        matrix.m_size = code.getSize();
        matrix.m_modules.resize(std::size_t(matrix.m_size) * std::size_t(matrix.m_size));
        for (int y = 0; y < matrix.m_size; ++y) {
            for (int x = 0; x < matrix.m_size; ++x)
                matrix.m_modules[std::size_t(y) * std::size_t(matrix.m_size) + std::size_t(x)] = code.getModule(x, y);
        }
        return matrix;
    } catch (const std::exception &e) {
        qCCritical(lcQr, "Cannot make a QR code of %ld bytes: %s", long(text.size()), e.what());
        return std::nullopt;
    }
}

bool QRMatrix::isDark(int x, int y) const
{
    if (x < 0 || y < 0 || x >= m_size || y >= m_size)
        return false;
    return m_modules[std::size_t(y) * std::size_t(m_size) + std::size_t(x)];
}

std::optional<QImage> makeQRImage(const QByteArray &text, int minimumSize)
{
    const std::optional<QRMatrix> matrix = QRMatrix::encode(text);
    if (!matrix)
        return std::nullopt;
    const int modules = matrix->size() + 2 * qrQuietZone;
    const int scale = std::max(1, (std::max(minimumSize, 1) + modules - 1) / modules);
    QImage image(modules * scale, modules * scale, QImage::Format_Mono);
    image.setColor(0, qRgb(255, 255, 255));
    image.setColor(1, qRgb(0, 0, 0));
    image.fill(0);
    for (int y = 0; y < matrix->size(); ++y) {
        for (int x = 0; x < matrix->size(); ++x) {
            if (!matrix->isDark(x, y))
                continue;
            const int left = (x + qrQuietZone) * scale;
            const int top = (y + qrQuietZone) * scale;
            for (int dy = 0; dy < scale; ++dy) {
                for (int dx = 0; dx < scale; ++dx)
                    image.setPixel(left + dx, top + dy, 1);
            }
        }
    }
    return image;
}

std::optional<QString> renderTerminalQR(const QByteArray &text, bool colours)
{
    const std::optional<QRMatrix> matrix = QRMatrix::encode(text);
    if (!matrix)
        return std::nullopt;
    static const QString blackOnWhite = QStringLiteral("\x1b[30;107m");
    static const QString reset = QStringLiteral("\x1b[0m");
    const int first = -qrQuietZone;
    const int last = matrix->size() + qrQuietZone; // exclusive
    QString out;
    for (int y = first; y < last; y += 2) {
        if (colours)
            out += blackOnWhite;
        for (int x = first; x < last; ++x) {
            const bool upper = matrix->isDark(x, y);
            const bool lower = y + 1 < last && matrix->isDark(x, y + 1);
            if (upper && lower)
                out += QChar(0x2588); // █
            else if (upper)
                out += QChar(0x2580); // ▀
            else if (lower)
                out += QChar(0x2584); // ▄
            else
                out += QLatin1Char(' ');
        }
        if (colours)
            out += reset;
        out += QLatin1Char('\n');
    }
    return out;
}

} // namespace halvex
