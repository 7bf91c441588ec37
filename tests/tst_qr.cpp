// The QR code: the image and the terminal text both decode (with zbarimg,
// as a phone camera would read them) to the exact payload bytes, and the
// image is crisp: black and white only, whole pixels per module, a quiet
// zone, at least the requested size.
#include "account/pairing_payload.h"
#include "account/qr_code.h"
#include "qr_reader.h"

#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace halvex;
using namespace halvex::test;

namespace {

PairingPayloadBuilder builder()
{
    return PairingPayloadBuilder(QUrl(QStringLiteral("wss://relay.halvex.com")));
}

// The image a PNG file holds, as any viewer reads it.
std::optional<QImage> pngImage(const std::optional<QByteArray> &png)
{
    if (!png)
        return std::nullopt;
    QImage image;
    if (!image.loadFromData(*png, "PNG"))
        return std::nullopt;
    return image;
}

} // namespace

class TestQr : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (!zbarAvailable())
            QSKIP("zbarimg (Debian zbar-tools) is not installed");
    }

    void roundTrip_data()
    {
        QTest::addColumn<QByteArray>("payload");
        PairingPayloadInputs bare;
        bare.bridgeName = QStringLiteral("Build Box");
        QTest::newRow("name only") << builder().build(bare);

        PairingPayloadInputs full = bare;
        full.gatewayURL = QUrl(QStringLiteral("http://127.0.0.1:18789"));
        full.gatewayToken = QStringLiteral("3f9a1c0e5b7d4a2e8c6f1b3d5a7e9c0b");
        full.bridgeId = QStringLiteral("br-6f1c2a");
        full.code = QStringLiteral("K7QF-2MXD");
        QTest::newRow("gateway, relay and code") << builder().build(full);

        PairingPayloadInputs noCode = full;
        noCode.code.reset();
        QTest::newRow("gateway and relay, no code") << builder().build(noCode);

        PairingPayloadInputs longToken = full;
        longToken.gatewayToken = QString(QStringLiteral("tok")).repeated(170); // 510 characters
        QTest::newRow("long token") << builder().build(longToken);

        PairingPayloadInputs international = full;
        international.bridgeName = QStringLiteral("Zoë’s Rechner 🚀");
        QTest::newRow("non-ASCII name") << builder().build(international);
    }

    void roundTrip()
    {
        QFETCH(QByteArray, payload);
        const std::optional<QImage> image = pngImage(makeQRPng(payload, 200));
        QVERIFY(image);
        QCOMPARE(decodeQRWithZbar(*image), std::optional<QByteArray>(payload));

        const std::optional<QString> terminal = renderTerminalQR(payload, true);
        QVERIFY(terminal);
        QCOMPARE(decodeQRWithZbar(renderHalfBlockText(*terminal)), std::optional<QByteArray>(payload));
        const std::optional<QString> plain = renderTerminalQR(payload, false);
        QVERIFY(plain);
        QVERIFY(!plain->contains(QChar(0x1b)));
        QCOMPARE(decodeQRWithZbar(renderHalfBlockText(*plain)), std::optional<QByteArray>(payload));
    }

    void crispImage()
    {
        const QByteArray payload = R"({"name":"Box","type":"halvex","version":1})";
        const std::optional<QRMatrix> matrix = QRMatrix::encode(payload);
        QVERIFY(matrix);
        for (int requested : {1, 200, 333}) {
            const std::optional<QImage> image = pngImage(makeQRPng(payload, requested));
            QVERIFY(image);
            QCOMPARE(image->width(), image->height());
            QVERIFY(image->width() >= requested);
            const int modules = matrix->size() + 2 * qrQuietZone;
            QCOMPARE(image->width() % modules, 0); // whole pixels per module
            const int scale = image->width() / modules;
            QVERIFY(scale >= 1);
            QVERIFY(requested <= 1 || image->width() < requested + modules); // the smallest such size
            for (int y = 0; y < image->height(); ++y) {
                for (int x = 0; x < image->width(); ++x) {
                    const QRgb pixel = image->pixel(x, y);
                    QVERIFY(pixel == qRgb(0, 0, 0) || pixel == qRgb(255, 255, 255));
                    const bool dark = matrix->isDark(x / scale - qrQuietZone, y / scale - qrQuietZone);
                    if ((pixel == qRgb(0, 0, 0)) != dark)
                        QFAIL(qPrintable(QStringLiteral("pixel %1,%2 does not match its module").arg(x).arg(y)));
                }
            }
        }
    }

    void terminalShape()
    {
        const QByteArray payload = R"({"name":"Box","type":"halvex","version":1})";
        const std::optional<QRMatrix> matrix = QRMatrix::encode(payload);
        const QStringList lines = renderTerminalQR(payload, false)->split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        const int modules = matrix->size() + 2 * qrQuietZone;
        QCOMPARE(lines.size(), (modules + 1) / 2); // two module rows per line
        for (const QString &line : lines)
            QCOMPARE(line.size(), modules);
        QCOMPARE(lines.first().trimmed(), QString()); // the quiet zone
    }

    void tooLongForAQrCode()
    {
        const QByteArray huge(4000, 'x');
        QVERIFY(!QRMatrix::encode(huge));
        QVERIFY(!makeQRPng(huge));
        QVERIFY(!renderTerminalQR(huge, false));
    }
};

QTEST_GUILESS_MAIN(TestQr)
#include "tst_qr.moc"
