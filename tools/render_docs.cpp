// Draws the README's pictures offscreen: the tray menu of a connected bridge
// (docs/menu.png), the status icon in each state (docs/icon-states.png) and
// the About window (docs/about.png).
//
//   render_docs [folder]     (default: ./docs)
//
// Offscreen, the windows get a drawn frame. Under an X server with a window
// manager (QT_QPA_PLATFORM=xcb) they are shown and grabbed with the window
// manager's own frame: tools/render_docs_xvfb.sh runs it so under Xvfb and openbox.
#include "render_docs.h"
#include "app/status_icon_manager.h"
#include "app/tray_controller.h"
#include "views/about_view.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QLinearGradient>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <cstdio>
#include <memory>

using namespace halvex;
using namespace halvex::docs;

namespace {

} // namespace

QImage halvex::docs::snapshot(QWidget &widget)
{
    widget.ensurePolished();
    QImage image(widget.size() * kScale, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(kScale);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    widget.render(&painter, QPoint(), QRegion(), QWidget::DrawWindowBackground | QWidget::DrawChildren);
    return image;
}

namespace {

QImage canvas(QSize logicalSize, qreal scale, const QColor &fill)
{
    QImage image(logicalSize * scale, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(fill);
    return image;
}

// A soft shadow under a rounded rectangle.
void drawShadow(QPainter &p, const QRectF &rect, qreal radius)
{
    p.save();
    p.setPen(Qt::NoPen);
    for (int i = 8; i >= 1; --i) {
        p.setBrush(QColor(0, 0, 0, 6));
        p.drawRoundedRect(rect.adjusted(-i, -i + 3, i, i + 3), radius + i, radius + i);
    }
    p.restore();
}

QImage menuPicture()
{
    TrayController::MenuContent content;
    content.connectionState = BridgeConnectionState::connected();
    content.openClawReachable = true;
    content.isEnabled = true;
    content.relayHost = QStringLiteral("relay.halvex.com");
    content.openClawEndpoint = QStringLiteral("http://127.0.0.1:18789");
    content.bridgeName = QStringLiteral("Living Room Mac");
    content.accountEmail = QStringLiteral("alex@example.com");
    content.memorySyncEnabled = true;
    content.startAtLogin = true;

    std::unique_ptr<QMenu> menu(TrayController::buildMenu(content));
    menu->ensurePolished();
    menu->resize(menu->sizeHint());
    const QImage shot = snapshot(*menu);
    const QSizeF menuSize = shot.deviceIndependentSize();

    const qreal panelHeight = 28;
    const qreal margin = 24;
    const QSize size(qRound(menuSize.width() + 2 * margin + 70), qRound(panelHeight + menuSize.height() + margin + 8));
    QImage image = canvas(size, kScale, Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    // Desktop and panel.
    QLinearGradient desktop(0, 0, 0, size.height());
    desktop.setColorAt(0, QColor(0x5B, 0x7D, 0xB1));
    desktop.setColorAt(1, QColor(0x8F, 0xA9, 0xD1));
    p.fillRect(QRectF(QPointF(0, 0), QSizeF(size)), desktop);
    p.fillRect(QRectF(0, 0, size.width(), panelHeight), QColor(0x1F, 0x1F, 0x23));

    // The status icon, highlighted as while its menu is open, with two
    // neighbours so it reads as a panel.
    const QPointF iconAt(margin + 8, (panelHeight - 18) / 2);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 46));
    p.drawRoundedRect(QRectF(iconAt - QPointF(5, 3), QSizeF(28, 24)), 5, 5);
    p.drawImage(iconAt, StatusIconManager::drawIcon(IconState::connected, kScale));
    p.setBrush(QColor(255, 255, 255, 150));
    p.drawEllipse(QRectF(iconAt + QPointF(40, 4), QSizeF(10, 10)));
    p.drawRoundedRect(QRectF(iconAt + QPointF(64, 4), QSizeF(16, 10)), 2, 2);
    QFont clockFont = QApplication::font();
    clockFont.setPointSizeF(9.5);
    p.setFont(clockFont);
    p.setPen(QColor(255, 255, 255, 220));
    p.drawText(QRectF(size.width() - 90, 0, 80, panelHeight), Qt::AlignVCenter | Qt::AlignRight,
               QStringLiteral("Tue 09:41"));

    // The menu, dropped from the icon.
    const QRectF menuRect(QPointF(margin, panelHeight + 2), menuSize);
    drawShadow(p, menuRect, 4);
    p.drawImage(menuRect.topLeft(), shot);
    return image;
}

QImage iconStatesPicture()
{
    struct Column {
        IconState state;
        QString name;
    };
    const QList<Column> columns = {
        {IconState::connected, QStringLiteral("connected")},
        {IconState::partiallyConnected, QStringLiteral("partiallyConnected")},
        {IconState::disconnected, QStringLiteral("disconnected")},
        {IconState::disabled, QStringLiteral("disabled")},
    };
    // Drawn pixel for pixel (scale 1): the 18 × 18 icons are the real ones.
    const int columnWidth = 196;
    const QSize size(columnWidth * int(columns.size()), 214);
    QImage image = canvas(size, 1.0, QColor(0xFF, 0xFF, 0xFF));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    QFont nameFont = QApplication::font();
    nameFont.setBold(true);
    nameFont.setPixelSize(13);
    QFont captionFont = QApplication::font();
    captionFont.setPixelSize(11);

    for (int i = 0; i < columns.size(); ++i) {
        const Column &column = columns.at(i);
        const qreal left = i * columnWidth;
        const qreal centre = left + columnWidth / 2.0;

        // The icon drawn at four times its size (72 × 72).
        const QRectF tile(centre - 48, 14, 96, 96);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xF2, 0xF2, 0xF7));
        p.drawRoundedRect(tile, 16, 16);
        QImage big = StatusIconManager::drawIcon(column.state, 4.0);
        big.setDevicePixelRatio(1.0);
        p.drawImage(QPointF(centre - 36, 26), big);

        // The 18 × 18 original on a dark and on a light panel.
        const QImage small = StatusIconManager::drawIcon(column.state, 1.0);
        const QRectF dark(centre - 50, 122, 48, 28);
        const QRectF light(centre + 2, 122, 48, 28);
        p.setBrush(QColor(0x1F, 0x1F, 0x23));
        p.drawRoundedRect(dark, 6, 6);
        p.setBrush(QColor(0xEC, 0xEC, 0xEE));
        p.drawRoundedRect(light, 6, 6);
        p.drawImage(QPointF(dark.center().x() - 9, dark.center().y() - 9), small);
        p.drawImage(QPointF(light.center().x() - 9, light.center().y() - 9), small);

        p.setPen(QColor(0x1C, 0x1C, 0x1E));
        p.setFont(nameFont);
        p.drawText(QRectF(left, 160, columnWidth, 18), Qt::AlignCenter, column.name);
        p.setPen(QColor(0x6C, 0x6C, 0x70));
        p.setFont(captionFont);
        p.drawText(QRectF(left, 180, columnWidth, 16), Qt::AlignCenter, StatusIconManager::tooltipText(column.state));
        p.drawText(QRectF(left, 195, columnWidth, 16), Qt::AlignCenter,
                   StatusIconManager::fillColor(column.state).name(QColor::HexRgb).toUpper());
    }
    return image;
}

