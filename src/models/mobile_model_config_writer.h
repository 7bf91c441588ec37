#pragma once

#include "gateway/limits.h"
#include "gateway/openclaw_config_patch.h"
#include "platform/error.h"
#include "platform/json5.h"
#include "platform/session/process_runner.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <optional>

namespace halvex {

// The model chosen for the "mobile" agent.
struct MobileModelChoice {
    QString reference; // "provider/model", e.g. "ollama/llama3.2:3b"
    int contextWindow = 0;
    int maxTokens = 0;
    QString ollamaHost; // base URL of the Ollama server a new "ollama" provider points at
};

// A configuration with the choice applied, and what changed, one line each
// ("agents.list mobile: model.primary ollama/a -> ollama/b").
struct ConfigEdit {
    QJsonObject config;
    QStringList changes;
    bool createdMobileAgent = false;
    // What the write sends (or, on a dry run, would send): the smallest
    // patch in OpenClaw's patch rules; empty when nothing changes.
    QJsonObject patch;
    // OpenClaw's own writer did (or checked) it; false: Halvex Bridge's.
    bool throughOpenClaw = false;
    bool dryRun = false;
    // The writer's verdict in one line, and what it warned about.
    QString verdict;
    QStringList warnings;
};

// What an edit changes and the writer's verdict, one line each: the
// terminal's `models set` and the Mobile Model window show the same lines.
QStringList describeConfigEdit(const ConfigEdit &edit);

// The model of an agent entry: a plain string or {"primary": ...}.
std::optional<QString> primaryModelOf(const QJsonValue &model);
// The "mobile" agent in either shape of the configuration: legacy
// agents.list (array of {id, ...}) or agents.entries (object keyed by id).
std::optional<QJsonObject> mobileAgentOf(const QJsonObject &config);

// Applies the choice to a parsed configuration, in the shape it has. Pure.
// Fails (with the sentence users see) rather than guess where the file's
// own members are of an unexpected type.
Result<ConfigEdit> applyMobileModel(const QJsonObject &config, const MobileModelChoice &choice);

// The members a write touches, checked against what OpenClaw accepts, for
// when its own validator cannot run.
Result<Done> checkWrittenMembers(const QJsonObject &config, const QString &reference);

// Makes a choice permanent in OpenClaw's configuration file. With the
// `openclaw` tool at hand the change goes through OpenClaw's own writer
// (`config patch`, see OpenClawConfigPatcher), which owns the file's
// schema, "$include", backups and read-only mode. Without it the file is
// written here, and only where nothing can be lost: a file split with
// "$include" or holding numbers that plain JSON cannot give back is
// refused, comments are warned about before they go, OpenClaw's backup
// ring is rotated, the file keeps its mode, the replacement is atomic and
// synced, a change made on disk meanwhile is re-read and the choice applied
// again, and a read-only configuration is never written. No temporary file
// outlives a write, whatever its outcome.
class MobileModelConfigWriter
{
public:
    struct Options {
        QString configPath;
        std::optional<OpenClawTool> tool; // none: the file is written here
        ProcessRunner runner;             // empty: runProcess
        EnvironmentLookup environment;    // empty: processEnvironment
        std::chrono::milliseconds toolTimeout = limits::openClawCommandTimeout;
        int maxAttempts = 3; // re-reads after concurrent changes
        int backupCount = 5; // "<file>.bak", "<file>.bak.1" ... as OpenClaw keeps them
    };

    explicit MobileModelConfigWriter(Options options);

    // With `dryRun` the change is checked (by OpenClaw where it can) and
    // described, and nothing is written.
    QCoro::Task<Result<ConfigEdit>> write(MobileModelChoice choice, bool dryRun = false);

    static QString backupPath(const QString &configPath, int index = 0);

private:
    QCoro::Task<Result<ConfigEdit>> writeThroughOpenClaw(MobileModelChoice choice, bool dryRun);
    Result<ConfigEdit> writeHere(const MobileModelChoice &choice, bool dryRun);

    Options m_options;
};

// The configuration document as written (JSON5, references unresolved): what
// the writer edits and writes back; `notes` collects what plain JSON would
// not give back.
Result<QJsonObject> parseConfigDocument(const QByteArray &text, Json5Notes *notes = nullptr);

} // namespace halvex
