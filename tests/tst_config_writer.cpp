// The mobile model writer against configuration files of both agent shapes,
// with and without a "mobile" agent, hand-written JSON5 and foreign members.
// What the writer of its own writes is checked by the real `openclaw config
// validate` of every installed release line that reads its shape, and
// member by member against the input; its mends (no "$include", exact
// numbers, comments warned about, OpenClaw's backup ring, read-only
// configurations) in one table. The patch handed to OpenClaw's own writer
// is checked as the tool receives it.
#include "models/mobile_model_config_writer.h"
#include "models/provider_detection_service.h"

#include "log_capture.h"
#include "openclaw_gateway.h"
#include "wait_for_result.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
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

// The tool of one installed release line (none when it is missing).
std::optional<OpenClawTool> toolOf(const QString &version)
{
    if (!OpenClawGateway::missingReason(version).isEmpty())
        return std::nullopt;
    return OpenClawTool{OpenClawGateway::nodePath(version), {OpenClawGateway::openclawScript(version)}};
}

// `openclaw config validate --json` of that release on `file`.
Result<Done> validatedBy(const OpenClawTool &tool, const QString &file)
{
    ProcessRequest request;
    request.program = tool.program;
    request.arguments = tool.leadingArguments +
                        QStringList{QStringLiteral("config"), QStringLiteral("validate"), QStringLiteral("--json")};
    // A scratch HOME: OpenClaw keeps state beside the configuration.
    request.extraEnvironment = {QStringLiteral("OPENCLAW_CONFIG_PATH=") + file,
                                QStringLiteral("HOME=") + QFileInfo(file).absolutePath()};
    request.timeout = std::chrono::minutes(2);
    const ProcessOutcome outcome = waitForResult(runProcess(request));
    if (QJsonDocument::fromJson(outcome.standardOutput.trimmed()).object().value(QStringLiteral("valid")).toBool())
        return Done{};
    return Error::plain(QString::fromUtf8(outcome.standardOutput + outcome.standardError));
}

