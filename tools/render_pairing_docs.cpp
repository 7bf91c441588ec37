// Draws the pairing pictures of the README offscreen: what `halvex-bridge
// pair` prints in a terminal (docs/pair-terminal.png) and the QR image the
// windows show (docs/pair-qr.png), both for a sample pairing. The QR block
// is drawn cell by cell as a terminal draws its half blocks.
//
//   render_pairing_docs [folder]     (default: ./docs)
#include "account/pairing_payload.h"
#include "account/qr_code.h"

#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QPainter>
#include <QRegularExpression>

#include <cstdio>

using namespace halvex;

namespace {

constexpr int kCellWidth = 9;
constexpr int kCellHeight = 18;
constexpr int kMargin = 16;
constexpr int kTitleBar = 28;

QByteArray samplePayload()
{
    const PairingPayloadBuilder builder(QUrl(QStringLiteral("wss://relay.halvex.com")));
    PairingPayloadInputs inputs;
    inputs.bridgeName = QStringLiteral("homelab");
    // A gateway opened to the local network.
    inputs.gatewayURL = QUrl(QStringLiteral("http://192.168.1.20:18789"));
    inputs.gatewayToken = QStringLiteral("9c1f4e2b7a3d48e6b0f5c2a9d7e1b3f4");
    inputs.bridgeId = QStringLiteral("br-4kq9zt");
    inputs.code = QStringLiteral("K7QF-2MXD");
    return builder.build(inputs);
}

QImage terminalPicture(const QString &qr, const QStringList &prose)
{
    const QString prompt = QStringLiteral("ada@homelab:~$ halvex-bridge pair");
    const QStringList qrLines = qr.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    int columns = int(prompt.size());
    for (const QString &line : qrLines)
        columns = std::max(columns, int(line.size()) + 2);
    for (const QString &line : prose)
        columns = std::max(columns, int(line.size()));
    const int rows = 1 + int(qrLines.size()) + 1 + int(prose.size());
    QImage image(columns * kCellWidth + 2 * kMargin, kTitleBar + rows * kCellHeight + 2 * kMargin,
                 QImage::Format_RGB32);
    image.fill(QColor(0x1e, 0x1e, 0x1e));
    QPainter painter(&image);
    painter.fillRect(0, 0, image.width(), kTitleBar, QColor(0x3a, 0x3a, 0x3a));
    const QColor dots[] = {QColor(0xff, 0x5f, 0x56), QColor(0xff, 0xbd, 0x2e), QColor(0x27, 0xc9, 0x3f)};
    for (int i = 0; i < 3; ++i) {
        painter.setBrush(dots[i]);
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(QPoint(16 + i * 20, kTitleBar / 2), 6, 6);
    }
    QFont font(QStringLiteral("DejaVu Sans Mono"));
    font.setPixelSize(14);
    painter.setFont(font);
    painter.setPen(QColor(0xdd, 0xdd, 0xdd));
    int y = kTitleBar + kMargin;
    painter.drawText(kMargin, y + kCellHeight - 5, prompt);
    y += kCellHeight;
    // The QR block: black on white, as the command colours it.
    for (const QString &line : qrLines) {
        for (int column = 0; column < line.size(); ++column) {
            const QChar c = line.at(column);
            const int x = kMargin + column * kCellWidth;
            painter.fillRect(x, y, kCellWidth, kCellHeight, Qt::white);
            if (c == QChar(0x2588) || c == QChar(0x2580))
                painter.fillRect(x, y, kCellWidth, kCellHeight / 2, Qt::black);
            if (c == QChar(0x2588) || c == QChar(0x2584))
                painter.fillRect(x, y + kCellHeight / 2, kCellWidth, kCellHeight / 2, Qt::black);
        }
        y += kCellHeight;
    }
    y += kCellHeight;
    for (const QString &line : prose) {
        painter.drawText(kMargin, y + kCellHeight - 5, line);
        y += kCellHeight;
    }
    return image;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QDir folder(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs"));
    const QByteArray payload = samplePayload();

    const std::optional<QByteArray> png = makeQRPng(payload, 200);
    std::optional<QImage> image;
    if (png)
        image = QImage::fromData(*png, "PNG");
    const std::optional<QString> qr = renderTerminalQR(payload, false);
    if (!image || !qr) {
        std::fprintf(stderr, "cannot make the sample QR code\n");
        return 1;
    }
    const QStringList prose = {
        QStringLiteral("Scan with the Halvex app: Settings → Scan QR Code."),
        QStringLiteral("Pairing code: K7QF-2MXD"),
        QStringLiteral("Paired as \"homelab\" (bridge br-4kq9zt)."),
        QStringLiteral("The running bridge connects with the new pairing now."),
    };
    const QString terminalPath = folder.filePath(QStringLiteral("pair-terminal.png"));
    const QString imagePath = folder.filePath(QStringLiteral("pair-qr.png"));
    if (!terminalPicture(*qr, prose).save(terminalPath) || !image->save(imagePath)) {
        std::fprintf(stderr, "cannot write the pictures into %s\n", qPrintable(folder.path()));
        return 1;
    }
    std::printf("%s\n%s\n", qPrintable(terminalPath), qPrintable(imagePath));
    return 0;
}
