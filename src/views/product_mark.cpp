#include "views/product_mark.h"

#include <QPainter>
#include <QTransform>

#include <algorithm>

namespace halvex {

namespace {

// A straight edge written as a cubic segment, so the outline stays one kind
// of segment throughout.
void lineAsCubic(QPainterPath &path, QPointF to)
{
    const QPointF from = path.currentPosition();
    path.cubicTo(from + (to - from) / 3.0, from + (to - from) * 2.0 / 3.0, to);
}

} // namespace

QPainterPath productMarkOutline()
{
    // Design units, y up, about 100 × 100; clockwise from the left pylon's
    // outer foot.
    QPainterPath path;
    path.moveTo(2, 0);
    path.cubicTo(6, 30, 10, 62, 12, 90);    // left pylon, outer edge, flared at the foot
    path.cubicTo(12, 101, 32, 101, 32, 90); // rounded cap
    path.cubicTo(33, 79, 34, 67, 34, 56);   // left pylon, inner edge above the deck
    path.cubicTo(44, 59, 56, 59, 66, 56);   // deck, rising gently to mid-span
    path.cubicTo(66, 67, 67, 79, 68, 90);   // right pylon, inner edge above the deck
    path.cubicTo(68, 101, 88, 101, 88, 90); // rounded cap
    path.cubicTo(90, 62, 94, 30, 98, 0);    // right pylon, outer edge
    lineAsCubic(path, {70, 0});             // right foot
    path.cubicTo(70, 9, 68, 18, 67, 26);    // right pylon, inner edge up to the springing
    path.cubicTo(64, 46, 36, 46, 33, 26);   // the arch
    path.cubicTo(32, 18, 30, 9, 30, 0);     // left pylon, inner edge down to the foot
    lineAsCubic(path, {2, 0});              // left foot
    path.closeSubpath();
    return path;
}

QColor productMarkColor()
{
    return {0x0A, 0x84, 0xFF};
}

QString svgPathData(const QPainterPath &path)
{
    QString data;
    const auto number = [](qreal value) { return QString::number(value, 'f', 3); };
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element element = path.elementAt(i);
        const QString point = number(element.x) + QLatin1Char(' ') + number(element.y);
        switch (element.type) {
        case QPainterPath::MoveToElement:
            if (!data.isEmpty())
                data += QStringLiteral("Z ");
            data += QStringLiteral("M ") + point + QLatin1Char(' ');
            break;
        case QPainterPath::LineToElement:
            data += QStringLiteral("L ") + point + QLatin1Char(' ');
            break;
        case QPainterPath::CurveToElement:
            data += QStringLiteral("C ") + point + QLatin1Char(' ');
            break;
        case QPainterPath::CurveToDataElement:
            data += point + QLatin1Char(' ');
            break;
        }
    }
    return data + QLatin1Char('Z');
}

QPainterPath fittedProductMark(qreal boxSize, QPointF corner)
{
    QPainterPath path = productMarkOutline();

    // 1. Bounding box to the origin.
    QRectF bounds = path.boundingRect();
    path = QTransform::fromTranslate(-bounds.x(), -bounds.y()).map(path);

    // 2. Uniform scale so the longer side fills the box.
    const qreal scale = std::min(boxSize / bounds.width(), boxSize / bounds.height());
    path = QTransform::fromScale(scale, scale).map(path);

    // 3. Flip vertically: design units are y-up, image rows run down.
    bounds = path.boundingRect();
    path = QTransform(1, 0, 0, -1, 0, bounds.height()).map(path);

    // 4. Centre in the box.
    bounds = path.boundingRect();
    path = QTransform::fromTranslate((boxSize - bounds.width()) / 2 + corner.x() - bounds.x(),
                                     (boxSize - bounds.height()) / 2 + corner.y() - bounds.y())
               .map(path);
    return path;
}

QImage drawProductMark(int size, qreal boxSize, qreal margin, const QColor &color, qreal devicePixelRatio)
{
    const int pixels = qRound(size * devicePixelRatio);
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(Qt::transparent);

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    // 5. Fill.
    painter.drawPath(fittedProductMark(boxSize, {margin, margin}));
    return image;
}

} // namespace halvex
