// The terminal face of the account and pairing, driven as a user would:
// halvex-bridge login / pair / pair CODE / logout / status run as separate
// processes against the relay account stand-in, with a scratch home (the
// credentials land in the private file store there). The printed QR code is
// drawn as a screen would show it and read back with zbarimg.
#include "program_run.h"
#include "qr_reader.h"
#include "relay_account_stand_in.h"
#include "relay_stand_in.h"

#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"
#include "platform/secrets/file_secret_backend.h"
#include "platform/session/process_runner.h"
#include "platform/session/single_instance.h"
#include "platform/settings.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <qcoro/qcorotask.h>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

using namespace halvex;
using namespace halvex::test;

namespace {

const QString kEmail = QStringLiteral("ada@example.org");
const QString kPassword = QStringLiteral("correct horse");

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

} // namespace

class TestCliPairing : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;
    RelayStandIn m_relay;
    RelayAccountStandIn m_account;

    QString configDir() const { return m_home.filePath(QStringLiteral(".config/")) + appId(); }
    QString runtimeDir() const { return m_home.filePath(QStringLiteral("run")); }
    QString instanceName() const
    {
        return runtimeDir() + QLatin1Char('/') + appId() + QLatin1Char('.') + QString::number(::getuid()) +
               QStringLiteral(".instance");
    }

    QStringList environment() const
    {
        return {QStringLiteral("HOME=") + m_home.path(),
                QStringLiteral("XDG_CONFIG_HOME=") + m_home.filePath(QStringLiteral(".config")),
                QStringLiteral("XDG_RUNTIME_DIR=") + runtimeDir(),
                // No Secret Service: the credentials go to the file store in the scratch home.
                QStringLiteral("DBUS_SESSION_BUS_ADDRESS="),
                QStringLiteral("HALVEX_RELAY_ORIGIN=") + m_account.origin().toString(),
                QStringLiteral("HALVEX_RELAY_WS_ORIGIN=") + m_relay.origin().toString(),
                QStringLiteral("QT_LOGGING_RULES=*.debug=false")};
    }

    Run run(const QStringList &arguments, const QByteArray &input = {}, const QStringList &extra = {})
    {
        const ProgramRun done =
            runProgram(QStringLiteral(HALVEX_BRIDGE_EXECUTABLE), arguments, environment() + extra, input);
        return {done.exitCode, done.out, done.err};
    }

    std::optional<QString> stored(const QString &service) const
    {
        CredentialStore credentials(
            std::make_unique<FileSecretBackend>(configDir() + QStringLiteral("/credentials.json")));
        return credentials.load(service).valueOr(std::nullopt);
    }

    std::optional<QString> setting(const char *key) const
    {
        return Settings(configDir() + QStringLiteral("/settings.conf")).string(key);
    }

    // The QR block of the printed text: the lines before the first line of words.
    static QString qrBlock(const QString &out) { return out.left(out.indexOf(QStringLiteral("Scan with"))); }

