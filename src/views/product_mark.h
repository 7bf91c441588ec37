#pragma once

#include <QColor>
#include <QImage>
#include <QPainterPath>
#include <QPointF>
#include <QString>

namespace halvex {

// The Halvex Bridge mark: two pylons joined by an arched span, read as an
// "H" and as a bridge. One closed outline of cubic Bézier segments, in
// y-up design units (like a font glyph), so it must be flipped to stand
// upright in an image.
QPainterPath productMarkOutline();

// The mark's own colour, where it does not show a state (application icon,
// About window).
QColor productMarkColor();

// The outline as SVG path data ("M x y C ... Z"), in the outline's own
// coordinates.
QString svgPathData(const QPainterPath &path);

// The outline fitted into a square box of `boxSize` whose top-left corner is
// `corner`: moved to the origin, scaled uniformly to fit, flipped vertically
// and centred in the box.
QPainterPath fittedProductMark(qreal boxSize, QPointF corner);

// An image of `size` × `size` device-independent pixels, drawn at the given
// device pixel ratio, holding the mark filled with `color` in a box of
// `boxSize` placed `margin` from the top-left corner.
QImage drawProductMark(int size, qreal boxSize, qreal margin, const QColor &color, qreal devicePixelRatio = 1.0);

} // namespace halvex
