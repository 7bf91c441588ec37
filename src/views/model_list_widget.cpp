#include "views/model_list_widget.h"

#include "views/view_support.h"

namespace halvex {

namespace {

constexpr int kIdRole = Qt::UserRole;

QIcon tierIcon(ModelRecommendation::SpeedTier tier)
{
    switch (tier) {
    case ModelRecommendation::SpeedTier::fast:
        return symbolIcon(QStringLiteral("media-seek-forward"), QChar(0x00BB));
    case ModelRecommendation::SpeedTier::balanced:
        return symbolIcon(QStringLiteral("speedometer"), QChar(0x25D1));
    case ModelRecommendation::SpeedTier::deepThinking:
        return symbolIcon(QStringLiteral("system-run"), QChar(0x2234));
    }
    return {};
}

} // namespace

ModelListWidget::ModelListWidget(QWidget *parent) : QListWidget(parent)
{
    setAccessibleName(QStringLiteral("Models"));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setWordWrap(true);
    setIconSize({16, 16});
    connect(this, &QListWidget::currentItemChanged, this, [this](QListWidgetItem *item) {
        if (item && !item->data(kIdRole).toString().isEmpty())
            Q_EMIT chosen(item->data(kIdRole).toString());
    });
}

QString ModelListWidget::contextLine(int contextWindow)
{
    return QStringLiteral("Mobile-optimized: %1K context").arg(contextWindow / 1000);
}

QString ModelListWidget::badgeText(const ModelRecommendation &model, const QString &currentModel)
{
    QStringList badges;
    if (model.isRecommended)
        badges << QStringLiteral("Recommended");
    if (!currentModel.isEmpty() && model.id == currentModel)
        badges << QStringLiteral("Current");
    badges << ModelRecommendation::rawValue(model.speedTier) << ModelRecommendation::rawValue(model.costTier);
    return badges.join(QStringLiteral(" · "));
}

void ModelListWidget::setRecommendations(const QList<ModelRecommendation> &recommendations, const Options &options)
{
    const QSignalBlocker blocker(this);
    clear();
    m_recommendations = recommendations;
    for (const CategoryGroup &group : groupedByCategory(recommendations)) {
        auto *header = new QListWidgetItem(ModelRecommendation::rawValue(group.category), this);
        QFont font = header->font();
        font.setBold(true);
        header->setFont(font);
        header->setFlags(Qt::ItemIsEnabled);
        for (const ModelRecommendation &model : group.models) {
            QString text = model.displayName + QStringLiteral("   [") + badgeText(model, options.currentModel) +
                           QStringLiteral("]\n") + model.description;
            if (options.contextLine)
                text += QLatin1Char('\n') + contextLine(model.contextWindow);
            auto *item = new QListWidgetItem(tierIcon(model.speedTier), text, this);
            item->setData(kIdRole, model.id);
            item->setData(Qt::AccessibleTextRole, model.displayName);
        }
    }
}

void ModelListWidget::select(const QString &id)
{
    const QSignalBlocker blocker(this);
    for (int i = 0; i < count(); ++i) {
        if (item(i)->data(kIdRole).toString() == id) {
            setCurrentRow(i);
            return;
        }
    }
}

std::optional<ModelRecommendation> ModelListWidget::selected() const
{
    const QListWidgetItem *item = currentItem();
    if (!item)
        return std::nullopt;
    const QString id = item->data(kIdRole).toString();
    for (const ModelRecommendation &model : m_recommendations) {
        if (model.id == id)
            return model;
    }
    return std::nullopt;
}

} // namespace halvex