private Q_SLOTS:
    void initTestCase()
    {
        if (!QFile::exists(QStringLiteral(HALVEX_BRIDGE_EXECUTABLE)))
            QSKIP("halvex-bridge is not built");
        if (!relayInsecure())
            QSKIP("the relay origin can only be overridden in HALVEX_RELAY_INSECURE builds");
        QVERIFY(QDir().mkpath(runtimeDir()));
        QVERIFY(QFile::setPermissions(runtimeDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(m_relay.start());
        QVERIFY(m_account.listen());
        m_account.attachRelay(&m_relay);
    }

    // Sign-up and sign-in with the answers on standard input; nothing is
    // kept from a failed attempt.
    void loginFromStandardInput()
    {
        Run before = run({QStringLiteral("status")});
        QCOMPARE(before.exitCode, 1);
        QVERIFY2(before.out.contains(QStringLiteral("Relay: not signed in")), qPrintable(before.out));
        QVERIFY(before.out.contains(QStringLiteral("Pairing: not paired")));
        // One line each, after the word that no bridge runs in this session.
        QVERIFY(before.out.startsWith(QLatin1String("Bridge: not running")));
        QCOMPARE(before.out.count(QLatin1Char('\n')), 4);

        Run refused = run({QStringLiteral("pair")});
        QCOMPARE(refused.exitCode, 1);
        QVERIFY(refused.err.contains(QStringLiteral("Not signed in — go back and sign in first")));
        QCOMPARE(m_account.http().requestCount(), 0);

        Run unknown =
            run({QStringLiteral("login")}, (kEmail + QLatin1Char('\n') + kPassword + QLatin1Char('\n')).toUtf8());
        QCOMPARE(unknown.exitCode, 1);
        QVERIFY2(unknown.err.contains(QStringLiteral("Invalid email or password")), qPrintable(unknown.err));
        QVERIFY(!stored(CredentialService::relay()));
        QVERIFY(!setting(SettingsKey::accountEmail));

        Run created = run({QStringLiteral("login"), QStringLiteral("--create")},
                          (kEmail + QLatin1Char('\n') + kPassword + QLatin1Char('\n')).toUtf8());
        QCOMPARE(created.exitCode, 0);
        QVERIFY(m_account.passwordMatches(kEmail, kPassword));
        QVERIFY(!created.out.contains(kPassword) && !created.err.contains(kPassword));

        Run signedIn = run({QStringLiteral("login"), kEmail}, (kPassword + QLatin1Char('\n')).toUtf8());
        QCOMPARE(signedIn.exitCode, 0);
        QVERIFY(signedIn.out.contains(QStringLiteral("Signed in as ada@example.org.")));
        QCOMPARE(stored(CredentialService::relay()), m_account.relayTokenFor(kEmail));
        QCOMPARE(setting(SettingsKey::accountEmail), std::optional<QString>(kEmail));

        Run empty = run({QStringLiteral("login"), kEmail}, QByteArrayLiteral("\n"));
        QCOMPARE(empty.exitCode, 1);
    }

    // On a terminal the password prompt does not echo what is typed.
    void loginOnATerminal()
    {
        const QString script = QStandardPaths::findExecutable(QStringLiteral("script"));
        if (script.isEmpty())
            QSKIP("script (util-linux) is needed to give the command a terminal");
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &entry : environment())
            env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        const QString command = QStringLiteral("'%1' login").arg(QStringLiteral(HALVEX_BRIDGE_EXECUTABLE));
        process.start(script, {QStringLiteral("-qec"), command, QStringLiteral("/dev/null")});
        QVERIFY(process.waitForStarted());
        QString seen;
        auto waitFor = [&](const QString &text) {
            return QTest::qWaitFor(
                [&] {
                    seen += QString::fromUtf8(process.readAll());
                    return seen.contains(text);
                },
                30000);
        };
        QVERIFY2(waitFor(QStringLiteral("E-mail: ")), qPrintable(seen));
        process.write((kEmail + QStringLiteral("\n")).toUtf8());
        QVERIFY2(waitFor(QStringLiteral("Password: ")), qPrintable(seen));
        process.write((kPassword + QStringLiteral("\n")).toUtf8());
        QVERIFY2(waitFor(QStringLiteral("Signed in as")), qPrintable(seen));
        QVERIFY(process.waitForFinished(30000));
        seen += QString::fromUtf8(process.readAll());
        QCOMPARE(process.exitCode(), 0);
        QVERIFY2(seen.contains(kEmail), qPrintable(seen));     // the address echoes
        QVERIFY2(!seen.contains(kPassword), qPrintable(seen)); // the password does not
    }

    // pair, pair CODE and pair --qr: the printed code decodes to the payload,
    // the running bridge hears of the new token, and failures keep the pairing.
    void pairAndShow()
    {
        if (!zbarAvailable())
            QSKIP("zbarimg (Debian zbar-tools) is not installed");
        // A bridge of this session listens on the single-instance socket.
        SingleInstance running(instanceName());
        QVERIFY(running.listen());
        QList<QByteArray> requests;
        connect(&running, &SingleInstance::requestReceived, this, [&](const QByteArray &r) { requests << r; });

        // The image holds the gateway token: it is private, even over a file
        // that was not.
        const QString png = m_home.filePath(QStringLiteral("qr.png"));
        QFile earlier(png);
        QVERIFY(earlier.open(QIODevice::WriteOnly));
        QVERIFY(earlier.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
        earlier.close();
        Run paired = run({QStringLiteral("pair"), QStringLiteral("--png"), png});
        QCOMPARE(paired.exitCode, 0);
        struct stat written {
        };
        QCOMPARE(::stat(QFile::encodeName(png).constData(), &written), 0);
        QCOMPARE(written.st_mode & 07777, mode_t(0600));
        QCOMPARE(m_account.bridges().size(), 1);
        const RelayAccountStandIn::Bridge bridge = m_account.bridges().constLast();
        QCOMPARE(stored(CredentialService::bridge()), std::optional<QString>(bridge.bridgeToken));
        QCOMPARE(setting(SettingsKey::bridgeId), std::optional<QString>(bridge.bridgeId));
        QTRY_COMPARE_WITH_TIMEOUT(requests, QList<QByteArray>{QByteArray("reloadCredentials")}, 15000);
        QVERIFY(!paired.out.contains(QChar(0x1b))); // not a terminal: no colours

        const std::optional<QByteArray> printed = decodeQRWithZbar(renderHalfBlockText(qrBlock(paired.out)));
        QVERIFY2(printed, qPrintable(paired.out));
        const QJsonObject payload = QJsonDocument::fromJson(*printed).object();
        const QJsonObject relay = payload.value(QStringLiteral("relay")).toObject();
        QCOMPARE(relay.value(QStringLiteral("bridgeId")).toString(), bridge.bridgeId);
        QCOMPARE(relay.value(QStringLiteral("url")).toString(), m_relay.origin().toString());
        const QString code = relay.value(QStringLiteral("code")).toString();
        QVERIFY(paired.out.contains(QStringLiteral("Pairing code: ") + code));
        QCOMPARE(payload.value(QStringLiteral("name")).toString(), bridge.bridgeName);
        QCOMPARE(decodeQRWithZbar(QImage(png)), printed);

        // A code from the phone, on standard input (so that it never shows on
        // a command line); blanks around it are dropped.
        const QString phoneCode = m_account.issuePairingCode(kEmail);
        Run manual = run({QStringLiteral("pair"), QStringLiteral("-"), QStringLiteral("--json")},
                         (QStringLiteral(" ") + phoneCode + QStringLiteral(" \n")).toUtf8());
        QCOMPARE(manual.exitCode, 0);
        const QJsonObject answer = QJsonDocument::fromJson(manual.out.toUtf8()).object();
        QCOMPARE(answer.value(QStringLiteral("paired")), QJsonValue(true));
        QCOMPARE(answer.value(QStringLiteral("bridgeNotified")), QJsonValue(true));
        QVERIFY(!answer.contains(QStringLiteral("code")));
        const RelayAccountStandIn::Bridge second = m_account.bridges().constLast();
        QCOMPARE(answer.value(QStringLiteral("bridgeId")).toString(), second.bridgeId);
        QCOMPARE(stored(CredentialService::bridge()), std::optional<QString>(second.bridgeToken));
        QTRY_COMPARE_WITH_TIMEOUT(requests.size(), 2, 15000);

        // Used code, short code (as an argument or on standard input), no
        // code: refused, the pairing stays.
        Run reused = run({QStringLiteral("pair"), phoneCode});
        QCOMPARE(reused.exitCode, 1);
        QVERIFY(reused.err.contains(QStringLiteral("Invalid or expired pairing code")));
        QCOMPARE(run({QStringLiteral("pair"), QStringLiteral("ABCD")}).exitCode, 2);
        QCOMPARE(run({QStringLiteral("pair"), QStringLiteral("-")}, QByteArrayLiteral("ABCD\n")).exitCode, 2);
        QCOMPARE(run({QStringLiteral("pair"), QStringLiteral("-")}).exitCode, 2);
        QCOMPARE(stored(CredentialService::bridge()), std::optional<QString>(second.bridgeToken));
        QCOMPARE(setting(SettingsKey::bridgeId), std::optional<QString>(second.bridgeId));

        // --qr: the current pairing with a fresh code, pairing nothing new.
        Run shown = run({QStringLiteral("pair"), QStringLiteral("--qr")});
        QCOMPARE(shown.exitCode, 0);
        QCOMPARE(m_account.bridges().size(), 2);
        const std::optional<QByteArray> again = decodeQRWithZbar(renderHalfBlockText(qrBlock(shown.out)));
        QVERIFY(again);
        const QJsonObject againRelay =
            QJsonDocument::fromJson(*again).object().value(QStringLiteral("relay")).toObject();
        QCOMPARE(againRelay.value(QStringLiteral("bridgeId")).toString(), second.bridgeId);
        QVERIFY(againRelay.contains(QStringLiteral("code")));
    }

    void statusAndLogout()
    {
        Run status = run({QStringLiteral("status")});
        QCOMPARE(status.exitCode, 0);
        QVERIFY2(status.out.contains(QStringLiteral("Relay: signed in as ada@example.org")), qPrintable(status.out));
        QVERIFY(status.out.contains(QStringLiteral("Pairing: paired as")));

        Run logout = run({QStringLiteral("logout")});
        QCOMPARE(logout.exitCode, 0);
        QVERIFY(!stored(CredentialService::relay()));
        QVERIFY(!setting(SettingsKey::accountEmail));
        QVERIFY(stored(CredentialService::bridge()));

        Run json = run({QStringLiteral("status"), QStringLiteral("--json")});
        QCOMPARE(json.exitCode, 0); // still paired
        const QJsonObject object = QJsonDocument::fromJson(json.out.toUtf8()).object();
        QCOMPARE(object.value(QStringLiteral("relay")).toObject().value(QStringLiteral("signedIn")), QJsonValue(false));
        QCOMPARE(object.value(QStringLiteral("pairing")).toObject().value(QStringLiteral("paired")), QJsonValue(true));
    }

    void misuse()
    {
        QCOMPARE(run({QStringLiteral("login"), QStringLiteral("a@b.c"), QStringLiteral("extra")}).exitCode, 2);
        QCOMPARE(run({QStringLiteral("login"), QStringLiteral("--bogus")}).exitCode, 2);
        QCOMPARE(run({QStringLiteral("pair"), QStringLiteral("--qr"), QStringLiteral("ABCD-EFGH")}).exitCode, 2);
        QCOMPARE(run({QStringLiteral("logout"), QStringLiteral("now")}).exitCode, 2);
        QCOMPARE(run({QStringLiteral("status"), QStringLiteral("--verbose")}).exitCode, 2);
        // The development override takes loopback origins only.
        const int before = m_account.http().requestCount();
        Run remote = run({QStringLiteral("login"), kEmail}, (kPassword + QLatin1Char('\n')).toUtf8(),
                         {QStringLiteral("HALVEX_RELAY_ORIGIN=http://relay.example.org")});
        QCOMPARE(remote.exitCode, 2);
        QVERIFY(remote.err.contains(QStringLiteral("HALVEX_RELAY_ORIGIN must be a loopback")));
        QCOMPARE(m_account.http().requestCount(), before);
        // A code that is not one is refused before the relay is asked.
        QCOMPARE(run({QStringLiteral("pair"), QStringLiteral("ABCD-EF\x1b[2JGH")}).exitCode, 2);
        QCOMPARE(m_account.http().requestCount(), before);
    }

    // The relay's words reach the terminal with nothing a terminal obeys
    // and no line of the relay's making.
    void relayTextOnTheTerminalIsEscaped()
    {
        m_account.http().enqueue(ScriptedResponse::json(
            401, QJsonObject{{QStringLiteral("error"),
                              QStringLiteral("No\x1b]0;owned\x07\r\nSigned in as root") + QChar(0x202e)}}));
        const Run refused =
            run({QStringLiteral("login")}, (kEmail + QLatin1Char('\n') + kPassword + QLatin1Char('\n')).toUtf8());
        QCOMPARE(refused.exitCode, 1);
        for (const QString &text : {refused.out, refused.err}) {
            QVERIFY2(!text.contains(QChar(0x1b)) && !text.contains(QLatin1Char('\r')) && !text.contains(QChar(0x202e)),
                     qPrintable(text));
            const QStringList lines = text.split(QLatin1Char('\n'));
            QVERIFY(std::none_of(lines.begin(), lines.end(),
                                 [](const QString &line) { return line.startsWith(QLatin1String("Signed in")); }));
        }
    }
};

QTEST_GUILESS_MAIN(TestCliPairing)
#include "tst_cli_pairing.moc"
