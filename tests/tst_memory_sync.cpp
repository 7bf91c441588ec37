// The memory sync service against a relay memory-store stand-in and scripted
// agent answers: the schedule (threshold, timer skip rules, backoff and its
// resets), failures that write nothing, the choice of gateway path and an
// end-to-end sync that writes the merged file.
#include "gateway/chat_backend.h"
#include "gateway/gateway_probe.h"
#include "http_stand_in.h"
#include "log_capture.h"
#include "loopback.h"
#include "memory/memory_sync_service.h"
#include "memory_relay_stand_in.h"
#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"
#include "platform/secrets/secret_backend.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

#include <qcoro/qcorosignal.h>

using namespace halvex;
using namespace halvex::test;

namespace {

constexpr int kWait = 20000;
const QString kRelayToken = QStringLiteral("relay-session-token");

class Gate : public QObject
{
    Q_OBJECT
Q_SIGNALS:
    void opened();
};

// A gateway path that answers with scripted texts (or errors) and records
// every call; it can hold its answers until the test opens the gate.
class ScriptedBackend : public ChatBackend
{
public:
    bool usable = true;
    bool hold = false;
    QList<Result<QString>> answers; // taken in order; then an empty object
    QList<ChatCallRequest> requests;
    std::function<void()> onCall; // runs when a call arrives
    Gate gate;

    bool isUsableForChat() const override { return usable; }
    QCoro::Task<Result<QString>> sendChat(ChatCallRequest request, DeltaHandler) override
    {
        requests.append(request);
        if (onCall)
            onCall();
        if (hold)
            co_await qCoro(&gate, &Gate::opened);
        co_return answers.isEmpty() ? Result<QString>(QStringLiteral("{}")) : answers.takeFirst();
    }
    void cancelChat(const QString &) override {}
};

QString answerWith(const QStringList &facts, const QStringList &preferences = {}, const QString &activity = {})
{
    QJsonObject object{{QStringLiteral("new_facts"), QJsonArray::fromStringList(facts)},
                       {QStringLiteral("new_preferences"), QJsonArray::fromStringList(preferences)},
                       {QStringLiteral("recent_activity"), activity.isEmpty() ? QJsonValue() : QJsonValue(activity)}};
    return QString::fromUtf8(QJsonDocument(object).toJson());
}

const QString kNothingNew = QStringLiteral(R"({"new_facts": [], "new_preferences": [], "recent_activity": null})");

QJsonObject storedFile(const QStringList &facts)
{
    return QJsonObject{
        {QStringLiteral("version"), QStringLiteral("1.1")},
        {QStringLiteral("avatar_id"), QStringLiteral("global")},
        {QStringLiteral("relationship"), QJsonObject{{QStringLiteral("user_name"), QStringLiteral("Ada")},
                                                     {QStringLiteral("facts"), QJsonArray::fromStringList(facts)},
                                                     {QStringLiteral("preferences"), QJsonArray()}}},
        {QStringLiteral("episodes"), QJsonArray()},
        {QStringLiteral("metadata"), QJsonObject{{QStringLiteral("total_sessions"), 3}}}};
}

QStringList factsOf(const std::optional<QJsonObject> &file)
{
    QStringList facts;
    const QJsonArray list = file.value_or(QJsonObject())
                                .value(QLatin1String("relationship"))
                                .toObject()
                                .value(QLatin1String("facts"))
                                .toArray();
    for (const QJsonValue &fact : list)
        facts.append(fact.toString());
    return facts;
}

// A service wired to the stand-ins. Timers are slow unless a test shrinks
// them: syncs are started by the test through sync() and recordActivity().
struct Rig {
    MemoryRelayStandIn relay;
    MemorySecretBackend *secrets = new MemorySecretBackend;
    CredentialStore credentials{std::unique_ptr<SecretBackend>(secrets)};
    ScriptedBackend http;
    ScriptedBackend webSocket;
    bool httpAvailable = true;
    bool enabled = true; // the user's switch
    std::unique_ptr<MemorySyncService> service;
    std::unique_ptr<QSignalSpy> finished;
    std::unique_ptr<QSignalSpy> skipped;
    std::unique_ptr<QSignalSpy> started;

