#include "program_run.h"

#include "platform/session/process_runner.h"

#include <QJsonDocument>
#include <QTest>

#include <qcoro/qcorotask.h>

namespace halvex::test {

QJsonObject ProgramRun::json() const
{
    return QJsonDocument::fromJson(out.toUtf8()).object();
}

ProgramRun runProgram(const QString &program, const QStringList &arguments, const QStringList &environment,
                      const QByteArray &input, int timeoutMs)
{
    std::optional<ProcessOutcome> outcome;
    auto task = [&]() -> QCoro::Task<> {
        ProcessRequest request;
        request.program = program;
        request.arguments = arguments;
        request.standardInput = input;
        request.extraEnvironment = environment;
        request.timeout = std::chrono::milliseconds(timeoutMs);
        outcome = co_await runProcess(request);
    };
    QCoro::Task<> running = task();
    if (!QTest::qWaitFor([&] { return outcome.has_value(); }, timeoutMs + 30000))
        return {};
    ProgramRun result;
    result.exitCode = outcome->status == ProcessOutcome::Status::finished ? outcome->exitCode : -1;
    result.out = QString::fromUtf8(outcome->standardOutput);
    result.err = QString::fromUtf8(outcome->standardError);
    return result;
}

} // namespace halvex::test
