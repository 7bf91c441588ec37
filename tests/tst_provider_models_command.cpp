// `halvex-bridge models`: the listing (plain and JSON), `set` (and its dry
// run) through the writer that works without the openclaw tool, `test`
// against a loopback Ollama stand-in, and misuse.
#include "cli/models_command.h"

#include "ollama_stand_in.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

using namespace halvex;
using namespace halvex::test;

class TstProviderModelsCommand : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<OllamaStandIn> m_ollama;
    int m_lookups = 0;
    QString m_out;
    QString m_err;

    QString configPath() const { return m_home->filePath(QStringLiteral(".openclaw/openclaw.json")); }

    int run(const QStringList &arguments)
    {
        m_out.clear();
        m_err.clear();
        QTextStream out(&m_out);
        QTextStream err(&m_err);
        cli::ModelsCommandContext context;
        context.homeDirectory = m_home->path();
        context.localOllamaHost = m_ollama->baseUrl();
        context.findTool = [this]() -> QCoro::Task<OpenClawToolLookup> {
            ++m_lookups;
            co_return OpenClawToolLookup{std::nullopt, QStringLiteral("no openclaw here")};
        };
        const int status = cli::runModelsCommand(arguments, context, out, err);
        out.flush();
        err.flush();
        return status;
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<QTemporaryDir>();
        QDir(m_home->path()).mkpath(QStringLiteral(".openclaw"));
        QFile file(configPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(
            R"({"models": {"providers": {"openai": {"apiKey": "sk", "models": [{"id": "gpt-mini", "name": "GPT mini"}]}}},
                      "agents": {"list": [{"id": "main", "default": true}]}})");
        file.close();
        m_ollama = std::make_unique<OllamaStandIn>();
        m_ollama->setModels({{QStringLiteral("llama3.2:3b"), 2019393189, QStringLiteral("3.2B")}});
        QVERIFY(m_ollama->listen());
        m_lookups = 0;
    }

    QByteArray fileBytes() const
    {
        QFile file(configPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    void listsWhatWasDetected()
    {
        QCOMPARE(run({}), 0);
        QVERIFY2(m_out.contains(QStringLiteral("* ollama/llama3.2:3b")), qPrintable(m_out));
        QVERIFY(m_out.contains(QStringLiteral("No mobile model configured")));
        QVERIFY(m_out.indexOf(QStringLiteral("Local Models")) < m_out.indexOf(QStringLiteral("Cloud Models")));

        QCOMPARE(run({QStringLiteral("--json")}), 0);
        const QJsonObject json = QJsonDocument::fromJson(m_out.toUtf8()).object();
        QVERIFY(json.value(QStringLiteral("ollama")).toObject().value(QStringLiteral("reachable")).toBool());
        QVERIFY(json.value(QStringLiteral("currentMobileModel")).isNull());
        const QJsonArray recommendations = json.value(QStringLiteral("recommendations")).toArray();
        QCOMPARE(recommendations.size(), 3);
        QCOMPARE(recommendations.at(1).toObject().value(QStringLiteral("id")).toString(),
                 QStringLiteral("openai/gpt-mini"));
        QCOMPARE(json.value(QStringLiteral("cloudProviders"))
                     .toArray()
                     .first()
                     .toObject()
                     .value(QStringLiteral("displayName"))
                     .toString(),
                 QStringLiteral("OpenAI"));
    }

    void setWritesTheChoiceAndCreatesTheAgent()
    {
        // A dry run shows the patch and the verdict, and writes nothing.
        const QByteArray original = fileBytes();
        QCOMPARE(run({QStringLiteral("set"), QStringLiteral("ollama/llama3.2:3b"), QStringLiteral("--dry-run"),
                      QStringLiteral("--json")}),
                 0);
        const QJsonObject dry = QJsonDocument::fromJson(m_out.toUtf8()).object();
        QVERIFY2(dry.value(QStringLiteral("dryRun")).toBool(), qPrintable(m_out));
        QCOMPARE(dry.value(QStringLiteral("writer")).toString(), QStringLiteral("halvex-bridge"));
        const QJsonArray list = dry.value(QStringLiteral("patch"))
                                    .toObject()
                                    .value(QStringLiteral("agents"))
                                    .toObject()
                                    .value(QStringLiteral("list"))
                                    .toArray();
        QCOMPARE(list.size(), 2); // sent whole
        QCOMPARE(list.at(1).toObject().value(QStringLiteral("model")).toObject().value(QStringLiteral("primary")),
                 QJsonValue(QStringLiteral("ollama/llama3.2:3b")));
        QCOMPARE(fileBytes(), original);

        QCOMPARE(run({QStringLiteral("set"), QStringLiteral("ollama/llama3.2:3b")}), 0);
        QVERIFY(m_lookups >= 1);
        QVERIFY2(m_err.contains(QStringLiteral("OpenClaw's own writer is not available (no openclaw here)")),
                 qPrintable(m_err));
        QVERIFY2(m_out.contains(QStringLiteral("agents.list mobile: model (none) -> ollama/llama3.2:3b")),
                 qPrintable(m_out));
        QCOMPARE(run({QStringLiteral("--json")}), 0);
        QCOMPARE(
            QJsonDocument::fromJson(m_out.toUtf8()).object().value(QStringLiteral("currentMobileModel")).toString(),
            QStringLiteral("ollama/llama3.2:3b"));

        // The managed tier is not served through OpenClaw here: refused.
        const QByteArray before = [this] {
            QFile f(configPath());
            f.open(QIODevice::ReadOnly);
            return f.readAll();
        }();
        QCOMPARE(run({QStringLiteral("set"), QStringLiteral("managed/free")}), 1);
        QVERIFY(!m_err.isEmpty());
        QFile after(configPath());
        QVERIFY(after.open(QIODevice::ReadOnly));
        QCOMPARE(after.readAll(), before);

        QCOMPARE(run({QStringLiteral("set"), QStringLiteral("ollama/not-served")}), 1);
    }

    void testTimesLocalModelsOnly()
    {
        QCOMPARE(run({QStringLiteral("test"), QStringLiteral("ollama/llama3.2:3b"), QStringLiteral("--json")}), 0);
        const QJsonObject json = QJsonDocument::fromJson(m_out.toUtf8()).object();
        QVERIFY(json.value(QStringLiteral("ok")).toBool());
        QVERIFY(json.value(QStringLiteral("latencyMs")).toInt(-1) >= 0);
        QCOMPARE(m_ollama->chatRequests().size(), 1);

        QCOMPARE(run({QStringLiteral("test"), QStringLiteral("openai/gpt-mini")}), 0);
        QCOMPARE(m_out.trimmed(), QStringLiteral("Cloud models are always available"));
        QCOMPARE(m_ollama->chatRequests().size(), 1); // nothing sent
    }

    void misuse_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("unknown action") << QStringList{QStringLiteral("remove")};
        QTest::newRow("set without a model") << QStringList{QStringLiteral("set")};
        QTest::newRow("too many") << QStringList{QStringLiteral("set"), QStringLiteral("a/b"), QStringLiteral("c")};
        QTest::newRow("unknown option") << QStringList{QStringLiteral("--yaml")};
        QTest::newRow("dry run of a test")
            << QStringList{QStringLiteral("test"), QStringLiteral("a/b"), QStringLiteral("--dry-run")};
    }

    void misuse()
    {
        QFETCH(QStringList, arguments);
        QCOMPARE(run(arguments), 2);
        QCOMPARE(m_lookups, 0);
    }
};

QTEST_GUILESS_MAIN(TstProviderModelsCommand)
#include "tst_provider_models_command.moc"
