#pragma once

#include "platform/session/process_runner.h"

#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <optional>

namespace halvex {

// What one run of an outside program gave.
struct CommandResult {
    // Standard output, strict UTF-8, trimmed; nullopt when the program did
    // not start, ran over its limits, printed something that is not UTF-8,
    // or printed nothing but white space.
    std::optional<QString> output;
    // Exit status when it exited by itself; nullopt otherwise.
    std::optional<int> exitCode;
    // Standard error, trimmed (for telling the user why a tool failed).
    QString errorOutput;

    bool succeeded() const { return exitCode == 0; }
};

// Runs the OpenClaw command-line tool (or any program) to completion and
// returns its standard output: an argument list, no shell unless the caller
// names one as the program, bounded in time and output, killed and reaped
// when it runs over. Each call logs "Command %s %s → %s"; the output of a
// command that asks for a token or a key is logged as "<redacted>".
struct CommandRunnerTimings {
    std::chrono::milliseconds timeout = std::chrono::seconds(30);
    qint64 outputCap = 1 << 20;
};

class CommandRunner
{
public:
    using Timings = CommandRunnerTimings;

    explicit CommandRunner(ProcessRunner runner = {}, Timings timings = {});

    // The output alone (the exit status is not examined).
    QCoro::Task<std::optional<QString>> runCommand(QString executable, QStringList arguments);
    // The whole result; `timeout` > 0 overrides the default limit. An
    // absolute path that is not an executable file fails at once, without
    // asking the process runner.
    QCoro::Task<CommandResult> run(QString executable, QStringList arguments, std::chrono::milliseconds timeout = {});

    // Whether a command asks for a secret (its output must not be logged).
    static bool asksForSecret(const QStringList &arguments);

private:
    ProcessRunner m_runner;
    Timings m_timings;
};

} // namespace halvex
