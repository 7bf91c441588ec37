// scripts/demo end to end, as a user runs it: the relay stand-in, a real
// OpenClaw gateway, pairing through halvex-bridge's own commands, the
// headless bridge, and chat lines piped in as the phone's messages.
#include "openclaw_gateway.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <algorithm>
#include <csignal>
#include <unistd.h>

using halvex::test::OpenClawGateway;

namespace {

const QString answer = QStringLiteral("Pong from the demo's model, streamed through the relay.");

// Processes whose environment carries the run's marker (whatever the demo
// started, its children included), as "pid command line".
QStringList processesMarked(const QByteArray &marker)
{
    QStringList found;
    const QByteArray entry = QByteArrayLiteral("HALVEX_DEMO_RUN=") + marker;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        bool numeric = false;
        (void)pid.toLongLong(&numeric);
        if (!numeric)
            continue;
        QFile environ(QStringLiteral("/proc/%1/environ").arg(pid));
        if (!environ.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> entries = environ.readAll().split('\0');
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        // A zombie holds nothing; its parent reaps it.
        const bool zombie = stat.open(QIODevice::ReadOnly) && stat.readAll().contains(") Z ");
        if (!entries.contains(entry) || zombie)
            continue;
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        (void)cmdline.open(QIODevice::ReadOnly);
        found.append(pid + QLatin1Char(' ') + QString::fromLocal8Bit(cmdline.readAll().replace('\0', ' ')));
    }
    return found;
}

// One run of scripts/demo in a process group of its own, as a shell starts
// a foreground job.
struct DemoRun {
    QProcess process;
    QByteArray marker = QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
    QByteArray output;
    QByteArray errors;

    void start(const QHash<QString, QString> &extraEnvironment = {})
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HALVEX_DEMO_RUN"), QString::fromLatin1(marker));
        for (auto it = extraEnvironment.cbegin(); it != extraEnvironment.cend(); ++it)
            environment.insert(it.key(), it.value());
        process.setProcessEnvironment(environment);
        process.setChildProcessModifier([] { ::setpgid(0, 0); });
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                         [this] { output += process.readAllStandardOutput(); });
        QObject::connect(&process, &QProcess::readyReadStandardError, &process,
                         [this] { errors += process.readAllStandardError(); });
        process.start(QStringLiteral(HALVEX_SOURCE_DIR "/scripts/demo"),
                      {QStringLiteral("--no-build"), QStringLiteral("--build-dir"), QStringLiteral(HALVEX_BUILD_DIR),
                       QStringLiteral("--answer"), answer});
    }

    bool finish(int timeoutMs = 240000)
    {
        const bool done = QTest::qWaitFor([this] { return process.state() == QProcess::NotRunning; }, timeoutMs);
        if (!done) {
            ::kill(-pid_t(process.processId()), SIGKILL);
            process.waitForFinished(10000);
        }
        output += process.readAllStandardOutput();
        errors += process.readAllStandardError();
        return done;
    }

    QString transcript() const { return QString::fromUtf8(output + "\n--- stderr ---\n" + errors.right(6000)); }

    // The answered lines, in order.
    QStringList answersTo(const QStringList &lines) const
    {
        QStringList answers;
        const QString text = QString::fromUtf8(output);
        qsizetype from = 0;
        for (const QString &line : lines) {
            const qsizetype asked = text.indexOf(QStringLiteral("you> ") + line + QLatin1Char('\n'), from);
            if (asked < 0)
                break;
            const QRegularExpression reply(QStringLiteral("agent> ([^\n]*)\n"));
            const QRegularExpressionMatch match = reply.match(text, asked);
            if (!match.hasMatch())
                break;
            answers.append(match.captured(1));
            from = match.capturedEnd();
        }
        return answers;
    }
};

} // namespace

class TestDemo : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { HALVEX_REQUIRE_OPENCLAW(); }

    // Two lines piped in: each gets the model's answer through the bridge,
    // the demo says so with its exit status, and nothing it started stays.
    void pipedLinesAreAnsweredAndEverythingStops()
    {
        DemoRun run;
        run.start();
        QVERIFY(run.process.waitForStarted(30000));
        const QStringList lines{QStringLiteral("Hello bridge"), QStringLiteral("Are you still there?")};
        run.process.write((lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
        run.process.closeWriteChannel();
        QVERIFY2(run.finish(), qPrintable(run.transcript()));
        QVERIFY2(run.process.exitStatus() == QProcess::NormalExit && run.process.exitCode() == 0,
                 qPrintable(run.transcript()));
        QCOMPARE(run.answersTo(lines), QStringList({answer, answer}));
        QTRY_VERIFY2_WITH_TIMEOUT(processesMarked(run.marker).isEmpty(),
                                  qPrintable(processesMarked(run.marker).join(QLatin1Char('\n'))), 30000);
    }

    // Ctrl-C while the gateway starts (the terminal signals the foreground
    // group; the gateway runs in a session of its own) stops it as well, at
    // once rather than after its start-up.
    void interruptStopsEverything()
    {
        DemoRun run;
        run.start();
        QVERIFY(run.process.waitForStarted(30000));
        const auto gatewayRunning = [&] {
            const QStringList processes = processesMarked(run.marker);
            return std::any_of(processes.cbegin(), processes.cend(), [](const QString &process) {
                return process.contains(QLatin1String("openclaw.mjs gateway"));
            });
        };
        QVERIFY2(
            QTest::qWaitFor([&] { return gatewayRunning() || run.process.state() == QProcess::NotRunning; }, 120000),
            qPrintable(run.transcript()));
        QVERIFY2(gatewayRunning(), qPrintable(run.transcript()));
        ::kill(-pid_t(run.process.processId()), SIGINT);
        QVERIFY2(run.finish(60000), qPrintable(run.transcript()));
        QVERIFY(run.process.exitCode() != 0);
        QVERIFY2(!run.output.contains("[3/5]"), qPrintable(run.transcript()));
        QTRY_VERIFY2_WITH_TIMEOUT(processesMarked(run.marker).isEmpty(),
                                  qPrintable(processesMarked(run.marker).join(QLatin1Char('\n'))), 30000);
    }

    // A step that cannot be done names itself, and what was started before
    // it (the relay stand-in, the private session) is gone too.
    void failedStepIsNamedAndStopsWhatStarted()
    {
        QTemporaryDir emptyCache;
        QVERIFY(emptyCache.isValid());
        DemoRun run;
        run.start({{QStringLiteral("HALVEX_OPENCLAW_CACHE"), emptyCache.path()}});
        QVERIFY(run.process.waitForStarted(30000));
        run.process.closeWriteChannel();
        QVERIFY2(run.finish(120000), qPrintable(run.transcript()));
        QCOMPARE(run.process.exitCode(), 1);
        QVERIFY2(run.errors.contains("failed at the step \"OpenClaw gateway\""), qPrintable(run.transcript()));
        QVERIFY2(run.errors.contains("is not installed"), qPrintable(run.transcript()));
        QVERIFY(!run.output.contains("[3/5]"));
        QTRY_VERIFY2_WITH_TIMEOUT(processesMarked(run.marker).isEmpty(),
                                  qPrintable(processesMarked(run.marker).join(QLatin1Char('\n'))), 30000);
    }
};

QTEST_GUILESS_MAIN(TestDemo)
#include "tst_demo.moc"
