// The relay account client: the shared request routine's status and body
// rules, what goes on the wire, time and size limits, and a whole account
// life against the relay account stand-in.
#include "http_stand_in.h"
#include "loopback.h"
#include "relay_account_stand_in.h"

#include "account/account_service.h"
#include "account/relay_auth_service.h"
#include "account/user_session.h"
#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"
#include "platform/secrets/secret_backend.h"
#include "platform/wait_for_task.h"
#include "temp_settings.h"

#include <QJsonDocument>
#include <QTest>

#include <algorithm>

using namespace halvex;
using namespace halvex::test;

namespace {
QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}
} // namespace

class TestRelayAuth : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void statusAndBodyRules_data()
    {
        QTest::addColumn<ScriptedResponse>("answer");
        QTest::addColumn<QString>("expected"); // the error's description; empty: success

        QTest::newRow("200 with token and userId")
            << ScriptedResponse::json(200, QByteArrayLiteral(R"({"token":"t1","userId":"u1","extra":3})")) << QString();
        QTest::newRow("200 without userId")
            << ScriptedResponse::json(200, QByteArrayLiteral(R"({"token":"t1"})")) << QString();
        QTest::newRow("200 with null userId")
            << ScriptedResponse::json(200, QByteArrayLiteral(R"({"token":"t1","userId":null})")) << QString();
        QTest::newRow("200 without token")
            << ScriptedResponse::json(200, QByteArrayLiteral(R"({"userId":"u1"})"))
            << QStringLiteral("The relay's answer could not be read: \"token\" is missing.");
        QTest::newRow("200 with a numeric token")
            << ScriptedResponse::json(200, QByteArrayLiteral(R"({"token":5})"))
            << QStringLiteral("The relay's answer could not be read: \"token\" is not a string.");
        QTest::newRow("201 is an error") << ScriptedResponse::json(201, QByteArrayLiteral(R"({"token":"t1"})"))
                                         << QStringLiteral("HTTP 201");
        QTest::newRow("204 is an error") << ScriptedResponse::empty(204) << QStringLiteral("HTTP 204");
        QTest::newRow("201 with an error text")
            << ScriptedResponse::json(201, QByteArrayLiteral(R"({"error":"Odd but told"})"))
            << QStringLiteral("Odd but told");
        QTest::newRow("401 with an error text")
            << ScriptedResponse::json(401, QByteArrayLiteral(R"({"error":"Invalid email or password"})"))
            << QStringLiteral("Invalid email or password");
        QTest::newRow("401 with an error text that steers a terminal")
            << ScriptedResponse::json(
                   401, QJsonObject{{QStringLiteral("error"), QStringLiteral("No\x1b]0;x\x07\r\nSigned in")}})
            << QStringLiteral("No\\u001b]0;x\\u0007\\u000d\\u000aSigned in");
        QTest::newRow("401 with an empty body") << ScriptedResponse::empty(401) << QStringLiteral("HTTP 401");
        QTest::newRow("502 with an HTML page")
            << ScriptedResponse::text(502, QByteArrayLiteral("<html>Bad gateway</html>"), "text/html")
            << QStringLiteral("HTTP 502");
        QTest::newRow("500 with a non-string error")
            << ScriptedResponse::json(500, QByteArrayLiteral(R"({"error":{"code":1}})")) << QStringLiteral("HTTP 500");
        QTest::newRow("answer over the size cap")
            << ScriptedResponse::json(200, QByteArray("{\"token\":\"") + QByteArray(100 * 1024, 'a') + "\"}")
            << QStringLiteral("Network error: The relay's answer is too large");
    }

    void statusAndBodyRules()
    {
        QFETCH(ScriptedResponse, answer);
        QFETCH(QString, expected);
        HttpStandIn relay;
        QVERIFY(relay.listen());
        relay.enqueue(answer);
        RelayAuthService auth(relay.url());

        const Result<AuthResponse> result = waitForTask(auth.login(QStringLiteral("a@b.c"), QStringLiteral("pw")));
        QCOMPARE(relay.requestCount(), 1); // nothing is retried
        if (expected.isEmpty()) {
            QVERIFY2(result.ok(), result.ok() ? "" : qPrintable(result.error().description()));
            QCOMPARE(result->token, QStringLiteral("t1"));
        } else {
            QVERIFY(!result.ok());
            QCOMPARE(result.error().description(), expected);
        }
    }

    // Pairing codes and bridge ids go into the payload, the settings and the
    // log: an answer with anything else is refused.
    void pairingIdsOutsideThePatternAreRefused_data()
    {
        QTest::addColumn<bool>("verify"); // false: a code is asked for
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("accepted");
        const auto code = [](const QString &value) {
            return QJsonDocument(QJsonObject{{QStringLiteral("code"), value}}).toJson(QJsonDocument::Compact);
        };
        const auto bridgeId = [](const QString &value) {
            return QJsonDocument(QJsonObject{{QStringLiteral("bridgeToken"), QStringLiteral("bt")},
                                             {QStringLiteral("bridgeId"), value}})
                .toJson(QJsonDocument::Compact);
        };
        QTest::newRow("code") << false << code(QStringLiteral("ABCD-EFGH")) << true;
        QTest::newRow("code with an escape") << false << code(QStringLiteral("AB\x1b[2J")) << false;
        QTest::newRow("code with a newline") << false << code(QStringLiteral("ABCD\nEFGH")) << false;
        QTest::newRow("empty code") << false << code(QString()) << false;
        QTest::newRow("code too long") << false << code(QString(33, QLatin1Char('A'))) << false;
        QTest::newRow("bridge id") << true << bridgeId(QStringLiteral("br-6f_1c2a")) << true;
        QTest::newRow("bridge id of 64") << true << bridgeId(QString(64, QLatin1Char('b'))) << true;
        QTest::newRow("bridge id of 65") << true << bridgeId(QString(65, QLatin1Char('b'))) << false;
        QTest::newRow("bridge id with a newline")
            << true << bridgeId(QStringLiteral("b1\r\nConnected to relay")) << false;
        QTest::newRow("bridge id with a bidi override")
            << true << bridgeId(QStringLiteral("b1") + QChar(0x202e)) << false;
        QTest::newRow("bridge id with a slash") << true << bridgeId(QStringLiteral("../b")) << false;
    }
    void pairingIdsOutsideThePatternAreRefused()
    {
        QFETCH(bool, verify);
        QFETCH(QByteArray, answer);
        QFETCH(bool, accepted);
        HttpStandIn relay;
        QVERIFY(relay.listen());
        relay.enqueue(ScriptedResponse::json(200, answer));
        RelayAuthService auth(relay.url());
        const auto failure = [](const auto &result) {
            return result ? std::optional<Error>() : std::optional<Error>(result.error());
        };
        const std::optional<Error> error =
            verify ? failure(waitForTask(auth.verifyPairing(QStringLiteral("ABCD-EFGH"), QStringLiteral("Box"))))
                   : failure(waitForTask(auth.createPairingCode(QStringLiteral("relay-token"))));
        QCOMPARE(!error.has_value(), accepted);
        if (error) {
            const QString text = error->description();
            QVERIFY(text.startsWith(QLatin1String("The relay's answer could not be read: ")));
            QVERIFY(std::none_of(text.begin(), text.end(),
                                 [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x202e; }));
        }
    }

    void whatGoesOnTheWire()
    {
        HttpStandIn relay;
        QVERIFY(relay.listen());
        RelayAuthService auth(relay.url());
        const QByteArray ok = R"({"token":"t","code":"ABCD-EFGH","bridgeToken":"bt","bridgeId":"b1","message":"m"})";
        for (int i = 0; i < 6; ++i)
            relay.enqueue(ScriptedResponse::json(200, ok));

        QVERIFY(waitForTask(auth.registerAccount(QStringLiteral("a@b.c"), QStringLiteral("pw1"))).ok());
        QVERIFY(waitForTask(auth.login(QStringLiteral("a@b.c"), QStringLiteral("pw2"))).ok());
        QVERIFY(waitForTask(auth.forgotPassword(QStringLiteral("a@b.c"))).ok());
        QVERIFY(
            waitForTask(auth.resetPassword(QStringLiteral("a@b.c"), QStringLiteral("123456"), QStringLiteral("new")))
                .ok());
        const Result<PairResponse> code = waitForTask(auth.createPairingCode(QStringLiteral("relay-token")));
        QVERIFY(code.ok());
        QCOMPARE(code->code, QStringLiteral("ABCD-EFGH"));
        QVERIFY(!code->expiresAt);
        const Result<PairVerifyResponse> verified =
            waitForTask(auth.verifyPairing(QStringLiteral("ABCD-EFGH"), QStringLiteral("Box")));
        QVERIFY(verified.ok());
        QCOMPARE(verified->bridgeToken, QStringLiteral("bt"));
        QCOMPARE(verified->bridgeId, QStringLiteral("b1"));

        const QList<HttpRequest> requests = relay.requests();
        QCOMPARE(requests.size(), 6);
        QStringList seen;
        for (const HttpRequest &request : requests) {
            QCOMPARE(request.method, QByteArray("POST"));
            QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
            seen << QString::fromLatin1(request.path());
        }
        QCOMPARE(seen, (QStringList{QStringLiteral("/api/register"), QStringLiteral("/api/login"),
                                    QStringLiteral("/api/forgot-password"), QStringLiteral("/api/reset-password"),
                                    QStringLiteral("/api/pair"), QStringLiteral("/api/pair/verify")}));
        QCOMPARE(requests[0].json(), (QJsonObject{{QStringLiteral("email"), QStringLiteral("a@b.c")},
                                                  {QStringLiteral("password"), QStringLiteral("pw1")}}));
        QCOMPARE(requests[3].json(), (QJsonObject{{QStringLiteral("email"), QStringLiteral("a@b.c")},
                                                  {QStringLiteral("code"), QStringLiteral("123456")},
                                                  {QStringLiteral("newPassword"), QStringLiteral("new")}}));
        // Only pairing-code creation is authorised by the relay token, and its body is exactly {}.
        QCOMPARE(requests[4].body, QByteArray("{}"));
        QCOMPARE(requests[4].header("Authorization"), QByteArray("Bearer relay-token"));
        for (int i : {0, 1, 2, 3, 5})
            QVERIFY2(!requests[i].hasHeader("Authorization"), requests[i].path().constData());
        QCOMPARE(requests[5].body, compact(QJsonObject{{QStringLiteral("code"), QStringLiteral("ABCD-EFGH")},
                                                       {QStringLiteral("bridgeName"), QStringLiteral("Box")}}));
    }

    void transportFailures()
    {
        // Refused connection: Qt's own words, one attempt.
        RelayAuthService refused(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(closedLoopbackPort())));
        const Result<AuthResponse> r1 = waitForTask(refused.login(QStringLiteral("a"), QStringLiteral("b")));
        QVERIFY(!r1.ok());
        QVERIFY(!r1.error().bridgeError());
        QVERIFY(r1.error().description().contains(QStringLiteral("refused"), Qt::CaseInsensitive));

        // A relay that never answers: the time-out ends the call.
        HttpStandIn silent;
        QVERIFY(silent.listen());
        silent.enqueue(ScriptedResponse::hangForever());
        RelayAuthService slow(silent.url(), RelayAuthService::Timings{std::chrono::milliseconds(300)});
        const Result<AuthResponse> r2 = waitForTask(slow.login(QStringLiteral("a"), QStringLiteral("b")));
        QVERIFY(!r2.ok());
        QCOMPARE(r2.error().description(), QStringLiteral("The request timed out."));
        QCOMPARE(silent.requestCount(), 1);

        // Bytes that are not HTTP.
        HttpStandIn garbage;
        QVERIFY(garbage.listen());
        garbage.enqueue(ScriptedResponse::rawBytes(QByteArrayLiteral("SSH-2.0-OpenSSH\r\n")));
        RelayAuthService confused(garbage.url());
        const Result<AuthResponse> r3 = waitForTask(confused.login(QStringLiteral("a"), QStringLiteral("b")));
        QVERIFY(!r3.ok());
        QVERIFY(!r3.error().description().isEmpty());
    }

    void serviceGoneWhileWaiting()
    {
        HttpStandIn silent;
        QVERIFY(silent.listen());
        silent.enqueue(ScriptedResponse::hangForever());
        auto auth = std::make_unique<RelayAuthService>(silent.url());
        QCoro::Task<Result<AuthResponse>> pending = auth->login(QStringLiteral("a"), QStringLiteral("b"));
        QVERIFY(silent.waitForRequests(1));
        auth.reset(); // aborts the request; the caller still gets one outcome
        const Result<AuthResponse> result = waitForTask(std::move(pending));
        QVERIFY(!result.ok());
    }

    // Sign-up, sign-in, reset and sign-out against the account stand-in, with
    // what each leaves in the stores.
    void accountLife()
    {
        RelayAccountStandIn relay;
        QVERIFY(relay.listen());
        RelayAuthService auth(relay.origin());
        CredentialStore credentials(std::make_unique<MemorySecretBackend>());
        TempSettings settings;
        AccountService account(&auth, &credentials, settings.get());
        const QString email = QStringLiteral("ada@example.org");

        QVERIFY(waitForTask(account.createAccount(email, QStringLiteral("correct horse"))).ok());
        QVERIFY(account.isSignedIn());
        QCOMPARE(account.accountEmail(), std::optional<QString>(email));
        QCOMPARE(credentials.load(CredentialService::relay()).valueOr(std::nullopt), relay.relayTokenFor(email));

        // A second sign-up with the same address fails and keeps the sign-in.
        const std::optional<QString> before = credentials.load(CredentialService::relay()).valueOr(std::nullopt);
        const Result<Done> twice = waitForTask(account.createAccount(email, QStringLiteral("other password")));
        QCOMPARE(twice.error().description(), QStringLiteral("An account with this email already exists"));
        QCOMPARE(credentials.load(CredentialService::relay()).valueOr(std::nullopt), before);

        // Sign-out keeps the pairing.
        (void)credentials.save(CredentialService::bridge(), QStringLiteral("bt-kept"));
        settings->setString(SettingsKey::bridgeId, QStringLiteral("b-kept"));
        settings->setString(SettingsKey::bridgeName, QStringLiteral("Box"));
        QVERIFY(account.signOut());
        QVERIFY(!account.isSignedIn());
        QVERIFY(!account.accountEmail());
        QCOMPARE(credentials.load(CredentialService::bridge()).valueOr(std::nullopt),
                 std::optional<QString>(QStringLiteral("bt-kept")));
        QCOMPARE(settings->string(SettingsKey::bridgeId), std::optional<QString>(QStringLiteral("b-kept")));
        QCOMPARE(settings->string(SettingsKey::bridgeName), std::optional<QString>(QStringLiteral("Box")));

        // A wrong password stores nothing.
        const Result<Done> wrong = waitForTask(account.signIn(email, QStringLiteral("wrong password")));
        QCOMPARE(wrong.error().description(), QStringLiteral("Invalid email or password"));
        QVERIFY(!account.isSignedIn());
        QVERIFY(!settings->contains(SettingsKey::accountEmail));

        // The two-step reset; the code works once.
        const Result<MessageResponse> sent = waitForTask(auth.forgotPassword(email));
        QVERIFY(sent.ok());
        QVERIFY(!sent->message.isEmpty());
        const std::optional<QString> code = relay.resetCodeFor(email);
        QVERIFY(code);
        QVERIFY(waitForTask(auth.resetPassword(email, *code, QStringLiteral("battery staple"))).ok());
        QCOMPARE(waitForTask(auth.resetPassword(email, *code, QStringLiteral("third password"))).error().description(),
                 QStringLiteral("Invalid or expired code"));
        QVERIFY(relay.passwordMatches(email, QStringLiteral("battery staple")));
        QVERIFY(waitForTask(account.signIn(email, QStringLiteral("battery staple"))).ok());
        QVERIFY(account.isSignedIn());
    }

    // Pairing codes belong to the account that made them, work once and expire.
    void pairingCodes()
    {
        RelayAccountStandIn relay;
        QVERIFY(relay.listen());
        relay.addUser(QStringLiteral("u@example.org"), QStringLiteral("password1"));
        RelayAuthService auth(relay.origin());

        QCOMPARE(waitForTask(auth.createPairingCode(QStringLiteral("not-a-token"))).error().description(),
                 QStringLiteral("Unauthorized"));
        const Result<AuthResponse> session =
            waitForTask(auth.login(QStringLiteral("u@example.org"), QStringLiteral("password1")));
        QVERIFY(session.ok());
        const Result<PairResponse> code = waitForTask(auth.createPairingCode(session->token));
        QVERIFY(code.ok());
        QVERIFY(code->expiresAt);
        QCOMPARE(code->code.size(), 9);

        const Result<PairVerifyResponse> first = waitForTask(auth.verifyPairing(code->code, QStringLiteral("Box")));
        QVERIFY(first.ok());
        QCOMPARE(relay.bridges().size(), 1);
        QCOMPARE(relay.bridges().constFirst().bridgeName, QStringLiteral("Box"));
        QCOMPARE(relay.bridges().constFirst().bridgeToken, first->bridgeToken);
        QCOMPARE(waitForTask(auth.verifyPairing(code->code, QStringLiteral("Box"))).error().description(),
                 QStringLiteral("Invalid or expired pairing code"));

        const QString stale = relay.issuePairingCode(QStringLiteral("u@example.org"));
        relay.advanceClock(3600);
        QCOMPARE(waitForTask(auth.verifyPairing(stale, QStringLiteral("Box"))).error().description(),
                 QStringLiteral("Invalid or expired pairing code"));
        QCOMPARE(relay.bridges().size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestRelayAuth)
#include "tst_relay_auth.moc"
