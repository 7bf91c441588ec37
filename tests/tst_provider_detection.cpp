// Provider detection against a loopback Ollama stand-in and configuration
// files in a scratch home: the candidate servers, the model list as the
// server reports it, the cloud providers and the current mobile model.
#include "bridge/local_model_detector.h"
#include "models/local_model_test.h"
#include "models/provider_detection_service.h"

#include "log_capture.h"
#include "loopback.h"
#include "ollama_stand_in.h"
#include "wait_for_result.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace halvex;
using namespace halvex::test;

class TstProviderDetection : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<OllamaStandIn> m_ollama;

    void writeConfig(const QByteArray &text)
    {
        QDir(m_home->path()).mkpath(QStringLiteral(".openclaw"));
        QFile file(m_home->filePath(QStringLiteral(".openclaw/openclaw.json")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
    }

    std::unique_ptr<ProviderDetectionService> service(int probeTimeoutMs = 20000)
    {
        ProviderDetectionService::Dependencies deps;
        deps.homeDirectory = m_home->path();
        deps.localOllamaHost = m_ollama->baseUrl();
        return std::make_unique<ProviderDetectionService>(
            deps, ProviderDetectionService::Timings{std::chrono::milliseconds(probeTimeoutMs)});
    }

    QByteArray withOllamaBaseUrl(const QString &baseUrl)
    {
        return QJsonDocument(
                   QJsonObject{{QStringLiteral("models"),
                                QJsonObject{{QStringLiteral("providers"),
                                             QJsonObject{{QStringLiteral("ollama"),
                                                          QJsonObject{{QStringLiteral("baseUrl"), baseUrl}}}}}}}})
            .toJson();
    }

private Q_SLOTS:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("*.ProviderDetection.debug=true")); }

    void init()
    {
        m_home = std::make_unique<QTemporaryDir>();
        m_ollama = std::make_unique<OllamaStandIn>();
        m_ollama->setModels({{QStringLiteral("llama3.2:3b"), 2019393189, QStringLiteral("3.2B")},
                             {QStringLiteral("qwen:72b"), 4920753328, QStringLiteral("72B")},
                             {QStringLiteral("tiny"), 4250000000, {}},
                             {QStringLiteral("nosize"), -1, QStringLiteral("1B")}});
        QVERIFY(m_ollama->listen());
    }

    void withoutConfigurationOnlyTheLocalServerIsAsked()
    {
        LogCapture log;
        auto s = service();
        QSignalSpy detecting(s.get(), &ProviderDetectionService::isDetectingChanged);
        QCoro::waitFor(s->detectAll());
        QCOMPARE(detecting.count(), 2);
        QVERIFY(!s->isDetecting());
        QCOMPARE(m_ollama->server()->requestCount(), 1);
        QCOMPARE(m_ollama->server()->lastRequest().path(), QByteArray("/api/tags"));
        QVERIFY(s->ollamaReachable());
        QCOMPARE(s->ollamaHost(), m_ollama->baseUrl());
        QVERIFY(s->cloudProviders().isEmpty());
        QVERIFY(!s->currentMobileModel());
        // Each step reads the file on its own.
        QCOMPARE(log.count(QStringLiteral("OpenClaw config not found at %1")
                               .arg(m_home->filePath(QStringLiteral(".openclaw/openclaw.json")))),
                 3);
        QVERIFY(log.contains(QStringLiteral("No cloud providers found (config missing or malformed)")));
        QVERIFY(log.contains(
            QStringLiteral("Provider detection complete — ollama: true, cloud providers: 0, mobile model: none")));

        const QList<DetectedOllamaModel> models = s->ollamaModels();
        QCOMPARE(models.size(), 4);
        QCOMPARE(models.at(0).parameterSize, QStringLiteral("3.2B"));
        QCOMPARE(models.at(0).sizeGB, 2.0);
        QCOMPARE(models.at(1).sizeGB, 4.9);
        QCOMPARE(models.at(2).sizeGB, 4.3); // a half rounds away from zero
        QCOMPARE(models.at(2).parameterSize, QString());
        QCOMPARE(models.at(3).sizeBytes, 0);
        QCOMPARE(models.at(3).sizeGB, 0.0);
        QCOMPARE(DetectedOllamaModel::gigabytes(-4250000000), -4.3);
    }

    void aRemoteServerIsTriedBeforeTheLocalOne()
    {
        const quint16 closed = closedLoopbackPort();
        writeConfig(withOllamaBaseUrl(QStringLiteral("http://[::1]:%1/v1/").arg(closed)));
        LogCapture log;
        auto s = service();
        QCoro::waitFor(s->detectOllama());
        QVERIFY(log.countStartingWith(QStringLiteral("Ollama probe failed for http://[::1]:%1: ").arg(closed)) == 1);
        QVERIFY(s->ollamaReachable());
        QCOMPARE(s->ollamaHost(), m_ollama->baseUrl());
        QVERIFY(log.contains(QStringLiteral("Ollama reachable at %1 with 4 model(s)").arg(m_ollama->baseUrl())));
    }

    void aConfiguredLocalServerIsTheOnlyCandidate()
    {
        writeConfig(withOllamaBaseUrl(QStringLiteral("http://localhost:%1/").arg(closedLoopbackPort())));
        LogCapture log;
        auto s = service();
        QCoro::waitFor(s->detectOllama());
        QVERIFY(!s->ollamaReachable());
        QVERIFY(s->ollamaModels().isEmpty());
        QCOMPARE(m_ollama->server()->requestCount(), 0);
        QCOMPARE(s->ollamaHost(), m_ollama->baseUrl()); // kept
        QVERIFY(log.contains(QStringLiteral("Ollama not reachable")));
    }

    void theModelListAsTheServerSendsIt()
    {
        auto s = service(5000); // one answer below never comes
        // Reachable with no models.
        m_ollama->server()->enqueue(ScriptedResponse::json(200, QByteArray(R"({"models": []})")));
        QCoro::waitFor(s->detectOllama());
        QVERIFY(s->ollamaReachable());
        QVERIFY(s->ollamaModels().isEmpty());
        // Elements without a string name are skipped.
        m_ollama->server()->enqueue(ScriptedResponse::json(
            200, QByteArray(R"({"models": [{"name": 5}, {"name": "a", "size": "big"}, {"size": 1}]})")));
        QCoro::waitFor(s->detectOllama());
        QCOMPARE(s->ollamaModels().size(), 1);
        QCOMPARE(s->ollamaModels().first().name, QStringLiteral("a"));
        QCOMPARE(s->ollamaModels().first().sizeBytes, 0);
        // Not a model list: unreachable.
        const QList<ScriptedResponse> bad = {
            ScriptedResponse::json(200, QByteArray(R"({"models": {}})")),
            ScriptedResponse::json(200, QByteArray(R"({"models": [1, 2]})")),
            ScriptedResponse::json(200, QByteArray("[]")),
            ScriptedResponse::text(200, "not json"),
            ScriptedResponse::json(500, QByteArray(R"({"models": []})")),
            ScriptedResponse::hangForever(),
            // Over the size bound: cut off, not read into memory whole.
            ScriptedResponse::json(200, QByteArray(5 * 1024 * 1024, ' ') + R"({"models": []})"),
        };
        for (const ScriptedResponse &response : bad) {
            m_ollama->server()->enqueue(response);
            QCoro::waitFor(s->detectOllama());
            QVERIFY2(!s->ollamaReachable(), response.body().constData());
            QVERIFY(s->ollamaModels().isEmpty());
        }
    }

    void cloudProvidersFromTheConfiguration()
    {
        writeConfig(R"({
  "models": {"providers": {
    "openai": {"apiKey": "sk-1", "models": [{"id": "gpt-fast", "contextWindow": 128000},
                                            {"id": "o3", "name": "o3 Pro", "reasoning": true},
                                            {"name": "no id"}]},
    "anthropic": {"apiKey": "__OPENCLAW_REDACTED__", "models": [{"id": "haiku", "name": "Haiku"}]},
    "my-own_provider": {"apiKey": "n/a"},
    "odd": {"models": [{"id": "x"}, 3]},
    "ollama": {"apiKey": "ollama-key"},
    "copilot-proxy": {"apiKey": "k"},
    "broken": "not an object"
  }}
})");
        LogCapture log;
        auto s = service();
        QCoro::waitFor(s->detectCloudProviders());
        const QList<DetectedCloudProvider> providers = s->cloudProviders();
        QStringList names;
        for (const DetectedCloudProvider &p : providers)
            names.append(p.displayName);
        QCOMPARE(names, (QStringList{QStringLiteral("Anthropic (Claude)"), QStringLiteral("My-Own_Provider"),
                                     QStringLiteral("Odd"), QStringLiteral("OpenAI")}));
        QVERIFY(!providers.at(0).hasAPIKey);
        QVERIFY(!providers.at(1).hasAPIKey);
        QVERIFY(providers.at(1).models.isEmpty());
        QVERIFY(providers.at(2).models.isEmpty()); // not an array of objects
        QVERIFY(providers.at(3).hasAPIKey);
        QCOMPARE(providers.at(3).models,
                 (QList<DetectedCloudModel>{
                     {QStringLiteral("gpt-fast"), QStringLiteral("gpt-fast"), QStringLiteral("openai"), 128000, false},
                     {QStringLiteral("o3"), QStringLiteral("o3 Pro"), QStringLiteral("openai"), 0, true}}));
        QVERIFY(log.contains(QStringLiteral("Detected 4 cloud provider(s)")));

        // Hand-written JSON5 with a key from the environment.
        qputenv("HALVEX_TEST_XAI_KEY", "xai-secret");
        writeConfig(
            "// mine\n{models: {providers: {xai: {apiKey: '${HALVEX_TEST_XAI_KEY}', models: [{id: 'grok',},],},},},}");
        QCoro::waitFor(s->detectCloudProviders());
        QCOMPARE(s->cloudProviders().size(), 1);
        QCOMPARE(s->cloudProviders().first().displayName, QStringLiteral("xAI (Grok)"));
        QVERIFY(s->cloudProviders().first().hasAPIKey);

        writeConfig("{ not json");
        LogCapture again;
        QCoro::waitFor(s->detectCloudProviders());
        QVERIFY(s->cloudProviders().isEmpty());
        QCOMPARE(again.count(QtCriticalMsg, QStringLiteral("Failed to parse OpenClaw config as JSON")), 1);
    }

    void theCurrentMobileModelInEitherShape_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QString>("model");
        QTest::addColumn<int>("contextWindow"); // -1: none
        const QByteArray providers =
            R"("models": {"providers": {"ollama": {"models": [{"id": "llama3.2:3b", "contextWindow": 8192}]},
                                       "openrouter": {"models": [{"id": "meta/llama", "contextWindow": 64000}]}}})";
        QTest::newRow("list, object model") << QByteArray("{" + providers + R"(, "agents": {"list": [{"id": "main"},
            {"id": "mobile", "model": {"primary": "ollama/llama3.2:3b"}}]}})")
                                            << QStringLiteral("ollama/llama3.2:3b") << 8192;
        QTest::newRow("entries, string model") << QByteArray("{" + providers + R"(, "agents": {"entries":
            {"mobile": {"model": "openrouter/meta/llama"}}}})")
                                               << QStringLiteral("openrouter/meta/llama") << 64000;
        QTest::newRow("unknown model") << QByteArray(R"({"agents": {"list": [{"id": "mobile", "model": "x/y"}]}})")
                                       << QStringLiteral("x/y") << -1;
        QTest::newRow("no slash") << QByteArray(R"({"agents": {"list": [{"id": "mobile", "model": "plain"}]}})")
                                  << QStringLiteral("plain") << -1;
        // Found by fuzzing: a window beyond int (JSON5 allows 1e300 and
        // Infinity) was converted before its range was checked.
        for (const char *window : {"1e300", "-1e300", "Infinity", "NaN", "3000000000", "8192.5"})
            QTest::addRow("context window %s", window)
                << QByteArray(R"({agents: {list: [{id: "mobile", model: "ollama/big"}]},
                    models: {providers: {ollama: {models: [{id: "big", contextWindow: )" +
                              QByteArray(window) + "}]}}}}")
                << QStringLiteral("ollama/big") << -1;
        QTest::newRow("no mobile agent") << QByteArray(R"({"agents": {"list": [{"id": "main"}]}})") << QString() << -1;
        QTest::newRow("no model") << QByteArray(R"({"agents": {"list": [{"id": "mobile"}]}})") << QString() << -1;
        QTest::newRow("no agents") << QByteArray("{}") << QString() << -1;
    }

    void theCurrentMobileModelInEitherShape()
    {
        QFETCH(QByteArray, config);
        QFETCH(QString, model);
        QFETCH(int, contextWindow);
        writeConfig(config);
        LogCapture log;
        auto s = service();
        QCoro::waitFor(s->detectCurrentMobileModel());
        QCOMPARE(s->currentMobileModel().value_or(QString()), model);
        QCOMPARE(s->currentMobileContextWindow().value_or(-1), contextWindow);
        if (!model.isEmpty())
            QVERIFY(log.contains(
                QStringLiteral("Current mobile model: %1, context: %2").arg(model).arg(qMax(0, contextWindow))));
    }

    void theAgentCardSeamListsTheLocalModels()
    {
        writeConfig(withOllamaBaseUrl(m_ollama->baseUrl() + QStringLiteral("/v1")));
        const QList<LocalModel> models = QCoro::waitFor(providerLocalModelDetector(m_home->path())());
        QCOMPARE(models.size(), 4);
        QCOMPARE(models.at(1).name, QStringLiteral("qwen:72b"));
        QCOMPARE(models.at(1).sizeGB, 4.9);
        QCOMPARE(models.at(1).parameterSize, QStringLiteral("72B"));
    }

    void theOneTokenTest()
    {
        const Result<int> ok = waitForResult(LocalModelTest::run(m_ollama->baseUrl(), QStringLiteral("llama3.2:3b")));
        QVERIFY2(ok.ok(), ok.ok() ? "" : qPrintable(ok.error().description()));
        QVERIFY(*ok >= 0);
        const QJsonObject body = m_ollama->server()->lastRequest().json();
        QCOMPARE(m_ollama->server()->lastRequest().path(), QByteArray("/v1/chat/completions"));
        QCOMPARE(m_ollama->server()->lastRequest().header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(body, (QJsonObject{{QStringLiteral("model"), QStringLiteral("llama3.2:3b")},
                                    {QStringLiteral("messages"),
                                     QJsonArray{QJsonObject{{QStringLiteral("role"), QStringLiteral("user")},
                                                            {QStringLiteral("content"), QStringLiteral("Hi")}}}},
                                    {QStringLiteral("max_tokens"), 1},
                                    {QStringLiteral("stream"), false}}));

        const Result<int> missing = waitForResult(LocalModelTest::run(m_ollama->baseUrl(), QStringLiteral("nope")));
        QCOMPARE(missing.error().description(), QStringLiteral("HTTP 404"));
        const Result<int> invalid = waitForResult(LocalModelTest::run(QStringLiteral("::"), QStringLiteral("m")));
        QCOMPARE(invalid.error().description(), QStringLiteral("Invalid URL"));
        const Result<int> refused = waitForResult(
            LocalModelTest::run(QStringLiteral("http://127.0.0.1:%1").arg(closedLoopbackPort()), QStringLiteral("m")));
        QVERIFY(!refused.ok());
        QVERIFY(refused.error().description().contains(QStringLiteral("refused"), Qt::CaseInsensitive));
        m_ollama->server()->enqueue(ScriptedResponse::hangForever());
        const Result<int> slow =
            waitForResult(LocalModelTest::run(m_ollama->baseUrl(), QStringLiteral("llama3.2:3b"),
                                              LocalModelTest::Timings{std::chrono::milliseconds(300)}));
        QVERIFY(!slow.ok());
    }
};

QTEST_GUILESS_MAIN(TstProviderDetection)
#include "tst_provider_detection.moc"
