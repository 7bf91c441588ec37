#include "views/view_support.h"

#include "gateway/gateway_target.h"
#include "gateway/openclaw_config.h"

#include <QPixmap>

#include <QApplication>
#include <QLineEdit>
#include <QPainter>
#include <QPalette>
#include <QPushButton>

namespace halvex {

namespace {

// Status colours: the only colours not taken from the palette.
const QColor kSuccess(0x2e, 0xa0, 0x43);
const QColor kFailure(0xd1, 0x24, 0x2f);

QIcon drawnGlyph(QChar glyph, const QColor &colour)
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QFont font = QApplication::font();
    font.setPixelSize(24);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(colour);
    painter.drawText(pixmap.rect(), Qt::AlignCenter, QString(glyph));
    return QIcon(pixmap);
}

} // namespace

QLabel *makeTitle(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.4);
    label->setFont(font);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignHCenter);
    return label;
}

QLabel *makeText(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignHCenter);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QLabel *makeErrorLabel(QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignHCenter);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, kFailure);
    label->setPalette(palette);
    label->setAccessibleName(QStringLiteral("Error"));
    label->hide();
    return label;
}

void showError(QLabel *label, const QString &text)
{
    label->setText(text);
    label->setVisible(!text.isEmpty());
}

QProgressBar *makeBusyIndicator(QWidget *parent)
{
    auto *bar = new QProgressBar(parent);
    bar->setRange(0, 0);
    bar->setTextVisible(false);
    bar->setMaximumHeight(8);
    bar->setAccessibleName(QStringLiteral("Working"));
    bar->hide();
    return bar;
}

void setStatus(QLabel *label, bool ok, const QString &text)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, ok ? kSuccess : kFailure);
    label->setPalette(palette);
    label->setText((ok ? QStringLiteral("✓ ") : QStringLiteral("✗ ")) + text);
    label->setProperty("ok", ok);
    label->show();
}

QIcon symbolIcon(const QString &themeName, QChar fallbackGlyph)
{
    const QIcon themed = QIcon::fromTheme(themeName);
    if (!themed.isNull())
        return themed;
    return drawnGlyph(fallbackGlyph, QApplication::palette().color(QPalette::WindowText));
}

QString maskedToken(const QString &token)
{
    if (token.size() >= 5 && !isRedactedSecret(token))
        return QStringLiteral("●●●●●●●●…") + token.right(4);
    return QStringLiteral("Not found");
}

QString defaultGatewayText()
{
    return GatewayTarget::defaultEndpoint().toString();
}

QUrl gatewayURLFromText(const QString &text)
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (url.isValid() && !url.host().isEmpty() &&
        (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https")))
        return url;
    return QUrl(defaultGatewayText());
}

QLineEdit *makeField(const QString &accessibleName, const QString &placeholder, bool secret, QWidget *parent)
{
    auto *field = new QLineEdit(parent);
    field->setAccessibleName(accessibleName);
    field->setPlaceholderText(placeholder.isEmpty() ? accessibleName : placeholder);
    if (secret)
        field->setEchoMode(QLineEdit::Password);
    return field;
}

void makeDefault(QAbstractButton *button)
{
    if (auto *push = qobject_cast<QPushButton *>(button)) {
        push->setAutoDefault(true);
        push->setDefault(true);
    }
}

} // namespace halvex

#include "bridge/bridge_manager.h"
#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"
#include "views/window_services.h"

namespace halvex {

std::optional<QString> gatewayEntriesHeldBack(BridgeManager *bridgeManager, const QUrl &endpoint, const QString &typed,
                                              QUrl &warnedInClear, const QString &button)
{
    const GatewayTarget target = bridgeManager->gatewayTargetWith(
        endpoint.isEmpty() ? std::nullopt : std::optional<QUrl>(endpoint), typedToken(typed));
    if (target.token.isEmpty() && !target.authDisabled && !target.isLocal())
        return gatewayTokenNeeded(target.endpoint);
    if (target.sendsInClear() && warnedInClear != target.endpoint) {
        warnedInClear = target.endpoint;
        return QStringLiteral("%1 is plain http to another machine: the gateway token and every chat would cross the "
                              "network in clear. Prefer https (turn the gateway's TLS on, on that machine). %2 again "
                              "to use it anyway.")
            .arg(target.endpoint.toString(), button);
    }
    return std::nullopt;
}

std::optional<QString> typedToken(const QString &typed)
{
    const QString token = typed.trimmed();
    return token.isEmpty() ? std::nullopt : std::optional<QString>(token);
}

QCoro::Task<GatewayProbe> testGatewayEntries(const WindowServices &services, QObject *form, QString endpointText,
                                             QString tokenText)
{
    GatewayProbeOptions options;
    options.timeout = services.gatewayTestTimeout;
    options.chatEndpoint = false;
    options.context = form;
    co_return co_await probeGateway(
        services.bridgeManager->gatewayTargetWith(gatewayURLFromText(endpointText), tokenText), options);
}

QString gatewayTokenNeeded(const QUrl &endpoint)
{
    return QStringLiteral("Enter the token of the gateway at %1: a stored token goes only to the gateway it "
                          "belongs to.")
        .arg(endpoint.toString());
}

} // namespace halvex

#include <QKeyEvent>

namespace halvex {

bool handleWindowKey(QWidget *root, QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        root->window()->close();
        return true;
    }
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter)
        return false;
    if (qobject_cast<QLineEdit *>(QApplication::focusWidget()))
        return false;
    const QList<QPushButton *> buttons = root->findChildren<QPushButton *>();
    for (QPushButton *button : buttons) {
        if (button->isDefault() && button->isVisible() && button->isEnabled()) {
            button->click();
            return true;
        }
    }
    return false;
}

bool showQRImage(QLabel *label, const std::optional<QByteArray> &png)
{
    QPixmap pixmap;
    if (!png || !pixmap.loadFromData(*png, "PNG")) {
        label->clear();
        return false;
    }
    label->setPixmap(pixmap);
    return true;
}

} // namespace halvex
