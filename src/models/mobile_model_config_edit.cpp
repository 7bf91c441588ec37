// The in-memory edit of the OpenClaw configuration for a new mobile model.
#include "gateway/openclaw_config.h"
#include "models/mobile_model_config_writer.h"
#include "models/provider_detection_service.h"
#include "platform/characters.h"
#include "platform/logging.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

namespace halvex {

namespace {

const QString kMobile = OpenClawConfig::mobileAgentId();

// Where the connection of a provider created for Ollama points: OpenClaw's
// native Ollama API, on the server's base URL without "/v1".
QString ollamaBaseUrl(QString host)
{
    if (host.isEmpty())
        host = ProviderDetectionService::defaultOllamaHost();
    if (host.endsWith(QLatin1Char('/')))
        host.chop(1);
    if (host.endsWith(QLatin1String("/v1")))
        host.chop(3);
    return host;
}

QString compact(const QJsonValue &value)
{
    if (value.isString())
        return value.toString();
    if (value.isUndefined())
        return QStringLiteral("(none)");
    return QString::fromUtf8(QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).mid(1).chopped(1));
}

// Sets the primary model of an agent entry, keeping the model's shape (a
// string stays a string; an object keeps its fallbacks).
QJsonObject withPrimaryModel(QJsonObject agent, const QString &reference, const QString &where, QStringList &changes)
{
    const QJsonValue model = agent.value(QStringLiteral("model"));
    const std::optional<QString> old = primaryModelOf(model);
    if (model.isString()) {
        agent.insert(QStringLiteral("model"), reference);
    } else {
        QJsonObject object = model.toObject();
        object.insert(QStringLiteral("primary"), reference);
        agent.insert(QStringLiteral("model"), object);
    }
    if (old != reference)
        changes.append(
            QStringLiteral("%1: model %2 -> %3").arg(where, old.value_or(QStringLiteral("(none)")), reference));
    return agent;
}

QJsonObject newMobileAgent()
{
    return QJsonObject{{QStringLiteral("name"), QStringLiteral("Mobile")}};
}

Result<QJsonObject> withMobileAgent(QJsonObject agents, const QString &reference, ConfigEdit &edit)
{
    const QJsonValue entries = agents.value(QStringLiteral("entries"));
    const QJsonValue list = agents.value(QStringLiteral("list"));
    if (!entries.isUndefined()) {
        // OpenClaw's keyed shape; never add "list" beside it.
        if (!entries.isObject())
            return Error::plain(QStringLiteral("agents.entries in the OpenClaw configuration is not an object"));
        QJsonObject map = entries.toObject();
        const QJsonValue existing = map.value(kMobile);
        if (!existing.isUndefined() && !existing.isObject())
            return Error::plain(QStringLiteral("agents.entries.mobile in the OpenClaw configuration is not an object"));
        edit.createdMobileAgent = existing.isUndefined();
        const QJsonObject agent = edit.createdMobileAgent ? newMobileAgent() : existing.toObject();
        map.insert(kMobile, withPrimaryModel(agent, reference, QStringLiteral("agents.entries.mobile"), edit.changes));
        agents.insert(QStringLiteral("entries"), map);
        return agents;
    }
    if (!list.isUndefined() && !list.isArray())
        return Error::plain(QStringLiteral("agents.list in the OpenClaw configuration is not a list"));
    QJsonArray array = list.toArray();
    if (list.isUndefined()) {
        // A stock installation: the implicit "main" agent stays the default.
        array.append(QJsonObject{{QStringLiteral("id"), QStringLiteral("main")}, {QStringLiteral("default"), true}});
        edit.changes.append(QStringLiteral("agents.list: added main (default)"));
    }
    qsizetype index = -1;
    for (qsizetype i = 0; i < array.size(); ++i) {
        if (array.at(i).isObject() && array.at(i).toObject().value(QStringLiteral("id")).toString() == kMobile) {
            index = i;
            break;
        }
    }
    edit.createdMobileAgent = index < 0;
    if (edit.createdMobileAgent) {
        QJsonObject agent = newMobileAgent();
        agent.insert(QStringLiteral("id"), kMobile);
        array.append(agent);
        index = array.size() - 1;
        // Two or more legacy agents need exactly one default marker; without
        // one the first agent was the default, so it keeps that role.
        int defaults = 0;
        for (const QJsonValue &value : std::as_const(array))
            defaults += value.toObject().value(QStringLiteral("default")).toBool() ? 1 : 0;
        if (defaults == 0 && array.at(0).isObject()) {
            QJsonObject first = array.at(0).toObject();
            first.insert(QStringLiteral("default"), true);
            array.replace(0, first);
            edit.changes.append(QStringLiteral("agents.list: %1 marked as the default agent")
                                    .arg(first.value(QStringLiteral("id")).toString()));
        }
    }
    array.replace(index, withPrimaryModel(array.at(index).toObject(), reference, QStringLiteral("agents.list mobile"),
                                          edit.changes));
    agents.insert(QStringLiteral("list"), array);
    return agents;
}

QJsonObject newModelEntry(const QString &modelId, int contextWindow, int maxTokens)
{
    return QJsonObject{
        {QStringLiteral("id"), modelId},
        {QStringLiteral("name"), modelId},
        {QStringLiteral("reasoning"), false},
        {QStringLiteral("input"), QJsonArray{QStringLiteral("text")}},
        {QStringLiteral("cost"), QJsonObject{{QStringLiteral("input"), 0},
                                             {QStringLiteral("output"), 0},
                                             {QStringLiteral("cacheRead"), 0},
                                             {QStringLiteral("cacheWrite"), 0}}},
        {QStringLiteral("contextWindow"), contextWindow},
        {QStringLiteral("maxTokens"), maxTokens},
    };
}

Result<QJsonObject> withProviderModel(QJsonObject config, const QString &providerId, const QString &modelId,
                                      const MobileModelChoice &choice, QStringList &changes)
{
    const bool isOllama = providerId == QLatin1String("ollama");
    const QJsonValue modelsValue = config.value(QStringLiteral("models"));
    if (!modelsValue.isUndefined() && !modelsValue.isObject())
        return Error::plain(QStringLiteral("models in the OpenClaw configuration is not an object"));
    QJsonObject models = modelsValue.toObject();
    const QJsonValue providersValue = models.value(QStringLiteral("providers"));
    if (!providersValue.isUndefined() && !providersValue.isObject())
        return Error::plain(QStringLiteral("models.providers in the OpenClaw configuration is not an object"));
    QJsonObject providers = providersValue.toObject();
    const QJsonValue entryValue = providers.value(providerId);
    if (entryValue.isUndefined() && !isOllama)
        return Error::plain(QStringLiteral("The provider \"%1\" is not configured in OpenClaw").arg(providerId));
    if (!entryValue.isUndefined() && !entryValue.isObject())
        return Error::plain(
            QStringLiteral("models.providers.%1 in the OpenClaw configuration is not an object").arg(providerId));
    QJsonObject entry = entryValue.toObject();
    const QJsonValue listValue = entry.value(QStringLiteral("models"));
    if (!listValue.isUndefined() && !listValue.isArray())
        return Error::plain(
            QStringLiteral("models.providers.%1.models in the OpenClaw configuration is not a list").arg(providerId));
    QJsonArray list = listValue.toArray();
    const QString where = QStringLiteral("models.providers.%1").arg(providerId);

    qsizetype index = -1;
    for (qsizetype i = 0; i < list.size(); ++i) {
        if (list.at(i).toObject().value(QStringLiteral("id")).toString() == modelId && list.at(i).isObject()) {
            index = i;
            break;
        }
    }
    if (index < 0) {
        list.append(newModelEntry(modelId, choice.contextWindow, choice.maxTokens));
        qCInfo(lcProviderDetection, "Added %s to %s provider config", qUtf8Printable(quotedForLog(modelId)),
               qUtf8Printable(quotedForLog(providerId)));
        changes.append(QStringLiteral("%1: added model %2").arg(where, modelId));
    } else {
        QJsonObject model = list.at(index).toObject();
        const std::pair<const char *, int> limits[] = {{"contextWindow", choice.contextWindow},
                                                       {"maxTokens", choice.maxTokens}};
        for (const auto &[key, value] : limits) {
            const QString name = QString::fromLatin1(key);
            const QJsonValue old = model.value(name);
            if (old.isDouble() && old.toDouble() == value)
                continue;
            model.insert(name, value);
            changes.append(QStringLiteral("%1 %2: %3 %4 -> %5").arg(where, modelId, name, compact(old)).arg(value));
        }
        // OpenClaw rejects a model entry without a name.
        if (!model.value(QStringLiteral("name")).isString()) {
            model.insert(QStringLiteral("name"), modelId);
            changes.append(QStringLiteral("%1 %2: name added").arg(where, modelId));
        }
        list.replace(index, model);
    }
    entry.insert(QStringLiteral("models"), list);

    // Connection defaults only where they belong: an Ollama provider without
    // its own base URL. A cloud provider keeps its own connection and key.
    if (isOllama && !entry.contains(QStringLiteral("baseUrl"))) {
        const QJsonObject defaults{{QStringLiteral("baseUrl"), ollamaBaseUrl(choice.ollamaHost)},
                                   {QStringLiteral("api"), QStringLiteral("ollama")},
                                   {QStringLiteral("authHeader"), false},
                                   {QStringLiteral("apiKey"), QStringLiteral("nokey-needed")}};
        for (auto it = defaults.begin(); it != defaults.end(); ++it) {
            if (entry.contains(it.key()))
                continue; // the user's own apiKey, api, ... stay
            entry.insert(it.key(), it.value());
            changes.append(QStringLiteral("%1: %2 %3").arg(where, it.key(), compact(it.value())));
        }
    }
    providers.insert(providerId, entry);
    models.insert(QStringLiteral("providers"), providers);
    config.insert(QStringLiteral("models"), models);
    return config;
}

} // namespace

