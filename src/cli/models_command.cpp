#include "cli/models_command.h"

#include <memory>

#include "cli/cli.h"
#include "discovery/command_runner.h"
#include "discovery/openclaw_locator.h"
#include "models/local_model_test.h"
#include "models/model_recommendation.h"
#include "models/provider_detection_service.h"
#include "platform/characters.h"
#include "platform/wait_for_task.h"

#include <QCommandLineParser>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

namespace halvex::cli {

namespace {

using Rec = ModelRecommendation;

// Outside text (model names from a server, keys from a file) on a terminal.
QString shown(const QString &text)
{
    return quotedForLog(text, 300);
}

QJsonObject toJson(const Rec &r)
{
    return {{QStringLiteral("id"), r.id},
            {QStringLiteral("displayName"), r.displayName},
            {QStringLiteral("description"), r.description},
            {QStringLiteral("speedTier"), Rec::rawValue(r.speedTier)},
            {QStringLiteral("costTier"), Rec::rawValue(r.costTier)},
            {QStringLiteral("contextWindow"), r.contextWindow},
            {QStringLiteral("maxTokens"), r.maxTokens},
            {QStringLiteral("isRecommended"), r.isRecommended},
            {QStringLiteral("category"), Rec::rawValue(r.category)}};
}

QJsonObject detectionJson(const ProviderDetectionService &service, const QList<Rec> &recommendations)
{
    QJsonArray ollama;
    for (const DetectedOllamaModel &m : service.ollamaModels())
        ollama.append(QJsonObject{{QStringLiteral("name"), m.name},
                                  {QStringLiteral("sizeBytes"), m.sizeBytes},
                                  {QStringLiteral("sizeGB"), m.sizeGB},
                                  {QStringLiteral("parameterSize"), m.parameterSize}});
    QJsonArray cloud;
    for (const DetectedCloudProvider &p : service.cloudProviders()) {
        QJsonArray models;
        for (const DetectedCloudModel &m : p.models)
            models.append(QJsonObject{{QStringLiteral("id"), m.id},
                                      {QStringLiteral("name"), m.name},
                                      {QStringLiteral("contextWindow"), m.contextWindow},
                                      {QStringLiteral("reasoning"), m.reasoning}});
        cloud.append(QJsonObject{{QStringLiteral("id"), p.id},
                                 {QStringLiteral("displayName"), p.displayName},
                                 {QStringLiteral("hasAPIKey"), p.hasAPIKey},
                                 {QStringLiteral("models"), models}});
    }
    QJsonArray recs;
    for (const Rec &r : recommendations)
        recs.append(toJson(r));
    const auto current = service.currentMobileModel();
    const auto window = service.currentMobileContextWindow();
    return {{QStringLiteral("ollama"), QJsonObject{{QStringLiteral("reachable"), service.ollamaReachable()},
                                                   {QStringLiteral("host"), service.ollamaHost()},
                                                   {QStringLiteral("models"), ollama}}},
            {QStringLiteral("cloudProviders"), cloud},
            {QStringLiteral("currentMobileModel"), current ? QJsonValue(*current) : QJsonValue()},
            {QStringLiteral("currentMobileContextWindow"), window ? QJsonValue(*window) : QJsonValue()},
            {QStringLiteral("recommendations"), recs}};
}

void printDetection(QTextStream &out, const ProviderDetectionService &service, const QList<Rec> &recommendations)
{
    if (service.ollamaReachable())
        out << "Ollama: reachable at " << shown(service.ollamaHost()) << " with " << service.ollamaModels().size()
            << " model(s)\n";
    else
        out << "Ollama: not reachable\n";
    out << "Cloud providers:" << (service.cloudProviders().isEmpty() ? " none" : "") << '\n';
    for (const DetectedCloudProvider &p : service.cloudProviders())
        out << "  " << shown(p.displayName) << " (" << shown(p.id) << "): " << p.models.size() << " model(s), "
            << (p.hasAPIKey ? "API key set" : "no API key") << '\n';
    const auto current = service.currentMobileModel();
    out << "Mobile model: " << (current ? shown(*current) : QStringLiteral("No mobile model configured"));
    if (service.currentMobileContextWindow())
        out << " (" << *service.currentMobileContextWindow() / 1000 << "K context)";
    out << "\n";
    for (const CategoryGroup &group : groupedByCategory(recommendations)) {
        out << '\n' << Rec::rawValue(group.category) << '\n';
        for (const Rec &r : group.models) {
            out << (r.isRecommended ? "  * " : "    ") << shown(r.id) << "  " << shown(r.displayName);
            if (r.isRecommended)
                out << "  [Recommended]";
            if (current == r.id)
                out << "  [Current]";
            out << "\n      " << shown(r.description) << "  " << Rec::rawValue(r.speedTier) << ", "
                << Rec::rawValue(r.costTier) << ", Mobile-optimized: " << r.contextWindow / 1000 << "K context\n";
        }
    }
}

std::optional<Rec> find(const QList<Rec> &recommendations, const QString &reference)
{
    for (const Rec &r : recommendations)
        if (r.id == reference)
            return r;
    return std::nullopt;
}

// The patch as shown: a member that names a key or token shows masked.
QJsonValue shownPatch(const QJsonValue &value)
{
    if (value.isArray()) {
        QJsonArray array;
        const QJsonArray elements = value.toArray();
        for (const QJsonValue &element : elements)
            array.append(shownPatch(element));
        return array;
    }
    if (!value.isObject())
        return value;
    QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        const bool secret = it.key().contains(QLatin1String("key"), Qt::CaseInsensitive) ||
                            it.key().contains(QLatin1String("token"), Qt::CaseInsensitive);
        *it = secret && it.value().isString() ? QJsonValue(maskedSecret(it.value().toString())) : shownPatch(*it);
    }
    return object;
}

int setModel(ProviderDetectionService &service, const Rec &choice, bool dryRun, bool json, QTextStream &out,
             QTextStream &err)
{
    const Result<ConfigEdit> edit =
        waitForTask(service.setMobileModel(choice.id, choice.contextWindow, choice.maxTokens, dryRun));
    if (!service.toolProblem().isEmpty() && !json)
        err << "OpenClaw's own writer is not available (" << shown(service.toolProblem())
            << "); Halvex Bridge checks and writes the file itself.\n";
    if (!edit) {
        if (json)
            out << QJsonDocument(QJsonObject{{QStringLiteral("model"), choice.id},
                                             {QStringLiteral("dryRun"), dryRun},
                                             {QStringLiteral("accepted"), false},
                                             {QStringLiteral("reason"), edit.error().description()}})
                       .toJson(QJsonDocument::Indented);
        err << (dryRun ? "The change would be refused: " : "The mobile model was not changed: ")
            << quotedForLog(edit.error().description(), 1000) << '\n';
        return failure;
    }
    const QJsonObject patch = shownPatch(edit->patch).toObject();
    if (json) {
        out << QJsonDocument(
                   QJsonObject{{QStringLiteral("model"), choice.id},
                               {QStringLiteral("dryRun"), dryRun},
                               {QStringLiteral("accepted"), true},
                               {QStringLiteral("writer"),
                                edit->throughOpenClaw ? QStringLiteral("openclaw") : QStringLiteral("halvex-bridge")},
                               {QStringLiteral("verdict"), edit->verdict},
                               {QStringLiteral("patch"), patch},
                               {QStringLiteral("warnings"), QJsonArray::fromStringList(edit->warnings)},
                               {QStringLiteral("createdMobileAgent"), edit->createdMobileAgent},
                               {QStringLiteral("changes"), QJsonArray::fromStringList(edit->changes)}})
                   .toJson(QJsonDocument::Indented);
        return success;
    }
    out << "Mobile model: " << shown(choice.id) << (dryRun ? " (dry run: nothing is written)" : "") << '\n';
    for (const QString &line : describeConfigEdit(*edit))
        out << "  " << shown(line) << '\n';
    if (dryRun && !patch.isEmpty())
        out << "Patch for " << shown(service.configPath()) << ":\n"
            << QString::fromUtf8(QJsonDocument(patch).toJson(QJsonDocument::Indented));
    if (!dryRun && !patch.isEmpty())
        out << "A running OpenClaw gateway applies the change by itself.\n";
    return success;
}

int testModel(const ProviderDetectionService &service, const Rec &choice, bool json, QTextStream &out, QTextStream &err)
{
    if (choice.category != Rec::Category::local) {
        const QString note = choice.category == Rec::Category::cloud
                                 ? QStringLiteral("Cloud models are always available")
                                 : QStringLiteral("Free tier is always available");
        if (json)
            out << QJsonDocument(QJsonObject{{QStringLiteral("model"), choice.id},
                                             {QStringLiteral("tested"), false},
                                             {QStringLiteral("message"), note}})
                       .toJson(QJsonDocument::Compact)
                << '\n';
        else
            out << note << '\n';
        return success;
    }
    const QString name = choice.id.section(QLatin1Char('/'), 1);
    const Result<int> latency = waitForTask(LocalModelTest::run(service.ollamaHost(), name));
    if (json) {
        QJsonObject object{{QStringLiteral("model"), choice.id},
                           {QStringLiteral("tested"), true},
                           {QStringLiteral("ok"), latency.ok()}};
        if (latency)
            object.insert(QStringLiteral("latencyMs"), *latency);
        else
            object.insert(QStringLiteral("error"), latency.error().description());
        out << QJsonDocument(object).toJson(QJsonDocument::Compact) << '\n';
    } else if (latency) {
        out << shown(choice.id) << ": connected in " << *latency << "ms\n";
    } else {
        err << shown(choice.id) << ": " << latency.error().description() << '\n';
    }
    return latency ? success : failure;
}

} // namespace

