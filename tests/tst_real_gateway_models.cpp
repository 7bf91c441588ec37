// The mobile model written through OpenClaw's own writer reaches a running
// OpenClaw gateway: the new model, served by the Ollama stand-in, goes into
// the gateway's live configuration by `openclaw config patch`, the gateway
// applies it without a restart, and the next chat through the bridge's HTTP
// client is answered by that model. And the terminal's `models set` and the
// windows' writer (the provider detection service) leave the same file, or
// the same untouched file and OpenClaw's reason, for each release line and
// each kind of file.
#include "cli/models_command.h"
#include "discovery/openclaw_locator.h"
#include "gateway/gateway_http_client.h"
#include "models/provider_detection_service.h"

#include "ollama_stand_in.h"
#include "openclaw_gateway.h"
#include "wait_for_result.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

using namespace halvex;
using namespace halvex::test;

namespace {

constexpr int kChatWait = 240000;

ChatMessages hello()
{
    return {ChatMessage{{QStringLiteral("role"), QStringLiteral("user")},
                        {QStringLiteral("content"), QStringLiteral("Say hello.")}}};
}

// The one locator, looking at `home`/bin first (where each test puts an
// `openclaw` bound to its scratch home).
OpenClawToolFinder finderIn(const QString &home)
{
    const QString bin = home + QStringLiteral("/bin");
    return openClawToolFinder(home, [bin](const QString &name) -> std::optional<QString> {
        if (name == QLatin1String("PATH"))
            return bin;
        return std::nullopt;
    });
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// A scratch home holding `files` under .openclaw and an `openclaw` in bin
// that runs release `version` with that home.
using ConfigFiles = QHash<QString, QByteArray>; // file name under .openclaw -> content

bool makeHome(const QString &home, const QString &version, const ConfigFiles &files)
{
    if (!QDir(home).mkpath(QStringLiteral(".openclaw")) || !QDir(home).mkpath(QStringLiteral("bin")))
        return false;
    for (auto it = files.begin(); it != files.end(); ++it) {
        if (!writeFile(home + QStringLiteral("/.openclaw/") + it.key(), it.value()))
            return false;
    }
    const QString node = OpenClawGateway::nodePath(version);
    const QString script =
        QStringLiteral("#!/bin/sh\nHOME='%1'; export HOME\nPATH='%2':\"$PATH\"; export PATH\n"
                       "exec '%3' '%4' \"$@\"\n")
            .arg(home, QFileInfo(node).absolutePath(), node, OpenClawGateway::openclawScript(version));
    const QString tool = home + QStringLiteral("/bin/openclaw");
    return writeFile(tool, script.toUtf8()) &&
           QFile::setPermissions(tool, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// The files of each case, for each release line: the two agent shapes, a
// section owned by an "$include", comments, a read-only configuration.
void addWriteCases()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<ConfigFiles>("files");
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<QString>("refusal"); // empty: written
    QTest::addColumn<QString>("warning"); // expected among the warnings
    const QByteArray head = R"({"gateway": {"mode": "local", "port": 18789, "auth": {"mode": "token",
        "token": "tok-123456"}}, "models": {"providers": {"mock": {"baseUrl": "http://127.0.0.1:9/v1",
        "apiKey": "sk-mock", "api": "openai-completions", "models": [
        {"id": "fake", "name": "Fake", "contextWindow": 32000, "maxTokens": 4096},
        {"id": "fake2", "name": "Fake 2", "contextWindow": 16000, "maxTokens": 2048}]}}}, )";
    const QByteArray list =
        R"({"list": [{"id": "main", "default": true}, {"id": "mobile", "model": {"primary": "mock/fake"}}]})";
    const QByteArray entries =
        R"({"ownership": "explicit", "entries": {"main": {}, "mobile": {"model": {"primary": "mock/fake"}}}})";
    using Files = ConfigFiles;
    for (const QString &version : {QStringLiteral("2026.9.6"), QStringLiteral("2026.5.7")}) {
        const bool newest = version == QLatin1String("2026.9.6");
        const QByteArray tag = version.toLatin1() + ' ';
        QTest::newRow(tag + "agents.list")
            << version << Files{{QStringLiteral("openclaw.json"), head + "\"agents\": " + list + "}"}} << false
            << QString() << QString();
        if (newest)
            QTest::newRow(tag + "agents.entries")
                << version << Files{{QStringLiteral("openclaw.json"), head + "\"agents\": " + entries + "}"}} << false
                << QString() << QString();
        // OpenClaw will not flatten a section another file owns.
        QTest::newRow(tag + "$include") << version
                                        << Files{{QStringLiteral("openclaw.json"),
                                                  head + R"("agents": {"$include": "./agents.json5"}})"},
                                                 {QStringLiteral("agents.json5"), list}}
                                        << false << QStringLiteral("$include") << QString();
        QTest::newRow(tag + "comments") << version
                                        << Files{{QStringLiteral("openclaw.json"),
                                                  "// by hand\n" + head + "\"agents\": " + list + "}"}}
                                        << false << QString()
                                        << (newest ? QStringLiteral("strip JSON5 comments") : QString());
        QTest::newRow(tag + "read-only") << version
                                         << Files{{QStringLiteral("openclaw.json"), head + "\"agents\": " + list + "}"}}
                                         << true << QStringLiteral("OPENCLAW_CONFIG_READONLY=1") << QString();
    }
}

} // namespace

