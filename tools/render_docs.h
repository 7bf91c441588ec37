#pragma once
// Shared by the two halves of render_docs: the menu, icon and About
// pictures, and the windows' pictures.
#include <QDir>
#include <QImage>
#include <QString>

class QWidget;

namespace halvex::docs {

// Widgets are drawn at twice their size, so the pictures stay sharp on
// high-density screens; the README shows them at half size.
inline constexpr qreal kScale = 2.0;

// A widget drawn at kScale, without showing it.
QImage snapshot(QWidget &widget);
// The content inside a plain window frame with its title, drawn in the
// widget's palette (light or dark).
QImage framedWindow(const QImage &content, const QString &title, const QPalette &palette);
bool save(const QImage &image, const QDir &folder, const QString &name);

// Every wizard step and settings window, light and dark, into `folder`.
bool renderWindowPictures(const QDir &folder);

} // namespace halvex::docs
