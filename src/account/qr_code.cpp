#include "account/qr_code.h"

#include "platform/logging.h"

#include <qrcodegen.hpp>

#include <QtEndian>

#include <zlib.h>

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

namespace {

// One PNG chunk: length, type, data and the CRC-32 of type and data.
void appendPngChunk(QByteArray &png, const char (&type)[5], const QByteArray &data)
{
    char length[4];
    qToBigEndian(quint32(data.size()), length);
    png.append(length, 4);
    const qsizetype typeAt = png.size();
    png.append(type, 4);
    png.append(data);
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, reinterpret_cast<const Bytef *>(png.constData() + typeAt), uInt(4 + data.size()));
    char crcBytes[4];
    qToBigEndian(quint32(crc), crcBytes);
    png.append(crcBytes, 4);
}

} // namespace

std::optional<QByteArray> makeQRPng(const QByteArray &text, int minimumSize)
{
    const std::optional<QRMatrix> matrix = QRMatrix::encode(text);
    if (!matrix)
        return std::nullopt;
    const int modules = matrix->size() + 2 * qrQuietZone;
    const int scale = std::max(1, (std::max(minimumSize, 1) + modules - 1) / modules);
    const int side = modules * scale;

    // Rows of 1-bit grey (1 = white), each after its filter byte (0: none).
    const qsizetype rowBytes = 1 + (side + 7) / 8;
    QByteArray pixels(rowBytes * side, char(0xff));
    for (int y = 0; y < side; ++y) {
        char *row = pixels.data() + rowBytes * y;
        row[0] = 0;
        for (int x = 0; x < side; ++x) {
            if (matrix->isDark(x / scale - qrQuietZone, y / scale - qrQuietZone))
                row[1 + x / 8] = char(uchar(row[1 + x / 8]) & ~(0x80u >> (x % 8)));
        }
    }
    uLongf packedSize = compressBound(uLong(pixels.size()));
    QByteArray packed(qsizetype(packedSize), Qt::Uninitialized);
    if (compress2(reinterpret_cast<Bytef *>(packed.data()), &packedSize,
                  reinterpret_cast<const Bytef *>(pixels.constData()), uLong(pixels.size()),
                  Z_BEST_COMPRESSION) != Z_OK) {
        qCCritical(lcQr, "Cannot compress the QR image");
        return std::nullopt;
    }
    packed.truncate(qsizetype(packedSize));

    QByteArray header(13, 0);
    qToBigEndian(quint32(side), header.data());
    qToBigEndian(quint32(side), header.data() + 4);
    header[8] = 1; // bit depth
    header[9] = 0; // greyscale; compression, filter and interlace methods 0
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    appendPngChunk(png, "IHDR", header);
    appendPngChunk(png, "IDAT", packed);
    appendPngChunk(png, "IEND", {});
    return png;
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
