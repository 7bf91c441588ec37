// Memory sync against a real OpenClaw gateway, built as the bridge builds it
// (makeMemorySyncService over the gateway's HTTP client and WebSocket). As
// OpenClaw ships, the HTTP chat endpoint is off and the extraction runs over
// the gateway WebSocket in a session of its own; with the endpoint on it goes
// over HTTP. Either way the user's main session never sees the sync. The
// model stand-in behind the gateway answers the extraction prompt; the
// relay's memory store is a loopback stand-in.
#include "gateway/chat_backend.h"
#include "gateway/gateway_http_client.h"
#include "gateway/gateway_web_socket.h"
#include "memory/memory_sync_factory.h"
#include "memory_relay_stand_in.h"
#include "openclaw_gateway.h"
#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"
#include "platform/secrets/secret_backend.h"
#include "platform/settings.h"
#include "temp_settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

using namespace halvex;
using namespace halvex::test;

namespace {

// An agent turn through the gateway takes a while on a loaded machine.
constexpr int kChatWait = 180000;
const QString kRelayToken = QStringLiteral("relay-token-for-memory");
const QString kUserText = QStringLiteral("Hello, I am Ada and I keep bees.");
const QByteArray kPromptMarker = "This is a system memory sync request";

} // namespace

class TstRealGatewayMemory : public QObject
{
    Q_OBJECT

    std::unique_ptr<OpenClawGateway> m_gateway;

    Result<QString> chat(ChatBackend *backend, const QString &text)
    {
        ChatCallRequest request;
        request.requestId = QStringLiteral("user-chat-%1").arg(++m_chats);
        request.lastUserText = text;
        request.messages = {
            ChatMessage{{QStringLiteral("role"), QStringLiteral("user")}, {QStringLiteral("content"), text}}};
        auto outcome = std::make_shared<std::optional<Result<QString>>>();
        backend->sendChat(request, {}).then([outcome](Result<QString> result) { *outcome = std::move(result); });
        if (!QTest::qWaitFor([&] { return outcome->has_value(); }, kChatWait))
            qFatal("the chat did not finish");
        return **outcome;
    }

    // The "mobile" agent's session store (2026.5.x): session key -> id.
    QString sessionStorePath() const
    {
        return m_gateway->homeDir() + QStringLiteral("/.openclaw/agents/mobile/sessions/sessions.json");
    }

    // The transcript of one session, as the store names it; empty when it
    // has none.
    QByteArray transcript(const QString &sessionKey) const
    {
        const QDir sessions = QFileInfo(sessionStorePath()).dir();
        QFile store(sessionStorePath());
        if (!store.open(QIODevice::ReadOnly))
            return {};
        const QJsonObject entry = QJsonDocument::fromJson(store.readAll()).object().value(sessionKey).toObject();
        const QString sessionId = entry.value(QLatin1String("sessionId")).toString();
        if (sessionId.isEmpty())
            return {};
        QFile file(sessions.filePath(sessionId + QStringLiteral(".jsonl")));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    int m_chats = 0;

private Q_SLOTS:
    void initTestCase() { HALVEX_REQUIRE_OPENCLAW(); }

    void cleanup()
    {
        if (m_gateway)
            m_gateway->stop();
        m_gateway.reset();
    }

    void syncStaysOutOfTheUsersSession_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("chatCompletions");
        QTest::addColumn<MemorySyncService::Path>("path");
        for (const QString &version : OpenClawGateway::installedVersions()) {
            QTest::addRow("%s, HTTP endpoint off", qPrintable(version))
                << version << false << MemorySyncService::Path::gatewayWebSocket;
            QTest::addRow("%s, HTTP endpoint on", qPrintable(version))
                << version << true << MemorySyncService::Path::httpEndpoint;
        }
    }

