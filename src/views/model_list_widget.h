#pragma once

#include "models/model_recommendation.h"

#include <QListWidget>

#include <optional>

namespace halvex {

// The recommendations grouped by category (headed "Local Models", "Cloud
// Models", "Managed"), each row with its name, description and badges.
// Selecting a row emits `chosen` with its id.
class ModelListWidget : public QListWidget
{
    Q_OBJECT
public:
    struct Options {
        bool contextLine = false; // "Mobile-optimized: NK context" in every row
        QString currentModel;     // its row carries the "Current" badge
    };

    explicit ModelListWidget(QWidget *parent = nullptr);

    void setRecommendations(const QList<ModelRecommendation> &recommendations, const Options &options);
    void select(const QString &id);
    std::optional<ModelRecommendation> selected() const;

    static QString contextLine(int contextWindow);
    static QString badgeText(const ModelRecommendation &model, const QString &currentModel);

Q_SIGNALS:
    void chosen(const QString &id);

private:
    QList<ModelRecommendation> m_recommendations;
};

} // namespace halvex
