#include "platform/session/process_runner.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>

#include <qcoro/qcoroprocess.h>
#include <qcoro/qcorosignal.h>

#include <mutex>
#include <set>

#include <signal.h>
#include <unistd.h>

namespace halvex {

namespace {

// How long a stopped child and what it started get to end after SIGTERM
// before SIGKILL.
constexpr int terminationGraceMs = 2000;

// The process groups of the children running now, ended when the
// application goes: a coroutine still waiting on a child at exit is never
// resumed, so nothing else would end them.
std::mutex liveGroupsMutex;
std::set<pid_t> liveGroups;

void endLiveGroups()
{
    const std::lock_guard lock(liveGroupsMutex);
    for (const pid_t group : liveGroups)
        ::kill(-group, SIGKILL);
    liveGroups.clear();
}

// A child's process group (the child leads it, see runProcess). Ending it
// reaches what the child started too: a login profile's helpers, node's
// workers. Destroyed while the group is still owned (the awaiting
// coroutine went away, or the process was stopped), the whole group is
// killed.
class ProcessGroup
{
public:
    ProcessGroup() = default;
    ProcessGroup(const ProcessGroup &) = delete;
    ProcessGroup &operator=(const ProcessGroup &) = delete;
    ~ProcessGroup()
    {
        if (m_leader > 0)
            signal(SIGKILL);
        release();
    }

    void adopt(pid_t leader)
    {
        if (leader <= 0)
            return;
        m_leader = leader;
        static std::once_flag hooked;
        std::call_once(hooked, [] { qAddPostRoutine(endLiveGroups); });
        const std::lock_guard lock(liveGroupsMutex);
        liveGroups.insert(leader);
    }

    void signal(int number) const
    {
        if (m_leader > 0)
            ::kill(-m_leader, number);
    }

    // The child exited by itself: what it left running is its business (a
    // daemon it started on purpose).
    void release()
    {
        if (m_leader <= 0)
            return;
        const std::lock_guard lock(liveGroupsMutex);
        liveGroups.erase(m_leader);
        m_leader = 0;
    }

private:
    pid_t m_leader = 0;
};

} // namespace

QString ProcessOutcome::describe() const
{
    switch (status) {
    case Status::finished:
        return QStringLiteral("exited with status %1").arg(exitCode);
    case Status::crashed:
        return QStringLiteral("crashed");
    case Status::failedToStart:
        return QStringLiteral("could not be started");
    case Status::timedOut:
        return QStringLiteral("timed out and was stopped");
    case Status::outputCapped:
        return QStringLiteral("printed too much and was stopped");
    }
    return {};
}

QCoro::Task<ProcessOutcome> runProcess(ProcessRequest request)
{
    ProcessOutcome outcome;
    QProcess process;
    // The child leads a process group of its own, so that a time-out or a
    // cancel ends everything it started, not only itself. Declared after the
    // process: it is destroyed first.
    process.setChildProcessModifier([] { ::setpgid(0, 0); });
    ProcessGroup group;
    process.setProcessChannelMode(request.mergeErrorIntoOutput ? QProcess::MergedChannels : QProcess::SeparateChannels);
    if (!request.extraEnvironment.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &entry : std::as_const(request.extraEnvironment)) {
            const qsizetype eq = entry.indexOf(QLatin1Char('='));
            if (eq > 0)
                env.insert(entry.left(eq), entry.mid(eq + 1));
        }
        process.setProcessEnvironment(env);
    }

    bool capped = false;
    bool killedForTime = false;
    // Stopping: SIGTERM to the whole group, SIGKILL once the child has gone
    // or after a grace period.
    bool stopping = false;
    QTimer grace;
    grace.setSingleShot(true);
    QObject::connect(&grace, &QTimer::timeout, &process, [&] { group.signal(SIGKILL); });
    const auto stop = [&] {
        if (stopping)
            return;
        stopping = true;
        group.signal(SIGTERM);
        grace.start(terminationGraceMs);
    };
    auto collect = [&](QProcess::ProcessChannel channel) {
        // Merged streams all arrive on standard output.
        if (request.mergeErrorIntoOutput && channel == QProcess::StandardError)
            return;
        QByteArray &sink = channel == QProcess::StandardOutput ? outcome.standardOutput : outcome.standardError;
        process.setReadChannel(channel);
        const QByteArray chunk = process.readAll();
        const qint64 room = request.outputCap - sink.size();
        if (chunk.size() > room) {
            sink += chunk.left(std::max<qint64>(room, 0));
            if (!capped) {
                capped = true;
                stop();
            }
        } else {
            sink += chunk;
        }
    };
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                     [&] { collect(QProcess::StandardOutput); });
    QObject::connect(&process, &QProcess::readyReadStandardError, &process, [&] { collect(QProcess::StandardError); });

    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &process, [&] {
        if (process.state() != QProcess::NotRunning) {
            killedForTime = true;
            stop();
        }
    });

    bool failedToStart = false;
    QObject::connect(&process, &QProcess::errorOccurred, &process, [&](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            failedToStart = true;
    });
    process.start(request.program, request.arguments);
    // A missing or non-executable program fails at once (sometimes before
    // start() returns): never wait out the time limit for a start that
    // cannot come.
    if (failedToStart || process.state() == QProcess::NotRunning ||
        !co_await qCoro(process).waitForStarted(std::max(request.timeout, std::chrono::milliseconds(1)))) {
        process.kill();
        process.waitForFinished(1000);
        outcome.status = ProcessOutcome::Status::failedToStart;
        co_return outcome;
    }
    group.adopt(pid_t(process.processId()));
    deadline.start(std::max(request.timeout, std::chrono::milliseconds(1)));
    if (!request.standardInput.isEmpty())
        process.write(request.standardInput);
    process.closeWriteChannel();

    if (process.state() != QProcess::NotRunning)
        co_await qCoro(&process, &QProcess::finished);
    deadline.stop();
    grace.stop();
    if (stopping)
        group.signal(SIGKILL); // what ignored SIGTERM and outlived the child
    group.release();
    collect(QProcess::StandardOutput);
    collect(QProcess::StandardError);

    if (killedForTime)
        outcome.status = ProcessOutcome::Status::timedOut;
    else if (capped)
        outcome.status = ProcessOutcome::Status::outputCapped;
    else if (process.exitStatus() == QProcess::CrashExit)
        outcome.status = ProcessOutcome::Status::crashed;
    else
        outcome.status = ProcessOutcome::Status::finished;
    outcome.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    co_return outcome;
}

ProcessRunner processRunnerOrDefault(ProcessRunner runner)
{
    return runner ? std::move(runner) : ProcessRunner(runProcess);
}

} // namespace halvex
