// `halvex-bridge gateway` as a user runs it on a box without a screen: a
// scratch HOME and settings, the file credential store, a gateway stand-in.
// One table of steps: what each command prints as JSON, and that a stored
// token never goes with the address to another gateway.
#include "gateway_ws_stand_in.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace halvex::test;

namespace {

QString program()
{
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("../src/halvex-bridge"));
}

} // namespace

class TestGatewayCommand : public QObject
{
    Q_OBJECT

    struct Run {
        int exitCode = -1;
        QJsonObject json;
        QByteArray errors;
    };

    Run run(const QStringList &arguments, const QByteArray &input = {})
    {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), m_home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), m_home.filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
        env.insert(QStringLiteral("SHELL"), QStringLiteral("/bin/false"));
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        env.insert(QStringLiteral("NO_PROXY"), QStringLiteral("*"));
        process.setProcessEnvironment(env);
        process.start(program(), arguments);
        process.write(input);
        process.closeWriteChannel();
        Run result;
        // The stand-in answers from this event loop: keep it spinning.
        if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 120000)) {
            process.kill();
            process.waitForFinished();
            return result;
        }
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.json = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
        result.errors = process.readAllStandardError();
        return result;
    }

    QTemporaryDir m_home;

private Q_SLOTS:
    void initTestCase()
    {
        if (!QFileInfo(program()).isExecutable())
            QSKIP("halvex-bridge is not built");
    }

    void stepsFromTheTerminal()
    {
        GatewayWsStandIn first;
        QVERIFY(first.listen());
        first.setGatewayToken(QStringLiteral("first-secret"));
        GatewayWsStandIn second;
        QVERIFY(second.listen());
        const auto endpointOf = [](const Run &r) {
            return r.json.value(QLatin1String("target")).toObject().value(QLatin1String("endpoint")).toObject();
        };
        const auto tokenFrom = [](const Run &r) {
            return r.json.value(QLatin1String("target"))
                .toObject()
                .value(QLatin1String("token"))
                .toObject()
                .value(QLatin1String("from"))
                .toString();
        };

        // Nothing set, nothing in ~/.openclaw: the default, and no token.
        Run r = run({QStringLiteral("gateway"), QStringLiteral("--json")});
        QCOMPARE(endpointOf(r).value(QLatin1String("from")).toString(), QStringLiteral("default"));

        // An address, then its token from standard input: it answers, the
        // token is accepted and this device is paired (loopback).
        r = run(
            {QStringLiteral("gateway"), QStringLiteral("set"), first.httpUrl().toString(), QStringLiteral("--json")});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(tokenFrom(r), QStringLiteral("none"));
        r = run({QStringLiteral("gateway"), QStringLiteral("token"), QStringLiteral("--json")}, "first-secret\n");
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(tokenFrom(r), QStringLiteral("credential store"));
        r = run({QStringLiteral("gateway"), QStringLiteral("--json")});
        QCOMPARE(r.exitCode, 0);
        const QJsonObject probe = r.json.value(QLatin1String("probe")).toObject();
        QCOMPARE(probe.value(QLatin1String("reachable")).toBool(), true);
        QCOMPARE(probe.value(QLatin1String("devicePaired")).toBool(), true);
        QVERIFY(!QJsonDocument(r.json).toJson().contains("first-secret"));

        // Another address: the token stays behind, unless the user says so.
        const int connectsBefore = first.connectionCount();
        r = run(
            {QStringLiteral("gateway"), QStringLiteral("set"), second.httpUrl().toString(), QStringLiteral("--json")});
        QCOMPARE(tokenFrom(r), QStringLiteral("none"));
        r = run({QStringLiteral("gateway"), QStringLiteral("--json")});
        QVERIFY(second.connectRecords().isEmpty()); // no token to try, so no handshake
        r = run(
            {QStringLiteral("gateway"), QStringLiteral("set"), first.httpUrl().toString(), QStringLiteral("--json")});
        r = run({QStringLiteral("gateway"), QStringLiteral("token"), QStringLiteral("--json")}, "first-secret\n");
        r = run({QStringLiteral("gateway"), QStringLiteral("set"), second.httpUrl().toString(),
                 QStringLiteral("--keep-token"), QStringLiteral("--json")});
        QCOMPARE(tokenFrom(r), QStringLiteral("credential store"));
        QCOMPARE(first.connectionCount(), connectsBefore);

        // Back to what ~/.openclaw says (nothing here: the default).
        r = run({QStringLiteral("gateway"), QStringLiteral("reset"), QStringLiteral("--json")});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(endpointOf(r).value(QLatin1String("from")).toString(), QStringLiteral("default"));
        QCOMPARE(tokenFrom(r), QStringLiteral("none"));

        // Misuse: a token on the command line is no argument; a bad pin.
        QCOMPARE(run({QStringLiteral("gateway"), QStringLiteral("token"), QStringLiteral("abc")}).exitCode, 2);
        QCOMPARE(run({QStringLiteral("gateway"), QStringLiteral("trust"), QStringLiteral("12:34")}).exitCode, 2);
        QCOMPARE(run({QStringLiteral("gateway"), QStringLiteral("set"), QStringLiteral("ftp://x")}).exitCode, 2);
        // Plain http to another machine is confirmed first: without a
        // terminal to ask and without --yes, nothing is stored.
        r = run({QStringLiteral("gateway"), QStringLiteral("set"), QStringLiteral("http://192.0.2.7:18789"),
                 QStringLiteral("--json")});
        QCOMPARE(r.exitCode, 1);
        r = run({QStringLiteral("gateway"), QStringLiteral("--json")});
        QCOMPARE(endpointOf(r).value(QLatin1String("from")).toString(), QStringLiteral("default"));
    }
};

QTEST_GUILESS_MAIN(TestGatewayCommand)
#include "tst_gateway_command.moc"
