// The credential store: the Secret Service (the session's real gnome-keyring),
// the private file store, and the manager's migration and failure rules.
#include "keyring/libsecret_backend.h"
#include "log_capture.h"
#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"
#include "platform/secrets/file_secret_backend.h"
#include "platform/secrets/secret_service_module.h"
#include "platform/settings.h"
#include "private_bus.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLockFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>

using namespace halvex;
using halvex::test::PrivateBus;

namespace {

constexpr char kChildVariable[] = "HALVEX_TST_KEYCHAIN_CHILD"; // file store path for the child run
constexpr char kProbeOnlyVariable[] = "HALVEX_TST_KEYCHAIN_PROBE_ONLY";
constexpr char kKeyringChildVariable[] = "HALVEX_TST_KEYCHAIN_KEYRING_CHILD"; // service name for that child
constexpr int kChildCallTimeoutMs = 1000;

// Every test works on services of its own, so runs never see each other.
QString uniqueService(const char *tag)
{
    return appId() + QStringLiteral(".test.") + QLatin1String(tag) + QLatin1Char('.') +
           QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QString credentialsCategory()
{
    return appId() + QStringLiteral(".Credentials");
}

QStringList credentialLines(const test::LogCapture &log)
{
    QStringList out;
    for (const auto &line : log.lines())
        if (line.category == credentialsCategory())
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

// Runs this test program as the child of runChild() in `env` and returns its report.
QJsonObject childRun(const QProcessEnvironment &env)
{
    // The child leaves by std::exit from inside the test run, with the
    // application and its threads still up: what they hold at that moment
    // is no leak, and the parent checks the same code for leaks anyway.
    QProcessEnvironment childEnv = env;
    const QString sanitizer = childEnv.value(QStringLiteral("ASAN_OPTIONS"));
    childEnv.insert(QStringLiteral("ASAN_OPTIONS"), sanitizer.isEmpty()
                                                        ? QStringLiteral("detect_leaks=0")
                                                        : sanitizer + QStringLiteral(":detect_leaks=0"));
    QProcess child;
    child.setProcessEnvironment(childEnv);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {});
    if (!QTest::qWaitFor([&] { return child.state() == QProcess::NotRunning; }, 60000) || child.exitCode() != 0)
        return {};
    return childReport(child);
}

int fileEntryCount(const QString &path, const QString &service)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    int entries = 0;
    const QJsonArray items = QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("items")).toArray();
    for (const QJsonValue &item : items)
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

// What a load gave, as one comparable text: the value, "<none>", or the error.
QString loadText(CredentialStore &credentials, const QString &service)
{
    const Result<std::optional<QString>> loaded = credentials.load(service);
    if (!loaded)
        return QStringLiteral("<error: ") + loaded.error().description() + QLatin1Char('>');
    return loaded.value() ? *loaded.value() : QStringLiteral("<none>");
}

// True when the store answered that no such item exists.
bool isMissing(const SecretLookup &found)
{
    return found && !found.value();
}

QByteArray bytesOf(const SecretLookup &found)
{
    return found && found.value() ? *found.value() : QByteArray("<nothing>");
}

// A backend whose stores fail while its deletions work: shows that a failed
// save does not take the previous value with it.
class StoreRefusingBackend : public MemorySecretBackend
{
public:
    Result<Done> store(const SecretItemKey &, const QByteArray &) override
    {
        return Error::plain(QStringLiteral("disk full"), 5);
    }
};

// A store that takes writes but cannot read them back: a migration into it
// is never verified.
class UnreadableBackend : public MemorySecretBackend
{
public:
    SecretLookup lookup(const SecretItemKey &) override { return Error::plain(QStringLiteral("locked"), 9); }
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
    auto credentials = CredentialStore::createDefault(path);
    QJsonObject report;
    report.insert(QStringLiteral("primary"), credentials->primary()->name());
    report.insert(QStringLiteral("hasOlder"), credentials->older() != nullptr);
    report.insert(QStringLiteral("moduleProblem"), SecretServiceModule::problem());
    if (!qEnvironmentVariableIsSet(kProbeOnlyVariable)) {
        report.insert(QStringLiteral("saved"),
                      credentials->save(CredentialService::bridge(), QStringLiteral("headless")).ok());
        report.insert(QStringLiteral("loaded"), loadText(*credentials, CredentialService::bridge()));
    }
    report.insert(
        QStringLiteral("warnings"),
        log.count(QtWarningMsg, QStringLiteral("No Secret Service available — keeping credentials in ") + path));
    credentials.reset();
    std::fputs(QJsonDocument(report).toJson(QJsonDocument::Compact).constData(), stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
    return 0;
}

// The keyring child: stores an item in the Secret Service of its session,
// then, for every line on standard input, looks it up once and reports what
// it got and how long the call held the thread, as one JSON line.
int runKeyringChild()
{
    const QString service = qEnvironmentVariable(kKeyringChildVariable);
    LibsecretBackend::Timings timings;
    timings.callTimeout = std::chrono::milliseconds(kChildCallTimeoutMs);
    LibsecretBackend backend(timings);
    const auto report = [](const QJsonObject &object) {
        std::fputs(QJsonDocument(object).toJson(QJsonDocument::Compact).constData(), stdout);
        std::fputs("\n", stdout);
        std::fflush(stdout);
    };
    const Result<Done> stored = backend.store({service, {}}, "v1");
    report({{QStringLiteral("stored"), stored.ok()}});
    char line[64];
    while (std::fgets(line, sizeof line, stdin)) {
        QElapsedTimer clock;
        clock.start();
        const SecretLookup found = backend.lookup({service, {}});
        report({{QStringLiteral("value"), QString::fromUtf8(bytesOf(found))},
                {QStringLiteral("error"), found ? QString() : found.error().description()},
                {QStringLiteral("ms"), double(clock.elapsed())}});
    }
    return 0;
}

} // namespace

class TstCredentialStore : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariableIsSet(kChildVariable))
            std::exit(runChild());
        if (qEnvironmentVariableIsSet(kKeyringChildVariable))
            std::exit(runKeyringChild());
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
        QVERIFY(older.store({service, {}}, "older-token"));

        CredentialStore credentials(std::make_unique<LibsecretBackend>(), std::make_unique<FileSecretBackend>(path));
        test::LogCapture log;
        QCOMPARE(loadText(credentials, service), QStringLiteral("older-token"));
        QCOMPARE(credentialLines(log), QStringList{QStringLiteral("Migrating credential item for ") + service});
        // It now lives in the Secret Service.
        QCOMPARE(secretTool({QStringLiteral("lookup"), QStringLiteral("service"), service}).output, "older-token");
        // A verified migration removes the plaintext copy from the file store.
        QVERIFY(isMissing(older.lookup({service, {}})));

        log.clear();
        QCOMPARE(loadText(credentials, service), QStringLiteral("older-token"));
        QCOMPARE(credentialLines(log), QStringList());
        QVERIFY(credentials.deleteItem(service));
    }

    void aFailedMigrationSaveStillReturnsTheValueAndRetries()
    {
        auto *primary = new MemorySecretBackend;
        auto *older = new MemorySecretBackend;
        const QString service = uniqueService("retry");
        QVERIFY(older->store({service, {}}, "kept"));
        primary->setFailWrites(true);
        CredentialStore credentials{std::unique_ptr<SecretBackend>(primary), std::unique_ptr<SecretBackend>(older)};
        test::LogCapture log;
        const QString migrating = QStringLiteral("Migrating credential item for ") + service;

        QCOMPARE(loadText(credentials, service), QStringLiteral("kept"));
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("Credential save failed for %1: -1").arg(service)), 1);
        QCOMPARE(loadText(credentials, service), QStringLiteral("kept"));
        QCOMPARE(log.count(migrating), 2);

        primary->setFailWrites(false);
        QCOMPARE(loadText(credentials, service), QStringLiteral("kept"));
        QCOMPARE(loadText(credentials, service), QStringLiteral("kept"));
        QCOMPARE(log.count(migrating), 3);
        QCOMPARE(primary->items().value({service, {}}), QByteArray("kept"));
        // Only the verified migration took the older copy away.
        QVERIFY(!older->items().contains({service, {}}));
    }

    void anUnverifiedMigrationKeepsTheOlderCopy()
    {
        // The primary store takes the write but cannot show it back: the
        // plaintext copy is all there is, so it stays.
        auto *primary = new UnreadableBackend;
        auto *older = new MemorySecretBackend;
        const QString service = uniqueService("unverified");
        QVERIFY(older->store({service, {}}, "only-copy"));
        CredentialStore credentials{std::unique_ptr<SecretBackend>(primary), std::unique_ptr<SecretBackend>(older)};
        QCOMPARE(loadText(credentials, service), QStringLiteral("only-copy"));
        QCOMPARE(older->items().value({service, {}}), QByteArray("only-copy"));
    }

    void everyItemMovesWholeOrNotAtAll()
    {
        // The device key (bytes) left in the file store moves over like a
        // string does, and its plaintext copy goes only once read back.
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("credentials.json"));
        const SecretItemKey deviceKey{CredentialService::openClawDeviceKey(),
                                      QString::fromLatin1(CredentialService::deviceKeyAccount)};
        const SecretItemKey relay{CredentialService::relay(), {}};
        QVERIFY(FileSecretBackend(path).store(deviceKey, binaryKey()));
        QVERIFY(FileSecretBackend(path).store(relay, "relay-token"));
        auto *primary = new MemorySecretBackend;
        CredentialStore credentials{std::unique_ptr<SecretBackend>(primary), std::make_unique<FileSecretBackend>(path)};
        QCOMPARE(bytesOf(credentials.loadData(deviceKey.service, deviceKey.account)), binaryKey());
        QCOMPARE(primary->items().value(deviceKey), binaryKey());
        QVERIFY(isMissing(FileSecretBackend(path).lookup(deviceKey)));

        // Which item is where.
        QHash<QString, QPair<QString, QString>> places;
        for (const auto &place : credentials.itemPlaces())
            places.insert(place.label, {place.primary, place.older});
        QCOMPARE(places.value(QStringLiteral("device key")),
                 qMakePair(QStringLiteral("stored"), QStringLiteral("none")));
        QCOMPARE(places.value(QStringLiteral("relay session token")),
                 qMakePair(QStringLiteral("none"), QStringLiteral("stored")));

        // A store that refuses a write takes nothing away from the others.
        QVERIFY(!credentials.moveItemsInto(std::make_unique<StoreRefusingBackend>()));
        QCOMPARE(credentials.primary(), primary);
        QCOMPARE(primary->items().value(deviceKey), binaryKey());
        QCOMPARE(bytesOf(FileSecretBackend(path).lookup(relay)), QByteArray("relay-token"));

        // A store that takes them all gets them all, and the old copies go.
        auto *target = new MemorySecretBackend;
        QVERIFY(credentials.moveItemsInto(std::unique_ptr<SecretBackend>(target)));
        QCOMPARE(credentials.primary(), target);
        QCOMPARE(target->items().value(deviceKey), binaryKey());
        QCOMPARE(target->items().value(relay), QByteArray("relay-token"));
        QVERIFY(isMissing(FileSecretBackend(path).lookup(relay)));
    }

    void bytesThatAreNotTextAreAnError_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("invalid bytes") << QByteArray("\xff\xfe");
        QTest::newRow("a sequence cut short") << QByteArray("token\xc3");
        QTest::newRow("an overlong form") << QByteArray("\xc0\xaf");
    }
    void bytesThatAreNotTextAreAnError()
    {
        QFETCH(QByteArray, bytes);
        auto *primary = new MemorySecretBackend;
        auto *older = new MemorySecretBackend;
        const QString service = uniqueService("garbled");
        QVERIFY(primary->store({service, {}}, bytes));
        QVERIFY(older->store({service, {}}, "\xc3\x28"));
        CredentialStore credentials{std::unique_ptr<SecretBackend>(primary), std::unique_ptr<SecretBackend>(older)};
        test::LogCapture log;
        QVERIFY(loadText(credentials, service).startsWith(QStringLiteral("<error: ")));
        QCOMPARE(log.countStartingWith(QStringLiteral("Migrating")), 0);
        // Nothing was written over the unreadable item.
        QCOMPARE(primary->items().value({service, {}}), bytes);
    }

    void aSecretThatStartsWithAByteOrderMarkLoadsWhole()
    {
        // Found by fuzzing: the leading U+FEFF was taken for a marker and
        // dropped, so the value loaded was not the value saved.
        auto *primary = new MemorySecretBackend;
        auto *older = new MemorySecretBackend;
        const QString service = uniqueService("bom");
        const QString secret = QChar(0xFEFF) + QStringLiteral("token");
        QVERIFY(older->store({service, {}}, secret.toUtf8()));
        CredentialStore credentials{std::unique_ptr<SecretBackend>(primary), std::unique_ptr<SecretBackend>(older)};
        // Migrated from the older store and read back from the primary one.
        QCOMPARE(loadText(credentials, service), secret);
        QCOMPARE(primary->items().value({service, {}}), QByteArray("\xEF\xBB\xBFtoken"));
        QVERIFY(!older->items().contains({service, {}}));
        QCOMPARE(loadText(credentials, service), secret);
    }

    void aStoreThatWentAwayIsAnErrorNotAMissingItem()
    {
        auto *primary = new MemorySecretBackend;
        const QString service = uniqueService("gone");
        QVERIFY(primary->store({service, {}}, "token"));
        primary->setUnavailable(true);
        CredentialStore credentials{std::unique_ptr<SecretBackend>(primary), std::make_unique<MemorySecretBackend>()};
        const Result<std::optional<QString>> loaded = credentials.load(service);
        QVERIFY(!loaded);
        QCOMPARE(loaded.error().description(), QStringLiteral("The store is not available"));
        QVERIFY(!credentials.save(service, QStringLiteral("next")));
        QVERIFY(!credentials.deleteItem(service));
        QVERIFY(!credentials.loadData(service, QStringLiteral("acct")));

        // Back again: nothing was lost meanwhile.
        primary->setUnavailable(false);
        QCOMPARE(loadText(credentials, service), QStringLiteral("token"));
    }

    // --- Saving, reading, deleting, in both real stores ---------------------

    void twoSavesLeaveOneItemWithTheSecondValue_data() { addBackendRows(); }
    void twoSavesLeaveOneItemWithTheSecondValue()
    {
        QFETCH(QString, backend);
        QTemporaryDir dir;
        CredentialStore credentials(makeBackend(backend, dir));
        const QString service = uniqueService("twice");
        QVERIFY(credentials.save(service, QStringLiteral("first")));
        QVERIFY(credentials.save(service, QStringLiteral("second ✓")));
        QCOMPARE(loadText(credentials, service), QStringLiteral("second ✓"));
        if (backend == QLatin1String("secret-service"))
            QCOMPARE(secretServiceItemCount(service), 1);
        else
            QCOMPARE(fileEntryCount(dir.filePath(QStringLiteral("credentials.json")), service), 1);
        QVERIFY(credentials.deleteItem(service));
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
        CredentialStore credentials(std::make_unique<LibsecretBackend>());
        QVERIFY(credentials.save(service, QStringLiteral("fresh")));
        QCOMPARE(secretServiceItemCount(service), 1);
        QCOMPARE(secretTool({QStringLiteral("lookup"), QStringLiteral("service"), service}).output, "fresh");
        QVERIFY(credentials.deleteItem(service));
        QCOMPARE(secretServiceItemCount(service), 0);
    }

    void deletingSucceedsWhenTheItemIsGone_data() { addBackendRows(); }
    void deletingSucceedsWhenTheItemIsGone()
    {
        QFETCH(QString, backend);
        QTemporaryDir dir;
        const QString olderPath = dir.filePath(QStringLiteral("older.json"));
        CredentialStore credentials(makeBackend(backend, dir), std::make_unique<FileSecretBackend>(olderPath));
        const QString service = uniqueService("delete");
        QVERIFY(credentials.deleteItem(service));

        // An item in both stores is removed from both.
        QVERIFY(credentials.save(service, QStringLiteral("value")));
        QVERIFY(FileSecretBackend(olderPath).store({service, {}}, "old"));
        QVERIFY(credentials.deleteItem(service));
        QCOMPARE(loadText(credentials, service), QStringLiteral("<none>"));
        QVERIFY(isMissing(FileSecretBackend(olderPath).lookup({service, {}})));
        QVERIFY(credentials.deleteItem(service));
    }

    void aDeletionThatFailsIsNotReportedAsSuccess()
    {
        auto *primary = new MemorySecretBackend;
        const QString service = uniqueService("stuck");
        QVERIFY(primary->store({service, {}}, "still here"));
        primary->setFailWrites(true);
        CredentialStore credentials{std::unique_ptr<SecretBackend>(primary), std::make_unique<MemorySecretBackend>()};
        QVERIFY(!credentials.deleteItem(service));
        QCOMPARE(loadText(credentials, service), QStringLiteral("still here"));
    }

    void anEmptyStringReadsBackAsAnEmptyString_data() { addBackendRows(); }
    void anEmptyStringReadsBackAsAnEmptyString()
    {
        QFETCH(QString, backend);
        QTemporaryDir dir;
        CredentialStore credentials(makeBackend(backend, dir));
        const QString service = uniqueService("empty");
        QVERIFY(credentials.save(service, QString()));
        const Result<std::optional<QString>> loaded = credentials.load(service);
        QVERIFY(loaded && loaded.value());
        QCOMPARE(*loaded.value(), QString());
        QVERIFY(credentials.deleteItem(service));
    }

    void binaryValuesRoundTripExactly_data() { addBackendRows(); }
    void binaryValuesRoundTripExactly()
    {
        QFETCH(QString, backend);
        QTemporaryDir dir;
        CredentialStore credentials(makeBackend(backend, dir));
        const QString service = uniqueService("device-key");
        const QString account = QString::fromLatin1(CredentialService::deviceKeyAccount);
        const QByteArray key = binaryKey();

        QVERIFY(credentials.saveData(service, account, key));
        QCOMPARE(bytesOf(credentials.loadData(service, account)), key);
        // The keyed item is not the plain one of the same service.
        QCOMPARE(loadText(credentials, service), QStringLiteral("<none>"));

        // A plain item beside it is independent of it.
        QVERIFY(credentials.save(service, QStringLiteral("token")));
        QCOMPARE(loadText(credentials, service), QStringLiteral("token"));
        QCOMPARE(bytesOf(credentials.loadData(service, account)), key);
        QVERIFY(credentials.deleteItem(service));
        QCOMPARE(bytesOf(credentials.loadData(service, account)), key);

        // Binary bytes where text is expected are an error, not a value.
        QVERIFY(credentials.saveData(service, {}, key));
        QCOMPARE(bytesOf(credentials.loadData(service, {})), key);
        QVERIFY(loadText(credentials, service).startsWith(QStringLiteral("<error: ")));

        QVERIFY(credentials.deleteData(service, account));
        QVERIFY(credentials.deleteData(service, {}));
        QVERIFY(isMissing(credentials.loadData(service, account)));
    }

    void theBridgeTokenIsFoundBySecretTool()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("credentials.json"));
        test::LogCapture log;
        auto credentials = CredentialStore::createDefault(path);
        QCOMPARE(credentials->primary()->name(), QStringLiteral("secret-service"));
        QVERIFY(credentials->older());
        QVERIFY(!credentialLines(log).join(QLatin1Char('\n')).contains(QLatin1String("No Secret Service")));

        const QString token = QStringLiteral("bridge-token-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
        QVERIFY(credentials->save(CredentialService::bridge(), token));
        const ToolResult found =
            secretTool({QStringLiteral("lookup"), QStringLiteral("service"), appId() + QStringLiteral(".bridge")});
        QCOMPARE(found.exitCode, 0);
        QCOMPARE(found.output, token.toUtf8());
        QVERIFY(!QFile::exists(path)); // nothing went to the file store

        QVERIFY(credentials->deleteItem(CredentialService::bridge()));
        QCOMPARE(secretTool({QStringLiteral("lookup"), QStringLiteral("service"), CredentialService::bridge()}).output,
                 QByteArray());
    }

    // --- Failures -----------------------------------------------------------

    void aFailedSaveIsLoggedAndReportedFalse()
    {
        auto *memory = new MemorySecretBackend;
        CredentialStore credentials{std::unique_ptr<SecretBackend>(memory)};
        const QString service = uniqueService("refused");
        memory->setFailWrites(true);
        test::LogCapture log;
        QVERIFY(!credentials.save(service, QStringLiteral("lost?")));
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("Credential save failed for %1: -1").arg(service)), 1);
        QCOMPARE(loadText(credentials, service), QStringLiteral("<none>"));
    }

    void aFailedSaveKeepsThePreviousValue()
    {
        auto *backend = new StoreRefusingBackend;
        const QString service = uniqueService("keep");
        QVERIFY(backend->MemorySecretBackend::store({service, {}}, "previous"));
        CredentialStore credentials{std::unique_ptr<SecretBackend>(backend)};
        test::LogCapture log;
        QVERIFY(!credentials.save(service, QStringLiteral("next")));
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("Credential save failed for %1: 5").arg(service)), 1);
        QCOMPARE(loadText(credentials, service), QStringLiteral("previous"));
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
        // The session's working Secret Service, but the module that speaks
        // to it is damaged: the file store serves instead.
        QTest::newRow("Secret Service module unusable") << QStringLiteral("broken-module");
    }
    void withoutASecretServiceTheFileStoreServes()
    {
        QFETCH(QString, situation);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("config/credentials.json"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(kChildVariable), path);
        // The choice is remembered per user: each row is a user of its own.
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config-home")));
        const QProcessEnvironment firstEnv = env;
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
        } else if (situation == QLatin1String("broken-module")) {
            QFile module(dir.filePath(QString::fromLatin1(SecretServiceModule::fileName)));
            QVERIFY(module.open(QIODevice::WriteOnly));
            module.write("not a shared object");
            module.close();
            env.insert(QStringLiteral("HALVEX_MODULE_DIR"), dir.path());
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

        const QJsonObject report = childRun(env);
        QCOMPARE(report.value(QStringLiteral("primary")).toString(), QStringLiteral("file"));
        QCOMPARE(report.value(QStringLiteral("hasOlder")).toBool(), false);
        // Only a damaged module is a problem of its own (the doctor names it).
        QCOMPARE(report.value(QStringLiteral("moduleProblem"))
                     .toString()
                     .contains(QLatin1String(SecretServiceModule::fileName)),
                 situation == QLatin1String("broken-module"));
        QCOMPARE(report.value(QStringLiteral("warnings")).toInt(), 1);
        QCOMPARE(report.value(QStringLiteral("saved")).toBool(), true);
        QCOMPARE(report.value(QStringLiteral("loaded")).toString(), QStringLiteral("headless"));

        // The token really is in the private file.
        QCOMPARE(bytesOf(FileSecretBackend(path).lookup({CredentialService::bridge(), {}})), QByteArray("headless"));
        QCOMPARE(accessBits(path), QFile::ReadOwner | QFile::WriteOwner);

        // The same user later, where the session's Secret Service answers
        // (the desktop, after the service chose): the same store, the same token.
        if (situation == QLatin1String("broken-module"))
            return;
        const QJsonObject later = childRun(firstEnv);
        QCOMPARE(later.value(QStringLiteral("primary")).toString(), QStringLiteral("file"));
        QCOMPARE(later.value(QStringLiteral("loaded")).toString(), QStringLiteral("headless"));
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
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config-home")));
        env.insert(QString::fromLatin1(kProbeOnlyVariable), QStringLiteral("1"));
        env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":99"));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address());
        const QJsonObject report = childRun(env);
        QCOMPARE(report.value(QStringLiteral("primary")).toString(), QStringLiteral("secret-service"));
        QCOMPARE(report.value(QStringLiteral("hasOlder")).toBool(), true);
        QCOMPARE(report.value(QStringLiteral("warnings")).toInt(), 0);

        // The same user as a service with no Secret Service in reach: an
        // error to report, never a second store with a second device key.
        env.remove(QString::fromLatin1(kProbeOnlyVariable));
        env.remove(QStringLiteral("DISPLAY"));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                   QStringLiteral("unix:path=") + dir.filePath(QStringLiteral("no-bus")));
        const QJsonObject service = childRun(env);
        QCOMPARE(service.value(QStringLiteral("primary")).toString(), QStringLiteral("secret-service"));
        QCOMPARE(service.value(QStringLiteral("saved")).toBool(), false);
        QVERIFY(service.value(QStringLiteral("loaded")).toString().startsWith(QStringLiteral("<error: ")));
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("credentials.json"))));
    }

    // --- A keyring that hangs, goes away or is locked -----------------------

    void aKeyringInTroubleCostsABoundedWaitAndAnError_data()
    {
        QTest::addColumn<QString>("trouble");
        QTest::newRow("hangs") << QStringLiteral("hangs");
        QTest::newRow("goes away and comes back") << QStringLiteral("goes away");
        // Nobody can answer the unlock prompt on this bus (no prompter).
        QTest::newRow("is locked, nobody to unlock it") << QStringLiteral("locked");
    }
    void aKeyringInTroubleCostsABoundedWaitAndAnError()
    {
        QFETCH(QString, trouble);
        QTemporaryDir dir;
        PrivateBus bus(dir.path());
        QVERIFY(bus.start());
        QVERIFY(bus.startEmptyKeyring(true));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(kKeyringChildVariable), uniqueService("trouble"));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address());
        QProcess child;
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), {});
        // The next JSON line; Qt Test's own lines come first.
        const auto nextReport = [&] {
            while (QTest::qWaitFor([&] { return child.canReadLine(); }, 60000)) {
                const QJsonDocument line = QJsonDocument::fromJson(child.readLine());
                if (line.isObject())
                    return line.object();
            }
            return QJsonObject();
        };
        QCOMPARE(nextReport().value(QStringLiteral("stored")).toBool(), true);
        child.write("lookup\n");
        QCOMPARE(nextReport().value(QStringLiteral("value")).toString(), QStringLiteral("v1"));

        if (trouble == QLatin1String("hangs"))
            QCOMPARE(::kill(pid_t(bus.keyringPid()), SIGSTOP), 0);
        else if (trouble == QLatin1String("locked"))
            QVERIFY(bus.lockLoginKeyring());
        else
            bus.stopKeyring();
        child.write("lookup\n");
        const QJsonObject troubled = nextReport();
        // An error with a reason, never "nothing stored", and the call came
        // back (the figure is printed, not asserted).
        QVERIFY2(!troubled.value(QStringLiteral("error")).toString().isEmpty(),
                 QJsonDocument(troubled).toJson().constData());
        QCOMPARE(troubled.value(QStringLiteral("value")).toString(), QStringLiteral("<nothing>"));
        qInfo("Secret Service lookup while the keyring %s held the thread %.0f ms (time limit %d ms)",
              qPrintable(trouble), troubled.value(QStringLiteral("ms")).toDouble(), kChildCallTimeoutMs);

        // Once the keyring is back, the next call connects afresh and finds
        // the item where it was.
        if (trouble == QLatin1String("locked")) {
            child.closeWriteChannel();
            QVERIFY(QTest::qWaitFor([&] { return child.state() == QProcess::NotRunning; }, 60000));
            return;
        }
        if (trouble == QLatin1String("hangs"))
            QCOMPARE(::kill(pid_t(bus.keyringPid()), SIGCONT), 0);
        else
            QVERIFY(bus.startEmptyKeyring(true));
        child.write("lookup\n");
        QCOMPARE(nextReport().value(QStringLiteral("value")).toString(), QStringLiteral("v1"));
        child.closeWriteChannel();
        QVERIFY(QTest::qWaitFor([&] { return child.state() == QProcess::NotRunning; }, 60000));
    }

    void secretServiceCallTimesArePrinted()
    {
        // Figures for the time a call holds the event loop on a healthy
        // keyring (printed, never asserted).
        LibsecretBackend backend;
        const QString service = uniqueService("timing");
        QList<qint64> stores, lookups;
        for (int i = 0; i < 20; ++i) {
            QElapsedTimer clock;
            clock.start();
            QVERIFY(backend.store({service, {}}, QByteArray::number(i)));
            stores << clock.restart();
            QCOMPARE(bytesOf(backend.lookup({service, {}})), QByteArray::number(i));
            lookups << clock.elapsed();
        }
        QVERIFY(backend.remove({service, {}}));
        const auto figures = [](QList<qint64> ms) {
            std::sort(ms.begin(), ms.end());
            return QStringLiteral("median %1 ms, max %2 ms").arg(ms.at(ms.size() / 2)).arg(ms.constLast());
        };
        qInfo("Secret Service store: %s; lookup: %s", qPrintable(figures(stores)), qPrintable(figures(lookups)));
    }

    // --- The file store never loses data ------------------------------------

    void aDamagedStoreIsAnErrorUntilWhatItHeldIsBack_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QStringList>("readable"); // the entries recovery brings back
        const QString name = QStringLiteral("credentials.json");
        QTest::newRow("not JSON") << QByteArray("{\"items\": [ ") + QByteArray(1, '\0') + QByteArray("\xff garbage")
                                  << name << QStringList();
        QTest::newRow("one byte missing between entries")
            << QByteArray("{\"items\": [{\"service\": \"a\", \"value\": \"QQ==\"}\n"
                          "{\"service\": \"k\", \"account\": \"x\", \"value\": \"AP8=\"}]}")
            << name << QStringList{QStringLiteral("a"), QStringLiteral("k")};
        QTest::newRow("a list, not an object")
            << QByteArray("[{\"service\":\"a\",\"value\":\"QQ==\"}]") << name << QStringList{QStringLiteral("a")};
        QTest::newRow("items not a list") << QByteArray("{\"items\": {\"a\": \"QQ==\"}}") << name << QStringList();
        // The copies are found by the store's name, which is no pattern.
        QTest::newRow("wildcards in the store's name")
            << QByteArray("{\"service\":\"a\",\"value\":\"QQ==\"} not JSON") << QStringLiteral("creds [1]*?.json")
            << QStringList{QStringLiteral("a")};
        // Each brace opens a candidate entry; the scan stays linear.
        QTest::newRow("400 KB of unclosed braces before the entries")
            << QByteArray(400 * 1024, '{') + "{\"service\": \"a\", \"value\": \"QQ==\"}" + QByteArray(1000, '}') +
                   QByteArray(1000, '{') + "{\"service\": \"k\", \"account\": \"x\", \"value\": \"AP8=\"}"
            << name << QStringList{QStringLiteral("a"), QStringLiteral("k")};
        QTest::newRow("a hidden store") << QByteArray("not JSON") << QStringLiteral(".credentials.json")
                                        << QStringList();
    }
    void aDamagedStoreIsAnErrorUntilWhatItHeldIsBack()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, fileName);
        QFETCH(QStringList, readable);
        QTemporaryDir dir;
        const QString path = dir.filePath(fileName);
        const auto writeRaw = [&] {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        };
        const auto asideFiles = [&] {
            QStringList names = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
            names.removeIf(
                [&](const QString &name) { return !name.startsWith(fileName + QStringLiteral(".corrupt-")); });
            return names;
        };
        const SecretItemKey a{QStringLiteral("a"), {}};
        const SecretItemKey deviceKey{CredentialService::openClawDeviceKey(),
                                      QString::fromLatin1(CredentialService::deviceKeyAccount)};
        writeRaw();
        auto *file = new FileSecretBackend(path);
        CredentialStore credentials{std::unique_ptr<SecretBackend>(file)};

        // Never "nothing stored": the read fails, and keeps failing for
        // items the new store lacks, so no device key is made anew.
        const SecretLookup first = file->lookup(a);
        QVERIFY(!first);
        QCOMPARE(first.error().code(), FileSecretBackend::setAsideCode);
        QVERIFY(!credentials.loadData(deviceKey.service, deviceKey.account));
        QCOMPARE(asideFiles().size(), 1);
        const QString aside = dir.filePath(asideFiles().constFirst());
        QVERIFY(first.error().description().contains(aside));
        // The kept copy may hold secrets: it is as private as the store, and
        // holds exactly what was there.
        QCOMPARE(accessBits(aside), QFile::ReadOwner | QFile::WriteOwner);
        QFile kept(aside);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), content);
        kept.close();

        // A second bad file in the same second does not replace the first.
        writeRaw();
        QVERIFY(!file->lookup(a));
        QCOMPARE(asideFiles().size(), 2);

        // Signing in again works; the copies stay while they hold what the
        // store does not.
        QVERIFY(file->store({QStringLiteral("fresh"), {}}, "F"));
        QCOMPARE(bytesOf(file->lookup({QStringLiteral("fresh"), {}})), QByteArray("F"));
        QCOMPARE(asideFiles().isEmpty(), readable.isEmpty());

        // Recovery puts back what can be read, and then the copies go.
        const Result<FileSecretBackend::Recovery> recovery =
            credentials.withStores<Result<FileSecretBackend::Recovery>>([file] { return file->recoverSetAside(); });
        QVERIFY(recovery);
        QStringList restored;
        for (const SecretItemKey &key : recovery->restored)
            restored << key.service;
        QCOMPARE(restored, readable);
        QCOMPARE(asideFiles(), QStringList());
        QCOMPARE(bytesOf(file->lookup(a)), readable.contains(QStringLiteral("a")) ? QByteArray("A") : "<nothing>");
        QVERIFY(isMissing(file->lookup({QStringLiteral("b"), {}})));
        QCOMPARE(bytesOf(FileSecretBackend(path).lookup({QStringLiteral("fresh"), {}})), QByteArray("F"));
    }

    void aWriteDoesNotWaitLongForAnotherWritersLock()
    {
        // Another writer holds the lock and does not let go: the write gives
        // up after its short wait, reports why, and the store is unchanged.
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("credentials.json"));
        FileSecretBackend::Timings timings;
        timings.lockWait = std::chrono::milliseconds(50);
        FileSecretBackend store(path, timings);
        QVERIFY(store.store({QStringLiteral("a"), {}}, "before"));

        QLockFile other(path + QStringLiteral(".lock"));
        QVERIFY(other.tryLock(10000));
        const Result<Done> blocked = store.store({QStringLiteral("a"), {}}, "after");
        QVERIFY(!blocked);
        QVERIFY(blocked.error().description().contains(QStringLiteral("locked")));
        QCOMPARE(bytesOf(store.lookup({QStringLiteral("a"), {}})), QByteArray("before"));
        other.unlock();
        QVERIFY(store.store({QStringLiteral("a"), {}}, "after"));
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
        QVERIFY(store.store({QStringLiteral("b"), {}}, "B"));
        QVERIFY(store.store({QStringLiteral("c"), QStringLiteral("acct")}, "C"));
        QVERIFY(store.store({QStringLiteral("a"), {}}, "A2"));
        QVERIFY(store.remove({QStringLiteral("b"), {}}));
        QVERIFY(store.remove({QStringLiteral("b"), {}})); // nothing there: still gone
        QVERIFY(isMissing(store.lookup({QStringLiteral("bad-base64"), {}})));
        QVERIFY(log.countStartingWith(QStringLiteral("Skipping unreadable entry")) > 0);

        FileSecretBackend reread(path);
        QCOMPARE(bytesOf(reread.lookup({QStringLiteral("a"), {}})), QByteArray("A2"));
        QCOMPARE(bytesOf(reread.lookup({QStringLiteral("c"), QStringLiteral("acct")})), QByteArray("C"));
        QVERIFY(isMissing(reread.lookup({QStringLiteral("c"), {}})));
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
        QVERIFY(store.store({QStringLiteral("a"), {}}, "secret"));
        QCOMPARE(accessBits(path), QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(accessBits(folder), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(store.store({QStringLiteral("b"), {}}, "secret"));
        QCOMPARE(accessBits(path), QFile::ReadOwner | QFile::WriteOwner);

        // A file someone opened up is closed again, and that is said.
        QVERIFY(
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
        test::LogCapture log;
        QCOMPARE(bytesOf(store.lookup({QStringLiteral("a"), {}})), QByteArray("secret"));
        QCOMPARE(accessBits(path), QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(
            log.count(
                QtWarningMsg,
                QStringLiteral("Credential store %1 was open to other users; restricted it to its owner").arg(path)),
            1);
    }
};

QTEST_GUILESS_MAIN(TstCredentialStore)
#include "tst_credential_store.moc"