    void syncStaysOutOfTheUsersSession()
    {
        QFETCH(QString, version);
        QFETCH(bool, chatCompletions);
        QFETCH(MemorySyncService::Path, path);
        m_gateway = std::make_unique<OpenClawGateway>(version);
        OpenClawGateway::Options options;
        options.chatCompletions = chatCompletions; // OpenClaw ships it off
        QVERIFY2(m_gateway->start(options), qPrintable(m_gateway->errorString()));
        qInfo("OpenClaw %s healthy on port %d after %lld ms", qPrintable(m_gateway->version()), int(m_gateway->port()),
              m_gateway->startupMs());

        MemoryRelayStandIn relay;
        QVERIFY(relay.listen());
        relay.setToken(kRelayToken);
        CredentialStore credentials(std::make_unique<MemorySecretBackend>());
        (void)credentials.save(CredentialService::relay(), kRelayToken);
        GatewayWebSocket webSocket(&credentials, GatewayWebSocket::Timings{});
        webSocket.connect(m_gateway->httpUrl(), m_gateway->token());
        QTRY_VERIFY_WITH_TIMEOUT(webSocket.isUsableForChat(), 60000);
        GatewayHttpClient http(m_gateway->httpUrl(), m_gateway->token());

        // The user talks to the agent first, in its main session.
        m_gateway->model()->setAnswer(QStringLiteral("Nice to meet you, Ada."));
        const Result<QString> greeting = chat(&webSocket, kUserText);
        QVERIFY2(greeting.ok(), qPrintable(greeting.ok() ? QString() : greeting.error().description()));

        TempSettings settings;
        settings->setBoolean(SettingsKey::memorySyncEnabled, true);
        MemorySyncTimings timings;
        timings.initialSyncDelay = std::chrono::milliseconds(3600000); // the test starts the sync itself
        timings.extractionTimeout = std::chrono::milliseconds(kChatWait);
        const std::unique_ptr<MemorySyncService> sync =
            makeMemorySyncService(&http, &webSocket, &credentials, settings.get(), timings, relay.origin());
        MemorySyncService &service = *sync;
        QSignalSpy extracting(&service, &MemorySyncService::extracting);
        QSignalSpy finished(&service, &MemorySyncService::syncFinished);
        service.start();

        m_gateway->model()->setAnswer(QStringLiteral(
            "```json\n{\"new_facts\": [\"Keeps bees\"], \"new_preferences\": [], \"recent_activity\": null}\n```"));
        const qsizetype modelCallsBefore = m_gateway->model()->chatRequests().size();
        service.sync(QStringLiteral("initial"));
        QVERIFY(finished.wait(kChatWait));
        QCOMPARE(finished.last().at(0).value<MemorySyncService::Outcome>(), MemorySyncService::Outcome::pushed);
        QCOMPARE(extracting.size(), 1);
        QCOMPARE(extracting.first().at(0).value<MemorySyncService::Path>(), path);

        // The prompt reached the model, and the merged file the relay.
        bool promptSeen = false;
        const QList<HttpRequest> modelCalls = m_gateway->model()->chatRequests();
        for (qsizetype i = modelCallsBefore; i < modelCalls.size(); ++i)
            promptSeen = promptSeen || modelCalls.at(i).body.contains(kPromptMarker);
        QVERIFY(promptSeen);
        QVERIFY(relay.stored());
        QCOMPARE(
            relay.stored()->value(QLatin1String("relationship")).toObject().value(QLatin1String("facts")).toArray(),
            QJsonArray{QStringLiteral("Keeps bees")});

        // The user's next turn carries their conversation, not the sync.
        m_gateway->model()->setAnswer(QStringLiteral("Bees are wonderful."));
        const qsizetype callsBeforeNextTurn = m_gateway->model()->chatRequests().size();
        const Result<QString> next = chat(&webSocket, QStringLiteral("What do you know about bees?"));
        QVERIFY(next.ok());
        const QList<HttpRequest> turnCalls = m_gateway->model()->chatRequests().mid(callsBeforeNextTurn);
        QVERIFY(!turnCalls.isEmpty());
        bool contextCarried = false;
        for (const HttpRequest &call : turnCalls) {
            QVERIFY2(!call.body.contains(kPromptMarker), "the sync prompt leaked into the user's session");
            contextCarried = contextCarried || call.body.contains(kUserText.toUtf8());
        }
        QVERIFY(contextCarried);

        // Where the gateway keeps its transcripts as JSON lines (2026.5.x;
        // 2026.9.x moved them into SQLite), its own records agree: the prompt
        // sits in the sync's session, the user's words in the main one.
        if (QFile::exists(sessionStorePath())) {
            const QByteArray mainTranscript = transcript(QStringLiteral("agent:mobile:main"));
            QVERIFY(mainTranscript.contains(kUserText.toUtf8()));
            QVERIFY(!mainTranscript.contains(kPromptMarker));
            if (path == MemorySyncService::Path::gatewayWebSocket)
                QVERIFY(transcript(MemorySyncService::syncSessionKey()).contains(kPromptMarker));
        }
        webSocket.disconnect();
    }
};

QTEST_GUILESS_MAIN(TstRealGatewayMemory)
#include "tst_real_gateway_memory.moc"
