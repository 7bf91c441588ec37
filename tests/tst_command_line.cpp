// The program's command line as users meet it: --help, --version, misuse,
// and the commands' own options, run as a separate process with a scratch
// home.
#include "cli/cli.h"
#include "platform/deployment.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace halvex;

namespace {

struct Run {
    int status = -1;
    QString out;
    QString err;
};

class TestCommandLine : public QObject
{
    Q_OBJECT
    QTemporaryDir m_home;

    Run run(const QStringList &arguments)
    {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), m_home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.filePath(QStringLiteral("config")));
        // A credential store of its own: the session's keyring is shared with
        // tests that pair, and an unpaired machine must look unpaired.
        env.insert(QStringLiteral("XDG_DATA_HOME"), m_home.filePath(QStringLiteral("data")));
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.start(
            QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("../src/halvex-bridge")),
            arguments);
        if (!process.waitForFinished(120000))
            return {};
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
    }

private Q_SLOTS:
    void helpListsEveryCommandAndOption()
    {
        const Run help = run({QStringLiteral("--help")});
        QCOMPARE(help.status, 0);
        QVERIFY(help.out.startsWith(QLatin1String("Usage: halvex-bridge [options]")));
        for (const QString &option : {QStringLiteral("--help"), QStringLiteral("--version"),
                                      QStringLiteral("--headless"), QStringLiteral("--verbose")})
            QVERIFY2(help.out.contains(option), qPrintable(option));
        QVERIFY(!cli::commands().isEmpty());
        for (const cli::Command &command : cli::commands()) {
            QVERIFY2(help.out.contains(QStringLiteral("  ") + command.name), qPrintable(command.name));
            const Run own = run({command.name, QStringLiteral("--help")});
            QCOMPARE(own.status, 0);
            QVERIFY2(own.out.startsWith(QStringLiteral("Usage: halvex-bridge ") + command.name), qPrintable(own.out));
        }
        QCOMPARE(run({QStringLiteral("-h")}).out, help.out);
    }

    void versionNamesTheProgramAndItsVersion()
    {
        const Run version = run({QStringLiteral("--version")});
        QCOMPARE(version.status, 0);
        QCOMPARE(version.out,
                 QStringLiteral("halvex-bridge %1 (build %2)\n").arg(appShortVersion(), appBuildVersion()));
    }

    void misuseIsAClearErrorWithStatus2_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("unknown option") << QStringList{QStringLiteral("--bogus")};
        QTest::newRow("unknown command") << QStringList{QStringLiteral("frobnicate")};
        QTest::newRow("option of a command unknown")
            << QStringList{QStringLiteral("doctor"), QStringLiteral("--bogus")};
        QTest::newRow("stray argument") << QStringList{QStringLiteral("doctor"), QStringLiteral("now")};
        QTest::newRow("bad state") << QStringList{QStringLiteral("notifications"), QStringLiteral("maybe")};
    }

    void misuseIsAClearErrorWithStatus2()
    {
        QFETCH(QStringList, arguments);
        const Run misuse = run(arguments);
        QCOMPARE(misuse.status, 2);
        QVERIFY(misuse.out.isEmpty());
        QVERIFY(misuse.err.startsWith(QLatin1String("halvex-bridge")));
    }

    void notificationsSwitchIsStored()
    {
        QCOMPARE(run({QStringLiteral("notifications")}).out, QStringLiteral("Notifications: on\n"));
        const Run off = run({QStringLiteral("notifications"), QStringLiteral("off")});
        QCOMPARE(off.status, 1);
        QCOMPARE(off.out, QStringLiteral("Notifications: off\n"));
        const Run shown = run({QStringLiteral("notifications"), QStringLiteral("--json")});
        QCOMPARE(shown.status, 1);
        QCOMPARE(
            QJsonDocument::fromJson(shown.out.toUtf8()).object().value(QLatin1String("notifications")).toBool(true),
            false);
        QCOMPARE(run({QStringLiteral("notifications"), QStringLiteral("on")}).status, 0);
    }

    void doctorOnAnUnpairedMachineSaysSoInJson()
    {
        const Run doctor = run({QStringLiteral("doctor"), QStringLiteral("--json")});
        QCOMPARE(doctor.status, 1);
        QJsonParseError error;
        const QJsonObject report = QJsonDocument::fromJson(doctor.out.toUtf8(), &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(report.value(QLatin1String("canAnswerChats")).toBool(true), false);
        bool sawToken = false;
        for (const QJsonArray elements = report.value(QLatin1String("checks")).toArray();
             const QJsonValue &check : elements) {
            if (check[QLatin1String("id")].toString() == QLatin1String("bridge-token")) {
                sawToken = true;
                QCOMPARE(check[QLatin1String("status")].toString(), QStringLiteral("failed"));
                QVERIFY(!check[QLatin1String("fix")].toString().isEmpty());
            }
        }
        QVERIFY(sawToken);
    }
};

} // namespace

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_command_line.moc"
