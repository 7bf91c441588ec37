// The one reader of OpenClaw's configuration file: gateway settings, both
// agent shapes, environment references, masked and unresolved tokens, and
// files that cannot be used. The file is never written.
#include "gateway/openclaw_config.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QTemporaryDir>
#include <QTest>

using namespace halvex;

namespace {

EnvironmentLookup environment(QHash<QString, QString> vars)
{
    return [vars](const QString &name) -> std::optional<QString> {
        if (!vars.contains(name))
            return std::nullopt;
        return vars.value(name);
    };
}

OpenClawConfig parsed(const QByteArray &text, const EnvironmentLookup &lookup = environment({}))
{
    Result<OpenClawConfig> config = parseOpenClawConfig(text, lookup);
    if (!config) {
        qWarning("%s", qPrintable(config.error().description()));
        return {};
    }
    return config.value();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TestOpenClawConfig : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void readsTheGatewaySettings()
    {
        const OpenClawConfig config = parsed(R"({
            // as people edit it by hand
            gateway: {port: 19000, bind: 'custom', customBindHost: '10.1.2.3',
                      auth: {mode: 'token', token: 'tok-1234'},
                      http: {endpoints: {chatCompletions: {enabled: true}}}},
        })");
        QCOMPARE(config.gatewayPort, std::optional<int>(19000));
        QCOMPARE(config.port(), 19000);
        QCOMPARE(config.gatewayBind, std::optional<QString>(QStringLiteral("custom")));
        QCOMPARE(config.customBindHost, std::optional<QString>(QStringLiteral("10.1.2.3")));
        QCOMPARE(config.gatewayToken, std::optional<QString>(QStringLiteral("tok-1234")));
        QVERIFY(config.chatCompletionsEnabled);
        QCOMPARE(config.agentsShape, OpenClawConfig::AgentsShape::none);
    }

