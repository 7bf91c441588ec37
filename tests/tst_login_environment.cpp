// The login shell's PATH: asked of a real login shell once per environment
// however many callers wait, read past what a chatty profile prints, and
// used to find programs without ever searching relative folders.
#include "platform/session/login_environment.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <qcoro/qcorotimer.h>

using namespace halvex;

namespace {

constexpr int kWaitMs = 60000;

template <typename T>
T await(QCoro::Task<T> task)
{
    std::optional<T> result;
    task.then([&](T value) { result = std::move(value); });
    if (!QTest::qWaitFor([&] { return result.has_value(); }, kWaitMs))
        qFatal("the login environment never answered");
    return std::move(*result);
}

bool writeExecutable(const QString &path, bool executable = true)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write("#!/bin/sh\nexit 0\n") <= 0)
        return false;
    file.close();
    return !executable || file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
}

ProcessOutcome printed(const QByteArray &output)
{
    ProcessOutcome outcome;
    outcome.status = ProcessOutcome::Status::finished;
    outcome.exitCode = 0;
    outcome.standardOutput = output;
    return outcome;
}

// A shell that answers slowly (so that callers overlap) and counts its runs.
struct SlowShell {
    int runs = 0;
    QList<ProcessRequest> requests;
    static QCoro::Task<ProcessOutcome> answer(SlowShell *shell, ProcessRequest request)
    {
        ++shell->runs;
        shell->requests << request;
        co_await QCoro::sleepFor(std::chrono::milliseconds(100));
        co_return printed("HALVEX_LOGIN_PATH=/opt/node/bin:/usr/bin\n");
    }
};

} // namespace

class TestLoginEnvironment : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void aRealLoginShellGivesItsPath()
    {
        // A scratch home whose profile talks and puts a folder of its own first.
        QTemporaryDir home;
        QVERIFY(home.isValid());
        const QString bin = home.filePath(QStringLiteral("node bin"));
        QVERIFY(QDir().mkpath(bin));
        QVERIFY(writeExecutable(bin + QStringLiteral("/tool")));
        QVERIFY(writeExecutable(bin + QStringLiteral("/plain"), false));
        QFile profile(home.filePath(QStringLiteral(".profile")));
        QVERIFY(profile.open(QIODevice::WriteOnly));
        profile.write("echo 'Welcome, HALVEX_LOGIN_PATH=/wrong'\nPATH=\"$HOME/node bin:$PATH\"\nexport PATH\n");
        profile.close();

        const QString homePath = home.path();
        LoginEnvironment login(
            [homePath](ProcessRequest request) {
                request.extraEnvironment << QStringLiteral("HOME=") + homePath;
                return runProcess(std::move(request));
            },
            QStringLiteral("/bin/sh"));
        const QString path = await(login.searchPath());
        QVERIFY2(path.startsWith(bin + QLatin1Char(':')), qPrintable(path));
        QCOMPARE(await(login.findProgram(QStringLiteral("tool"))),
                 std::optional<QString>(bin + QStringLiteral("/tool")));
        QCOMPARE(await(login.findProgram(QStringLiteral("plain"))), std::nullopt);       // not executable
        QCOMPARE(await(login.findProgram(bin + QStringLiteral("/tool"))), std::nullopt); // a path is not looked up
        QCOMPARE(await(login.environmentEntries()), QStringList{QStringLiteral("PATH=") + path});
    }

    void theShellRunsOnceForEveryCaller()
    {
        SlowShell shell;
        LoginEnvironment login(
            [&shell](ProcessRequest request) { return SlowShell::answer(&shell, std::move(request)); },
            QStringLiteral("/bin/zsh"));
        // Three callers while the shell runs, then one after it answered.
        QStringList answers;
        for (int i = 0; i < 3; ++i)
            login.searchPath().then([&](const QString &path) { answers << path; });
        QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 3, kWaitMs);
        QCOMPARE(answers, QStringList(3, QStringLiteral("/opt/node/bin:/usr/bin")));
        QCOMPARE(await(login.searchPath()), QStringLiteral("/opt/node/bin:/usr/bin"));
        QCOMPARE(shell.runs, 1);
        // The shell given, as a login shell, with a script of our own only.
        const ProcessRequest &request = shell.requests.value(0);
        QCOMPARE(request.program, QStringLiteral("/bin/zsh"));
        QCOMPARE(request.arguments.size(), 2);
        QCOMPARE(request.arguments.value(0), QStringLiteral("-lc"));
        QVERIFY(request.timeout > std::chrono::milliseconds::zero());
        QVERIFY(request.outputCap > 0);
    }

    void aShellWithoutAnAnswerGivesNoPath_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("output");
        QTest::newRow("no marker") << int(ProcessOutcome::Status::finished) << QByteArray("/usr/bin\n");
        QTest::newRow("timed out") << int(ProcessOutcome::Status::timedOut) << QByteArray("HALVEX_LOGIN_PATH=/x\n");
        QTest::newRow("did not start") << int(ProcessOutcome::Status::failedToStart) << QByteArray();
    }

    void aShellWithoutAnAnswerGivesNoPath()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, output);
        int runs = 0;
        LoginEnvironment login([&](ProcessRequest) -> QCoro::Task<ProcessOutcome> {
            ++runs;
            ProcessOutcome outcome = printed(output);
            outcome.status = ProcessOutcome::Status(status);
            co_return outcome;
        });
        QCOMPARE(await(login.searchPath()), QString());
        QCOMPARE(await(login.environmentEntries()), QStringList());
        QCOMPARE(await(login.findProgram(QStringLiteral("sh"))), std::nullopt);
        QCOMPARE(runs, 1); // not asked again
    }

    void onlyAbsoluteFoldersAreSearched()
    {
        QTemporaryDir dir;
        QVERIFY(writeExecutable(dir.filePath(QStringLiteral("tool"))));
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        const std::optional<QString> found =
            LoginEnvironment::findOnPath(QStringLiteral("tool"), QStringLiteral(".::bin"));
        QVERIFY(QDir::setCurrent(previous));
        QCOMPARE(found, std::nullopt);
        QCOMPARE(LoginEnvironment::findOnPath(QStringLiteral("tool"), QStringLiteral("/nonexistent:") + dir.path()),
                 std::optional<QString>(dir.filePath(QStringLiteral("tool"))));
        // The last marker line counts: the profile may print one of its own first.
        QCOMPARE(LoginEnvironment::pathFromOutput("HALVEX_LOGIN_PATH=/a\nnoise\nHALVEX_LOGIN_PATH=/b:/c\n"),
                 std::optional<QString>(QStringLiteral("/b:/c")));
    }
};

QTEST_GUILESS_MAIN(TestLoginEnvironment)
#include "tst_login_environment.moc"