// The configuration folder's files that are neither the file nor a backup
// (a temporary file left behind would show here).
QStringList strayFiles(const QString &folder)
{
    QStringList stray;
    for (const QString &name : QDir(folder).entryList(QDir::Files)) {
        if (name != QLatin1String("openclaw.json") && !name.startsWith(QLatin1String("openclaw.json.bak")))
            stray.append(name);
    }
    return stray;
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

    QString folder() const { return m_home->filePath(QStringLiteral(".openclaw")); }

    Result<ConfigEdit> write(const QString &reference, std::optional<OpenClawTool> tool = std::nullopt,
                             int contextWindow = 8192, int maxTokens = 2048, ProcessRunner runner = {},
                             EnvironmentLookup environment = {}, bool dryRun = false)
    {
        MobileModelConfigWriter::Options options;
        options.configPath = path();
        options.tool = std::move(tool);
        options.runner = std::move(runner);
        options.environment = std::move(environment);
        MobileModelConfigWriter writer(options);
        return waitForResult(
            writer.write({reference, contextWindow, maxTokens, QStringLiteral("http://127.0.0.1:11434")}, dryRun));
    }

    // The written file is what OpenClaw of each given version accepts.
    void expectAccepted(const QStringList &versions)
    {
        for (const QString &version : versions) {
            const std::optional<OpenClawTool> tool = toolOf(version);
            if (!tool) {
                qWarning("OpenClaw %s is not installed: not checked with it", qPrintable(version));
                continue;
            }
            const Result<Done> valid = validatedBy(*tool, path());
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
        const Result<ConfigEdit> edit = write(QStringLiteral("ollama/llama3.2:3b"));
        QVERIFY2(edit.ok(), edit ? "" : qPrintable(edit.error().description()));
        QVERIFY(!edit->createdMobileAgent);
        QVERIFY(edit->warnings.isEmpty());
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
        const Result<ConfigEdit> again = write(QStringLiteral("ollama/llama3.2:3b"));
        QVERIFY(again.ok());
        QVERIFY(again->changes.isEmpty());
        QCOMPARE(json(fileBytes(path())), after);
    }

    void eachShapeWithAndWithoutMobileAgent_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("acceptedBy"); // checked afterwards
        QTest::addColumn<QString>("mobilePath");     // where the model ends up
        QTest::addColumn<bool>("created");
        const QStringList both = {QStringLiteral("2026.9.6"), QStringLiteral("2026.5.7")};
        QTest::newRow("stock, no agents")
            << QByteArray("{" + kGateway + "}") << both << QStringLiteral("agents.list.1.model.primary") << true;
        QTest::newRow("list without mobile, no default marker")
            << QByteArray("{" + kGateway + R"(, "agents": {"list": [{"id": "main", "name": "Main"}]}})") << both
            << QStringLiteral("agents.list.1.model.primary") << true;
        QTest::newRow("entries with string model")
            << QByteArray("{" + kGateway + R"(, "agents": {"ownership": "explicit", "entries": {"main": {},
                 "mobile": {"name": "Mobile", "model": "ollama/old"}}}})")
            << QStringList{QStringLiteral("2026.9.6")} << QStringLiteral("agents.entries.mobile.model") << false;
        QTest::newRow("entries without mobile")
            << QByteArray("{" + kGateway +
                          R"(, "agents": {"ownership": "explicit", "entries": {"main": {"name": "Main"}}}})")
            << QStringList{QStringLiteral("2026.9.6")} << QStringLiteral("agents.entries.mobile.model.primary") << true;
        QTest::newRow("JSON5: comments, trailing commas, unquoted keys")
            << QByteArray("// written by hand\n{" + kGateway +
                          ",\n agents: {list: [{id: 'main', default: true,}, /* the phone */ {id: \"mobile\",},],},\n}")
            << both << QStringLiteral("agents.list.1.model.primary") << false;
    }

    void eachShapeWithAndWithoutMobileAgent()
    {
        QFETCH(QByteArray, input);
        QFETCH(QStringList, acceptedBy);
        QFETCH(QString, mobilePath);
        QFETCH(bool, created);
        writeFile(input);
        const QJsonObject before = parseConfigDocument(input).value();
        LogCapture log;
        const Result<ConfigEdit> edit = write(QStringLiteral("ollama/llama3.2:3b"));
        QVERIFY2(edit.ok(), edit ? "" : qPrintable(edit.error().description()));
        QCOMPARE(edit->createdMobileAgent, created);
        // Comments go only with a warning first.
        QCOMPARE(edit->warnings.size(), input.contains("//") ? 1 : 0);
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

    void openClawsWriterRefusesAndNothingIsLeft()
    {
        const std::optional<OpenClawTool> tool = toolOf(QStringLiteral("2026.9.6"));
        if (!tool)
            QSKIP("OpenClaw 2026.9.6 is not installed");
        // Already invalid for OpenClaw: its writer refuses, and says why.
        const QByteArray input = "{" + kGateway + R"(, "notOpenClaws": 1})";
        writeFile(input);
        const Result<ConfigEdit> edit =
            write(QStringLiteral("ollama/llama3.2:3b"), OpenClawTool{tool->program, tool->leadingArguments}, 8192, 2048,
                  [this](ProcessRequest request) {
                      // OpenClaw of this scratch home, not the developer's.
                      request.extraEnvironment.append(QStringLiteral("HOME=") + m_home->path());
                      return runProcess(std::move(request));
                  });
        QVERIFY(!edit.ok());
        QVERIFY2(edit.error().description().contains(QStringLiteral("notOpenClaws")),
                 qPrintable(edit.error().description()));
        QCOMPARE(fileBytes(path()), input);
        QVERIFY(!QFile::exists(MobileModelConfigWriter::backupPath(path())));
        QVERIFY(!QDir(folder()).entryList(QDir::Files).join(QLatin1Char(' ')).contains(QStringLiteral(".tmp")));
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
        QTest::newRow("unknown provider member")
            << QByteArray(R"({"models": {"providers": {"ollama": {"colour": "red"}}}})") << QStringLiteral("ollama/m");
        QTest::newRow("managed free tier") << QByteArray("{}") << QStringLiteral("managed/free");
        QTest::newRow("unknown cloud provider") << QByteArray("{}") << QStringLiteral("nobody/model");
        QTest::newRow("empty model id") << QByteArray("{}") << QStringLiteral("ollama/");
    }

    void refusalsLoseNothing()
    {
        QFETCH(QByteArray, input);
        QFETCH(QString, reference);
        writeFile(input);
        const Result<ConfigEdit> edit = write(reference);
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
        const Result<ConfigEdit> edit = write(QStringLiteral("openai/gpt"), std::nullopt, 32000, 4096);
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

    // Without the tool: each mend of the file writer, and never a temporary
    // file left behind.
    void theFileWritersMends_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<bool>("readOnly");
        QTest::addColumn<int>("oldBackups");  // "<file>.bak", ".bak.1", ... already there
        QTest::addColumn<QString>("refusal"); // empty: written
        QTest::addColumn<bool>("warns");
        const QByteArray agents = R"("agents": {"list": [{"id": "main", "default": true}, {"id": "mobile"}]})";
        QTest::newRow("first backup") << QByteArray("{" + agents + "}") << false << 0 << QString() << false;
        QTest::newRow("ring rotated") << QByteArray("{" + agents + "}") << false << 3 << QString() << false;
        QTest::newRow("full ring: the oldest goes")
            << QByteArray("{" + agents + "}") << false << 5 << QString() << false;
        QTest::newRow("comments warned about")
            << QByteArray("{/* mine */" + agents + "}") << false << 0 << QString() << true;
        QTest::newRow("$include refused") << QByteArray(R"({"agents": {"$include": "./agents.json5"}})") << false << 0
                                          << QStringLiteral("\"$include\"") << false;
        QTest::newRow("NaN refused") << QByteArray("{" + agents + ", zeta: {x: NaN}}") << false << 0
                                     << QStringLiteral(": NaN") << false;
        QTest::newRow("large hex refused") << QByteArray("{" + agents + ", zeta: {x: 0x7FFFFFFFFFFFFFFF}}") << false
                                           << 0 << QStringLiteral("0x7FFFFFFFFFFFFFFF") << false;
        QTest::newRow("-0 refused") << QByteArray("{" + agents + ", \"zeta\": {\"x\": -0}}") << false << 0
                                    << QStringLiteral(": -0") << false;
        QTest::newRow("read-only configuration")
            << QByteArray("{" + agents + "}") << true << 2 << QStringLiteral("OPENCLAW_CONFIG_READONLY=1") << false;
    }

    void theFileWritersMends()
    {
        QFETCH(QByteArray, input);
        QFETCH(bool, readOnly);
        QFETCH(int, oldBackups);
        QFETCH(QString, refusal);
        QFETCH(bool, warns);
        writeFile(input);
        for (int i = 0; i < oldBackups; ++i) {
            QFile backup(MobileModelConfigWriter::backupPath(path(), i));
            QVERIFY(backup.open(QIODevice::WriteOnly));
            backup.write("backup " + QByteArray::number(i));
        }
        const EnvironmentLookup environment = [readOnly](const QString &name) -> std::optional<QString> {
            if (readOnly && name == QLatin1String("OPENCLAW_CONFIG_READONLY"))
                return QStringLiteral("1");
            return std::nullopt;
        };
        const Result<ConfigEdit> edit =
            write(QStringLiteral("ollama/llama3.2:3b"), std::nullopt, 8192, 2048, {}, environment);
        QCOMPARE(strayFiles(folder()), QStringList());
        if (!refusal.isEmpty()) {
            QVERIFY(!edit.ok());
            QVERIFY2(edit.error().description().contains(refusal), qPrintable(edit.error().description()));
            QCOMPARE(fileBytes(path()), input);
            for (int i = 0; i < oldBackups; ++i)
                QCOMPARE(fileBytes(MobileModelConfigWriter::backupPath(path(), i)), "backup " + QByteArray::number(i));
            QCOMPARE(QFile::exists(MobileModelConfigWriter::backupPath(path(), oldBackups)), false);
            return;
        }
        QVERIFY2(edit.ok(), edit ? "" : qPrintable(edit.error().description()));
        QCOMPARE(!edit->warnings.isEmpty(), warns);
        QVERIFY(mobileAgentOf(json(fileBytes(path()))).has_value());
        // OpenClaw's ring: the file just replaced is ".bak", every older copy
        // moved one place up, never more than five copies.
        QCOMPARE(fileBytes(MobileModelConfigWriter::backupPath(path())), input);
        for (int i = 1; i < 5; ++i) {
            const QString backup = MobileModelConfigWriter::backupPath(path(), i);
            QCOMPARE(QFile::exists(backup), i <= oldBackups);
            if (i <= oldBackups)
                QCOMPARE(fileBytes(backup), "backup " + QByteArray::number(i - 1));
        }
        QVERIFY(!QFile::exists(MobileModelConfigWriter::backupPath(path(), 5)));
    }

    // With the tool: the smallest patch on standard input (never on the
    // command line), OpenClaw's verdict or reason passed on, and the file
    // left alone on any outcome but OpenClaw's own write.
    void thePatchGoesToOpenClaw_data()
    {
        QTest::addColumn<bool>("dryRun");
        QTest::addColumn<int>("status"); // ProcessOutcome::Status
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QByteArray>("errorOutput");
        QTest::addColumn<QString>("expected"); // the verdict, or the reason (refusals)
        const int finished = int(ProcessOutcome::Status::finished);
        QTest::newRow("written") << false << finished << 0
                                 << QByteArray("Applied 1 config update(s). Change will apply without restarting.\n")
                                 << QByteArray("Config write will strip JSON5 comments from /x.\n")
                                 << QStringLiteral("Applied 1 config update(s). Change will apply without restarting.");
        QTest::newRow("refused") << false << finished << 1 << QByteArray()
                                 << QByteArray("Error: Config validation failed: agents: Unrecognized key: \"x\"\n")
                                 << QStringLiteral("OpenClaw refused the change: Config validation failed: agents: "
                                                   "Unrecognized key: \"x\"");
        QTest::newRow("timed out") << false << int(ProcessOutcome::Status::timedOut) << -1 << QByteArray()
                                   << QByteArray() << QStringLiteral("timed out");
        QTest::newRow("dry run accepted")
            << true << finished << 0 << QByteArray(R"({"ok": true, "operations": 1})") << QByteArray()
            << QStringLiteral("Dry run successful: 1 update(s) validated, nothing written");
        QTest::newRow("dry run refused")
            << true << finished << 1
            << QByteArray(R"({"ok": false, "errors": [{"kind": "model", "message": "- Unknown model: ollama/m"}]})")
            << QByteArray() << QStringLiteral("OpenClaw refuses the change: Unknown model: ollama/m");
    }

    void thePatchGoesToOpenClaw()
    {
        QFETCH(bool, dryRun);
        QFETCH(int, status);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, output);
        QFETCH(QByteArray, errorOutput);
        QFETCH(QString, expected);
        const QByteArray input = "{" + kGateway + R"(, "agents": {"ownership": "explicit", "entries": {"main": {},
            "mobile": {"model": {"primary": "ollama/old", "fallbacks": ["x/y"]}}}},
            "models": {"providers": {"ollama": {"baseUrl": "http://gpu:11434", "models": [{"id": "m", "name": "M"}]}}}})";
        writeFile(input);
        QList<ProcessRequest> requests;
        const QJsonObject applied =
            with(json(input), {{QStringLiteral("agents.entries.mobile.model.primary"), QStringLiteral("ollama/m")}});
        const ProcessRunner runner = [&, this](ProcessRequest request) -> QCoro::Task<ProcessOutcome> {
            requests.append(request);
            ProcessOutcome outcome;
            outcome.status = ProcessOutcome::Status(status);
            outcome.exitCode = exitCode;
            outcome.standardOutput = output;
            outcome.standardError = errorOutput;
            if (!dryRun && exitCode == 0) // OpenClaw's own write
                writeFile(QJsonDocument(applied).toJson());
            co_return outcome;
        };
        const Result<ConfigEdit> edit =
            write(QStringLiteral("ollama/m"), OpenClawTool{QStringLiteral("/opt/node"), {QStringLiteral("oc.mjs")}},
                  8192, 2048, runner, {}, dryRun);

        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.first().program, QStringLiteral("/opt/node"));
        QStringList arguments{QStringLiteral("oc.mjs"), QStringLiteral("config"), QStringLiteral("patch"),
                              QStringLiteral("--stdin")};
        if (dryRun)
            arguments << QStringLiteral("--dry-run") << QStringLiteral("--json");
        QCOMPARE(requests.first().arguments, arguments);
        QVERIFY(requests.first().timeout > std::chrono::milliseconds::zero());
        // Only what changes: the model entry's limits and the primary model;
        // the fallbacks, the base URL and the token stay out of it.
        QCOMPARE(json(requests.first().standardInput),
                 json(R"({"agents": {"entries": {"mobile": {"model": {"primary": "ollama/m"}}}},
                          "models": {"providers": {"ollama": {"models": [
                              {"id": "m", "name": "M", "contextWindow": 8192, "maxTokens": 2048}]}}}})"));
        QCOMPARE(strayFiles(folder()), QStringList());
        if (edit) {
            QCOMPARE(edit->verdict, expected);
            QVERIFY(edit->throughOpenClaw);
            QCOMPARE(edit->warnings.isEmpty(), errorOutput.isEmpty());
        } else {
            QVERIFY2(edit.error().description().contains(expected), qPrintable(edit.error().description()));
            QCOMPARE(fileBytes(path()), input);
        }
        QCOMPARE(edit.ok(), exitCode == 0);
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
