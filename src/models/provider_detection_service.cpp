#include "models/provider_detection_service.h"
#include "platform/characters.h"
#include "platform/logging.h"
#include "platform/net/http_client.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <limits>

namespace halvex {

namespace {

// Nothing bigger is a model list.
constexpr qint64 kTagsLimit = 4 * 1024 * 1024;

bool hasNoKey(const QString &apiKey)
{
    return apiKey.isEmpty() || apiKey == QLatin1String("n/a") || isRedactedSecret(apiKey);
}

QString capitalisedWords(const QString &key)
{
    QString text = key.toLower();
    bool startOfWord = true;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const bool inWord = text.at(i).isLetterOrNumber();
        if (inWord && startOfWord)
            text.replace(i, 1, text.at(i).toUpper());
        startOfWord = !inWord;
    }
    return text;
}

std::optional<int> intValue(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    // The range first: converting a double beyond it (JSON5 allows 1e300 and
    // Infinity) is undefined.
    if (!(number >= std::numeric_limits<int>::min() && number <= std::numeric_limits<int>::max()) ||
        number != std::trunc(number))
        return std::nullopt;
    return int(number);
}

} // namespace

double DetectedOllamaModel::gigabytes(qint64 sizeBytes)
{
    // Tenths of a gigabyte, half away from zero, in integers (no binary
    // rounding surprises at exact halves).
    constexpr qint64 tenth = 100'000'000;
    const qint64 tenths = sizeBytes >= 0 ? (sizeBytes + tenth / 2) / tenth : -((-sizeBytes + tenth / 2) / tenth);
    return double(tenths) / 10.0;
}

ProviderDetectionService::ProviderDetectionService(Dependencies deps, Timings timings, QObject *parent)
    : QObject(parent), m_deps(std::move(deps)), m_timings(timings)
{
    if (m_deps.localOllamaHost.isEmpty())
        m_deps.localOllamaHost = defaultOllamaHost();
    if (!m_deps.environment)
        m_deps.environment = processEnvironment;
    m_ollamaHost = m_deps.localOllamaHost;
}

QString ProviderDetectionService::configPath() const
{
    return openClawConfigPath(m_deps.homeDirectory, m_deps.environment);
}

QString ProviderDetectionService::providerDisplayName(const QString &key)
{
    static const QHash<QString, QString> names = {
        {QStringLiteral("xai"), QStringLiteral("xAI (Grok)")},
        {QStringLiteral("openrouter"), QStringLiteral("OpenRouter")},
        {QStringLiteral("openai"), QStringLiteral("OpenAI")},
        {QStringLiteral("anthropic"), QStringLiteral("Anthropic (Claude)")},
        {QStringLiteral("deepseek"), QStringLiteral("DeepSeek")},
        {QStringLiteral("mistral"), QStringLiteral("Mistral")},
        {QStringLiteral("gemini"), QStringLiteral("Google (Gemini)")},
    };
    return names.value(key, capitalisedWords(key));
}

std::optional<OpenClawConfig> ProviderDetectionService::readConfig() const
{
    Result<std::optional<OpenClawConfig>> config = loadOpenClawConfig(m_deps.homeDirectory, m_deps.environment);
    if (config && !config->has_value())
        qCDebug(lcProviderDetection, "OpenClaw config not found at %s", qUtf8Printable(quotedForLog(configPath())));
    if (!config)
        qCCritical(lcProviderDetection, "Failed to parse OpenClaw config as JSON");
    return config ? *config : std::nullopt;
}

std::optional<int> ProviderDetectionService::contextWindow(const QString &model, const OpenClawConfig &config)
{
    const qsizetype slash = model.indexOf(QLatin1Char('/'));
    if (slash <= 0 || slash == model.size() - 1)
        return std::nullopt;
    const QString providerId = model.left(slash);
    const QString modelId = model.mid(slash + 1);
    const QJsonArray models = config.providers.value(providerId).toObject().value(QStringLiteral("models")).toArray();
    for (const QJsonValue &value : models) {
        const QJsonObject entry = value.toObject();
        if (entry.value(QStringLiteral("id")).toString() == modelId && entry.value(QStringLiteral("id")).isString())
            return intValue(entry.value(QStringLiteral("contextWindow")));
    }
    return std::nullopt;
}

QCoro::Task<> ProviderDetectionService::detectAll()
{
    m_isDetecting = true;
    Q_EMIT isDetectingChanged();
    qCInfo(lcProviderDetection, "Starting provider detection");
    // Started together; each suspends only while its own I/O is pending.
    QCoro::Task<> ollama = detectOllama();
    QCoro::Task<> cloud = detectCloudProviders();
    QCoro::Task<> mobile = detectCurrentMobileModel();
    co_await ollama;
    co_await cloud;
    co_await mobile;
    qCInfo(lcProviderDetection, "Provider detection complete — ollama: %s, cloud providers: %ld, mobile model: %s",
           boolText(m_ollamaReachable), long(m_cloudProviders.size()),
           qUtf8Printable(quotedForLog(m_currentMobileModel.value_or(QStringLiteral("none")))));
    m_isDetecting = false;
    Q_EMIT isDetectingChanged();
}

