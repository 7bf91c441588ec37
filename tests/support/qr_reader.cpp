#include "qr_reader.h"

#include "platform/session/process_runner.h"

#include <QRegularExpression>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <qcoro/qcorotask.h>

namespace halvex::test {

bool zbarAvailable()
{
    return !QStandardPaths::findExecutable(QStringLiteral("zbarimg")).isEmpty();
}

std::optional<QByteArray> decodeQRWithZbar(const QImage &image)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("qr.png"));
    if (!image.save(path, "PNG"))
        return std::nullopt;
    std::optional<ProcessOutcome> outcome;
    auto run = [&]() -> QCoro::Task<> {
        ProcessRequest request;
        request.program = QStringLiteral("zbarimg");
        // -Sbinary: the bytes as stored, without a guess at their encoding.
        request.arguments = {QStringLiteral("--raw"), QStringLiteral("-q"), QStringLiteral("-Sbinary"), path};
        request.timeout = std::chrono::minutes(1);
        outcome = co_await runProcess(request);
    };
    QCoro::Task<> task = run();
    if (!QTest::qWaitFor([&] { return outcome.has_value(); }, 90000) || !outcome->exitedWithSuccess())
        return std::nullopt;
    QByteArray bytes = outcome->standardOutput;
    if (bytes.endsWith('\n'))
        bytes.chop(1);
    return bytes;
}

QImage renderHalfBlockText(const QString &text, int pixelsPerModule)
{
    static const QRegularExpression escapes(QStringLiteral("\x1b\\[[0-9;]*m"));
    QStringList lines = QString(text).remove(escapes).split(QLatin1Char('\n'));
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    int width = 0;
    for (const QString &line : lines)
        width = std::max(width, int(line.size()));
    QImage image(std::max(width, 1) * pixelsPerModule, std::max(int(lines.size()), 1) * 2 * pixelsPerModule,
                 QImage::Format_RGB32);
    image.fill(Qt::white);
    for (int row = 0; row < lines.size(); ++row) {
        for (int column = 0; column < lines[row].size(); ++column) {
            const QChar c = lines[row].at(column);
            const bool halves[2] = {c == QChar(0x2588) || c == QChar(0x2580), c == QChar(0x2588) || c == QChar(0x2584)};
            for (int half = 0; half < 2; ++half) {
                if (!halves[half])
                    continue;
                for (int dy = 0; dy < pixelsPerModule; ++dy) {
                    for (int dx = 0; dx < pixelsPerModule; ++dx)
                        image.setPixel(column * pixelsPerModule + dx, (row * 2 + half) * pixelsPerModule + dy,
                                       qRgb(0, 0, 0));
                }
            }
        }
    }
    return image;
}

} // namespace halvex::test
