#pragma once

#include "platform/characters.h" // quotedForLog, kept here for its callers

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <optional>

namespace halvex {

// One program to run: never through a shell unless the caller names one as
// the program (and then outside text goes in as positional parameters, never
// into the script text).
struct ProcessRequest {
    QString program;
    QStringList arguments;
    // Stopped when it runs longer: SIGTERM to its process group, SIGKILL
    // after a grace of 2 s (at once for what outlives the child itself).
    std::chrono::milliseconds timeout = std::chrono::seconds(30);
    // Each stream keeps at most this many bytes; a process that prints more
    // is stopped the same way (a runaway tool must not grow our memory).
    qint64 outputCap = 1 << 20;
    // Standard error joins standard output (in arrival order) instead of
    // being collected apart.
    bool mergeErrorIntoOutput = false;
    // Written to the child's standard input, which is then closed.
    QByteArray standardInput;
    // Extra environment entries ("NAME=value") on top of ours.
    QStringList extraEnvironment;
};

struct ProcessOutcome {
    enum class Status {
        finished, // exited by itself (any exit code)
        crashed,  // ended by a signal we did not send
        failedToStart,
        timedOut,     // killed at the time limit
        outputCapped, // killed because it printed more than the cap
    };
    Status status = Status::failedToStart;
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;

    bool exitedWithSuccess() const { return status == Status::finished && exitCode == 0; }
    // "timed out after 30 s", "exited with status 3", ... for log lines.
    QString describe() const;
};

// Runs one request; each waiting caller resumes exactly once. The child
// leads a process group of its own: stopping it (time-out, output cap)
// ends what it started as well, and so does destroying the awaiting
// coroutine or the application while it runs. What a child leaves behind
// after exiting by itself is left alone.
using ProcessRunner = std::function<QCoro::Task<ProcessOutcome>(ProcessRequest)>;

// The real runner, on QProcess.
QCoro::Task<ProcessOutcome> runProcess(ProcessRequest request);

// The runner that `runner` names, or the real one when it is empty.
ProcessRunner processRunnerOrDefault(ProcessRunner runner);

} // namespace halvex
