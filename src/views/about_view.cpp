#include "views/about_view.h"

#include "platform/deployment.h"
#include "views/product_mark.h"

#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>

#include <algorithm>

namespace halvex {

namespace {
constexpr int markSize = 40;
} // namespace

AboutView::AboutView(QWidget *parent) : AboutView(VersionInfo{appShortVersion(), appBuildVersion()}, parent)
{
}

AboutView::AboutView(VersionInfo version, QWidget *parent) : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(8);
    layout->addStretch(1);

    auto *icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    const qreal ratio = devicePixelRatioF() > 0 ? devicePixelRatioF() : 1.0;
    icon->setPixmap(
        QPixmap::fromImage(drawProductMark(markSize, markSize, 0, productMarkColor(), std::max(ratio, 2.0))));
    icon->setAlignment(Qt::AlignCenter);
    layout->addWidget(icon);
    layout->addSpacing(4);

    auto *title = new QLabel(QStringLiteral("Halvex Bridge"), this);
    title->setObjectName(QStringLiteral("aboutTitle"));
    QFont titleFont = title->font();
    titleFont.setBold(true);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.4);
    title->setFont(titleFont);
    title->setAlignment(Qt::AlignCenter);
    layout->addWidget(title);

    m_version = new QLabel(versionLine(version), this);
    m_version->setObjectName(QStringLiteral("aboutVersion"));
    m_version->setAlignment(Qt::AlignCenter);
    m_version->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QPalette secondary = m_version->palette();
    secondary.setColor(QPalette::WindowText, secondary.color(QPalette::PlaceholderText));
    m_version->setPalette(secondary);
    layout->addWidget(m_version);

    auto *description = new QLabel(QStringLiteral("Connects your AI companion apps to your local AI server."), this);
    description->setObjectName(QStringLiteral("aboutDescription"));
    description->setAlignment(Qt::AlignCenter);
    description->setWordWrap(true);
    layout->addWidget(description);
    layout->addStretch(1);
}

QString AboutView::versionLine(const VersionInfo &version)
{
    const QString shortVersion = version.shortVersion.isEmpty() ? QStringLiteral("1.0.0") : version.shortVersion;
    const QString build = version.build.isEmpty() ? QStringLiteral("1") : version.build;
    return QStringLiteral("Version ") + shortVersion + QStringLiteral(" (") + build + QLatin1Char(')');
}

QString AboutView::versionText() const
{
    return m_version->text();
}

} // namespace halvex