std::optional<QString> primaryModelOf(const QJsonValue &model)
{
    if (model.isString())
        return model.toString();
    const QJsonValue primary = model.toObject().value(QStringLiteral("primary"));
    if (primary.isString())
        return primary.toString();
    return std::nullopt;
}

std::optional<QJsonObject> mobileAgentOf(const QJsonObject &config)
{
    const QJsonObject agents = config.value(QStringLiteral("agents")).toObject();
    const QJsonValue entries = agents.value(QStringLiteral("entries"));
    if (entries.isObject()) {
        const QJsonValue mobile = entries.toObject().value(kMobile);
        return mobile.isObject() ? std::optional(mobile.toObject()) : std::nullopt;
    }
    for (const QJsonArray elements = agents.value(QStringLiteral("list")).toArray();
         const QJsonValue &value : elements) {
        if (value.isObject() && value.toObject().value(QStringLiteral("id")).toString() == kMobile)
            return value.toObject();
    }
    return std::nullopt;
}

Result<ConfigEdit> applyMobileModel(const QJsonObject &config, const MobileModelChoice &choice)
{
    const QString &reference = choice.reference;
    const qsizetype slash = reference.indexOf(QLatin1Char('/'));
    const QString providerId = slash < 0 ? QString() : reference.left(slash);
    const QString modelId = slash < 0 ? QString() : reference.mid(slash + 1);
    if (reference.trimmed().isEmpty() || reference != reference.trimmed())
        return Error::plain(QStringLiteral("The model reference is empty or has surrounding spaces"));
    if (providerId == QLatin1String("managed"))
        return Error::plain(
            QStringLiteral("The Halvex free tier is not served through OpenClaw here; choose a local or cloud model"));
    if (slash >= 0 && (providerId.isEmpty() || modelId.isEmpty()))
        return Error::plain(QStringLiteral("The model reference must be \"provider/model\""));
    if (choice.contextWindow <= 0 || choice.maxTokens <= 0)
        return Error::plain(QStringLiteral("The context window and output budget must be positive"));

    ConfigEdit edit;
    edit.config = config;
    const QJsonValue agentsValue = config.value(QStringLiteral("agents"));
    if (!agentsValue.isUndefined() && !agentsValue.isObject())
        return Error::plain(QStringLiteral("agents in the OpenClaw configuration is not an object"));
    Result<QJsonObject> agents = withMobileAgent(agentsValue.toObject(), reference, edit);
    if (!agents)
        return agents.error();
    if (edit.createdMobileAgent)
        qCInfo(lcProviderDetection, "Created the mobile agent with model %s", qUtf8Printable(quotedForLog(reference)));

    if (slash >= 0) {
        Result<QJsonObject> withModel = withProviderModel(edit.config, providerId, modelId, choice, edit.changes);
        if (!withModel)
            return withModel.error();
        edit.config = *withModel;
    }

    // The registry for all agents, only where the configuration keeps one.
    QJsonObject agentsObject = *agents;
    QJsonObject defaults = agentsObject.value(QStringLiteral("defaults")).toObject();
    const QJsonValue registry = defaults.value(QStringLiteral("models"));
    if (registry.isObject() && !registry.toObject().contains(reference)) {
        QJsonObject map = registry.toObject();
        map.insert(reference, QJsonObject{});
        defaults.insert(QStringLiteral("models"), map);
        agentsObject.insert(QStringLiteral("defaults"), defaults);
        qCInfo(lcProviderDetection, "Registered %s in agents.defaults.models", qUtf8Printable(quotedForLog(reference)));
        edit.changes.append(QStringLiteral("agents.defaults.models: registered %1").arg(reference));
    }
    edit.config.insert(QStringLiteral("agents"), agentsObject);
    return edit;
}

