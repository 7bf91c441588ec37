// The provider configuration: provider detection on any OpenClaw
// configuration file (cloud providers and the mobile agent's model as
// OpenClaw would read them), and the mobile model choice applied to it,
// which changes the mobile agent and its provider's model list and keeps
// every other member exactly as it was.

#include "fuzz_support.h"

#include "models/mobile_model_config_writer.h"
#include "models/provider_detection_service.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>

using namespace halvex;

namespace {

QTemporaryDir *home = nullptr;

void checkDetection(const QByteArray &text)
{
    QDir(home->path()).mkpath(QStringLiteral(".openclaw"));
    QFile file(openClawConfigPath(home->path()));
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(text) == text.size());
    file.close();

    ProviderDetectionService service({home->path(), {}, {}});
    QCoro::Task<> cloud = service.detectCloudProviders();
    QCoro::Task<> mobile = service.detectCurrentMobileModel();
    FUZZ_CHECK(cloud.isReady() && mobile.isReady());

    QSet<QString> ids;
    for (const DetectedCloudProvider &provider : service.cloudProviders()) {
        FUZZ_CHECK(provider.id != QLatin1String("ollama"));
        FUZZ_CHECK(!ids.contains(provider.id));
        ids.insert(provider.id);
        for (const DetectedCloudModel &model : provider.models) {
            FUZZ_CHECK(model.providerId == provider.id);
            FUZZ_CHECK(model.contextWindow >= 0);
        }
    }
    if (const std::optional<OpenClawConfig> config = service.readConfig()) {
        if (service.currentMobileModel())
            FUZZ_CHECK(service.currentMobileContextWindow() ==
                       ProviderDetectionService::contextWindow(*service.currentMobileModel(), *config));
    } else {
        FUZZ_CHECK(!service.currentMobileModel());
    }
}

void checkChoice(const QByteArray &text, const QString &reference)
{
    const Result<QJsonObject> config = parseConfigDocument(text);
    if (!config)
        return;
    const MobileModelChoice choice{reference, 32768, 4096, QStringLiteral("http://127.0.0.1:11434")};
    const Result<ConfigEdit> edit = applyMobileModel(*config, choice);
    if (!edit) {
        FUZZ_CHECK(!edit.error().description().isEmpty());
        return;
    }
    // Untouched members stay as they were.
    for (auto it = config->begin(); it != config->end(); ++it) {
        if (it.key() != QLatin1String("agents") && it.key() != QLatin1String("models"))
            FUZZ_CHECK(edit->config.value(it.key()) == it.value());
    }
    for (auto it = edit->config.begin(); it != edit->config.end(); ++it)
        FUZZ_CHECK(config->contains(it.key()) || it.key() == QLatin1String("agents") ||
                   it.key() == QLatin1String("models"));
    const std::optional<QJsonObject> agent = mobileAgentOf(edit->config);
    FUZZ_CHECK(agent.has_value());
    FUZZ_CHECK(primaryModelOf(agent->value(QLatin1String("model"))) == reference);
    // Other agents of the keyed shape are kept as they were.
    const QJsonObject entries =
        config->value(QLatin1String("agents")).toObject().value(QLatin1String("entries")).toObject();
    const QJsonObject editedEntries =
        edit->config.value(QLatin1String("agents")).toObject().value(QLatin1String("entries")).toObject();
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (it.key() != QLatin1String("mobile"))
            FUZZ_CHECK(editedEntries.value(it.key()) == it.value());
    }
    // Other providers too.
    const QString provider = reference.section(QLatin1Char('/'), 0, 0);
    const QJsonObject providers =
        config->value(QLatin1String("models")).toObject().value(QLatin1String("providers")).toObject();
    const QJsonObject editedProviders =
        edit->config.value(QLatin1String("models")).toObject().value(QLatin1String("providers")).toObject();
    for (auto it = providers.begin(); it != providers.end(); ++it) {
        if (it.key() != provider)
            FUZZ_CHECK(editedProviders.value(it.key()) == it.value());
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzz::quietLogging();
    static QCoreApplication app(*argc, *argv);
    home = new QTemporaryDir;
    return home->isValid() ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text = fuzz::bytes(data, size);
    checkDetection(text);
    checkChoice(text, QStringLiteral("ollama/llama3.2:3b"));
    checkChoice(text, QStringLiteral("anthropic/claude-sonnet-4"));
    return 0;
}
