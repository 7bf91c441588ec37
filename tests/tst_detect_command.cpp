// `halvex-bridge detect` as a user runs it: a scratch HOME with a scripted
// `openclaw` in ~/.local/bin and a configuration that points at a loopback
// gateway stand-in. Checks the exit status, the JSON fields, and that the
// token is only ever shown masked.
#include "fake_openclaw_tool.h"
#include "http_stand_in.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

using namespace halvex::test;

namespace {

QString program()
{
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("../src/halvex-bridge"));
}

struct Run {
    int exitCode = -1;
    QByteArray output;
    QByteArray errors;
};

} // namespace

class TestDetectCommand : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        if (!QFileInfo(program()).isExecutable())
            QSKIP("halvex-bridge is not built");
        QVERIFY(m_gateway.listen());
        // The user's tool, where a per-user npm install links it.
        QVERIFY(QDir().mkpath(m_home.filePath(QStringLiteral(".local/bin"))));
        QFile launcher(m_home.filePath(QStringLiteral(".local/bin/openclaw")));
        QVERIFY(launcher.open(QIODevice::WriteOnly));
        launcher.write("#!/bin/sh\nexec '" + m_tool.path().toUtf8() + "' \"$@\"\n");
        launcher.close();
        QVERIFY(launcher.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(QDir().mkpath(m_home.filePath(QStringLiteral(".openclaw"))));
        QFile config(m_home.filePath(QStringLiteral(".openclaw/openclaw.json")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write("// hand-edited\n{gateway: {port: " + QByteArray::number(m_gateway.port()) +
                     ", auth: {token: 'secret-token-9876'}},\n agents: {list: [{id: 'main', default: true}]},}\n");
    }

    void reportsAnAnsweringGatewayAsFound()
    {
        m_gateway.setDefaultResponse("/v1/chat/completions", ScriptedResponse::json(404, QByteArray("{}")));
        m_gateway.setDefaultResponse("/healthz", ScriptedResponse::json(200, QByteArray(R"({"ok":true})")));
        const Run json = run({QStringLiteral("detect"), QStringLiteral("--json")});
        QVERIFY2(json.exitCode == 0, json.output + json.errors);
        const QJsonObject report = QJsonDocument::fromJson(json.output).object();
        QCOMPARE(report.value(QLatin1String("detected")).toBool(), true);
        QCOMPARE(report.value(QLatin1String("gatewayRunning")).toBool(), true);
        QCOMPARE(report.value(QLatin1String("chatEndpointEnabled")).toBool(true), false);
        QCOMPARE(report.value(QLatin1String("gatewayToken")).toString(), QStringLiteral("●●●●●●●●9876"));
        QCOMPARE(report.value(QLatin1String("gatewayPort")).toInt(), int(m_gateway.port()));
        QCOMPARE(report.value(QLatin1String("agents")).toArray(), QJsonArray{QStringLiteral("main")});
        QCOMPARE(report.value(QLatin1String("hasMobileAgent")).toBool(true), false);
        QVERIFY(report.value(QLatin1String("bonjourGateways")).isArray());
        // The network was searched (Avahi is not on this bus, which is no problem of ours).
        QVERIFY(report.value(QLatin1String("bonjourProblem")).isNull());

        const Run text = run({QStringLiteral("detect")});
        QCOMPARE(text.exitCode, 0);
        QVERIFY(text.output.contains("●●●●●●●●9876"));
        QVERIFY(text.output.contains("Mobile agent:"));
        for (const Run &r : {json, text}) {
            QVERIFY(!r.output.contains("secret-token-9876"));
            QVERIFY(!r.errors.contains("secret-token-9876"));
        }
    }

    void exitsOneWhenTheGatewayDoesNotAnswer()
    {
        m_gateway.setDefaultResponse("/v1/chat/completions", ScriptedResponse::json(404, QByteArray("{}")));
        m_gateway.setDefaultResponse("/healthz", ScriptedResponse::json(503, QByteArray("{}")));
        const Run result = run({QStringLiteral("detect"), QStringLiteral("--json")});
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(QJsonDocument::fromJson(result.output).object().value(QLatin1String("detected")).toBool(), true);
    }

    // A package that lost its desktop-bus module still detects OpenClaw, and
    // says why nothing on the network was looked for.
    void namesWhyTheNetworkWasNotSearched()
    {
        m_gateway.setDefaultResponse("/v1/chat/completions", ScriptedResponse::json(404, QByteArray("{}")));
        m_gateway.setDefaultResponse("/healthz", ScriptedResponse::json(200, QByteArray(R"({"ok":true})")));
        QTemporaryDir modules;
        QFile damaged(modules.filePath(QStringLiteral("halvex-desktop-bus.so")));
        QVERIFY(damaged.open(QIODevice::WriteOnly));
        damaged.write("not a shared object");
        damaged.close();
        const QHash<QString, QString> env{{QStringLiteral("HALVEX_MODULE_DIR"), modules.path()}};

        const Run json = run({QStringLiteral("detect"), QStringLiteral("--json")}, env);
        QVERIFY2(json.exitCode == 0, json.output + json.errors);
        const QJsonObject report = QJsonDocument::fromJson(json.output).object();
        QCOMPARE(report.value(QLatin1String("detected")).toBool(), true);
        QVERIFY2(report.value(QLatin1String("bonjourProblem")).toString().contains(damaged.fileName()), json.output);
        const Run text = run({QStringLiteral("detect")}, env);
        QCOMPARE(text.exitCode, 0);
        QVERIFY2(text.output.contains("not searched: " + damaged.fileName().toUtf8()), text.output);
    }

    // A tool that only the command's own PATH names (a Node version
    // manager's folder, which a login shell does not read) is found.
    void findsTheToolOnTheCommandsOwnPath()
    {
        m_gateway.setDefaultResponse("/healthz", ScriptedResponse::json(200, QByteArray(R"({"ok":true})")));
        const QString usual = m_home.filePath(QStringLiteral(".local/bin/openclaw"));
        const QString hidden = m_home.filePath(QStringLiteral("node-versions/v24.1.0/bin/openclaw"));
        QVERIFY(QDir().mkpath(QFileInfo(hidden).absolutePath()));
        QVERIFY(QFile::rename(usual, hidden));
        const auto restore = qScopeGuard([&] { QFile::rename(hidden, usual); });
        // One that anybody could have put first on PATH is listed, never run.
        FakeOpenClawTool planted(m_home.filePath(QStringLiteral("shared/bin")));
        QVERIFY(QFile::setPermissions(m_home.filePath(QStringLiteral("shared")),
                                      QFileDevice::Permissions(0x7777) /* rwxrwxrwx */));
        const QHash<QString, QString> env{
            {QStringLiteral("PATH"),
             planted.folder() + QLatin1Char(':') + QFileInfo(hidden).absolutePath() + QStringLiteral(":/usr/bin:/bin")},
            {QStringLiteral("SHELL"), QStringLiteral("/bin/false")}};
        const Run json = run({QStringLiteral("detect"), QStringLiteral("--json")}, env);
        QVERIFY2(json.exitCode == 0, json.output + json.errors);
        const QJsonObject report = QJsonDocument::fromJson(json.output).object();
        QCOMPARE(report.value(QLatin1String("binaryPath")).toString(), hidden);
        const QJsonArray skipped = report.value(QLatin1String("skippedTools")).toArray();
        QCOMPARE(skipped.size(), 1);
        QCOMPARE(skipped.at(0)[QLatin1String("path")].toString(), planted.path());
        QVERIFY(!skipped.at(0)[QLatin1String("reason")].toString().isEmpty());
        QVERIFY(planted.calls().isEmpty());
        QCOMPARE(report.value(QLatin1String("gatewayRunning")).toBool(), true);
        QCOMPARE(report.value(QLatin1String("target"))
                     .toObject()
                     .value(QLatin1String("endpoint"))
                     .toObject()
                     .value(QLatin1String("from"))
                     .toString(),
                 QStringLiteral("openclaw.json"));
    }

    void exitsTwoOnMisuse()
    {
        const Run result = run({QStringLiteral("detect"), QStringLiteral("--jsno")});
        QCOMPARE(result.exitCode, 2);
        QVERIFY(result.errors.contains("Usage: halvex-bridge detect"));
    }

private:
    Run run(const QStringList &arguments, const QHash<QString, QString> &extraEnvironment = {})
    {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (auto it = extraEnvironment.cbegin(); it != extraEnvironment.cend(); ++it)
            env.insert(it.key(), it.value());
        env.insert(QStringLiteral("HOME"), m_home.path());
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/bus"));
        env.insert(QStringLiteral("NO_PROXY"), QStringLiteral("*"));
        process.setProcessEnvironment(env);
        process.start(program(), arguments);
        Run result;
        // The stand-in answers from this event loop: keep it spinning.
        if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 120000)) {
            process.kill();
            process.waitForFinished();
            return result;
        }
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.output = process.readAllStandardOutput();
        result.errors = process.readAllStandardError();
        return result;
    }

    QTemporaryDir m_home;
    FakeOpenClawTool m_tool;
    HttpStandIn m_gateway;
};

QTEST_GUILESS_MAIN(TestDetectCommand)
#include "tst_detect_command.moc"
