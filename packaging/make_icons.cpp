// Draws the application icon from the product mark into an icon-theme tree:
//   make_icons <folder> <icon name>
// writes <folder>/hicolor/scalable/apps/<name>.svg and
// <folder>/hicolor/<N>x<N>/apps/<name>.png for the usual sizes.
#include "views/product_mark.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>

#include <cstdio>

using namespace halvex;

namespace {

// The mark fills this share of the icon; the rest is margin, as the
// freedesktop icons around it have.
constexpr qreal markShare = 0.875;
const int pngSizes[] = {16, 22, 24, 32, 48, 64, 128, 256, 512};

bool writeSvg(const QString &path)
{
    constexpr int size = 256;
    const qreal box = size * markShare;
    const qreal margin = (size - box) / 2;
    const QString svg = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                       "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%1\" "
                                       "viewBox=\"0 0 %1 %1\">\n"
                                       "  <path fill=\"%2\" d=\"%3\"/>\n"
                                       "</svg>\n")
                            .arg(size)
                            .arg(productMarkColor().name(), svgPathData(fittedProductMark(box, {margin, margin})));
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(svg.toUtf8()) > 0;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 3) {
        std::fprintf(stderr, "usage: make_icons <folder> <icon name>\n");
        return 2;
    }
    const QDir root(arguments.at(1) + QStringLiteral("/hicolor"));
    const QString name = arguments.at(2);

    const QString scalable = root.filePath(QStringLiteral("scalable/apps"));
    if (!QDir().mkpath(scalable) || !writeSvg(scalable + QLatin1Char('/') + name + QStringLiteral(".svg"))) {
        std::fprintf(stderr, "make_icons: cannot write the SVG icon under %s\n", qPrintable(scalable));
        return 1;
    }
    for (const int size : pngSizes) {
        const QString folder = root.filePath(QStringLiteral("%1x%1/apps").arg(size));
        const qreal box = size * markShare;
        const QImage image = drawProductMark(size, box, (size - box) / 2, productMarkColor());
        if (!QDir().mkpath(folder) || !image.save(folder + QLatin1Char('/') + name + QStringLiteral(".png"))) {
            std::fprintf(stderr, "make_icons: cannot write the %dx%d icon under %s\n", size, size, qPrintable(folder));
            return 1;
        }
    }
    return 0;
}
