#include "platform/process_runner.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>

#include <qcoro/qcoroprocess.h>
#include <qcoro/qcorosignal.h>

namespace halvex {

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
    process.setProcessChannelMode(request.mergeErrorIntoOutput ? QProcess::MergedChannels
                                                               : QProcess::SeparateChannels);
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
                process.kill();
            }
        } else {
            sink += chunk;
        }
    };
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                     [&] { collect(QProcess::StandardOutput); });
    QObject::connect(&process, &QProcess::readyReadStandardError, &process,
                     [&] { collect(QProcess::StandardError); });

    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &process, [&] {
        if (process.state() != QProcess::NotRunning) {
            killedForTime = true;
            process.kill();
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
    if (failedToStart || process.state() == QProcess::NotRunning
        || !co_await qCoro(process).waitForStarted(std::chrono::milliseconds(std::max(request.timeoutMs, 1)))) {
        process.kill();
        process.waitForFinished(1000);
        outcome.status = ProcessOutcome::Status::failedToStart;
        co_return outcome;
    }
    deadline.start(std::max(request.timeoutMs, 1));
    if (!request.standardInput.isEmpty())
        process.write(request.standardInput);
    process.closeWriteChannel();

    if (process.state() != QProcess::NotRunning)
        co_await qCoro(&process, &QProcess::finished);
    deadline.stop();
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

QString quotedForLog(const QString &text, int maxLength)
{
    QString out;
    out.reserve(std::min<qsizetype>(text.size(), maxLength) + 2);
    int count = 0;
    for (const QChar c : text) {
        if (count >= maxLength) {
            out += QChar(0x2026);
            break;
        }
        const char16_t u = c.unicode();
        if (u == u'\n')
            out += QStringLiteral("\\n");
        else if (u == u'\r')
            out += QStringLiteral("\\r");
        else if (u == u'\t')
            out += QStringLiteral("\\t");
        else if (u < 0x20 || u == 0x7f || (u >= 0x80 && u < 0xa0) || u == 0x2028 || u == 0x2029 || u == 0x1b)
            out += QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0'));
        else
            out += c;
        ++count;
    }
    return out;
}

} // namespace halvex