Result<Done> checkWrittenMembers(const QJsonObject &config, const QString &reference)
{
    const QJsonObject agents = config.value(QStringLiteral("agents")).toObject();
    if (agents.contains(QStringLiteral("list")) && agents.contains(QStringLiteral("entries")))
        return Error::plain(QStringLiteral("agents.list and agents.entries cannot both be present"));
    const QJsonArray list = agents.value(QStringLiteral("list")).toArray();
    int defaults = 0;
    for (const QJsonValue &value : list)
        defaults += value.toObject().value(QStringLiteral("default")).toBool() ? 1 : 0;
    if (list.size() >= 2 && defaults != 1)
        return Error::plain(QStringLiteral("agents.list with two or more agents needs exactly one default agent"));
    if (!mobileAgentOf(config) || primaryModelOf(mobileAgentOf(config)->value(QStringLiteral("model"))) != reference)
        return Error::plain(QStringLiteral("the mobile agent does not carry the model"));

    const qsizetype slash = reference.indexOf(QLatin1Char('/'));
    if (slash < 0)
        return Done{};
    const QString providerId = reference.left(slash);
    const QJsonObject provider = config.value(QStringLiteral("models"))
                                     .toObject()
                                     .value(QStringLiteral("providers"))
                                     .toObject()
                                     .value(providerId)
                                     .toObject();
    static const QSet<QString> providerKeys = {
        QStringLiteral("agentRuntime"),  QStringLiteral("api"),
        QStringLiteral("apiKey"),        QStringLiteral("auth"),
        QStringLiteral("authHeader"),    QStringLiteral("baseUrl"),
        QStringLiteral("headers"),       QStringLiteral("injectNumCtxForOpenAICompat"),
        QStringLiteral("localService"),  QStringLiteral("maxTokens"),
        QStringLiteral("models"),        QStringLiteral("params"),
        QStringLiteral("region"),        QStringLiteral("request"),
        QStringLiteral("timeoutSeconds")};
    for (auto it = provider.begin(); it != provider.end(); ++it) {
        if (!providerKeys.contains(it.key()))
            return Error::plain(QStringLiteral("models.providers.%1: unknown key \"%2\"").arg(providerId, it.key()));
    }
    for (const QJsonArray elements = provider.value(QStringLiteral("models")).toArray();
         const QJsonValue &value : elements) {
        const QJsonObject model = value.toObject();
        if (!model.value(QStringLiteral("id")).isString() || !model.value(QStringLiteral("name")).isString())
            return Error::plain(QStringLiteral("models.providers.%1: a model needs an id and a name").arg(providerId));
        for (const char *key : {"contextWindow", "maxTokens"}) {
            const QJsonValue limit = model.value(QLatin1String(key));
            if (!limit.isUndefined() && !(limit.isDouble() && limit.toDouble() > 0))
                return Error::plain(QStringLiteral("models.providers.%1: %2 must be greater than 0")
                                        .arg(providerId, QLatin1String(key)));
        }
    }
    return Done{};
}

} // namespace halvex
