// The credential store: the Secret Service (the session's real gnome-keyring),
// the private file store, and the manager's migration and failure rules.
#include "log_capture.h"
#include "platform/deployment.h"
#include "platform/file_secret_backend.h"
#include "platform/keychain_manager.h"
#include "platform/libsecret_backend.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <cstdio>
#include <cstdlib>

using namespace halvex;

namespace {

constexpr char kChildVariable[] = "HALVEX_TST_KEYCHAIN_CHILD"; // file store path for the child run
constexpr char kProbeOnlyVariable[] = "HALVEX_TST_KEYCHAIN_PROBE_ONLY";

// Every test works on services of its own, so runs never see each other.
QString uniqueService(const char *tag)
{
    return appId() + QStringLiteral(".test.") + QLatin1String(tag) + QLatin1Char('.') +
           QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QString keychainCategory()
{
    return appId() + QStringLiteral(".Keychain");
}

QStringList keychainLines(const test::LogCapture &log)
{
    QStringList out;
    for (const auto &line : log.lines())
        if (line.category == keychainCategory())
            out.append(line.message);
    return out;
}

struct ToolResult {
    int exitCode = -1;
    QByteArray output;
};

ToolResult secretTool(const QStringList &arguments, const QByteArray &input = {})
{
    QProcess process;
    process.start(QStringLiteral("secret-tool"), arguments);
    if (!process.waitForStarted(30000))
        return {};
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(30000))
        return {};
    return {process.exitCode(), process.readAllStandardOutput()};
}

// Items the Secret Service holds with exactly this service (and no account).
int secretServiceItemCount(const QString &service)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("secret-tool"),
                  {QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("service"), service});
    if (!process.waitForFinished(30000))
        return -1;
    int items = 0;
    for (const QByteArray &line : process.readAll().split('\n'))
        items += line.startsWith('[');
    return items;
}

// The child's report: its last line of standard output (Qt Test writes its
// own lines before it).
QJsonObject childReport(QProcess &child)
{
    const QList<QByteArray> lines = child.readAllStandardOutput().trimmed().split('\n');
    return QJsonDocument::fromJson(lines.constLast()).object();
}

int fileEntryCount(const QString &path, const QString &service)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    int entries = 0;
    for (const QJsonValue &item :
         QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("items")).toArray())
        entries += item.toObject().value(QStringLiteral("service")).toString() == service;
    return entries;
}

// The 32-byte device key shape: zero bytes, bytes that are never UTF-8, and a
// broken two-byte sequence.
QByteArray binaryKey()
{
    QByteArray key;
    for (int i = 0; i < 32; ++i)
        key.append(char((i * 37 + 11) & 0xff));
    key[0] = '\0';
    key[5] = '\0';
    key[9] = char(0xff);
    key[10] = char(0xc3);
    key[11] = char(0x28);
    key[31] = '\0';
    return key;
}

QFile::Permissions accessBits(const QString &path)
{
    return QFile::permissions(path) &
           (QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::WriteGroup |
            QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther);
}

// A backend whose stores fail while its deletions work: shows that a failed
// save does not take the previous value with it.
class StoreRefusingBackend : public MemorySecretBackend
{
public:
    SecretOutcome store(const SecretItemKey &, const QByteArray &) override
    {
        return SecretOutcome::failure(5, QStringLiteral("disk full"));
    }
};

// The store a test row asks for: the session's Secret Service or a file.
std::unique_ptr<SecretBackend> makeBackend(const QString &kind, const QTemporaryDir &dir)
{
    if (kind == QLatin1String("secret-service"))
        return std::make_unique<LibsecretBackend>();
    return std::make_unique<FileSecretBackend>(dir.filePath(QStringLiteral("credentials.json")));
}

void addBackendRows()
{
    QTest::addColumn<QString>("backend");
    QTest::newRow("secret-service") << QStringLiteral("secret-service");
    QTest::newRow("file") << QStringLiteral("file");
}