    void membersOfTheWrongTypeCountAsAbsent()
    {
        const OpenClawConfig config = parsed(R"({"gateway": {"port": "19000", "bind": 7,
            "auth": {"token": 42}, "http": {"endpoints": {"chatCompletions": {"enabled": "yes"}}}}})");
        QCOMPARE(config.gatewayPort, std::nullopt);
        QCOMPARE(config.port(), 18789);
        QCOMPARE(config.gatewayBind, std::nullopt);
        QCOMPARE(config.gatewayToken, std::nullopt);
        QVERIFY(!config.chatCompletionsEnabled);
        for (const QByteArray port : {"18789.5", "0", "70000", "-1"})
            QCOMPARE(parsed("{gateway: {port: " + port + "}}").gatewayPort, std::nullopt);
        QCOMPARE(parsed("{gateway: {auth: {token: ''}}}").gatewayToken, std::nullopt);
    }

    void readsBothAgentShapes()
    {
        const OpenClawConfig legacy = parsed(R"({agents: {list: [
            {id: 'main', default: true},
            {id: 'mobile', name: 'Mobile', model: {primary: 'ollama/qwen3:8b'}},
            {name: 'no id'}, 'junk']}})");
        QCOMPARE(legacy.agentsShape, OpenClawConfig::AgentsShape::list);
        QCOMPARE(legacy.agentIds(), (QStringList{QStringLiteral("main"), QStringLiteral("mobile")}));
        QVERIFY(legacy.agents.at(0).isDefault);
        QCOMPARE(legacy.agents.at(1).model, QStringLiteral("ollama/qwen3:8b"));
        QCOMPARE(legacy.agents.at(1).name, QStringLiteral("Mobile"));
        QVERIFY(legacy.hasMobileAgent());

        const OpenClawConfig keyed = parsed(R"({agents: {ownership: 'explicit', entries: {
            main: {}, mobile: {name: 'Phone', model: 'mock/fake'}}}})");
        QCOMPARE(keyed.agentsShape, OpenClawConfig::AgentsShape::entries);
        QCOMPARE(keyed.agentIds(), (QStringList{QStringLiteral("main"), QStringLiteral("mobile")}));
        QCOMPARE(keyed.agents.at(1).model, QStringLiteral("mock/fake"));

        const OpenClawConfig stock = parsed(R"({agents: {defaults: {model: {primary: 'x/y'}}}})");
        QCOMPARE(stock.agentsShape, OpenClawConfig::AgentsShape::none);
        QVERIFY(!stock.hasMobileAgent());
    }

    void resolvesEnvironmentReferences()
    {
        const EnvironmentLookup env = environment({{QStringLiteral("GW_TOKEN"), QStringLiteral("from-env")},
                                                   {QStringLiteral("BASE"), QStringLiteral("http://h:1")},
                                                   {QStringLiteral("EMPTY"), QString()}});
        QCOMPARE(parsed("{gateway: {auth: {token: '${GW_TOKEN}'}}}", env).gatewayToken,
                 std::optional<QString>(QStringLiteral("from-env")));
        QCOMPARE(parsed("{gateway: {auth: {token: 'pre-${GW_TOKEN}-post'}}}", env).gatewayToken,
                 std::optional<QString>(QStringLiteral("pre-from-env-post")));
        // "$${NAME}" is the literal text, lower-case names are not references.
        QCOMPARE(resolveEnvironmentReferences(QStringLiteral("$${GW_TOKEN}|${gw_token}|${BASE}/v1|$"), env),
                 QStringLiteral("${GW_TOKEN}|${gw_token}|http://h:1/v1|$"));

        // Unset or empty: never a token, and the reason is kept.
        for (const QByteArray name : {"MISSING", "EMPTY"}) {
            const OpenClawConfig config = parsed("{gateway: {auth: {token: 'x${" + name + "}'}}}", env);
            QCOMPARE(config.gatewayToken, std::nullopt);
            QVERIFY(!config.tokenProblem.isEmpty());
        }

        // The file's own env block fills in what the process lacks.
        const OpenClawConfig own = parsed(R"({env: {vars: {FILE_TOKEN: 'ft'}, OTHER: 'o'},
            gateway: {auth: {token: '${FILE_TOKEN}${OTHER}'}},
            models: {providers: {p: {apiKey: '${MISSING}', baseUrl: '${BASE}/v1', models: [{id: 'm'}]}}}})",
                                          env);
        QCOMPARE(own.gatewayToken, std::optional<QString>(QStringLiteral("fto")));
        const QJsonObject provider = own.providers.value(QLatin1String("p")).toObject();
        QCOMPARE(provider.value(QLatin1String("baseUrl")).toString(), QStringLiteral("http://h:1/v1"));
        QCOMPARE(provider.value(QLatin1String("apiKey")).toString(), QStringLiteral("${MISSING}"));
    }

    void aMaskedTokenIsNoToken()
    {
        for (const QByteArray token : {"__OPENCLAW_REDACTED__", "__OPENCLAW_REDACTED_abc"}) {
            const OpenClawConfig config = parsed("{gateway: {auth: {token: '" + token + "'}}}");
            QCOMPARE(config.gatewayToken, std::nullopt);
            QVERIFY(!config.tokenProblem.isEmpty());
        }
    }

    void loadsTheFileWithoutChangingIt()
    {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        // No file: no configuration, and no error.
        Result<std::optional<OpenClawConfig>> loaded = loadOpenClawConfig(home.path());
        QVERIFY(loaded.ok());
        QVERIFY(!loaded->has_value());

        const QString path = openClawConfigPath(home.path());
        QCOMPARE(path, home.path() + QStringLiteral("/.openclaw/openclaw.json"));
        const QByteArray text = "{gateway: {port: 18800,}, /* trailing */}\n";
        QVERIFY(writeFile(path, text));
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        const QFileDevice::Permissions before = QFileInfo(path).permissions();
        const QDateTime modified = QFileInfo(path).lastModified();
        loaded = loadOpenClawConfig(home.path());
        QVERIFY(loaded.ok() && loaded->has_value());
        QCOMPARE((*loaded)->port(), 18800);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), text);
        QCOMPARE(QFileInfo(path).permissions(), before);
        QCOMPARE(QFileInfo(path).lastModified(), modified);
        QCOMPARE(QDir(QFileInfo(path).absolutePath()).entryList(QDir::Files),
                 QStringList{QStringLiteral("openclaw.json")});

        // Malformed: an error naming the file and the place.
        QVERIFY(writeFile(path, "{gateway: {port: 1}\n"));
        loaded = loadOpenClawConfig(home.path());
        QVERIFY(!loaded.ok());
        QVERIFY2(loaded.error().description().startsWith(path + QStringLiteral(":2:1:")),
                 qPrintable(loaded.error().description()));
        QVERIFY(writeFile(path, "[1, 2]"));
        QVERIFY(!loadOpenClawConfig(home.path()).ok());

        // Too large to be a configuration.
        QVERIFY(writeFile(path, QByteArray(9 * 1024 * 1024, ' ') + "{}"));
        loaded = loadOpenClawConfig(home.path());
        QVERIFY(!loaded.ok());
        QVERIFY(loaded.error().description().contains(QLatin1String("larger than")));
    }

    void formsTheEndpoints_data()
    {
        QTest::addColumn<QByteArray>("gateway");
        QTest::addColumn<QString>("local");
        QTest::addColumn<QString>("phone"); // empty: the phone gets no direct address
        QTest::newRow("default") << QByteArray("{}") << "http://127.0.0.1:18789"
                                 << "";
        QTest::newRow("loopback") << QByteArray("{bind: 'loopback', port: 1}") << "http://127.0.0.1:1"
                                  << "";
        QTest::newRow("lan") << QByteArray("{bind: 'lan', port: 19000}") << "http://127.0.0.1:19000"
                             << "http://192.168.1.20:19000";
        QTest::newRow("lan with TLS") << QByteArray("{bind: 'lan', tls: {enabled: true}}") << "https://127.0.0.1:18789"
                                      << "https://192.168.1.20:18789";
        QTest::newRow("custom") << QByteArray("{bind: 'custom', customBindHost: '10.0.0.7', port: 2}")
                                << "http://10.0.0.7:2"
                                << "http://10.0.0.7:2";
        QTest::newRow("custom loopback") << QByteArray("{bind: 'custom', customBindHost: '127.0.0.5'}")
                                         << "http://127.0.0.5:18789"
                                         << "";
        // A host that is not an address never reaches the URL.
        QTest::newRow("custom name") << QByteArray("{bind: 'custom', customBindHost: 'evil.example/x?y#'}")
                                     << "http://127.0.0.1:18789"
                                     << "";
        QTest::newRow("custom any") << QByteArray("{bind: 'custom', customBindHost: '0.0.0.0'}")
                                    << "http://127.0.0.1:18789"
                                    << "";
    }
    void formsTheEndpoints()
    {
        QFETCH(QByteArray, gateway);
        const OpenClawConfig config = parsed("{gateway: " + gateway + "}");
        QTEST(localGatewayEndpoint(config).toString(), "local");
        const std::optional<QUrl> phone = phoneGatewayEndpoint(config, QStringLiteral("192.168.1.20"));
        QTEST(phone ? phone->toString() : QString(), "phone");
    }

    // "$include" as OpenClaw reads it: a file replaces its object, a list is
    // merged in order, sibling keys win; nothing outside the folder is read,
    // and a loop ends.
    void readsIncludes_data()
    {
        QTest::addColumn<QByteArray>("main");
        QTest::addColumn<QByteArray>("included"); // written as gw.json5 beside it
        QTest::addColumn<int>("port");            // 0: the read fails
        QTest::newRow("one file") << QByteArray("{gateway: {$include: './gw.json5'}}") << QByteArray("{port: 19001}")
                                  << 19001;
        QTest::newRow("sibling wins") << QByteArray("{gateway: {$include: 'gw.json5', port: 19002}}")
                                      << QByteArray("{port: 19001, bind: 'lan'}") << 19002;
        QTest::newRow("list merged") << QByteArray("{gateway: {$include: ['gw.json5', 'sub/more.json5']}}")
                                     << QByteArray("{port: 19001}") << 19003;
        QTest::newRow("outside the folder")
            << QByteArray("{gateway: {$include: '../outside.json5'}}") << QByteArray("{}") << 0;
        QTest::newRow("missing") << QByteArray("{gateway: {$include: 'nope.json5'}}") << QByteArray("{}") << 0;
        QTest::newRow("loop") << QByteArray("{gateway: {$include: 'gw.json5'}}") << QByteArray("{$include: 'gw.json5'}")
                              << 0;
    }
    void readsIncludes()
    {
        QFETCH(QByteArray, main);
        QFETCH(QByteArray, included);
        QFETCH(int, port);
        QTemporaryDir root;
        const QString folder = root.filePath(QStringLiteral("home/.openclaw"));
        QVERIFY(writeFile(folder + QStringLiteral("/gw.json5"), included));
        QVERIFY(writeFile(folder + QStringLiteral("/sub/more.json5"), "{port: 19003}"));
        QVERIFY(writeFile(root.filePath(QStringLiteral("home/outside.json5")), "{port: 19009}"));
        QVERIFY(writeFile(folder + QStringLiteral("/openclaw.json"), main));
        const Result<std::optional<OpenClawConfig>> loaded =
            loadOpenClawConfig(root.filePath(QStringLiteral("home")), environment({}));
        if (port == 0) {
            QVERIFY(!loaded.ok());
            return;
        }
        QVERIFY2(loaded.ok(), loaded.ok() ? "" : qPrintable(loaded.error().description()));
        QCOMPARE((*loaded)->port(), port);
        QVERIFY(!(*loaded)->includedFiles.isEmpty());
        // The writer's view stays the file as written.
        QVERIFY((*loaded)->document.value(QLatin1String("gateway")).toObject().contains(QLatin1String("$include")));
    }
};

QTEST_GUILESS_MAIN(TestOpenClawConfig)
#include "tst_openclaw_config.moc"