QCoro::Task<> ProviderDetectionService::detectOllama()
{
    QStringList candidates;
    const std::optional<OpenClawConfig> config = readConfig();
    const QJsonValue configured = config.value_or(OpenClawConfig())
                                      .providers.value(QStringLiteral("ollama"))
                                      .toObject()
                                      .value(QStringLiteral("baseUrl"));
    QString base = configured.toString();
    if (configured.isString() && !base.isEmpty()) {
        if (base.endsWith(QLatin1Char('/')))
            base.chop(1);
        if (base.endsWith(QLatin1String("/v1")))
            base.chop(3);
        candidates.append(base);
        if (!base.contains(QLatin1String("127.0.0.1")) && !base.contains(QLatin1String("localhost")))
            candidates.append(m_deps.localOllamaHost);
    } else {
        candidates.append(m_deps.localOllamaHost);
    }

    QPointer<ProviderDetectionService> self(this);
    for (const QString &candidate : std::as_const(candidates)) {
        QCoro::Task<std::optional<QList<DetectedOllamaModel>>> probe = probeOllama(candidate);
        const std::optional<QList<DetectedOllamaModel>> models = co_await std::move(probe);
        if (!self)
            co_return;
        if (!models)
            continue;
        m_ollamaModels = *models;
        m_ollamaReachable = true;
        m_ollamaHost = candidate;
        qCInfo(lcProviderDetection, "Ollama reachable at %s with %ld model(s)", qUtf8Printable(quotedForLog(candidate)),
               long(models->size()));
        co_return;
    }
    m_ollamaModels.clear();
    m_ollamaReachable = false;
    qCInfo(lcProviderDetection, "Ollama not reachable");
}

QCoro::Task<std::optional<QList<DetectedOllamaModel>>> ProviderDetectionService::probeOllama(QString baseUrl)
{
    const QUrl url(baseUrl + QStringLiteral("/api/tags"), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        co_return std::nullopt;
    FetchRequest request;
    request.url = url;
    request.deadline = m_timings.probeTimeout;
    request.maxBodyBytes = kTagsLimit; // a cut-off (oversized) answer is no model list
    const Result<HttpAnswer> answer = co_await fetch(std::move(request), this);
    if (!answer) {
        qCDebug(lcProviderDetection, "Ollama probe failed for %s: %s", qUtf8Printable(quotedForLog(baseUrl)),
                qUtf8Printable(quotedForLog(answer.error().description())));
        co_return std::nullopt;
    }
    if (answer->status != 200)
        co_return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(answer->body);
    const QJsonValue models = document.object().value(QStringLiteral("models"));
    if (!document.isObject() || !models.isArray())
        co_return std::nullopt;
    QList<DetectedOllamaModel> result;
    for (const QJsonArray elements = models.toArray(); const QJsonValue &value : elements) {
        if (!value.isObject())
            co_return std::nullopt; // not an array of objects
    }
    for (const QJsonArray elements = models.toArray(); const QJsonValue &value : elements) {
        const QJsonObject object = value.toObject();
        if (!object.value(QStringLiteral("name")).isString())
            continue;
        DetectedOllamaModel model;
        model.name = object.value(QStringLiteral("name")).toString();
        const QJsonValue size = object.value(QStringLiteral("size"));
        model.sizeBytes = size.isDouble() && size.toDouble() == double(size.toInteger()) ? size.toInteger() : 0;
        model.sizeGB = DetectedOllamaModel::gigabytes(model.sizeBytes);
        const QJsonValue parameterSize =
            object.value(QStringLiteral("details")).toObject().value(QStringLiteral("parameter_size"));
        model.parameterSize = parameterSize.isString() ? parameterSize.toString() : QString();
        result.append(model);
    }
    co_return result;
}

QCoro::Task<> ProviderDetectionService::detectCloudProviders()
{
    const std::optional<OpenClawConfig> config = readConfig();
    const QJsonValue models = config ? config->document.value(QStringLiteral("models")) : QJsonValue();
    if (!models.isObject() || !models.toObject().value(QStringLiteral("providers")).isObject()) {
        m_cloudProviders.clear();
        qCInfo(lcProviderDetection, "No cloud providers found (config missing or malformed)");
        co_return;
    }
    static const QSet<QString> notCloud = {QStringLiteral("ollama"), QStringLiteral("copilot-proxy")};
    QList<DetectedCloudProvider> found;
    // With "${VAR}" references resolved, as OpenClaw sees them.
    const QJsonObject map = config->providers;
    for (auto it = map.begin(); it != map.end(); ++it) {
        if (notCloud.contains(it.key()) || !it.value().isObject())
            continue;
        const QJsonObject entry = it.value().toObject();
        DetectedCloudProvider provider;
        provider.id = it.key();
        provider.displayName = providerDisplayName(it.key());
        provider.hasAPIKey = !hasNoKey(entry.value(QStringLiteral("apiKey")).toString());
        const QJsonValue list = entry.value(QStringLiteral("models"));
        const QJsonArray array = list.toArray();
        const bool allObjects =
            list.isArray() && std::all_of(array.begin(), array.end(), [](const QJsonValue &v) { return v.isObject(); });
        for (const QJsonValue &value : allObjects ? array : QJsonArray()) {
            const QJsonObject object = value.toObject();
            if (!object.value(QStringLiteral("id")).isString())
                continue;
            DetectedCloudModel model;
            model.id = object.value(QStringLiteral("id")).toString();
            const QJsonValue name = object.value(QStringLiteral("name"));
            model.name = name.isString() ? name.toString() : model.id;
            model.providerId = provider.id;
            model.contextWindow = intValue(object.value(QStringLiteral("contextWindow"))).value_or(0);
            model.reasoning = object.value(QStringLiteral("reasoning")).toBool(false);
            provider.models.append(model);
        }
        found.append(provider);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto &a, const auto &b) { return a.displayName < b.displayName; });
    m_cloudProviders = found;
    qCInfo(lcProviderDetection, "Detected %ld cloud provider(s)", long(found.size()));
    co_return;
}