    explicit Rig(MemorySyncService::Timings timings = slow())
    {
        relay.listen();
        relay.setToken(kRelayToken);
        (void)credentials.save(CredentialService::relay(), kRelayToken);
        webSocket.usable = false;
        MemorySyncService::Dependencies deps;
        deps.gateway.http = &http;
        deps.gateway.webSocket = &webSocket;
        deps.gateway.httpEndpointAvailable = [this]() -> QCoro::Task<bool> { co_return httpAvailable; };
        deps.credentials = &credentials;
        deps.relayOrigin = relay.origin();
        deps.isEnabled = [this] { return enabled; };
        service = std::make_unique<MemorySyncService>(std::move(deps), timings);
        finished = std::make_unique<QSignalSpy>(service.get(), &MemorySyncService::syncFinished);
        skipped = std::make_unique<QSignalSpy>(service.get(), &MemorySyncService::syncSkipped);
        started = std::make_unique<QSignalSpy>(service.get(), &MemorySyncService::syncStarted);
    }

    static MemorySyncService::Timings slow()
    {
        MemorySyncService::Timings timings;
        timings.initialSyncDelay = std::chrono::milliseconds(3600000);
        timings.relayTimeout = std::chrono::milliseconds(kWait);
        return timings;
    }

    // Runs one sync to its end; the outcome's error text (empty on success).
    MemorySyncService::Outcome runSync(const QString &reason)
    {
        const qsizetype before = finished->size();
        service->sync(reason);
        if (!QTest::qWaitFor([&] { return finished->size() > before; }, kWait))
            qFatal("the sync did not finish");
        return finished->last().at(0).value<MemorySyncService::Outcome>();
    }
    QString lastError() const { return finished->last().at(1).toString(); }
    MemorySyncService::SkipReason lastSkip() const
    {
        return skipped->last().at(0).value<MemorySyncService::SkipReason>();
    }
};

} // namespace

