#pragma once

#include "models/detected_models.h"

#include <QList>
#include <QString>

#include <utility>

namespace halvex {

// One choice for the model of the "mobile" agent.
struct ModelRecommendation {
    enum class SpeedTier { fast, balanced, deepThinking };
    enum class CostTier { free, paid, byok };
    enum class Category { local, cloud, managed };

    QString id; // the reference written into the configuration
    QString displayName;
    QString description;
    SpeedTier speedTier = SpeedTier::fast;
    CostTier costTier = CostTier::free;
    int contextWindow = 0;
    int maxTokens = 0;
    bool isRecommended = false;
    Category category = Category::local;

    // The display texts ("Fast", "Bring Your Own Key", "Local Models", ...).
    static QString rawValue(SpeedTier tier);
    static QString rawValue(CostTier tier);
    static QString rawValue(Category category);
    static QList<Category> allCategories();

    bool operator==(const ModelRecommendation &) const = default;
};

// The reference of the managed free tier.
inline QString managedFreeTierId()
{
    return QStringLiteral("managed/free");
}

// One ordered list with exactly one recommended entry; never empty. Pure.
QList<ModelRecommendation> buildRecommendations(const QList<DetectedOllamaModel> &ollamaModels,
                                                const QString &ollamaHost,
                                                const QList<DetectedCloudProvider> &cloudProviders);

// "your Mac" for a loopback or unparsable host, else the host name.
QString hostLabel(const QString &host);
// (small models, larger models): small means a parameter size of at most 8 B.
std::pair<QList<DetectedOllamaModel>, QList<DetectedOllamaModel>>
classifyBySize(const QList<DetectedOllamaModel> &models);
// "llama3.2:3b-instruct-q4_K_M" -> "Llama3.2 3b Instruct".
QString ollamaDisplayName(const QString &name);

// The entries of one category in list order; categories without entries are
// left out (local, cloud, managed).
struct CategoryGroup {
    ModelRecommendation::Category category;
    QList<ModelRecommendation> models;
};
QList<CategoryGroup> groupedByCategory(const QList<ModelRecommendation> &recommendations);

} // namespace halvex
