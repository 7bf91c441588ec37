#include "discovery/command_runner.h"

#include <QFileInfo>

#include "platform/logging.h"
#include "platform/utf8.h"

namespace halvex {

CommandRunner::CommandRunner(ProcessRunner runner, Timings timings)
    : m_runner(processRunnerOrDefault(std::move(runner))), m_timings(timings)
{
}

bool CommandRunner::asksForSecret(const QStringList &arguments)
{
    static const QStringList secretWords{QStringLiteral("token"), QStringLiteral("key"), QStringLiteral("secret"),
                                         QStringLiteral("password")};
    for (const QString &argument : arguments) {
        for (const QString &word : secretWords) {
            if (argument.contains(word, Qt::CaseInsensitive))
                return true;
        }
    }
    return false;
}

QCoro::Task<std::optional<QString>> CommandRunner::runCommand(QString executable, QStringList arguments)
{
    const CommandResult result = co_await run(std::move(executable), std::move(arguments));
    co_return result.output;
}

QCoro::Task<CommandResult> CommandRunner::run(QString executable, QStringList arguments,
                                              std::chrono::milliseconds timeout)
{
    const QString shownArguments = quotedForLog(arguments.join(QLatin1Char(' ')));
    ProcessRequest request;
    request.program = executable;
    request.arguments = arguments;
    request.timeout = timeout > std::chrono::milliseconds::zero() ? timeout : m_timings.timeout;
    request.outputCap = m_timings.outputCap;
    // A program that cannot exist is not started at all (the process
    // runner would only give up on it at its time limit).
    std::optional<ProcessOutcome> outcome;
    const QFileInfo program(executable);
    if (!program.isAbsolute() || (program.isFile() && program.isExecutable()))
        outcome = co_await m_runner(std::move(request));

    CommandResult result;
    if (!outcome) {
        qCCritical(lcDetector, "Command failed: %s %s: %s", qUtf8Printable(executable), qUtf8Printable(shownArguments),
                   "no such program");
        co_return result;
    }
    if (outcome->status != ProcessOutcome::Status::finished && outcome->status != ProcessOutcome::Status::crashed) {
        qCCritical(lcDetector, "Command failed: %s %s: %s", qUtf8Printable(executable), qUtf8Printable(shownArguments),
                   qUtf8Printable(outcome->describe()));
        co_return result;
    }
    if (outcome->status == ProcessOutcome::Status::finished)
        result.exitCode = outcome->exitCode;
    result.errorOutput = QString::fromUtf8(outcome->standardError).trimmed();

    const std::optional<QString> decoded = strictUtf8(outcome->standardOutput);
    const std::optional<QString> trimmed = decoded ? std::optional<QString>(decoded->trimmed()) : std::nullopt;
    const QString shownOutput = !trimmed                   ? QStringLiteral("<nil>")
                                : asksForSecret(arguments) ? QStringLiteral("<redacted>")
                                                           : quotedForLog(*trimmed);
    qCInfo(lcDetector, "Command %s %s → %s", qUtf8Printable(executable), qUtf8Printable(shownArguments),
           qUtf8Printable(shownOutput));
    if (trimmed && !trimmed->isEmpty())
        result.output = trimmed;
    co_return result;
}

} // namespace halvex