// The child run: a fresh process whose environment has no usable Secret
// Service. Prints what createDefault chose as one JSON line.
int runChild()
{
    test::LogCapture log;
    const QString path = qEnvironmentVariable(kChildVariable);
    auto keychain = KeychainManager::createDefault(path);
    QJsonObject report;
    report.insert(QStringLiteral("primary"), keychain->primary()->name());
    report.insert(QStringLiteral("hasOlder"), keychain->older() != nullptr);
    if (!qEnvironmentVariableIsSet(kProbeOnlyVariable)) {
        report.insert(QStringLiteral("saved"), keychain->save(CredentialService::bridge(), QStringLiteral("headless")));
        report.insert(QStringLiteral("loaded"),
                      keychain->load(CredentialService::bridge()).value_or(QStringLiteral("<none>")));
    }
    report.insert(
        QStringLiteral("warnings"),
        log.count(QtWarningMsg, QStringLiteral("No Secret Service available — keeping credentials in ") + path));
    keychain.reset();
    std::fputs(QJsonDocument(report).toJson(QJsonDocument::Compact).constData(), stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
    return 0;
}

// A session bus of the test's own, without any activatable services; it can
// host a gnome-keyring that has no keyrings yet.
class PrivateBus
{
public:
    explicit PrivateBus(const QString &folder) : m_folder(folder) {}
    ~PrivateBus()
    {
        for (QProcess *process : {&m_keyring, &m_daemon}) {
            if (process->state() == QProcess::NotRunning)
                continue;
            process->terminate();
            if (!process->waitForFinished(10000))
                process->kill();
            process->waitForFinished(10000);
        }
    }

    bool start()
    {
        const QString config = m_folder + QStringLiteral("/bus.conf");
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        // No <servicedir>: nothing can be started on this bus by activation.
        file.write("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                   " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                   "<busconfig>\n"
                   "  <type>session</type>\n"
                   "  <listen>unix:tmpdir=" +
                   m_folder.toUtf8() +
                   "</listen>\n"
                   "  <auth>EXTERNAL</auth>\n"
                   "  <policy context=\"default\">\n"
                   "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                   "    <allow eavesdrop=\"true\"/>\n"
                   "    <allow own=\"*\"/>\n"
                   "  </policy>\n"
                   "</busconfig>\n");
        file.close();
        m_daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + config,
                                                       QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        if (!QTest::qWaitFor([&] { return m_daemon.canReadLine() || m_daemon.state() == QProcess::NotRunning; }, 30000))
            return false;
        m_address = QString::fromUtf8(m_daemon.readLine().trimmed());
        return !m_address.isEmpty();
    }

    QString address() const { return m_address; }

    // A gnome-keyring with an empty home: no keyring, so no default one.
    bool startEmptyKeyring()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QString home = m_folder + QStringLiteral("/keyring-home");
        const QString runtime = m_folder + QStringLiteral("/keyring-run");
        QDir().mkpath(home);
        QDir().mkpath(runtime);
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        env.insert(QStringLiteral("HOME"), home);
        env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
        m_keyring.setProcessEnvironment(env);
        m_keyring.start(QStringLiteral("gnome-keyring-daemon"),
                        {QStringLiteral("--foreground"), QStringLiteral("--components=secrets")});
        return QTest::qWaitFor([&] { return secretsOwned(); }, 30000);
    }

private:
    bool secretsOwned()
    {
        QProcess send;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
        send.setProcessEnvironment(env);
        send.start(QStringLiteral("dbus-send"),
                   {QStringLiteral("--session"), QStringLiteral("--print-reply"),
                    QStringLiteral("--dest=org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                    QStringLiteral("org.freedesktop.DBus.NameHasOwner"),
                    QStringLiteral("string:org.freedesktop.secrets")});
        send.waitForFinished(10000);
        return send.readAllStandardOutput().contains("boolean true");
    }

    QString m_folder;
    QString m_address;
    QProcess m_daemon;
    QProcess m_keyring;
};

} // namespace