class TstRealGatewayModels : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void aNewMobileModelAnswersTheNextChat_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("mobileAgent"); // false: a stock installation
        QTest::newRow("2026.9.6") << QStringLiteral("2026.9.6") << true;
        QTest::newRow("2026.9.6 stock, no mobile agent") << QStringLiteral("2026.9.6") << false;
        QTest::newRow("2026.5.7") << QStringLiteral("2026.5.7") << true;
    }

    void aNewMobileModelAnswersTheNextChat()
    {
        QFETCH(QString, version);
        QFETCH(bool, mobileAgent);
        HALVEX_REQUIRE_OPENCLAW_VERSION(version);

        OllamaStandIn ollama;
        ollama.setModels({{QStringLiteral("llama3.2:3b"), 2019393189, QStringLiteral("3.2B")}});
        ollama.setAnswer(QStringLiteral("Hello from the local model."));
        QVERIFY(ollama.listen());

        OpenClawGateway gateway(version);
        OpenClawGateway::Options options;
        options.mobileAgent = mobileAgent;
        QVERIFY2(gateway.start(options), qPrintable(gateway.errorString()));

        ProviderDetectionService::Dependencies deps;
        deps.homeDirectory = gateway.homeDir();
        deps.localOllamaHost = ollama.baseUrl();
        // The harness's `openclaw` for this gateway lies in <home>/bin.
        deps.findTool = finderIn(gateway.homeDir());
        ProviderDetectionService service(deps);
        QCoro::waitFor(service.detectAll());
        QVERIFY(service.ollamaReachable());
        QCOMPARE(service.currentMobileModel().has_value(), mobileAgent);

        const qsizetype logMark = gateway.log().size();
        const Result<ConfigEdit> edit =
            waitForResult(service.setMobileModel(QStringLiteral("ollama/llama3.2:3b"), 8192, 2048));
        QVERIFY2(edit.ok(), edit ? "" : qPrintable(edit.error().description()));
        QCOMPARE(edit->createdMobileAgent, !mobileAgent);
        QVERIFY(edit->throughOpenClaw);
        // The gateway picks the change up by itself.
        QVERIFY2(gateway.waitForLog("reload", 60000, logMark), gateway.log().mid(logMark).right(3000).constData());

        GatewayHttpClient client(gateway.httpUrl(), gateway.token(),
                                 GatewayHttpClient::Timings{std::chrono::milliseconds(kChatWait)});
        std::optional<Result<QString>> answer;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                // A reload may still be settling: ask again until the new model answers.
                answer = waitForResult(client.sendChatStreaming(hello(), {}));
                return answer->ok() && **answer == QStringLiteral("Hello from the local model.");
            }(),
            kChatWait);
        const QList<HttpRequest> chats = ollama.chatRequests();
        QVERIFY(!chats.isEmpty());
        QCOMPARE(chats.last().json().value(QStringLiteral("model")).toString(), QStringLiteral("llama3.2:3b"));
        qInfo("OpenClaw %s asked the Ollama stand-in at %s", qPrintable(version), chats.last().path().constData());
        gateway.stop();
    }

    void theTerminalAndTheWindowsWriteTheSame_data() { addWriteCases(); }

    void theTerminalAndTheWindowsWriteTheSame()
    {
        QFETCH(QString, version);
        QFETCH(ConfigFiles, files);
        QFETCH(bool, readOnly);
        QFETCH(QString, refusal);
        QFETCH(QString, warning);
        HALVEX_REQUIRE_OPENCLAW_VERSION(version);
        QTemporaryDir scratch;
        const QString terminalHome = scratch.filePath(QStringLiteral("terminal"));
        const QString windowsHome = scratch.filePath(QStringLiteral("windows"));
        QVERIFY(makeHome(terminalHome, version, files));
        QVERIFY(makeHome(windowsHome, version, files));
        if (readOnly)
            qputenv("OPENCLAW_CONFIG_READONLY", "1");
        const auto cleanup = qScopeGuard([] { qunsetenv("OPENCLAW_CONFIG_READONLY"); });
        const QString reference = QStringLiteral("mock/fake2");

        // The terminal: `halvex-bridge models set`.
        QString out;
        QString err;
        QTextStream outStream(&out);
        QTextStream errStream(&err);
        cli::ModelsCommandContext context;
        context.homeDirectory = terminalHome;
        context.localOllamaHost = QStringLiteral("http://127.0.0.1:9");
        context.findTool = finderIn(terminalHome);
        const int status = cli::runModelsCommand({QStringLiteral("set"), reference}, context, outStream, errStream);
        outStream.flush();
        errStream.flush();

        // The windows: the detection service the Mobile Model window and
        // the wizard use, with the same finder.
        ProviderDetectionService::Dependencies deps;
        deps.homeDirectory = windowsHome;
        deps.localOllamaHost = QStringLiteral("http://127.0.0.1:9");
        deps.findTool = finderIn(windowsHome);
        ProviderDetectionService service(deps);
        QCoro::waitFor(service.detectAll());
        const Result<ConfigEdit> edit = waitForResult(service.setMobileModel(reference, 32000, 4096));

        const QString configFile = QStringLiteral("/.openclaw/openclaw.json");
        if (!refusal.isEmpty()) {
            QCOMPARE(status, 1);
            QVERIFY(!edit.ok());
            QVERIFY2(err.contains(refusal), qPrintable(err));
            QVERIFY2(edit.error().description().contains(refusal), qPrintable(edit.error().description()));
            // Byte for byte, in both homes and every file.
            for (auto it = files.begin(); it != files.end(); ++it) {
                QCOMPARE(readFile(terminalHome + QStringLiteral("/.openclaw/") + it.key()), it.value());
                QCOMPARE(readFile(windowsHome + QStringLiteral("/.openclaw/") + it.key()), it.value());
            }
            return;
        }
        QVERIFY2(status == 0, qPrintable(out + err));
        QVERIFY2(edit.ok(), edit ? "" : qPrintable(edit.error().description()));
        QVERIFY(edit->throughOpenClaw);
        if (!warning.isEmpty()) {
            QVERIFY2(edit->warnings.join(QLatin1Char('\n')).contains(warning),
                     qPrintable(edit->warnings.join(QLatin1Char(' '))));
            QVERIFY2(out.contains(warning), qPrintable(out));
        }
        // The same configuration, apart from where each home is and when
        // OpenClaw wrote it (2026.5.7 stamps meta.lastTouchedAt).
        const auto normalised = [&](const QString &home) {
            QByteArray text = readFile(home + configFile);
            text.replace(home.toUtf8(), "HOME");
            QJsonObject config = QJsonDocument::fromJson(text).object();
            QJsonObject meta = config.value(QStringLiteral("meta")).toObject();
            meta.remove(QStringLiteral("lastTouchedAt"));
            config.insert(QStringLiteral("meta"), meta);
            return config;
        };
        const QJsonObject written = normalised(windowsHome);
        QCOMPARE(normalised(terminalHome), written);
        const std::optional<QJsonObject> mobile = mobileAgentOf(written);
        QVERIFY(mobile);
        QCOMPARE(primaryModelOf(mobile->value(QStringLiteral("model"))), std::optional<QString>(reference));
    }
};

QTEST_GUILESS_MAIN(TstRealGatewayModels)
#include "tst_real_gateway_models.moc"
