#include "models/model_recommendation.h"

#include <QRegularExpression>
#include <QUrl>

#include <algorithm>

namespace halvex {

namespace {

using SpeedTier = ModelRecommendation::SpeedTier;
using CostTier = ModelRecommendation::CostTier;
using Category = ModelRecommendation::Category;

ModelRecommendation entry(QString id, QString displayName, QString description, SpeedTier speed, CostTier cost,
                          int contextWindow, int maxTokens, Category category)
{
    ModelRecommendation r;
    r.id = std::move(id);
    r.displayName = std::move(displayName);
    r.description = std::move(description);
    r.speedTier = speed;
    r.costTier = cost;
    r.contextWindow = contextWindow;
    r.maxTokens = maxTokens;
    r.category = category;
    return r;
}

int providerPriority(const QString &id)
{
    const QString lower = id.toLower();
    if (lower == QLatin1String("xai"))
        return 0;
    if (lower == QLatin1String("openai"))
        return 1;
    return 2;
}

bool isQuantisationToken(const QString &token)
{
    const QString lower = token.toLower();
    return lower.size() >= 2 && lower.at(0) == QLatin1Char('q') && lower.at(1).isDigit();
}

QString upperFirst(const QString &text)
{
    if (text.isEmpty())
        return text;
    // Upper-casing one character may give several (e.g. "ß").
    return text.left(1).toUpper() + text.mid(1);
}

} // namespace

QString ModelRecommendation::rawValue(SpeedTier tier)
{
    switch (tier) {
    case SpeedTier::fast:
        return QStringLiteral("Fast");
    case SpeedTier::balanced:
        return QStringLiteral("Balanced");
    case SpeedTier::deepThinking:
        return QStringLiteral("Deep Thinking");
    }
    return {};
}

QString ModelRecommendation::rawValue(CostTier tier)
{
    switch (tier) {
    case CostTier::free:
        return QStringLiteral("Free");
    case CostTier::paid:
        return QStringLiteral("Paid");
    case CostTier::byok:
        return QStringLiteral("Bring Your Own Key");
    }
    return {};
}

QString ModelRecommendation::rawValue(Category category)
{
    switch (category) {
    case Category::local:
        return QStringLiteral("Local Models");
    case Category::cloud:
        return QStringLiteral("Cloud Models");
    case Category::managed:
        return QStringLiteral("Managed");
    }
    return {};
}

QList<Category> ModelRecommendation::allCategories()
{
    return {Category::local, Category::cloud, Category::managed};
}

QString hostLabel(const QString &host)
{
    const QString thisMachine = QStringLiteral("this computer");
    const QUrl url(host, QUrl::StrictMode);
    const QString name = url.isValid() ? url.host() : QString();
    if (name.isEmpty() || name == QLatin1String("127.0.0.1") || name == QLatin1String("localhost") ||
        name == QLatin1String("::1"))
        return thisMachine;
    return name;
}

std::pair<QList<DetectedOllamaModel>, QList<DetectedOllamaModel>>
classifyBySize(const QList<DetectedOllamaModel> &models)
{
    static const QRegularExpression size(QStringLiteral("(\\d+(?:\\.\\d+)?)\\s*[Bb]"));
    std::pair<QList<DetectedOllamaModel>, QList<DetectedOllamaModel>> split;
    for (const DetectedOllamaModel &model : models) {
        bool small = false;
        const QRegularExpressionMatch match = size.match(model.parameterSize);
        if (size.isValid() && match.hasMatch()) {
            bool ok = false;
            const double billions = match.captured(1).toDouble(&ok);
            small = ok && billions <= 8.0;
        }
        (small ? split.first : split.second).append(model);
    }
    return split;
}

QString ollamaDisplayName(const QString &name)
{
    const qsizetype colon = name.indexOf(QLatin1Char(':'));
    const QString base = colon < 0 ? name : name.left(colon);
    const QString tag = colon < 0 ? QString() : name.mid(colon + 1);
    QStringList words;
    if (!base.isEmpty())
        words.append(upperFirst(base));
    const QStringList tokens = tag.split(QLatin1Char('-'), Qt::SkipEmptyParts);
    for (const QString &token : tokens) {
        if (isQuantisationToken(token))
            break;
        words.append(token == token.toUpper() ? token : upperFirst(token));
    }
    // A name without a base (":tag") still shows something.
    return words.isEmpty() ? name : words.join(QLatin1Char(' '));
}

QList<ModelRecommendation> buildRecommendations(const QList<DetectedOllamaModel> &ollamaModels,
                                                const QString &ollamaHost,
                                                const QList<DetectedCloudProvider> &cloudProviders)
{
    QList<ModelRecommendation> list;
    const QString label = hostLabel(ollamaHost);
    const auto [small, larger] = classifyBySize(ollamaModels);
    for (const DetectedOllamaModel &model : small)
        list.append(entry(QStringLiteral("ollama/") + model.name, ollamaDisplayName(model.name),
                          QStringLiteral("Runs locally on %1. Free, fast, private.").arg(label), SpeedTier::fast,
                          CostTier::free, 8192, 2048, Category::local));
    for (const DetectedOllamaModel &model : larger)
        list.append(entry(QStringLiteral("ollama/") + model.name, ollamaDisplayName(model.name),
                          QStringLiteral("Runs locally on %1. Free, higher quality, slower.").arg(label),
                          SpeedTier::balanced, CostTier::free, 16384, 4096, Category::local));

    QList<DetectedCloudProvider> providers = cloudProviders;
    std::stable_sort(providers.begin(), providers.end(),
                     [](const auto &a, const auto &b) { return providerPriority(a.id) < providerPriority(b.id); });
    for (const bool reasoningPass : {false, true}) {
        for (const DetectedCloudProvider &provider : providers) {
            for (const DetectedCloudModel &model : provider.models) {
                if (model.reasoning != reasoningPass)
                    continue;
                const QString id = provider.id + QLatin1Char('/') + model.id;
                if (reasoningPass)
                    list.append(entry(id, model.name,
                                      provider.displayName + QStringLiteral(" — deep reasoning, slower."),
                                      SpeedTier::deepThinking, CostTier::byok, 32000, 8192, Category::cloud));
                else
                    list.append(entry(id, model.name,
                                      provider.displayName + QStringLiteral(" — fast responses, your API key."),
                                      SpeedTier::fast, CostTier::byok, 32000, 4096, Category::cloud));
            }
        }
    }
    list.append(entry(managedFreeTierId(), QStringLiteral("Halvex Free Tier"),
                      QStringLiteral("20 messages/day. No setup needed."), SpeedTier::balanced, CostTier::free, 32000,
                      4096, Category::managed));
    list.first().isRecommended = true;
    return list;
}

QList<CategoryGroup> groupedByCategory(const QList<ModelRecommendation> &recommendations)
{
    QList<CategoryGroup> groups;
    for (const Category category : ModelRecommendation::allCategories()) {
        CategoryGroup group{category, {}};
        for (const ModelRecommendation &r : recommendations)
            if (r.category == category)
                group.models.append(r);
        if (!group.models.isEmpty())
            groups.append(group);
    }
    return groups;
}

} // namespace halvex