QCoro::Task<> ProviderDetectionService::detectCurrentMobileModel()
{
    const std::optional<OpenClawConfig> config = readConfig();
    std::optional<QString> model;
    // Either agent shape; OpenClaw takes the model as a plain string too.
    for (const OpenClawAgent &agent : config ? config->agents : QList<OpenClawAgent>()) {
        if (agent.id == OpenClawConfig::mobileAgentId()) {
            if (!agent.model.isEmpty())
                model = agent.model;
            break;
        }
    }
    if (!model) {
        setCurrentMobileModel(std::nullopt, std::nullopt);
        co_return;
    }
    const std::optional<int> window = contextWindow(*model, *config);
    qCInfo(lcProviderDetection, "Current mobile model: %s, context: %ld", qUtf8Printable(quotedForLog(*model)),
           long(window.value_or(0)));
    setCurrentMobileModel(model, window);
    co_return;
}

void ProviderDetectionService::setCurrentMobileModel(std::optional<QString> model, std::optional<int> contextWindow)
{
    const bool changed = model != m_currentMobileModel || contextWindow != m_currentMobileContextWindow;
    m_currentMobileModel = std::move(model);
    m_currentMobileContextWindow = contextWindow;
    if (changed)
        Q_EMIT currentMobileModelChanged();
}

QCoro::Task<std::optional<OpenClawTool>> ProviderDetectionService::tool()
{
    if (!m_toolLookup && m_deps.findTool) {
        QPointer<ProviderDetectionService> self(this);
        const OpenClawToolFinder find = m_deps.findTool;
        QCoro::Task<OpenClawToolLookup> finding = find();
        OpenClawToolLookup found = co_await std::move(finding);
        if (!self)
            co_return std::nullopt;
        // A tool that is missing now may be installed before the next
        // write: only a found one is kept.
        if (found.tool)
            m_toolLookup = found;
        m_toolProblem = found.tool                ? QString()
                        : found.problem.isEmpty() ? QStringLiteral("the openclaw tool was not found")
                                                  : found.problem;
        co_return found.tool;
    }
    co_return m_toolLookup ? m_toolLookup->tool : std::nullopt;
}

QCoro::Task<Result<ConfigEdit>> ProviderDetectionService::setMobileModel(QString reference, int contextWindow,
                                                                         int maxTokens, bool dryRun)
{
    QPointer<ProviderDetectionService> self(this);
    // The calls are made before the co_await (GCC 12 destroys temporaries
    // of a coroutine call inside a co_await expression twice).
    QCoro::Task<std::optional<OpenClawTool>> finding = tool();
    const std::optional<OpenClawTool> found = co_await std::move(finding);
    if (!self)
        co_return Error::plain(QStringLiteral("Cancelled"));
    MobileModelConfigWriter::Options options;
    options.configPath = configPath();
    options.tool = found;
    options.runner = m_deps.processRunner;
    options.environment = m_deps.environment;
    options.toolTimeout = m_deps.toolTimeout;
    MobileModelConfigWriter writer(options);
    QCoro::Task<Result<ConfigEdit>> writing = writer.write({reference, contextWindow, maxTokens, m_ollamaHost}, dryRun);
    Result<ConfigEdit> result = co_await std::move(writing);
    if (self && result && !dryRun)
        setCurrentMobileModel(reference, contextWindow);
    co_return result;
}

std::optional<QString> ProviderDetectionService::refusalOf(const QString &reference, int contextWindow,
                                                           int maxTokens) const
{
    if (openClawConfigIsReadOnly(m_deps.environment))
        return openClawReadOnlySentence(m_deps.environment);
    const std::optional<OpenClawConfig> config = readConfig();
    const Result<ConfigEdit> edit = applyMobileModel(config ? config->effective : QJsonObject(),
                                                     {reference, contextWindow, maxTokens, m_ollamaHost});
    return edit ? std::nullopt : std::optional<QString>(edit.error().description());
}

} // namespace halvex