class TstKeychain : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariableIsSet(kChildVariable))
            std::exit(runChild());
        // These tests are about the real Secret Service; skipping them
        // silently would hide a broken store.
        QVERIFY2(LibsecretBackend::isAvailable(), "No Secret Service: run the test through scripts/with-test-session");
    }

    // --- Migration from the older store -------------------------------------

    void anOlderItemMigratesOnceIntoTheSecretService()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("credentials.json"));
        const QString service = uniqueService("migrate");
        FileSecretBackend older(path);
        QVERIFY(older.store({service, {}}, "older-token").isOk());

        KeychainManager keychain(std::make_unique<LibsecretBackend>(), std::make_unique<FileSecretBackend>(path));
        test::LogCapture log;
        QCOMPARE(keychain.load(service), std::optional<QString>(QStringLiteral("older-token")));
        QCOMPARE(keychainLines(log), QStringList{QStringLiteral("Migrating keychain item for ") + service});
        // It now lives in the Secret Service; the old copy stays where it was.
        QCOMPARE(secretTool({QStringLiteral("lookup"), QStringLiteral("service"), service}).output, "older-token");
        QVERIFY(older.lookup({service, {}}).isOk());

        log.clear();
        QCOMPARE(keychain.load(service), std::optional<QString>(QStringLiteral("older-token")));
        QCOMPARE(keychainLines(log), QStringList());
        QVERIFY(keychain.deleteItem(service));
    }

    void aFailedMigrationSaveStillReturnsTheValueAndRetries()
    {
        auto *primary = new MemorySecretBackend;
        auto *older = new MemorySecretBackend;
        const QString service = uniqueService("retry");
        older->store({service, {}}, "kept");
        primary->setFailWrites(true);
        KeychainManager keychain{std::unique_ptr<SecretBackend>(primary), std::unique_ptr<SecretBackend>(older)};
        test::LogCapture log;
        const QString migrating = QStringLiteral("Migrating keychain item for ") + service;

        QCOMPARE(keychain.load(service), std::optional<QString>(QStringLiteral("kept")));
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("Keychain save failed for %1: -1").arg(service)), 1);
        QCOMPARE(keychain.load(service), std::optional<QString>(QStringLiteral("kept")));
        QCOMPARE(log.count(migrating), 2);

        primary->setFailWrites(false);
        QCOMPARE(keychain.load(service), std::optional<QString>(QStringLiteral("kept")));
        QCOMPARE(keychain.load(service), std::optional<QString>(QStringLiteral("kept")));
        QCOMPARE(log.count(migrating), 3);
        QCOMPARE(primary->items().value({service, {}}), QByteArray("kept"));
    }

    void bytesThatAreNotTextReadAsNone()
    {
        auto *primary = new MemorySecretBackend;
        auto *older = new MemorySecretBackend;
        const QString service = uniqueService("garbled");
        primary->store({service, {}}, "\xff\xfe");
        older->store({service, {}}, "\xc3\x28");
        KeychainManager keychain{std::unique_ptr<SecretBackend>(primary), std::unique_ptr<SecretBackend>(older)};
        test::LogCapture log;
        QCOMPARE(keychain.load(service), std::nullopt);
        QCOMPARE(log.countStartingWith(QStringLiteral("Migrating")), 0);
    }

    // --- Saving, reading, deleting, in both real stores ---------------------

    void twoSavesLeaveOneItemWithTheSecondValue_data() { addBackendRows(); }
    void twoSavesLeaveOneItemWithTheSecondValue()
    {
        QFETCH(QString, backend);
        QTemporaryDir dir;
        KeychainManager keychain(makeBackend(backend, dir));
        const QString service = uniqueService("twice");
        QVERIFY(keychain.save(service, QStringLiteral("first")));
        QVERIFY(keychain.save(service, QStringLiteral("second ✓")));
        QCOMPARE(keychain.load(service), std::optional<QString>(QStringLiteral("second ✓")));
        if (backend == QLatin1String("secret-service"))
            QCOMPARE(secretServiceItemCount(service), 1);
        else
            QCOMPARE(fileEntryCount(dir.filePath(QStringLiteral("credentials.json")), service), 1);
        QVERIFY(keychain.deleteItem(service));
    }

    void aSaveReplacesCopiesOtherToolsLeftBehind()
    {
        // secret-tool stores without our schema attribute, so the Secret
        // Service itself would not replace this item.
        const QString service = uniqueService("foreign");
        QCOMPARE(
            secretTool({QStringLiteral("store"), QStringLiteral("--label=foreign"), QStringLiteral("service"), service},
                       "stale")
                .exitCode,
            0);
        QCOMPARE(secretServiceItemCount(service), 1);
        KeychainManager keychain(std::make_unique<LibsecretBackend>());
        QVERIFY(keychain.save(service, QStringLiteral("fresh")));
        QCOMPARE(secretServiceItemCount(service), 1);
        QCOMPARE(secretTool({QStringLiteral("lookup"), QStringLiteral("service"), service}).output, "fresh");
        QVERIFY(keychain.deleteItem(service));
        QCOMPARE(secretServiceItemCount(service), 0);
    }

    void deletingSucceedsWhenTheItemIsGone_data() { addBackendRows(); }
    void deletingSucceedsWhenTheItemIsGone()
    {
        QFETCH(QString, backend);
        QTemporaryDir dir;
        const QString olderPath = dir.filePath(QStringLiteral("older.json"));
        KeychainManager keychain(makeBackend(backend, dir), std::make_unique<FileSecretBackend>(olderPath));
        const QString service = uniqueService("delete");
        QVERIFY(keychain.deleteItem(service));

        // An item in both stores is removed from both.
        QVERIFY(keychain.save(service, QStringLiteral("value")));
        QVERIFY(FileSecretBackend(olderPath).store({service, {}}, "old").isOk());
        QVERIFY(keychain.deleteItem(service));
        QCOMPARE(keychain.load(service), std::nullopt);
        QCOMPARE(FileSecretBackend(olderPath).lookup({service, {}}).status, SecretOutcome::Status::notFound);
        QVERIFY(keychain.deleteItem(service));
    }

    void aDeletionThatFailsIsNotReportedAsSuccess()
    {
        auto *primary = new MemorySecretBackend;
        const QString service = uniqueService("stuck");
        primary->store({service, {}}, "still here");
        primary->setFailWrites(true);
        KeychainManager keychain{std::unique_ptr<SecretBackend>(primary), std::make_unique<MemorySecretBackend>()};
        QVERIFY(!keychain.deleteItem(service));
        QCOMPARE(keychain.load(service), std::optional<QString>(QStringLiteral("still here")));
    }

    void anEmptyStringReadsBackAsAnEmptyString_data() { addBackendRows(); }
    void anEmptyStringReadsBackAsAnEmptyString()
    {
        QFETCH(QString, backend);
        QTemporaryDir dir;
        KeychainManager keychain(makeBackend(backend, dir));
        const QString service = uniqueService("empty");
        QVERIFY(keychain.save(service, QString()));
        const std::optional<QString> loaded = keychain.load(service);
        QVERIFY(loaded.has_value());
        QCOMPARE(*loaded, QString());
        QVERIFY(keychain.deleteItem(service));
    }

    void binaryValuesRoundTripExactly_data() { addBackendRows(); }
    void binaryValuesRoundTripExactly()
    {
        QFETCH(QString, backend);
        QTemporaryDir dir;
        KeychainManager keychain(makeBackend(backend, dir));
        const QString service = uniqueService("device-key");
        const QString account = QString::fromLatin1(CredentialService::deviceKeyAccount);
        const QByteArray key = binaryKey();

        QVERIFY(keychain.saveData(service, account, key).isOk());
        QCOMPARE(keychain.loadData(service, account).data, key);
        // The keyed item is not the plain one of the same service.
        QCOMPARE(keychain.load(service), std::nullopt);

        // A plain item beside it is independent of it.
        QVERIFY(keychain.save(service, QStringLiteral("token")));
        QCOMPARE(keychain.load(service), std::optional<QString>(QStringLiteral("token")));
        QCOMPARE(keychain.loadData(service, account).data, key);
        QVERIFY(keychain.deleteItem(service));
        QCOMPARE(keychain.loadData(service, account).data, key);

        // Binary bytes where text is expected read as none.
        QVERIFY(keychain.saveData(service, {}, key).isOk());
        QCOMPARE(keychain.loadData(service, {}).data, key);
        QCOMPARE(keychain.load(service), std::nullopt);

        QVERIFY(keychain.deleteData(service, account).isOk());
        QVERIFY(keychain.deleteData(service, {}).isOk());
        QCOMPARE(keychain.loadData(service, account).status, SecretOutcome::Status::notFound);
    }

    void theBridgeTokenIsFoundBySecretTool()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("credentials.json"));
        test::LogCapture log;
        auto keychain = KeychainManager::createDefault(path);
        QCOMPARE(keychain->primary()->name(), QStringLiteral("secret-service"));
        QVERIFY(keychain->older());
        QCOMPARE(keychainLines(log), QStringList());

        const QString token = QStringLiteral("bridge-token-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
        QVERIFY(keychain->save(CredentialService::bridge(), token));
        const ToolResult found =
            secretTool({QStringLiteral("lookup"), QStringLiteral("service"), appId() + QStringLiteral(".bridge")});
        QCOMPARE(found.exitCode, 0);
        QCOMPARE(found.output, token.toUtf8());
        QVERIFY(!QFile::exists(path)); // nothing went to the file store

        QVERIFY(keychain->deleteItem(CredentialService::bridge()));
        QCOMPARE(secretTool({QStringLiteral("lookup"), QStringLiteral("service"), CredentialService::bridge()}).output,
                 QByteArray());
    }

    // --- Failures -----------------------------------------------------------

    void aFailedSaveIsLoggedAndReportedFalse()
    {
        auto *memory = new MemorySecretBackend;
        KeychainManager keychain{std::unique_ptr<SecretBackend>(memory)};
        const QString service = uniqueService("refused");
        memory->setFailWrites(true);
        test::LogCapture log;
        QVERIFY(!keychain.save(service, QStringLiteral("lost?")));
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("Keychain save failed for %1: -1").arg(service)), 1);
        QCOMPARE(keychain.load(service), std::nullopt);
    }

    void aFailedSaveKeepsThePreviousValue()
    {
        auto *backend = new StoreRefusingBackend;
        const QString service = uniqueService("keep");
        backend->MemorySecretBackend::store({service, {}}, "previous");
        KeychainManager keychain{std::unique_ptr<SecretBackend>(backend)};
        test::LogCapture log;
        QVERIFY(!keychain.save(service, QStringLiteral("next")));
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("Keychain save failed for %1: 5").arg(service)), 1);
        QCOMPARE(keychain.load(service), std::optional<QString>(QStringLiteral("previous")));
    }

    // --- Without a Secret Service -------------------------------------------

    void withoutASecretServiceTheFileStoreServes_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::newRow("bus address leads nowhere") << QStringLiteral("nowhere");
        QTest::newRow("no bus configured") << QStringLiteral("unset");
        QTest::newRow("bus never answers") << QStringLiteral("mute");
        QTest::newRow("bus without a Secret Service") << QStringLiteral("empty-bus");
        QTest::newRow("no keyring and nobody to create one") << QStringLiteral("no-keyring");
    }
    void withoutASecretServiceTheFileStoreServes()
    {
        QFETCH(QString, situation);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("config/credentials.json"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(kChildVariable), path);
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));

        QLocalServer mute;
        PrivateBus bus(dir.path());
        if (situation == QLatin1String("nowhere")) {
            env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                       QStringLiteral("unix:path=") + dir.filePath(QStringLiteral("no-bus")));
        } else if (situation == QLatin1String("unset")) {
            env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
            env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
        } else if (situation == QLatin1String("mute")) {
            // Accepts connections and never says a word.
            QVERIFY(mute.listen(dir.filePath(QStringLiteral("mute-bus"))));
            env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                       QStringLiteral("unix:path=") + mute.fullServerName());
        } else {
            QVERIFY(bus.start());
            if (situation == QLatin1String("no-keyring"))
                QVERIFY(bus.startEmptyKeyring());
            env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address());
        }

        QProcess child;
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(QTest::qWaitFor([&] { return child.state() == QProcess::NotRunning; }, 60000));
        QCOMPARE(child.exitCode(), 0);
        const QJsonObject report = childReport(child);
        QCOMPARE(report.value(QStringLiteral("primary")).toString(), QStringLiteral("file"));
        QCOMPARE(report.value(QStringLiteral("hasOlder")).toBool(), false);
        QCOMPARE(report.value(QStringLiteral("warnings")).toInt(), 1);
        QCOMPARE(report.value(QStringLiteral("saved")).toBool(), true);
        QCOMPARE(report.value(QStringLiteral("loaded")).toString(), QStringLiteral("headless"));

        // The token really is in the private file.
        QCOMPARE(FileSecretBackend(path).lookup({CredentialService::bridge(), {}}).data, QByteArray("headless"));
        QCOMPARE(accessBits(path), QFile::ReadOwner | QFile::WriteOwner);
    }

    void aKeyringThatCanPromptIsUsed()
    {
        // The same keyring without a default collection, but with a display
        // for the prompt that would create one: the Secret Service is chosen.
        QTemporaryDir dir;
        PrivateBus bus(dir.path());
        QVERIFY(bus.start());
        QVERIFY(bus.startEmptyKeyring());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(kChildVariable), dir.filePath(QStringLiteral("credentials.json")));
        env.insert(QString::fromLatin1(kProbeOnlyVariable), QStringLiteral("1"));
        env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":99"));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address());
        QProcess child;
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(QTest::qWaitFor([&] { return child.state() == QProcess::NotRunning; }, 60000));
        const QJsonObject report = childReport(child);
        QCOMPARE(report.value(QStringLiteral("primary")).toString(), QStringLiteral("secret-service"));
        QCOMPARE(report.value(QStringLiteral("hasOlder")).toBool(), true);
        QCOMPARE(report.value(QStringLiteral("warnings")).toInt(), 0);
    }

    // --- The file store never loses data ------------------------------------

    void anUnreadableStoreFileIsKeptAside_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("not JSON") << QByteArray("{\"items\": [ ") + QByteArray(1, '\0') + QByteArray("\xff garbage");
        QTest::newRow("a list, not an object") << QByteArray("[{\"service\":\"a\",\"value\":\"YQ==\"}]");
        QTest::newRow("items not a list") << QByteArray("{\"items\": {\"a\": \"YQ==\"}}");
    }
    void anUnreadableStoreFileIsKeptAside()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("credentials.json"));
        const auto writeRaw = [&] {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        };
        writeRaw();
        FileSecretBackend store(path);
        test::LogCapture log;
        QCOMPARE(store.lookup({QStringLiteral("a"), {}}).status, SecretOutcome::Status::notFound);
        QCOMPARE(
            log.countStartingWith(QStringLiteral("Credential store ") + path + QStringLiteral(" cannot be parsed")), 1);

        const auto asideFiles = [&] {
            return QDir(dir.path()).entryList({QStringLiteral("credentials.json.corrupt-*")}, QDir::Files, QDir::Name);
        };
        QCOMPARE(asideFiles().size(), 1);
        const QString aside = dir.filePath(asideFiles().constFirst());
        QVERIFY(
            log.messagesStartingWith(QStringLiteral("Credential store ") + path + QStringLiteral(" cannot be parsed"))
                .constFirst()
                .endsWith(QStringLiteral("; kept it as ") + aside + QStringLiteral(" and started a new one")));

        // A fresh store works, and the kept file is untouched.
        QVERIFY(store.store({QStringLiteral("a"), {}}, "fresh").isOk());
        QCOMPARE(FileSecretBackend(path).lookup({QStringLiteral("a"), {}}).data, QByteArray("fresh"));
        QFile kept(aside);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), content);

        // A second bad file in the same second does not replace the first.
        writeRaw();
        QCOMPARE(store.lookup({QStringLiteral("a"), {}}).status, SecretOutcome::Status::notFound);
        QCOMPARE(asideFiles().size(), 2);
    }

    void writingOneItemKeepsEveryOtherEntry()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("credentials.json"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        // Entries it cannot read stay in the file as they are.
        const QJsonArray unreadable{QJsonObject{{QStringLiteral("service"), QStringLiteral("no-value")}},
                                    QStringLiteral("junk"),
                                    QJsonObject{{QStringLiteral("service"), QStringLiteral("bad-base64")},
                                                {QStringLiteral("value"), QStringLiteral("**not base64**")}}};
        QJsonArray items = unreadable;
        items.append(QJsonObject{{QStringLiteral("service"), QStringLiteral("a")},
                                 {QStringLiteral("value"), QStringLiteral("QQ==")}});
        file.write(QJsonDocument(QJsonObject{{QStringLiteral("items"), items}, {QStringLiteral("note"), 7}}).toJson());
        file.close();

        FileSecretBackend store(path);
        test::LogCapture log;
        QVERIFY(store.store({QStringLiteral("b"), {}}, "B").isOk());
        QVERIFY(store.store({QStringLiteral("c"), QStringLiteral("acct")}, "C").isOk());
        QVERIFY(store.store({QStringLiteral("a"), {}}, "A2").isOk());
        QVERIFY(store.remove({QStringLiteral("b"), {}}).isOk());
        QCOMPARE(store.remove({QStringLiteral("b"), {}}).status, SecretOutcome::Status::notFound);
        QCOMPARE(store.lookup({QStringLiteral("bad-base64"), {}}).status, SecretOutcome::Status::notFound);
        QVERIFY(log.countStartingWith(QStringLiteral("Skipping unreadable entry")) > 0);

        FileSecretBackend reread(path);
        QCOMPARE(reread.lookup({QStringLiteral("a"), {}}).data, QByteArray("A2"));
        QCOMPARE(reread.lookup({QStringLiteral("c"), QStringLiteral("acct")}).data, QByteArray("C"));
        QCOMPARE(reread.lookup({QStringLiteral("c"), {}}).status, SecretOutcome::Status::notFound);
        QFile saved(path);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QJsonObject document = QJsonDocument::fromJson(saved.readAll()).object();
        QCOMPARE(document.value(QStringLiteral("note")).toInt(), 7);
        const QJsonArray kept = document.value(QStringLiteral("items")).toArray();
        for (const QJsonValue &entry : unreadable)
            QVERIFY2(kept.contains(entry), qPrintable(QString::fromUtf8(QJsonDocument(kept).toJson())));
        QCOMPARE(kept.size(), unreadable.size() + 2);
    }

    void theStoreFileIsPrivate()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("new-folder"));
        const QString path = folder + QStringLiteral("/credentials.json");
        FileSecretBackend store(path);
        QVERIFY(store.store({QStringLiteral("a"), {}}, "secret").isOk());
        QCOMPARE(accessBits(path), QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(accessBits(folder), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(store.store({QStringLiteral("b"), {}}, "secret").isOk());
        QCOMPARE(accessBits(path), QFile::ReadOwner | QFile::WriteOwner);

        // A file someone opened up is closed again, and that is said.
        QVERIFY(
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
        test::LogCapture log;
        QCOMPARE(store.lookup({QStringLiteral("a"), {}}).data, QByteArray("secret"));
        QCOMPARE(accessBits(path), QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(
            log.count(
                QtWarningMsg,
                QStringLiteral("Credential store %1 was open to other users; restricted it to its owner").arg(path)),
            1);
    }
};

QTEST_GUILESS_MAIN(TstKeychain)
#include "tst_keychain.moc"
