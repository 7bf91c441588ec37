// The mobile model writer against configuration files of both agent shapes,
// with and without a "mobile" agent, hand-written JSON5, foreign members and
// a concurrent rewrite. Each result is checked by the real `openclaw config
// validate` of every installed release line that reads its shape, and
// member by member against the input.
#include "models/mobile_model_config_writer.h"
#include "models/provider_detection_service.h"

#include "log_capture.h"
#include "openclaw_gateway.h"
#include "wait_for_result.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QSignalSpy>
#include <QTest>

#include <sys/stat.h>

using namespace halvex;
using namespace halvex::test;

namespace {

QJsonObject json(const QByteArray &text)
{
    return QJsonDocument::fromJson(text).object();
}

// Sets the member at a dotted path ("agents.list.1.model"), creating objects.
QJsonValue withPath(QJsonValue root, QStringList path, const QJsonValue &value)
{
    if (path.isEmpty())
        return value;
    const QString key = path.takeFirst();
    bool isIndex = false;
    const int index = key.toInt(&isIndex);
    if (isIndex && (root.isArray() || root.isUndefined() || root.isNull())) {
        QJsonArray array = root.toArray();
        if (index == array.size())
            array.append(withPath(QJsonValue(), path, value));
        else
            array.replace(index, withPath(array.at(index), path, value));
        return array;
    }
    QJsonObject object = root.toObject();
    object.insert(key, withPath(object.value(key), path, value));
    return object;
}

QJsonObject with(QJsonObject root, const QList<std::pair<QString, QJsonValue>> &changes)
{
    for (const auto &[path, value] : changes)
        root = withPath(root, path.split(QLatin1Char('.')), value).toObject();
    return root;
}

QJsonObject newModel(const QString &id, int contextWindow, int maxTokens)
{
    return json(QStringLiteral(R"({"id": "%1", "name": "%1", "reasoning": false, "input": ["text"],
        "cost": {"input": 0, "output": 0, "cacheRead": 0, "cacheWrite": 0}, "contextWindow": %2, "maxTokens": %3})")
                    .arg(id)
                    .arg(contextWindow)
                    .arg(maxTokens)
                    .toUtf8());
}

int modeOf(const QString &file)
{
    struct stat info {
    };
    return ::stat(QFile::encodeName(file).constData(), &info) == 0 ? int(info.st_mode & 0777) : -1;
}

const QByteArray kGateway =
    R"("gateway": {"mode": "local", "port": 18789, "auth": {"mode": "token", "token": "tök-ℌ"}})";

// The validator of one installed release line (none when it is missing).
ConfigValidator validatorOf(const QString &version)
{
    if (!OpenClawGateway::missingReason(version).isEmpty())
        return {};
    return openClawConfigValidator(OpenClawGateway::nodePath(version), {OpenClawGateway::openclawScript(version)});
}

} // namespace

