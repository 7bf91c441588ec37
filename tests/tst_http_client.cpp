// The one-shot HTTP entry point against loopback servers: the deadline of
// the whole exchange, the body cap, which redirects are followed and where
// the bearer goes, and the typed status and failure kinds.
#include "http_stand_in.h"
#include "loopback.h"
#include "wait_for_result.h"

#include "platform/net/http_client.h"

#include <QTest>

#include <chrono>

using namespace halvex;
using halvex::test::ScriptedResponse;

namespace {
constexpr int kNoFailure = -1;
} // namespace

class TestHttpClient : public QObject
{
    Q_OBJECT
    test::HttpStandIn m_server; // the request's origin
    test::HttpStandIn m_other;  // another origin (another port)

    QByteArray at(const test::HttpStandIn &server, const char *path) const
    {
        return server.url().toString().toLatin1() + path;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_server.listen());
        QVERIFY(m_other.listen());
        const auto landed = ScriptedResponse::text(200, QByteArrayLiteral("landed"));
        m_server.setDefaultResponse(QByteArrayLiteral("/landed"), landed);
        m_other.setDefaultResponse(QByteArrayLiteral("/landed"), landed);
    }

    void exchange_data()
    {
        QTest::addColumn<ScriptedResponse>("answer");
        QTest::addColumn<QString>("token");
        QTest::addColumn<bool>("followSameOrigin");
        QTest::addColumn<int>("deadlineMs");
        QTest::addColumn<int>("failure"); // HttpFailure, or kNoFailure
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("requestsHere"); // requests the origin received
        QTest::addColumn<int>("requestsElsewhere");

        const auto redirect = [](const QByteArray &location) {
            return ScriptedResponse::empty(302).withHeader("Location", location);
        };
        // 40 pieces 100 ms apart: never silent for long, whole only after 4 s.
        ScriptedResponse trickle = ScriptedResponse::text(200, {}).withFraming(ScriptedResponse::Framing::Chunked);
        for (int i = 0; i < 40; ++i)
            trickle.withPiece(QByteArrayLiteral("x"), 100);

        const int none = kNoFailure;
        QTest::newRow("200 whole") << ScriptedResponse::text(200, "hello") << QString() << false << 15000 << none << 200
                                   << QByteArray("hello") << 1 << 0;
        QTest::newRow("500 is a typed status") << ScriptedResponse::text(500, "boom") << QStringLiteral("tok") << false
                                               << 15000 << none << 500 << QByteArray("boom") << 1 << 0;
        QTest::newRow("answer at the cap") << ScriptedResponse::text(200, QByteArray(1000, 'a')) << QString() << false
                                           << 15000 << none << 200 << QByteArray(1000, 'a') << 1 << 0;
        QTest::newRow("answer over the cap") << ScriptedResponse::text(200, QByteArray(1001, 'a')) << QString() << false
                                             << 15000 << int(HttpFailure::tooLarge) << 0 << QByteArray() << 1 << 0;
        QTest::newRow("trickling answer past the deadline")
            << trickle << QString() << false << 1000 << int(HttpFailure::timedOut) << 0 << QByteArray() << 1 << 0;
        QTest::newRow("silent server") << ScriptedResponse::hangForever() << QString() << false << 500
                                       << int(HttpFailure::timedOut) << 0 << QByteArray() << 1 << 0;
        QTest::newRow("not HTTP") << ScriptedResponse::rawBytes("SSH-2.0-x\r\n") << QString() << false << 15000
                                  << int(HttpFailure::notHttp) << 0 << QByteArray() << 1 << 0;
        QTest::newRow("same-origin redirect followed")
            << redirect("/landed") << QString() << true << 15000 << none << 200 << QByteArray("landed") << 2 << 0;
        QTest::newRow("redirect not followed unless allowed")
            << redirect("/landed") << QString() << false << 15000 << none << 302 << QByteArray() << 1 << 0;
        QTest::newRow("a request with a token follows no redirect")
            << redirect("/landed") << QStringLiteral("tok") << true << 15000 << none << 302 << QByteArray() << 1 << 0;
        QTest::newRow("cross-origin redirect not followed")
            << redirect(at(m_other, "/landed")) << QString() << true << 15000 << none << 302 << QByteArray() << 1 << 0;
    }

    void exchange()
    {
        QFETCH(ScriptedResponse, answer);
        QFETCH(QString, token);
        QFETCH(bool, followSameOrigin);
        QFETCH(int, deadlineMs);
        QFETCH(int, failure);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(int, requestsHere);
        QFETCH(int, requestsElsewhere);

        const int hereBefore = m_server.requestCount();
        const int elsewhereBefore = m_other.requestCount();
        m_server.enqueue(answer, QByteArrayLiteral("/start"));
        halvex::FetchRequest request;
        request.url = QUrl(QString::fromLatin1(at(m_server, "/start")));
        request.bearerToken = token;
        request.deadline = std::chrono::milliseconds(deadlineMs);
        request.maxBodyBytes = 1000;
        request.redirects = followSameOrigin ? RedirectPolicy::sameOrigin : RedirectPolicy::none;
        const Result<HttpAnswer> result = test::waitForResult(fetch(request));

        if (failure == kNoFailure) {
            QVERIFY2(result.ok(), result.ok() ? "" : qPrintable(result.error().description()));
            QCOMPARE(result->status, status);
            QCOMPARE(result->body, body);
        } else {
            QVERIFY(!result.ok());
            QCOMPARE(int(httpFailure(result.error())), failure);
        }
        QCOMPARE(m_server.requestCount() - hereBefore, requestsHere);
        QCOMPARE(m_other.requestCount() - elsewhereBefore, requestsElsewhere);
        const test::HttpRequest first = m_server.requests().at(hereBefore);
        QCOMPARE(first.header("Authorization"), token.isEmpty() ? QByteArray() : "Bearer " + token.toUtf8());
    }

    void failuresBeforeAnAnswer()
    {
        halvex::FetchRequest closed;
        closed.url = QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(test::closedLoopbackPort()));
        const Result<HttpAnswer> refused = test::waitForResult(fetch(closed));
        QVERIFY(!refused.ok());
        QCOMPARE(httpFailure(refused.error()), HttpFailure::connect);

        halvex::FetchRequest odd;
        odd.url = QUrl(QStringLiteral("ftp://127.0.0.1/"));
        const Result<HttpAnswer> invalid = test::waitForResult(fetch(odd));
        QVERIFY(!invalid.ok());
        QCOMPARE(httpFailure(invalid.error()), HttpFailure::invalidRequest);

        // The context's end ends the request.
        m_server.enqueue(ScriptedResponse::hangForever(), QByteArrayLiteral("/hang"));
        auto *context = new QObject;
        halvex::FetchRequest hanging;
        hanging.url = QUrl(QString::fromLatin1(at(m_server, "/hang")));
        const int before = m_server.requestCount();
        QCoro::Task<Result<HttpAnswer>> task = fetch(hanging, context);
        QVERIFY(m_server.waitForRequests(before + 1));
        delete context;
        const Result<HttpAnswer> cancelled = test::waitForResult(std::move(task));
        QVERIFY(!cancelled.ok());
        QCOMPARE(httpFailure(cancelled.error()), HttpFailure::cancelled);
    }
};

QTEST_GUILESS_MAIN(TestHttpClient)
#include "tst_http_client.moc"
