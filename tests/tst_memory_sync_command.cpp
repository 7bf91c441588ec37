// `halvex-bridge memory`: the Memory Sync switch from the terminal and the
// soul file as the relay keeps it, against the memory-store stand-in.
#include "cli/cli.h"
#include "cli/memory_command.h"
#include "memory/memory_sync_service.h"
#include "memory_relay_stand_in.h"
#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"
#include "platform/secrets/secret_backend.h"
#include "temp_settings.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>
#include <QTextStream>

using namespace halvex;
using namespace halvex::test;

namespace {

const QString kRelayToken = QStringLiteral("relay-token-cli");

struct Run {
    int status = -1;
    QString output;
    QString errors;
};

} // namespace

class TstMemorySyncCommand : public QObject
{
    Q_OBJECT

    TempSettings m_settings;
    CredentialStore m_credentials{std::make_unique<MemorySecretBackend>()};
    MemoryRelayStandIn m_relay;

    // What the user answers when asked to confirm; the questions asked.
    bool m_agrees = true;
    QStringList m_asked;

    Run run(const QStringList &arguments)
    {
        QString output;
        QString errors;
        QTextStream outStream(&output);
        QTextStream errStream(&errors);
        Run result;
        result.status = cli::runMemoryCommand(
            arguments,
            cli::MemoryCommandContext{m_settings.get(), [this] { return &m_credentials; }, m_relay.origin(),
                                      [this](const QString &question) {
                                          m_asked << question;
                                          return m_agrees;
                                      }},
            outStream, errStream);
        outStream.flush();
        errStream.flush();
        result.output = output;
        result.errors = errors;
        return result;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_relay.listen());
        m_relay.setToken(kRelayToken);
        (void)m_credentials.save(CredentialService::relay(), kRelayToken);
    }

    void switchesMemorySync()
    {
        QCOMPARE(run({}).status, 1); // off until switched on
        // The menu's cost notice, then the question; declined, it stays off.
        m_agrees = false;
        Run declined = run({QStringLiteral("on")});
        QCOMPARE(declined.status, 1);
        QCOMPARE(declined.output, MemorySyncService::costNotice() + QStringLiteral("\n\n"));
        QCOMPARE(m_asked, QStringList{QStringLiteral("Enable Memory Sync?")});
        QVERIFY(!m_settings->boolean(SettingsKey::memorySyncEnabled, false));
        m_agrees = true;
        Run on = run({QStringLiteral("on")});
        QCOMPARE(on.status, 0);
        QCOMPARE(m_settings->boolean(SettingsKey::memorySyncEnabled), std::optional<bool>(true));
        QCOMPARE(run({QStringLiteral("on")}).output,
                 QStringLiteral("Memory Sync: on\n")); // already on: not asked again
        QCOMPARE(m_asked.size(), 2);
        Run status = run({QStringLiteral("status"), QStringLiteral("--json")});
        QCOMPARE(status.status, 0);
        QCOMPARE(QJsonDocument::fromJson(status.output.toUtf8()).object().value(QLatin1String("enabled")),
                 QJsonValue(true));
        QCOMPARE(run({QStringLiteral("off")}).status, 0);
        QCOMPARE(m_settings->boolean(SettingsKey::memorySyncEnabled), std::optional<bool>(false));
        QCOMPARE(run({QStringLiteral("status")}).status, 1);
    }

    void misuseIsExitTwo()
    {
        QCOMPARE(run({QStringLiteral("sideways")}).status, 2);
        QCOMPARE(run({QStringLiteral("on"), QStringLiteral("off")}).status, 2);
        QCOMPARE(run({QStringLiteral("--bogus")}).status, 2);
        QCOMPARE(m_settings->boolean(SettingsKey::memorySyncEnabled), std::optional<bool>(false));
    }

    void showsTheSoulFile()
    {
        const Run nothing = run({QStringLiteral("show")});
        QCOMPARE(nothing.status, 0);
        QVERIFY(nothing.output.contains(QStringLiteral("No soul file stored yet.")));

        const QJsonObject relationship{
            {QStringLiteral("facts"), QJsonArray{QStringLiteral("Keeps bees"), QStringLiteral("Evil \x1b[2Jtitle")}},
            {QStringLiteral("preferences"), QJsonArray()}};
        const QJsonObject episode{{QStringLiteral("date"), QStringLiteral("2026-12-06")},
                                  {QStringLiteral("summary"), QStringLiteral("Built a hive.")}};
        m_relay.store(QJsonObject{{QStringLiteral("version"), QStringLiteral("1.0")},
                                  {QStringLiteral("avatar_id"), QStringLiteral("global")},
                                  {QStringLiteral("relationship"), relationship},
                                  {QStringLiteral("episodes"), QJsonArray{episode}},
                                  {QStringLiteral("metadata"), QJsonObject()}});
        const Run shown = run({QStringLiteral("show")});
        QCOMPARE(shown.status, 0);
        QVERIFY(shown.output.contains(QStringLiteral("  - Keeps bees\n")));
        QVERIFY(shown.output.contains(QStringLiteral("2026-12-06  Built a hive.")));
        QVERIFY(!shown.output.contains(QChar(0x1b))); // no terminal escape from relay text
        QVERIFY(shown.output.contains(QStringLiteral("Evil \\u001b[2Jtitle")));

        const Run json = run({QStringLiteral("show"), QStringLiteral("--json")});
        const QJsonObject object = QJsonDocument::fromJson(json.output.toUtf8()).object();
        QCOMPARE(object.value(QLatin1String("found")), QJsonValue(true));
        QCOMPARE(object.value(QLatin1String("data")).toObject().value(QLatin1String("episodes")).toArray().size(), 1);
    }

    void relayFailuresAreExitOne()
    {
        m_relay.failNext("GET", 503);
        const Run failed = run({QStringLiteral("show")});
        QCOMPARE(failed.status, 1);
        QVERIFY(failed.errors.contains(QStringLiteral("Relay error (HTTP 503)")));

        (void)m_credentials.deleteItem(CredentialService::relay());
        const Run signedOut = run({QStringLiteral("show")});
        QCOMPARE(signedOut.status, 1);
        QVERIFY(signedOut.errors.contains(QStringLiteral("No relay authentication token")));
        QCOMPARE(m_relay.fetches().size(), 4); // the signed-out run asked nobody
    }
};

QTEST_GUILESS_MAIN(TstMemorySyncCommand)
#include "tst_memory_sync_command.moc"
