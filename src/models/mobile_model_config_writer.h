#pragma once

#include "platform/error.h"
#include "platform/process_runner.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <functional>
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
};

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

// Checks a candidate file before it replaces the configuration.
using ConfigValidator = std::function<QCoro::Task<Result<Done>>(QString candidatePath)>;

// `<program> <leadingArguments> config validate --json` with
// OPENCLAW_CONFIG_PATH naming the candidate: OpenClaw's own validator.
ConfigValidator openClawConfigValidator(QString program, QStringList leadingArguments = {}, ProcessRunner runner = {},
                                        int timeoutMs = 90000);

// Reads, changes and replaces the OpenClaw configuration file without losing
// anything: its mode is kept, the candidate is validated before it replaces
// the file, the replacement is atomic, a change made on disk meanwhile is
// re-read and the choice applied again, and the previous file is kept as
// "<file>.bak".
class MobileModelConfigWriter
{
public:
    struct Options {
        QString configPath;
        ConfigValidator validator; // empty: checkWrittenMembers() alone
        int maxAttempts = 3;       // re-reads after concurrent changes
    };

    explicit MobileModelConfigWriter(Options options) : m_options(std::move(options)) {}

    QCoro::Task<Result<ConfigEdit>> write(MobileModelChoice choice);

    static QString backupPath(const QString &configPath) { return configPath + QStringLiteral(".bak"); }

private:
    Options m_options;
};

// The configuration document as written (JSON5, references unresolved): what
// the writer edits and writes back.
Result<QJsonObject> parseConfigDocument(const QByteArray &text);

} // namespace halvex