class TstMemorySync : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void tenthExchangeStartsASync()
    {
        Rig rig;
        rig.service->start();
        rig.http.answers = {answerWith({QStringLiteral("Has a cat")})};
        for (int i = 0; i < 9; ++i)
            rig.service->recordActivity();
        QCOMPARE(rig.started->size(), 0);
        rig.service->recordActivity();
        QCOMPARE(rig.started->size(), 1);
        QCOMPARE(rig.started->last().at(0).toString(), QStringLiteral("exchange_threshold"));
        QCOMPARE(rig.service->exchangeCount(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(rig.finished->size(), 1, kWait);
        QCOMPARE(rig.relay.writes().size(), 1);

        // The eleventh exchange starts counting again.
        rig.service->recordActivity();
        QCOMPARE(rig.service->exchangeCount(), 1);
        QCOMPARE(rig.started->size(), 1);
    }

    void timerSyncsAreSkippedWithoutActivity()
    {
        // Nothing reported since start and the initial sync found nothing.
        {
            Rig rig;
            rig.service->start();
            rig.http.answers = {kNothingNew};
            QCOMPARE(rig.runSync(QStringLiteral("initial")), MemorySyncService::Outcome::nothingNew);
            rig.service->sync(QStringLiteral("timer"));
            QCOMPARE(rig.lastSkip(), MemorySyncService::SkipReason::noActivityInBackoff);
            QCOMPARE(rig.http.requests.size(), 1);
        }
        // The initial sync found facts: the timer sync runs.
        {
            Rig rig;
            rig.service->start();
            rig.http.answers = {answerWith({QStringLiteral("Has a cat")}), kNothingNew};
            QCOMPARE(rig.runSync(QStringLiteral("initial")), MemorySyncService::Outcome::pushed);
            QCOMPARE(rig.runSync(QStringLiteral("timer")), MemorySyncService::Outcome::nothingNew);
            QCOMPARE(rig.skipped->size(), 0);
        }
        // An exchange was reported, but none since the last sync started.
        {
            Rig rig;
            rig.service->start();
            rig.service->recordActivity();
            rig.http.answers = {answerWith({QStringLiteral("Has a cat")})};
            QCOMPARE(rig.runSync(QStringLiteral("timer")), MemorySyncService::Outcome::pushed);
            rig.service->sync(QStringLiteral("timer"));
            QCOMPARE(rig.lastSkip(), MemorySyncService::SkipReason::noActivitySinceLastSync);
            // A new exchange lets the next timer sync through; other
            // reasons always pass.
            rig.service->recordActivity();
            QCOMPARE(rig.runSync(QStringLiteral("timer")), MemorySyncService::Outcome::nothingNew);
            QCOMPARE(rig.runSync(QStringLiteral("exchange_threshold")), MemorySyncService::Outcome::nothingNew);
            QCOMPARE(rig.http.requests.size(), 3);
        }
    }

    void switchedOffFromElsewhereSyncsNothing()
    {
        Rig rig;
        rig.service->start();
        rig.enabled = false;
        rig.service->sync(QStringLiteral("exchange_threshold"));
        QCOMPARE(rig.lastSkip(), MemorySyncService::SkipReason::switchedOff);
        QCOMPARE(rig.started->size(), 0);
        rig.enabled = true;
        QCOMPARE(rig.runSync(QStringLiteral("exchange_threshold")), MemorySyncService::Outcome::nothingNew);
        QCOMPARE(rig.relay.fetches().size(), 1);
    }

    void oneSyncAtATime()
    {
        Rig rig;
        rig.service->start();
        rig.http.hold = true;
        rig.service->sync(QStringLiteral("initial"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.http.requests.size(), 1, kWait);
        QVERIFY(rig.service->isExtracting());
        rig.service->sync(QStringLiteral("exchange_threshold"));
        QCOMPARE(rig.lastSkip(), MemorySyncService::SkipReason::alreadyInProgress);
        Q_EMIT rig.http.gate.opened();
        QTRY_COMPARE_WITH_TIMEOUT(rig.finished->size(), 1, kWait);
        QVERIFY(!rig.service->isExtracting());
        QCOMPARE(rig.http.requests.size(), 1);
    }

    void emptySyncsBackOffAndActivityResets()
    {
        LogCapture log;
        Rig rig;
        rig.service->start();
        QCOMPARE(rig.service->currentInterval(), std::chrono::seconds(900));
        const QList<int> steps{1800, 3600, 7200, 14400, 14400};
        for (int step : steps) {
            rig.http.answers = {QStringLiteral("I know nothing about the user.")}; // unparseable counts as empty
            QCOMPARE(rig.runSync(QStringLiteral("initial")), MemorySyncService::Outcome::nothingNew);
            QCOMPARE(rig.service->currentInterval(), std::chrono::seconds(step));
        }
        QCOMPARE(rig.service->consecutiveEmptySyncs(), 5);
        QCOMPARE(log.countStartingWith(QStringLiteral("Backed off to ")), 4);
        QVERIFY(log.contains(QStringLiteral("Backed off to 240min interval (4 empty syncs)")));
        QVERIFY(log.contains(QStringLiteral("Failed to parse response as JSON: I know nothing about the user.")));
        QCOMPARE(rig.relay.writes().size(), 0);

        // Any reported exchange returns to the base interval.
        rig.service->recordActivity();
        QCOMPARE(rig.service->currentInterval(), std::chrono::seconds(900));
        QCOMPARE(rig.service->consecutiveEmptySyncs(), 0);

        // So does a sync that found something.
        QCOMPARE(rig.runSync(QStringLiteral("initial")), MemorySyncService::Outcome::nothingNew);
        QCOMPARE(rig.service->currentInterval(), std::chrono::seconds(1800));
        rig.http.answers = {answerWith({}, {QStringLiteral("Likes tea")})};
        QCOMPARE(rig.runSync(QStringLiteral("initial")), MemorySyncService::Outcome::pushed);
        QCOMPARE(rig.service->currentInterval(), std::chrono::seconds(900));
        QCOMPARE(rig.service->consecutiveEmptySyncs(), 0);
    }

    void failuresWriteNothingAndKeepTheInterval()
    {
        Rig rig;
        rig.service->start();
        rig.http.answers = {kNothingNew};
        rig.runSync(QStringLiteral("initial"));
        QCOMPARE(rig.service->currentInterval(), std::chrono::seconds(1800));

        rig.relay.failNext("GET", 404);
        QCOMPARE(rig.runSync(QStringLiteral("initial")), MemorySyncService::Outcome::failed);
        QCOMPARE(rig.lastError(), QStringLiteral("Relay error (HTTP 404)"));
        QCOMPARE(rig.http.requests.size(), 1); // the agent was not asked

        rig.http.answers = {answerWith({QStringLiteral("Has a cat")})};
        rig.relay.failNext("PUT", 500);
        QCOMPARE(rig.runSync(QStringLiteral("initial")), MemorySyncService::Outcome::failed);
        QCOMPARE(rig.lastError(), QStringLiteral("Relay error (HTTP 500)"));

        rig.http.answers = {Error::plain(QStringLiteral("The agent is gone."))};
        QCOMPARE(rig.runSync(QStringLiteral("initial")), MemorySyncService::Outcome::failed);
        QCOMPARE(rig.lastError(), QStringLiteral("The agent is gone."));

        rig.relay.storeRaw(R"({"version": "1.0"})"); // a file missing required members
        QCOMPARE(rig.runSync(QStringLiteral("initial")), MemorySyncService::Outcome::failed);
        QVERIFY(rig.lastError().startsWith(QStringLiteral("The soul file could not be read")));

        (void)rig.credentials.deleteItem(CredentialService::relay());
        QCOMPARE(rig.runSync(QStringLiteral("initial")), MemorySyncService::Outcome::failed);
        QCOMPARE(rig.lastError(), QStringLiteral("No relay authentication token"));

        QCOMPARE(rig.relay.writes().size(), 1); // only the refused one
        QCOMPARE(rig.relay.stored(), std::nullopt);
        QCOMPARE(rig.service->currentInterval(), std::chrono::seconds(1800));
        QCOMPARE(rig.service->consecutiveEmptySyncs(), 1);
    }

    void unreachableRelayIsARelayError()
    {
        Rig rig;
        rig.service = nullptr; // rebuilt against a port nothing listens on
        MemorySyncService::Dependencies deps;
        deps.gateway.http = &rig.http;
        deps.credentials = &rig.credentials;
        deps.relayOrigin = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(closedLoopbackPort()));
        MemorySyncService service(std::move(deps), Rig::slow());
        QSignalSpy finished(&service, &MemorySyncService::syncFinished);
        service.start();
        service.sync(QStringLiteral("initial"));
        QVERIFY(finished.wait(kWait));
        QCOMPARE(finished.last().at(1).toString(), QStringLiteral("Relay error (HTTP -1)"));
    }

    void relayAnswersAreBounded()
    {
        MemorySyncService::Timings timings = Rig::slow();
        timings.relayTimeout = std::chrono::seconds(5);
        Rig rig(timings);
        rig.service->start();

        // A relay that never answers: the request ends at its time limit.
        rig.relay.answerNext("GET", ScriptedResponse::hangForever());
        QCOMPARE(rig.runSync(QStringLiteral("initial")), MemorySyncService::Outcome::failed);
        QCOMPARE(rig.lastError(), QStringLiteral("Relay error (HTTP -1)"));

        // An answer too large to be a soul file is cut off, not read whole.
        rig.relay.answerNext("GET", ScriptedResponse::json(200, QByteArray(9 * 1024 * 1024, ' ') + "{}"));
        QCOMPARE(rig.runSync(QStringLiteral("initial")), MemorySyncService::Outcome::failed);
        QCOMPARE(rig.lastError(), QStringLiteral("The relay's answer is larger than 8 MiB."));
        QCOMPARE(rig.http.requests.size(), 0);
        QCOMPARE(rig.relay.writes().size(), 0);
    }

    void endToEndSyncWritesTheMergedFile()
    {
        Rig rig;
        rig.relay.store(storedFile({QStringLiteral("Lives in Lyon")}));
        rig.service->start();
        rig.http.answers = {QStringLiteral("Here you go:\n```json\n") +
                            answerWith({QStringLiteral("Has a cat"), QStringLiteral("Lives in Lyon")},
                                       {QStringLiteral("Likes short answers")}, QStringLiteral("Fixed a bike.")) +
                            QStringLiteral("```")};
        QCOMPARE(rig.runSync(QStringLiteral("initial")), MemorySyncService::Outcome::pushed);
        QVERIFY(rig.service->lastSyncTime());

        // The prompt lists what the relay already knows.
        QCOMPARE(rig.http.requests.size(), 1);
        const ChatCallRequest call = rig.http.requests.first();
        QVERIFY(call.lastUserText.contains(QStringLiteral("(do NOT repeat these):\n- Lives in Lyon\n\nReturn ONLY")));
        QCOMPARE(call.messages.size(), 1);
        QCOMPARE(call.messages.first().value(QStringLiteral("role")), QStringLiteral("user"));
        QCOMPARE(call.messages.first().value(QStringLiteral("content")), call.lastUserText);

        const QList<HttpRequest> writes = rig.relay.writes();
        QCOMPARE(writes.size(), 1);
        QCOMPARE(writes.first().path(), QByteArray("/api/memory/global"));
        QCOMPARE(writes.first().header("Authorization"), "Bearer " + kRelayToken.toUtf8());
        QCOMPARE(writes.first().header("Content-Type"), QByteArray("application/json"));
        const QJsonObject file = writes.first().json().value(QLatin1String("data")).toObject();
        QCOMPARE(factsOf(file), (QStringList{QStringLiteral("Lives in Lyon"), QStringLiteral("Has a cat")}));
        const QJsonObject relationship = file.value(QLatin1String("relationship")).toObject();
        QCOMPARE(relationship.value(QLatin1String("user_name")).toString(), QStringLiteral("Ada"));
        QCOMPARE(relationship.value(QLatin1String("preferences")).toArray(),
                 QJsonArray{QStringLiteral("Likes short answers")});
        QVERIFY(relationship.value(QLatin1String("last_updated")).toString().endsWith(QLatin1Char('Z')));
        QCOMPARE(file.value(QLatin1String("version")).toString(), QStringLiteral("1.1"));
        QCOMPARE(file.value(QLatin1String("metadata")).toObject(),
                 (QJsonObject{{QStringLiteral("total_sessions"), 3}}));
        const QJsonArray episodes = file.value(QLatin1String("episodes")).toArray();
        QCOMPARE(episodes.size(), 1);
        QCOMPARE(episodes.first().toObject().value(QLatin1String("summary")).toString(),
                 QStringLiteral("Fixed a bike."));
        QCOMPARE(episodes.first().toObject().value(QLatin1String("date")).toString(),
                 QDateTime::currentDateTimeUtc().date().toString(Qt::ISODate));
    }

    void factsWrittenMeanwhileByAnotherDeviceAreKept()
    {
        Rig rig;
        rig.relay.store(storedFile({QStringLiteral("Lives in Lyon")}));
        rig.service->start();
        // While the agent thinks, the phone writes a fact of its own.
        rig.http.onCall = [&] {
            rig.relay.store(storedFile({QStringLiteral("Lives in Lyon"), QStringLiteral("Runs")}));
        };
        rig.http.answers = {answerWith({QStringLiteral("Has a cat")})};
        QCOMPARE(rig.runSync(QStringLiteral("initial")), MemorySyncService::Outcome::pushed);
        QCOMPARE(factsOf(rig.relay.stored()),
                 (QStringList{QStringLiteral("Lives in Lyon"), QStringLiteral("Runs"), QStringLiteral("Has a cat")}));
    }

    // The write names the file it was merged into; one that loses the race
    // to another device merges into the newer file and writes again.
    void aWriteThatLosesTheRaceMergesAgain_data()
    {
        QTest::addColumn<QStringList>("before"); // stored before the sync; empty: nothing stored
        QTest::addColumn<QStringList>("racing"); // another device's write just before ours; empty: none
        QTest::addColumn<int>("refused");        // writes the relay refuses outright
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<int>("writes");
        const QString lyon = QStringLiteral("Lives in Lyon");
        const QString runs = QStringLiteral("Runs");
        const QString cat = QStringLiteral("Has a cat");
        QTest::newRow("stored") << QStringList{lyon} << QStringList() << 0 << QStringList{lyon, cat} << 1;
        QTest::newRow("nothing stored") << QStringList() << QStringList() << 0 << QStringList{cat} << 1;
        QTest::newRow("stored, raced") << QStringList{lyon} << QStringList{lyon, runs} << 0
                                       << QStringList{lyon, runs, cat} << 2;
        QTest::newRow("nothing stored, raced")
            << QStringList() << QStringList{runs} << 0 << QStringList{runs, cat} << 2;
        QTest::newRow("refused every time") << QStringList{lyon} << QStringList() << MemorySyncService::maxWriteAttempts
                                            << QStringList{lyon} << MemorySyncService::maxWriteAttempts;
    }

    void aWriteThatLosesTheRaceMergesAgain()
    {
        QFETCH(QStringList, before);
        QFETCH(QStringList, racing);
        QFETCH(int, refused);
        QFETCH(QStringList, after);
        QFETCH(int, writes);
        Rig rig;
        if (!before.isEmpty())
            rig.relay.store(storedFile(before));
        const QString fetchedAt = rig.relay.updatedAt();
        if (!racing.isEmpty())
            rig.relay.storeBeforeNextWrite(storedFile(racing));
        for (int i = 0; i < refused; ++i)
            rig.relay.failNext("PUT", 412);
        rig.service->start();
        rig.http.answers = {answerWith({QStringLiteral("Has a cat")})};
        const MemorySyncService::Outcome outcome = rig.runSync(QStringLiteral("initial"));

        QCOMPARE(outcome, refused ? MemorySyncService::Outcome::failed : MemorySyncService::Outcome::pushed);
        QCOMPARE(factsOf(rig.relay.stored()), after);
        const QList<HttpRequest> sent = rig.relay.writes();
        QCOMPARE(sent.size(), writes);
        const HttpRequest first = sent.first();
        QCOMPARE(first.header("If-Match"), before.isEmpty() ? QByteArray() : '"' + fetchedAt.toUtf8() + '"');
        QCOMPARE(first.header("If-None-Match"), before.isEmpty() ? QByteArray("*") : QByteArray());
        // Written again on the condition of the other device's file.
        if (!racing.isEmpty())
            QVERIFY(sent.last().header("If-Match").startsWith('"'));
    }

    void httpEndpointFirstThenTheWebSocketInASessionOfItsOwn()
    {
        Rig rig;
        rig.service->start();
        rig.http.answers = {kNothingNew};
        rig.runSync(QStringLiteral("initial"));
        QCOMPARE(rig.http.requests.size(), 1);

        // The HTTP endpoint is off (OpenClaw's default): over the socket.
        rig.httpAvailable = false;
        rig.webSocket.usable = true;
        rig.webSocket.answers = {answerWith({QStringLiteral("Has a cat")})};
        QCOMPARE(rig.runSync(QStringLiteral("initial")), MemorySyncService::Outcome::pushed);
        QCOMPARE(rig.http.requests.size(), 1);
        QCOMPARE(rig.webSocket.requests.size(), 1);
        const ChatCallRequest call = rig.webSocket.requests.first();
        QCOMPARE(call.sessionKey, MemorySyncService::syncSessionKey());
        QVERIFY(!call.sessionKey.endsWith(QStringLiteral(":main")));
        QCOMPARE(call.agentId, QStringLiteral("mobile"));
        QVERIFY(!call.requestId.isEmpty());
        QVERIFY(call.deadline.remainingTime() > 0);

        // Neither path can take it: skipped, nothing fetched, no backoff.
        rig.webSocket.usable = false;
        const qsizetype fetches = rig.relay.fetches().size();
        rig.service->sync(QStringLiteral("initial"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.skipped->size(), 1, kWait);
        QCOMPARE(rig.lastSkip(), MemorySyncService::SkipReason::openClawUnreachable);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.service->isExtracting(), kWait);
        QCOMPARE(rig.relay.fetches().size(), fetches);
        QCOMPARE(rig.service->currentInterval(), std::chrono::seconds(900));
    }

    void chatEndpointProbe()
    {
        HttpStandIn gateway;
        QVERIFY(gateway.listen());
        gateway.setDefaultResponse("/healthz", ScriptedResponse::json(200, QByteArrayLiteral("{}")));
        const auto probe = [&](const QUrl &url) {
            auto outcome = std::make_shared<std::optional<bool>>();
            GatewayTarget target;
            target.endpoint = url;
            target.token = QStringLiteral("gateway-token");
            GatewayProbeOptions options;
            options.timeout = std::chrono::milliseconds(kWait);
            probeGateway(target, options).then([outcome](GatewayProbe found) {
                *outcome = found.chatEndpoint == ChatEndpointState::on;
            });
            if (!QTest::qWaitFor([&] { return outcome->has_value(); }, kWait))
                qFatal("the probe did not finish");
            return **outcome;
        };
        const auto refusal = ScriptedResponse::json(
            400, QJsonObject{
                     {QStringLiteral("error"), QJsonObject{{QStringLiteral("message"),
                                                            QStringLiteral("Missing user message in `messages`.")}}}});

        gateway.enqueue(refusal, "/v1/chat/completions");
        QVERIFY(probe(gateway.url()));
        const HttpRequest asked = gateway.lastRequest();
        QCOMPARE(asked.method, QByteArray("POST"));
        QCOMPARE(asked.path(), QByteArray("/v1/chat/completions"));
        QCOMPARE(asked.header("Authorization"), QByteArray("Bearer gateway-token"));
        QCOMPARE(asked.json().value(QLatin1String("messages")).toArray(), QJsonArray()); // nothing for the agent to run
        QCOMPARE(asked.json().value(QLatin1String("model")).toString(), QStringLiteral("openclaw/mobile"));

        // Off (404), a wrong token (401), a gateway still starting (503).
        for (int status : {404, 401, 503}) {
            gateway.enqueue(ScriptedResponse::text(status, "Not now"), "/v1/chat/completions");
            QVERIFY2(!probe(gateway.url()), qPrintable(QString::number(status)));
        }
        QVERIFY(!probe(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(closedLoopbackPort()))));
    }

    void timersDriveTheSchedule()
    {
        MemorySyncService::Timings timings;
        timings.initialSyncDelay = std::chrono::milliseconds(50);
        timings.baseInterval = std::chrono::milliseconds(300);
        timings.maxInterval = std::chrono::milliseconds(1200);
        timings.relayTimeout = std::chrono::milliseconds(kWait);
        Rig rig(timings);
        // Every sync finds something, so the timer keeps syncing.
        for (int i = 0; i < 20; ++i)
            rig.http.answers.append(answerWith({QStringLiteral("Fact %1").arg(i)}));
        rig.service->start();
        QTRY_VERIFY_WITH_TIMEOUT(rig.started->size() >= 3, kWait);
        QCOMPARE(rig.started->first().at(0).toString(), QStringLiteral("initial"));
        QCOMPARE(rig.started->at(1).at(0).toString(), QStringLiteral("timer"));
        QTRY_VERIFY_WITH_TIMEOUT(rig.relay.writes().size() >= 3, kWait);

        // Stopped: no timer, and nothing starts any more.
        rig.service->stop();
        QVERIFY(!rig.service->isRunning());
        QTRY_VERIFY_WITH_TIMEOUT(!rig.service->isExtracting(), kWait);
        const int exchanges = rig.service->exchangeCount();
        for (int i = 0; i < MemorySyncService::exchangeThreshold; ++i)
            rig.service->recordActivity();
        QCOMPARE(rig.service->exchangeCount(), exchanges);
        const qsizetype startedCount = rig.started->size();
        rig.service->start(); // and it can start again
        QVERIFY(rig.service->isRunning());
        QTRY_VERIFY_WITH_TIMEOUT(rig.started->size() > startedCount, kWait);
        rig.service->stop();
        QTRY_VERIFY_WITH_TIMEOUT(!rig.service->isExtracting(), kWait);
    }

    void destroyedWhileTheAgentThinks()
    {
        Rig rig;
        rig.service->start();
        rig.http.hold = true;
        rig.service->sync(QStringLiteral("initial"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.http.requests.size(), 1, kWait);
        rig.service->stop();
        rig.service.reset();
        Q_EMIT rig.http.gate.opened();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        QCOMPARE(rig.relay.writes().size(), 0);
    }
};

QTEST_GUILESS_MAIN(TstMemorySync)
#include "tst_memory_sync.moc"