class TstConfigWriter : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_home;

    QString path() const { return m_home->filePath(QStringLiteral(".openclaw/openclaw.json")); }

    void writeFile(const QByteArray &text)
    {
        QDir(m_home->path()).mkpath(QStringLiteral(".openclaw"));
        QFile file(path());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
        file.close();
        QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    }

    QByteArray fileBytes(const QString &which) const
    {
        QFile file(which);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    Result<ConfigEdit> write(const QString &reference, ConfigValidator validator, int contextWindow = 8192,
                             int maxTokens = 2048)
    {
        MobileModelConfigWriter writer({path(), std::move(validator)});
        return waitForResult(
            writer.write({reference, contextWindow, maxTokens, QStringLiteral("http://127.0.0.1:11434")}));
    }

    // The written file is what OpenClaw of each given version accepts.
    void expectAccepted(const QStringList &versions)
    {
        for (const QString &version : versions) {
            const ConfigValidator validator = validatorOf(version);
            if (!validator) {
                qWarning("OpenClaw %s is not installed: not checked with it", qPrintable(version));
                continue;
            }
            const Result<Done> valid = waitForResult(validator(path()));
            QVERIFY2(valid.ok(),
                     qPrintable(version + QStringLiteral(": ") + (valid ? QString() : valid.error().description())));
        }
    }

private Q_SLOTS:
    void init() { m_home = std::make_unique<QTemporaryDir>(); }

    void legacyListWithMobileAgentAndForeignMembers()
    {
        const QByteArray input = "{" + kGateway + R"(,
  "zeta": {"big": 1234567890123456789, "ratio": 0.1, "text": "naïve ☃ \u0000x"},
  "agents": {"defaults": {"models": {"anthropic/haiku": {"alias": "h"}}},
    "list": [{"id": "main", "default": true, "name": "Main"},
             {"id": "mobile", "name": "Phone", "model": {"primary": "anthropic/haiku", "fallbacks": ["anthropic/haiku"]}}]},
  "models": {"providers": {
    "ollama": {"baseUrl": "http:\/\/gpu-box:11434", "apiKey": "my-own-key", "api": "ollama",
               "models": [{"id": "llama3.2:3b", "name": "Llama", "contextWindow": 8192, "maxTokens": 1000}]},
    "anthropic": {"apiKey": "sk-ant", "models": [{"id": "haiku", "name": "Haiku"}]}}}
})";
        // "zeta" is not OpenClaw's: this file is checked member by member only.
        writeFile(input);
        const QJsonObject before = QJsonDocument::fromJson(input).object();
        QVERIFY(!before.isEmpty());
        LogCapture log;
        const Result<ConfigEdit> edit = write(QStringLiteral("ollama/llama3.2:3b"), {});
        QVERIFY2(edit.ok(), edit ? "" : qPrintable(edit.error().description()));
        QVERIFY(!edit->createdMobileAgent);
        const QJsonObject after = json(fileBytes(path()));
        QJsonObject expected =
            with(before, {{QStringLiteral("agents.list.1.model.primary"), QStringLiteral("ollama/llama3.2:3b")},
                          {QStringLiteral("models.providers.ollama.models.0.maxTokens"), 2048}});
        QJsonObject registry = before.value(QStringLiteral("agents"))
                                   .toObject()
                                   .value(QStringLiteral("defaults"))
                                   .toObject()
                                   .value(QStringLiteral("models"))
                                   .toObject();
        registry.insert(QStringLiteral("ollama/llama3.2:3b"), QJsonObject{});
        expected = with(expected, {{QStringLiteral("agents.defaults.models"), registry}});
        QCOMPARE(after, expected);
        QCOMPARE(after.value(QStringLiteral("zeta")).toObject().value(QStringLiteral("big")).toInteger(),
                 1234567890123456789LL);
        QCOMPARE(log.countStartingWith(QStringLiteral("Added ")), 0);
        QVERIFY(log.contains(QStringLiteral("Registered ollama/llama3.2:3b in agents.defaults.models")));
        QVERIFY(log.contains(QStringLiteral("Updated mobile model config: ollama/llama3.2:3b")));
        // Mode kept; the previous file kept once beside it.
        QCOMPARE(modeOf(path()), 0600);
        QCOMPARE(fileBytes(MobileModelConfigWriter::backupPath(path())), input);
        QCOMPARE(modeOf(MobileModelConfigWriter::backupPath(path())), 0600);
        QCOMPARE(QDir(m_home->filePath(QStringLiteral(".openclaw"))).entryList(QDir::Files).size(), 2);

        // The same choice again: nothing to add, nothing logged as added.
        const Result<ConfigEdit> again = write(QStringLiteral("ollama/llama3.2:3b"), {});
        QVERIFY(again.ok());
        QVERIFY(again->changes.isEmpty());
        QCOMPARE(json(fileBytes(path())), after);
    }

    void eachShapeWithAndWithoutMobileAgent_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("validatorVersion"); // the writer's own check
        QTest::addColumn<QStringList>("acceptedBy");   // checked afterwards
        QTest::addColumn<QString>("mobilePath");       // where the model ends up
        QTest::addColumn<bool>("created");
        const QStringList both = {QStringLiteral("2026.9.6"), QStringLiteral("2026.5.7")};
        QTest::newRow("stock, no agents") << QByteArray("{" + kGateway + "}") << QStringLiteral("2026.5.7") << both
                                          << QStringLiteral("agents.list.1.model.primary") << true;
        QTest::newRow("list without mobile, no default marker")
            << QByteArray("{" + kGateway + R"(, "agents": {"list": [{"id": "main", "name": "Main"}]}})")
            << QStringLiteral("2026.5.7") << both << QStringLiteral("agents.list.1.model.primary") << true;
        QTest::newRow("entries with string model")
            << QByteArray("{" + kGateway + R"(, "agents": {"ownership": "explicit", "entries": {"main": {},
                 "mobile": {"name": "Mobile", "model": "ollama/old"}}}})")
            << QStringLiteral("2026.9.6") << QStringList{QStringLiteral("2026.9.6")}
            << QStringLiteral("agents.entries.mobile.model") << false;
        QTest::newRow("entries without mobile")
            << QByteArray("{" + kGateway +
                          R"(, "agents": {"ownership": "explicit", "entries": {"main": {"name": "Main"}}}})")
            << QStringLiteral("2026.9.6") << QStringList{QStringLiteral("2026.9.6")}
            << QStringLiteral("agents.entries.mobile.model.primary") << true;
        QTest::newRow("JSON5: comments, trailing commas, unquoted keys")
            << QByteArray("// written by hand\n{" + kGateway +
                          ",\n agents: {list: [{id: 'main', default: true,}, /* the phone */ {id: \"mobile\",},],},\n}")
            << QStringLiteral("2026.5.7") << both << QStringLiteral("agents.list.1.model.primary") << false;
    }

    void eachShapeWithAndWithoutMobileAgent()
    {
        QFETCH(QByteArray, input);
        QFETCH(QString, validatorVersion);
        QFETCH(QStringList, acceptedBy);
        QFETCH(QString, mobilePath);
        QFETCH(bool, created);
        writeFile(input);
        const QJsonObject before = parseConfigDocument(input).value();
        LogCapture log;
        const Result<ConfigEdit> edit = write(QStringLiteral("ollama/llama3.2:3b"), validatorOf(validatorVersion));
        QVERIFY2(edit.ok(), edit ? "" : qPrintable(edit.error().description()));
        QCOMPARE(edit->createdMobileAgent, created);
        QCOMPARE(log.count(QStringLiteral("Added llama3.2:3b to ollama provider config")), 1);
        const QJsonObject after = json(fileBytes(path()));

        // Member by member: the input plus exactly what the choice needs.
        QJsonObject expected = before;
        const QJsonObject agents = before.value(QStringLiteral("agents")).toObject();
        if (!agents.contains(QStringLiteral("list")) && !agents.contains(QStringLiteral("entries")))
            expected = with(expected, {{QStringLiteral("agents.list.0"), json(R"({"id": "main", "default": true})")}});
        if (created && mobilePath.startsWith(QLatin1String("agents.list"))) {
            expected = with(expected, {{QStringLiteral("agents.list.1"), json(R"({"id": "mobile", "name": "Mobile"})")},
                                       {QStringLiteral("agents.list.0.default"), true}});
        } else if (created) {
            expected = with(expected, {{QStringLiteral("agents.entries.mobile.name"), QStringLiteral("Mobile")}});
        }
        expected = with(expected, {{mobilePath, QStringLiteral("ollama/llama3.2:3b")},
                                   {QStringLiteral("models.providers.ollama"),
                                    json("{\"baseUrl\": \"http://127.0.0.1:11434\", \"api\": \"ollama\", "
                                         "\"authHeader\": false, \"apiKey\": \"nokey-needed\"}")},
                                   {QStringLiteral("models.providers.ollama.models.0"),
                                    newModel(QStringLiteral("llama3.2:3b"), 8192, 2048)}});
        QCOMPARE(after, expected);
        QVERIFY(!after.value(QStringLiteral("agents")).toObject().contains(QStringLiteral("entries")) ||
                !after.value(QStringLiteral("agents")).toObject().contains(QStringLiteral("list")));
        expectAccepted(acceptedBy);
    }

    void aConcurrentRewriteIsKept()
    {
        writeFile("{" + kGateway + R"(, "agents": {"list": [{"id": "main", "default": true}, {"id": "mobile"}]}})");
        // OpenClaw rewrites the file while our candidate is being checked.
        int checks = 0;
        ConfigValidator validator = [this, &checks](QString candidate) -> QCoro::Task<Result<Done>> {
            if (++checks == 1)
                writeFile("{" + kGateway + R"(, "agents": {"list": [{"id": "main", "default": true},
                               {"id": "helper"}, {"id": "mobile"}]}, "talk": {"agentId": "main"}})");
            QCoro::Task<Result<Done>> validation = validatorOf(QStringLiteral("2026.9.6"))(candidate);
            co_return co_await std::move(validation);
        };
        if (!validatorOf(QStringLiteral("2026.9.6")))
            validator = [&checks](QString) -> QCoro::Task<Result<Done>> { co_return ++checks ? Done{} : Done{}; };
        const Result<ConfigEdit> edit = write(QStringLiteral("ollama/llama3.2:3b"), validator);
        QVERIFY2(edit.ok(), edit ? "" : qPrintable(edit.error().description()));
        QCOMPARE(checks, 2);
        const QJsonObject after = json(fileBytes(path()));
        QCOMPARE(after.value(QStringLiteral("talk")).toObject().value(QStringLiteral("agentId")).toString(),
                 QStringLiteral("main"));
        const QJsonArray list =
            after.value(QStringLiteral("agents")).toObject().value(QStringLiteral("list")).toArray();
        QCOMPARE(list.size(), 3);
        QCOMPARE(list.at(1).toObject().value(QStringLiteral("id")).toString(), QStringLiteral("helper"));
        QCOMPARE(
            list.at(2).toObject().value(QStringLiteral("model")).toObject().value(QStringLiteral("primary")).toString(),
            QStringLiteral("ollama/llama3.2:3b"));
    }

    void aRejectedCandidateLeavesTheFileAlone()
    {
        const ConfigValidator validator = validatorOf(QStringLiteral("2026.9.6"));
        if (!validator)
            QSKIP("OpenClaw 2026.9.6 is not installed");
        // Already invalid for OpenClaw: the candidate is too, and is refused.
        const QByteArray input = "{" + kGateway + R"(, "notOpenClaws": 1})";
        writeFile(input);
        const Result<ConfigEdit> edit = write(QStringLiteral("ollama/llama3.2:3b"), validator);
        QVERIFY(!edit.ok());
        QVERIFY2(edit.error().description().contains(QStringLiteral("notOpenClaws")),
                 qPrintable(edit.error().description()));
        QCOMPARE(fileBytes(path()), input);
        QVERIFY(!QFile::exists(MobileModelConfigWriter::backupPath(path())));
        QCOMPARE(QDir(m_home->filePath(QStringLiteral(".openclaw"))).entryList(QDir::Files).size(), 1);
    }

    void refusalsLoseNothing_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("reference");
        QTest::newRow("not JSON") << QByteArray("{ \"agents\": ") << QStringLiteral("ollama/m");
        QTest::newRow("list next to entries")
            << QByteArray(R"({"agents": {"entries": {}, "list": []}})") << QStringLiteral("ollama/m");
        QTest::newRow("list not an array") << QByteArray(R"({"agents": {"list": {}}})") << QStringLiteral("ollama/m");
        QTest::newRow("providers not an object")
            << QByteArray(R"({"models": {"providers": []}})") << QStringLiteral("ollama/m");
        // Without OpenClaw's validator the built-in check refuses what it rejects.
        QTest::newRow("unknown provider member") << QByteArray(R"({"models": {"providers": {"ollama": {"colour": "red"}}}})")
                                                 << QStringLiteral("ollama/m");
        QTest::newRow("managed free tier") << QByteArray("{}") << QStringLiteral("managed/free");
        QTest::newRow("unknown cloud provider") << QByteArray("{}") << QStringLiteral("nobody/model");
        QTest::newRow("empty model id") << QByteArray("{}") << QStringLiteral("ollama/");
    }

    void refusalsLoseNothing()
    {
        QFETCH(QByteArray, input);
        QFETCH(QString, reference);
        writeFile(input);
        const Result<ConfigEdit> edit = write(reference, {});
        QVERIFY(!edit.ok());
        QCOMPARE(fileBytes(path()), input);
        QCOMPARE(QDir(m_home->filePath(QStringLiteral(".openclaw"))).entryList(QDir::Files).size(), 1);
    }

    void aCloudProviderKeepsItsConnection()
    {
        writeFile(R"({"agents": {"list": [{"id": "mobile", "model": "x/y"}]},
                      "models": {"providers": {"openai": {"apiKey": "sk-user", "models": [{"id": "gpt", "contextWindow": 128000}]}}}})");
        // A mode the user chose stays (not forced to 0600).
        QVERIFY(
            QFile::setPermissions(path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup));
        const Result<ConfigEdit> edit = write(QStringLiteral("openai/gpt"), {}, 32000, 4096);
        QVERIFY(edit.ok());
        QCOMPARE(modeOf(path()), 0640);
        const QJsonObject openai = json(fileBytes(path()))
                                       .value(QStringLiteral("models"))
                                       .toObject()
                                       .value(QStringLiteral("providers"))
                                       .toObject()
                                       .value(QStringLiteral("openai"))
                                       .toObject();
        QCOMPARE(
            openai,
            json(
                R"({"apiKey": "sk-user", "models": [{"id": "gpt", "name": "gpt", "contextWindow": 32000, "maxTokens": 4096}]})"));
    }

    void theValidatorRunsOpenClawOnTheCandidate()
    {
        QList<ProcessRequest> requests;
        ProcessRunner runner = [&requests](ProcessRequest request) -> QCoro::Task<ProcessOutcome> {
            requests.append(request);
            ProcessOutcome outcome;
            outcome.status = ProcessOutcome::Status::finished;
            outcome.exitCode = 1;
            outcome.standardOutput = "{\"valid\": false, \"issues\": [{\"path\": \"models.providers.ollama\", "
                                     "\"message\": \"Unrecognized key: \\\"x\\\"\"}]}";
            co_return outcome;
        };
        writeFile("{}");
        const Result<ConfigEdit> edit =
            write(QStringLiteral("ollama/m"), openClawConfigValidator(QStringLiteral("/opt/openclaw"), {}, runner));
        QCOMPARE(
            edit.error().description(),
            QStringLiteral("OpenClaw rejects the new configuration: models.providers.ollama: Unrecognized key: \"x\""));
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.first().program, QStringLiteral("/opt/openclaw"));
        QCOMPARE(requests.first().arguments,
                 (QStringList{QStringLiteral("config"), QStringLiteral("validate"), QStringLiteral("--json")}));
        QCOMPARE(requests.first().extraEnvironment.size(), 1);
        const QString candidate = requests.first().extraEnvironment.first().section(QLatin1Char('='), 1);
        QVERIFY(requests.first().extraEnvironment.first().startsWith(QStringLiteral("OPENCLAW_CONFIG_PATH=")));
        QCOMPARE(QFileInfo(candidate).absolutePath(), QFileInfo(path()).absolutePath());
        QVERIFY(!QFile::exists(candidate)); // dropped
        QCOMPARE(fileBytes(path()), QByteArray("{}"));
    }

    void theServiceFollowsASuccessfulWrite()
    {
        writeFile(R"({"agents": {"list": [{"id": "mobile"}]}})");
        ProviderDetectionService::Dependencies deps;
        deps.homeDirectory = m_home->path();
        ProviderDetectionService service(deps);
        QSignalSpy changed(&service, &ProviderDetectionService::currentMobileModelChanged);
        QVERIFY(waitForResult(service.setMobileModel(QStringLiteral("ollama/m"), 8192, 2048)).ok());
        QCOMPARE(service.currentMobileModel(), QStringLiteral("ollama/m"));
        QCOMPARE(service.currentMobileContextWindow(), 8192);
        QCOMPARE(changed.count(), 1);
        QVERIFY(!waitForResult(service.setMobileModel(QStringLiteral("managed/free"), 32000, 4096)).ok());
        QCOMPARE(service.currentMobileModel(), QStringLiteral("ollama/m"));
    }
};

QTEST_GUILESS_MAIN(TstConfigWriter)
#include "tst_config_writer.moc"
