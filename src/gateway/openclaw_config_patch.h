#pragma once

#include "gateway/limits.h"
#include "gateway/openclaw_config.h" // EnvironmentLookup
#include "platform/error.h"
#include "platform/session/process_runner.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <optional>

namespace halvex {

// How to run the user's `openclaw`: the program and what goes before its
// own arguments (a Node.js binary is run with the script first).
struct OpenClawTool {
    QString program;
    QStringList leadingArguments;
};

// The tool, or why none that works was found.
struct OpenClawToolLookup {
    std::optional<OpenClawTool> tool;
    QString problem;
};
using OpenClawToolFinder = std::function<QCoro::Task<OpenClawToolLookup>()>;

// What OpenClaw said about a patch it accepted.
struct ConfigPatchVerdict {
    bool dryRun = false;
    // Its one-line summary ("Applied 2 config update(s). ...", "Dry run
    // successful: ...").
    QString summary;
    // What it warned about on the way ("Config write will strip JSON5
    // comments from ...", a shape migration).
    QStringList warnings;
};

// Whether the host marks OpenClaw's configuration as managed elsewhere
// (OPENCLAW_CONFIG_READONLY=1 or OPENCLAW_NIX_MODE=1): then nothing may
// write it, whichever OpenClaw release is installed.
bool openClawConfigIsReadOnly(const EnvironmentLookup &environment = processEnvironment);
// The sentence a refused write shows then.
QString openClawReadOnlySentence(const EnvironmentLookup &environment = processEnvironment);

// The smallest patch that turns `before` into `after` in OpenClaw's patch
// rules: objects merge member by member, anything else (arrays too) is
// replaced whole, null deletes. Empty when nothing differs.
QJsonObject configMergePatch(const QJsonObject &before, const QJsonObject &after);

// Every change to OpenClaw's configuration while its tool is at hand goes
// through OpenClaw's own writer, `openclaw config patch --stdin`: one
// validated write that knows its schema, "$include", its backup ring and
// read-only installations. The patch travels on standard input, never on
// the command line; the run has a time limit and an output cap.
class OpenClawConfigPatcher
{
public:
    struct Options {
        OpenClawTool tool;
        ProcessRunner runner;          // empty: runProcess
        EnvironmentLookup environment; // empty: processEnvironment
        std::chrono::milliseconds timeout = limits::openClawCommandTimeout;
    };

    explicit OpenClawConfigPatcher(Options options);

    // Applies `patch` (or, with `dryRun`, only asks OpenClaw whether it would
    // accept it). Fails with OpenClaw's own reason when it refuses, and when
    // the tool cannot run or runs over its limit; the file is untouched then.
    QCoro::Task<Result<ConfigPatchVerdict>> apply(QJsonObject patch, bool dryRun = false);

private:
    Options m_options;
};

} // namespace halvex
