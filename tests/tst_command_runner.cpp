// The detector's command runner on real child processes: what counts as an
// answer, that outside text stays one literal argument, the time limit and
// the output cap, and that secrets never reach the log.
#include "discovery/command_runner.h"
#include "log_capture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace halvex;
using namespace halvex::test;

namespace {

CommandResult runNow(CommandRunner &runner, const QString &program, const QStringList &arguments)
{
    std::optional<CommandResult> result;
    runner.run(program, arguments).then([&](CommandResult r) { result = std::move(r); });
    if (!QTest::qWaitFor([&] { return result.has_value(); }, 60000))
        qFatal("command never finished");
    return *result;
}

// Whether a process is gone: no such process, or only its exit status is
// left for a parent that has not collected it yet.
bool processGone(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const qsizetype state = line.lastIndexOf(')') + 2;
    return state >= 2 && state < line.size() && line.at(state) == 'Z';
}

// `sh -c <script> sh <arguments...>`: the script is ours, the arguments are data.
CommandResult shell(CommandRunner &runner, const QString &script, const QStringList &arguments = {})
{
    return runNow(runner, QStringLiteral("/bin/sh"),
                  QStringList{QStringLiteral("-c"), script, QStringLiteral("sh")} + arguments);
}

} // namespace

class TestCommandRunner : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void answersAsThePartSays()
    {
        CommandRunner runner;
        // Only a line break: no answer.
        CommandResult result = shell(runner, QStringLiteral("printf '\\n'"));
        QCOMPARE(result.output, std::nullopt);
        QCOMPARE(result.exitCode, std::optional<int>(0));
        // A word between spaces: the word.
        QCOMPARE(shell(runner, QStringLiteral("printf '  word \\t\\n'")).output,
                 std::optional<QString>(QStringLiteral("word")));
        // Standard error only: no answer (what it said is kept apart).
        result = shell(runner, QStringLiteral("echo oops >&2"));
        QCOMPARE(result.output, std::nullopt);
        QCOMPARE(result.errorOutput, QStringLiteral("oops"));
        // Text, then a failure status: the text is the answer; the status is kept.
        result = shell(runner, QStringLiteral("echo partial; exit 3"));
        QCOMPARE(result.output, std::optional<QString>(QStringLiteral("partial")));
        QCOMPARE(result.exitCode, std::optional<int>(3));
        QVERIFY(!result.succeeded());
        // Not UTF-8: no answer.
        QCOMPARE(shell(runner, QStringLiteral("printf '\\377\\376'")).output, std::nullopt);
    }

    void aMissingProgramResumesTheCaller()
    {
        LogCapture log;
        CommandRunner runner;
        const CommandResult result = runNow(runner, QStringLiteral("/nonexistent/openclaw"), {QStringLiteral("x")});
        QCOMPARE(result.output, std::nullopt);
        QCOMPARE(result.exitCode, std::nullopt);
        QCOMPARE(log.countStartingWith(QStringLiteral("Command failed: /nonexistent/openclaw x: ")), 1);
    }

    void outsideTextIsOneLiteralArgument()
    {
        QTemporaryDir dir;
        const QString marker = dir.filePath(QStringLiteral("injected"));
        CommandRunner runner;
        const QStringList hostile{QStringLiteral("a b"), QStringLiteral("$(touch %1)").arg(marker),
                                  QStringLiteral("`touch %1`; touch %1").arg(marker), QStringLiteral("--evil"),
                                  QStringLiteral("'\"")};
        const CommandResult result = shell(runner, QStringLiteral("for a; do printf '[%s]' \"$a\"; done"), hostile);
        QString expected;
        for (const QString &argument : hostile)
            expected += QLatin1Char('[') + argument + QLatin1Char(']');
        QCOMPARE(result.output, std::optional<QString>(expected));
        QVERIFY(!QFile::exists(marker));
    }

    void aHangingToolIsStoppedAtItsLimit()
    {
        CommandRunner runner({}, CommandRunnerTimings{std::chrono::milliseconds(300), 1 << 20});
        QElapsedTimer clock;
        clock.start();
        const CommandResult result = shell(runner, QStringLiteral("echo started; exec sleep 60"));
        QCOMPARE(result.output, std::nullopt);
        QCOMPARE(result.exitCode, std::nullopt);
        QVERIFY2(clock.elapsed() < 30000, "the time limit did not stop the tool");
    }

    // A tool stopped at a limit takes along what it started: a background
    // child that obeys SIGTERM, and one that ignores it.
    void whatAStoppedToolStartedEndsWithIt_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<qint64>("outputCap");
        const QString obeying = QStringLiteral("sleep 60 & echo $! > \"$1\"; ");
        const QString ignoring = QStringLiteral("(trap '' TERM; exec sleep 60) & echo $! > \"$1\"; ");
        QTest::newRow("time-out") << obeying + QStringLiteral("exec sleep 60") << 2000 << qint64(1 << 20);
        QTest::newRow("time-out, SIGTERM ignored")
            << ignoring + QStringLiteral("exec sleep 60") << 2000 << qint64(1 << 20);
        QTest::newRow("output cap") << obeying + QStringLiteral("exec yes flood") << 30000 << qint64(64 * 1024);
        QTest::newRow("output cap, SIGTERM ignored")
            << ignoring + QStringLiteral("exec yes flood") << 30000 << qint64(64 * 1024);
    }

    void whatAStoppedToolStartedEndsWithIt()
    {
        QFETCH(QString, script);
        QFETCH(int, timeoutMs);
        QFETCH(qint64, outputCap);
        QTemporaryDir dir;
        const QString pidFile = dir.filePath(QStringLiteral("grandchild"));
        CommandRunner runner({}, CommandRunnerTimings{std::chrono::milliseconds(timeoutMs), outputCap});
        const CommandResult result = shell(runner, script, {pidFile});
        QCOMPARE(result.exitCode, std::nullopt);
        QFile written(pidFile);
        QVERIFY(written.open(QIODevice::ReadOnly));
        bool isNumber = false;
        const qint64 grandchild = written.readAll().trimmed().toLongLong(&isNumber);
        QVERIFY(isNumber && grandchild > 0);
        QTRY_VERIFY_WITH_TIMEOUT(processGone(grandchild), 30000);
    }

    void aFloodingToolIsStoppedAtTheCap()
    {
        CommandRunner runner({}, CommandRunnerTimings{std::chrono::seconds(30), 64 * 1024});
        const CommandResult result = shell(runner, QStringLiteral("exec yes flood"));
        QCOMPARE(result.output, std::nullopt);
        QCOMPARE(result.exitCode, std::nullopt);
    }

    void secretsNeverReachTheLog()
    {
        LogCapture log;
        CommandRunner runner;
        // The answer is computed, so it appears nowhere in the command line.
        const QString script = QStringLiteral("echo tok$((6 * 7))");
        for (const QString &asking : {QStringLiteral("gateway.auth.token"), QStringLiteral("models.providers.x.apiKey"),
                                      QStringLiteral("auth-token")}) {
            const CommandResult result = shell(runner, script, {QStringLiteral("config"), asking});
            QCOMPARE(result.output, std::optional<QString>(QStringLiteral("tok42")));
        }
        const QStringList redacted = log.messagesStartingWith(QStringLiteral("Command /bin/sh "));
        QCOMPARE(redacted.size(), 3);
        for (const QString &line : redacted) {
            QVERIFY2(line.endsWith(QStringLiteral(" → <redacted>")), qPrintable(line));
            QVERIFY(!line.contains(QLatin1String("tok42")));
        }
        // Other answers are logged, control characters escaped.
        log.clear();
        shell(runner, QStringLiteral("printf 'loopback\\033[2J'"), {QStringLiteral("gateway.bind")});
        QCOMPARE(log.count(QStringLiteral("Command /bin/sh -c printf 'loopback\\033[2J' sh gateway.bind → "
                                          "loopback\\u001b[2J")),
                 1);
    }
};

QTEST_GUILESS_MAIN(TestCommandRunner)
#include "tst_command_runner.moc"