int runModelsCommand(const QStringList &arguments, const ModelsCommandContext &context, QTextStream &out,
                     QTextStream &err)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The model of the phone companion (OpenClaw's \"mobile\" agent).\n"
                       "  (none)    list the detected providers, the current model and the recommendations\n"
                       "  set REF   make REF the mobile agent's model (creating the agent when needed)\n"
                       "            through OpenClaw's own writer (`openclaw config patch`) when the\n"
                       "            openclaw tool is found; --dry-run prints the patch and OpenClaw's\n"
                       "            verdict without writing"
                       "  test REF  time a one-token answer of a local model"));
    parser.addPositionalArgument(QStringLiteral("action"), QStringLiteral("set or test, with a model reference"),
                                 QStringLiteral("[set|test REF]"));
    const QCommandLineOption jsonOption(QStringLiteral("json"), QStringLiteral("Print JSON."));
    parser.addOption(jsonOption);
    const QCommandLineOption dryRunOption(
        QStringLiteral("dry-run"), QStringLiteral("With set: show the change and OpenClaw's verdict, write nothing."));
    parser.addOption(dryRunOption);
    if (const std::optional<int> done = parseCommandArguments(parser, QStringLiteral("models"), arguments))
        return *done;
    const QStringList positional = parser.positionalArguments();
    const QString action = positional.value(0);
    const bool json = parser.isSet(jsonOption);
    if ((action.isEmpty() && !positional.isEmpty()) ||
        (!action.isEmpty() && action != QLatin1String("set") && action != QLatin1String("test")) ||
        (!action.isEmpty() && positional.size() != 2) || positional.size() > 2 ||
        (parser.isSet(dryRunOption) && action != QLatin1String("set"))) {
        err << "Usage: halvex-bridge models [--json] | models set REF [--dry-run] | models test REF\n";
        return misuse;
    }

    ProviderDetectionService::Dependencies deps;
    deps.homeDirectory = context.homeDirectory;
    deps.localOllamaHost = context.localOllamaHost;
    deps.findTool = context.findTool;
    ProviderDetectionService service(deps);
    waitForTask(service.detectAll());
    const QList<Rec> recommendations =
        buildRecommendations(service.ollamaModels(), service.ollamaHost(), service.cloudProviders());

    if (action.isEmpty()) {
        if (json)
            out << QJsonDocument(detectionJson(service, recommendations)).toJson(QJsonDocument::Indented);
        else
            printDetection(out, service, recommendations);
        return success;
    }
    const QString reference = positional.at(1);
    const std::optional<Rec> choice = find(recommendations, reference);
    if (!choice) {
        err << shown(reference) << " is not among the available models; `halvex-bridge models` lists them.\n";
        return failure;
    }
    if (action == QLatin1String("test"))
        return testModel(service, *choice, json, out, err);
    return setModel(service, *choice, parser.isSet(dryRunOption), json, out, err);
}

int runModelsCommand(const QStringList &arguments)
{
    ModelsCommandContext context;
    context.homeDirectory = QDir::homePath();
    context.findTool = openClawToolFinder(context.homeDirectory);
    return runModelsCommand(arguments, context, out(), err());
}

} // namespace halvex::cli
