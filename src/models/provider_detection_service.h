#pragma once

#include "gateway/limits.h"
#include "gateway/openclaw_config.h"
#include "models/detected_models.h"
#include "models/mobile_model_config_writer.h"
#include "platform/error.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <optional>

namespace halvex {

// Every delay of provider detection. (Outside the class so that it can be a
// default argument there.)
struct ProviderDetectionTimings {
    std::chrono::milliseconds probeTimeout{3000}; // per Ollama candidate, the whole exchange
};

// Finds the models the "mobile" agent can use: those of the reachable Ollama
// server, those of the cloud providers in the OpenClaw configuration, and the
// model the "mobile" agent uses now. Also writes a new choice back.
class ProviderDetectionService : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isDetecting READ isDetecting NOTIFY isDetectingChanged)
    Q_PROPERTY(QString currentMobileModel READ currentMobileModelText NOTIFY currentMobileModelChanged)
public:
    using Timings = ProviderDetectionTimings;
    struct Dependencies {
        QString homeDirectory; // where ".openclaw/openclaw.json" lives
        // Finds the `openclaw` tool whose own writer changes the
        // configuration; none (or no tool found): Halvex Bridge writes the
        // file itself.
        OpenClawToolFinder findTool;
        ProcessRunner processRunner;   // empty: runProcess
        EnvironmentLookup environment; // empty: processEnvironment
        std::chrono::milliseconds toolTimeout = limits::openClawCommandTimeout;
        // The Ollama server tried last (and alone when nothing is
        // configured); empty: defaultOllamaHost().
        QString localOllamaHost;
    };

    static QString defaultOllamaHost() { return QStringLiteral("http://127.0.0.1:11434"); }

    explicit ProviderDetectionService(Dependencies deps, Timings timings = {}, QObject *parent = nullptr);

    bool isDetecting() const { return m_isDetecting; }
    QList<DetectedOllamaModel> ollamaModels() const { return m_ollamaModels; }
    bool ollamaReachable() const { return m_ollamaReachable; }
    QString ollamaHost() const { return m_ollamaHost; }
    QList<DetectedCloudProvider> cloudProviders() const { return m_cloudProviders; }
    std::optional<QString> currentMobileModel() const { return m_currentMobileModel; }
    std::optional<int> currentMobileContextWindow() const { return m_currentMobileContextWindow; }
    QString configPath() const;

    // The three detections, concurrently.
    QCoro::Task<> detectAll();
    QCoro::Task<> detectOllama();
    QCoro::Task<> detectCloudProviders();
    QCoro::Task<> detectCurrentMobileModel();
    // The models of the Ollama server at `baseUrl`, or nothing when it does
    // not answer with a model list.
    QCoro::Task<std::optional<QList<DetectedOllamaModel>>> probeOllama(QString baseUrl);
    // The configuration file, or nothing (logged).
    std::optional<OpenClawConfig> readConfig() const;
    // The configured context window of "provider/model".
    static std::optional<int> contextWindow(const QString &model, const OpenClawConfig &config);
    // The display name of a provider key.
    static QString providerDisplayName(const QString &key);

    // Makes `reference` the primary model of the "mobile" agent (creating the
    // agent when it is missing) and declares it in its provider, through
    // OpenClaw's own writer when its tool is found. On success the current
    // mobile model fields follow. With `dryRun` the change is only checked
    // and described.
    QCoro::Task<Result<ConfigEdit>> setMobileModel(QString reference, int contextWindow, int maxTokens,
                                                   bool dryRun = false);
    // Why a write of `reference` would be refused before OpenClaw is even
    // asked (the Halvex free tier, a provider the configuration lacks, a
    // read-only configuration); nothing when it may go ahead.
    std::optional<QString> refusalOf(const QString &reference, int contextWindow, int maxTokens) const;
    // Why OpenClaw's own writer is not used (empty when it is, or before
    // the first write looked for it).
    QString toolProblem() const { return m_toolProblem; }

Q_SIGNALS:
    void isDetectingChanged();
    void currentMobileModelChanged();

private:
    QString currentMobileModelText() const { return m_currentMobileModel.value_or(QString()); }
    void setCurrentMobileModel(std::optional<QString> model, std::optional<int> contextWindow);

    QCoro::Task<std::optional<OpenClawTool>> tool();

    Dependencies m_deps;
    Timings m_timings;
    std::optional<OpenClawToolLookup> m_toolLookup; // looked for once
    QString m_toolProblem;
    bool m_isDetecting = false;
    QList<DetectedOllamaModel> m_ollamaModels;
    bool m_ollamaReachable = false;
    QString m_ollamaHost = defaultOllamaHost();
    QList<DetectedCloudProvider> m_cloudProviders;
    std::optional<QString> m_currentMobileModel;
    std::optional<int> m_currentMobileContextWindow;
};

} // namespace halvex