QImage aboutPicture()
{
    AboutView about;
    about.setFixedSize(TrayController::windowSize(TrayController::SettingsWindow::about));
    return framedWindow(snapshot(about), QStringLiteral("About Halvex Bridge"), about.palette());
}

} // namespace

QImage halvex::docs::framedWindow(const QImage &content, const QString &title, const QPalette &palette)
{
    const QSizeF contentSize = content.deviceIndependentSize();
    // A plain title bar, so the picture reads as the window it is.
    const qreal titleHeight = 30;
    const qreal margin = 20;
    const QSize size(qRound(contentSize.width() + 2 * margin), qRound(contentSize.height() + titleHeight + 2 * margin));
    QImage image = canvas(size, kScale, Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    const QRectF window(margin, margin, contentSize.width(), contentSize.height() + titleHeight);
    drawShadow(p, window, 8);
    QPainterPath frame;
    frame.addRoundedRect(window, 8, 8);
    p.setClipPath(frame);
    p.fillRect(window, palette.color(QPalette::Window));
    p.fillRect(QRectF(window.topLeft(), QSizeF(window.width(), titleHeight)), palette.color(QPalette::Button));
    p.setPen(palette.color(QPalette::Mid));
    p.drawLine(QPointF(window.left(), window.top() + titleHeight - 0.5),
               QPointF(window.right(), window.top() + titleHeight - 0.5));
    QFont titleFont = QApplication::font();
    titleFont.setBold(true);
    p.setFont(titleFont);
    p.setPen(palette.color(QPalette::WindowText));
    p.drawText(QRectF(window.topLeft(), QSizeF(window.width(), titleHeight)), Qt::AlignCenter, title);
    // The close button.
    const QPointF close(window.right() - 18, window.top() + titleHeight / 2);
    p.setPen(QPen(palette.color(QPalette::WindowText), 1.4));
    p.drawLine(close + QPointF(-4, -4), close + QPointF(4, 4));
    p.drawLine(close + QPointF(-4, 4), close + QPointF(4, -4));
    p.drawImage(QPointF(window.left(), window.top() + titleHeight), content);
    return image;
}

bool halvex::docs::save(const QImage &image, const QDir &folder, const QString &name)
{
    const QString path = folder.filePath(name);
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "render_docs: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s (%dx%d)\n", qPrintable(path), image.width(), image.height());
    return true;
}

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));

    const QDir folder(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs"));
    if (!QDir().mkpath(folder.path())) {
        std::fprintf(stderr, "render_docs: cannot create %s\n", qPrintable(folder.path()));
        return 1;
    }
    const bool ok = save(menuPicture(), folder, QStringLiteral("menu.png")) &&
                    save(iconStatesPicture(), folder, QStringLiteral("icon-states.png")) &&
                    save(aboutPicture(), folder, QStringLiteral("about.png")) && renderWindowPictures(folder);
    return ok ? 0 : 1;
}
