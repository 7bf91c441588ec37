// The gateway WebSocket against the real OpenClaw gateway: the signed
// handshake with the gateway token and then with the device token it
// issued, and a chat through the "mobile" agent; and, on each release line
// installed (2026.9.x and 2026.5.x): a device that is not paired being
// approved with the real `openclaw` tool, devices that an earlier bridge
// paired with other scopes (re-approved where the gateway asks for it), each
// chatting with the scopes asked for now; with the HTTP chat endpoint off as
// shipped, chats in a row and two sessions interleaved, each answered in full
// and in order, and a planted device token that must not lock the socket
// out.
#include "gateway/connect_request_builder.h"
#include "gateway/device_tokens.h"
#include "gateway/gateway_device_identity.h"
#include "gateway/gateway_target.h"
#include "gateway/gateway_web_socket.h"
#include "gateway/pairing_approver.h"
#include "log_capture.h"
#include "openclaw_gateway.h"
#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"
#include "platform/secrets/secret_backend.h"
#include "platform/session/process_runner.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>
#include <QWebSocket>
#include <algorithm>
#include <cstdio>
#include <unistd.h>

#include <qcoro/qcorotask.h>

using namespace halvex;
using test::OpenClawGateway;

namespace {

constexpr int kConnectMs = 90000;
constexpr int kChatMs = 180000;
constexpr int kApprovalMs = 240000;

// A private namespace and veth pair, so that a connection reaches the
// gateway from an address that is not loopback (those are paired silently).
const QString kNamespace = QStringLiteral("halvex-ocws");
const QString kHostEnd = QStringLiteral("hxocws0");
const QString kNamespaceEnd = QStringLiteral("hxocws1");
const QString kHostAddress = QStringLiteral("10.213.0.1");
const QString kNamespaceAddress = QStringLiteral("10.213.0.2");

QString ipTool()
{
    return QStandardPaths::findExecutable(QStringLiteral("ip"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"),
                                                                 QStringLiteral("/usr/bin"), QStringLiteral("/bin")});
}

// Runs `ip` with the arguments; the error output on failure.
std::optional<QString> runIp(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(ipTool(), arguments);
    if (!process.waitForFinished(30000))
        return QStringLiteral("ip %1 did not finish").arg(arguments.join(QLatin1Char(' ')));
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return QStringLiteral("ip %1: %2")
            .arg(arguments.join(QLatin1Char(' ')), QString::fromUtf8(process.readAll()).trimmed());
    return std::nullopt;
}

void removeNamespace()
{
    runIp({QStringLiteral("link"), QStringLiteral("del"), kHostEnd});
    runIp({QStringLiteral("netns"), QStringLiteral("del"), kNamespace});
}

// Creates the namespace and the pair; an explanation when it cannot.
std::optional<QString> createNamespace()
{
    if (ipTool().isEmpty())
        return QStringLiteral("the ip tool is not installed");
    removeNamespace(); // leftovers of an earlier run
    const QList<QStringList> steps = {
        {QStringLiteral("netns"), QStringLiteral("add"), kNamespace},
        {QStringLiteral("link"), QStringLiteral("add"), kHostEnd, QStringLiteral("type"), QStringLiteral("veth"),
         QStringLiteral("peer"), QStringLiteral("name"), kNamespaceEnd},
        {QStringLiteral("link"), QStringLiteral("set"), kNamespaceEnd, QStringLiteral("netns"), kNamespace},
        {QStringLiteral("addr"), QStringLiteral("add"), kHostAddress + QStringLiteral("/30"), QStringLiteral("dev"),
         kHostEnd},
        {QStringLiteral("link"), QStringLiteral("set"), kHostEnd, QStringLiteral("up")},
        {QStringLiteral("-n"), kNamespace, QStringLiteral("addr"), QStringLiteral("add"),
         kNamespaceAddress + QStringLiteral("/30"), QStringLiteral("dev"), kNamespaceEnd},
        {QStringLiteral("-n"), kNamespace, QStringLiteral("link"), QStringLiteral("set"), kNamespaceEnd,
         QStringLiteral("up")},
        {QStringLiteral("-n"), kNamespace, QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("lo"),
         QStringLiteral("up")},
    };
    for (const QStringList &step : steps) {
        if (auto failure = runIp(step)) {
            removeNamespace();
            return failure;
        }
    }
    return std::nullopt;
}

struct NamespaceGuard {
    ~NamespaceGuard() { removeNamespace(); }
};

GatewayWebSocket::Timings timings()
{
    GatewayWebSocket::Timings timings;
    timings.link.initialDelay = std::chrono::milliseconds(200);
    timings.link.maxDelay = std::chrono::milliseconds(2000);
    timings.approvalReconnectDelay = std::chrono::milliseconds(500);
    return timings;
}

bool waitForState(GatewayWebSocket &socket, const GatewayLinkState &state, int timeoutMs)
{
    return QTest::qWaitFor([&] { return socket.state() == state; }, timeoutMs);
}

// What one chat produced, against the real gateway.
struct RealChat {
    QString token;
    std::optional<Result<QString>> result;
    QString streamed;
    bool done() const { return result.has_value(); }
};

std::shared_ptr<RealChat> startRealChat(GatewayWebSocket &socket, const QString &session, const QString &token)
{
    auto chat = std::make_shared<RealChat>();
    chat->token = token;
    ChatCallRequest request;
    request.requestId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    request.sessionKey = session;
    request.lastUserText = QStringLiteral("Repeat after me: ") + token;
    QCoro::connect(
        socket.sendChat(request, [chat](const QString &fragment, const QString &) { chat->streamed += fragment; }),
        &socket, [chat](Result<QString> result) { chat->result.emplace(std::move(result)); });
    return chat;
}

// Each answered in full (the fragments add up to the answer) and with its
// own answer (the model echoes the chat's token).
void verifyAnswered(const QList<std::shared_ptr<RealChat>> &chats, int timeoutMs)
{
    for (const auto &chat : chats) {
        QVERIFY2(QTest::qWaitFor([&] { return chat->done(); }, timeoutMs), qPrintable(chat->token));
        QVERIFY2(chat->result->ok(),
                 qPrintable(chat->token + QStringLiteral(": ") +
                            (chat->result->ok() ? QString() : chat->result->error().description())));
        QVERIFY2(chat->result->value() == QStringLiteral("Answer to %1: one two three 👋 done.").arg(chat->token),
                 qPrintable(chat->token + QStringLiteral(" answered with: ") + chat->result->value()));
        QCOMPARE(chat->streamed, chat->result->value());
    }
}

// The model answers each chat with its token: the last one in the request
// (earlier ones are the session's history).
void answerWithTokens(OpenClawGateway &gateway)
{
    QObject::connect(gateway.model(), &test::ModelStandIn::chatRequestReceived, &gateway,
                     [model = gateway.model()](const test::HttpRequest &request) {
                         static const QRegularExpression token(
                             QStringLiteral("(token-\\d+-of-\\d+|alice-\\d+|bob-\\d+|scoped-\\d+)"));
                         QString last = QStringLiteral("no token");
                         auto matches = token.globalMatch(QString::fromUtf8(request.body));
                         while (matches.hasNext())
                             last = matches.next().captured(1);
                         model->setAnswer(QStringLiteral("Answer to %1: one two three 👋 done.").arg(last));
                     });
}

// One signed connect with the gateway token, asking for `scopes`, on a
// socket of its own: the gateway's answer frame (empty when none came).
QJsonObject connectAttempt(const QUrl &url, const GatewayDeviceIdentity &identity, const QString &token,
                           const QStringList &scopes)
{
    QWebSocket socket;
    QJsonObject answer;
    QObject::connect(&socket, &QWebSocket::textMessageReceived, &socket, [&](const QString &text) {
        const QJsonObject frame = QJsonDocument::fromJson(text.toUtf8()).object();
        if (frame.value(QLatin1String("type")).toString() == QLatin1String("res")) {
            answer = frame;
        } else if (frame.value(QLatin1String("event")).toString() == QLatin1String("connect.challenge")) {
            ConnectRequestBuilder::Input input;
            input.requestId = QStringLiteral("earlier-bridge");
            input.deviceId = identity.deviceId();
            input.publicKeyBase64Url = identity.publicKeyBase64Url();
            input.sign = [&identity](const QString &payload) { return identity.sign(payload); };
            input.nonce = frame.value(QLatin1String("payload")).toObject().value(QLatin1String("nonce")).toString();
            input.authKey = QStringLiteral("token");
            input.token = token;
            input.signedAtMs = QDateTime::currentMSecsSinceEpoch();
            input.scopes = scopes;
            if (const Result<QJsonObject> request = ConnectRequestBuilder::build(input); request.ok())
                socket.sendTextMessage(
                    QString::fromUtf8(QJsonDocument(request.value()).toJson(QJsonDocument::Compact)));
        }
    });
    socket.open(url);
    (void)QTest::qWaitFor([&] { return !answer.isEmpty(); }, kConnectMs);
    return answer;
}

// The answer once the gateway is ready: while it starts (or restarts) its
// parts it answers UNAVAILABLE, and the attempt is repeated as the bridge
// repeats it.
QJsonObject connectOnce(const QUrl &url, const GatewayDeviceIdentity &identity, const QString &token,
                        const QStringList &scopes)
{
    const QDeadlineTimer deadline(kConnectMs);
    QJsonObject answer = connectAttempt(url, identity, token, scopes);
    while (answer.value(QLatin1String("error")).toObject().value(QLatin1String("code")).toString() ==
               QLatin1String("UNAVAILABLE") &&
           !deadline.hasExpired()) {
        QTest::qWait(500); // the gateway's own retryAfterMs
        answer = connectAttempt(url, identity, token, scopes);
    }
    return answer;
}

// This store's device paired as a bridge that asked for `scopes` did it:
// its request approved with the tool, the device token the gateway then
// issued kept where the bridge keeps it. Empty, else what went wrong.
QString pairAsEarlierBridge(const OpenClawGateway &gateway, const QString &tool, CredentialStore *credentials,
                            const QStringList &scopes)
{
    auto identity = GatewayDeviceIdentity::create(credentials);
    if (!identity.ok())
        return identity.error().description();
    const QJsonObject refused = connectOnce(gateway.wsUrl(), *identity.value(), gateway.token(), scopes);
    const QJsonObject error = refused.value(QLatin1String("error")).toObject();
    if (error.value(QLatin1String("code")).toString() != QLatin1String("NOT_PAIRED"))
        return QStringLiteral("not refused as unpaired: ") + QString::fromUtf8(QJsonDocument(refused).toJson());
    PairingApprover approver({}, {});
    const QString hint = error.value(QLatin1String("details")).toObject().value(QLatin1String("requestId")).toString();
    if (!QCoro::waitFor(approver.approve(tool, identity.value()->deviceId(), hint)))
        return QStringLiteral("not approved: ") + approver.failureText();
    const QJsonObject hello = connectOnce(gateway.wsUrl(), *identity.value(), gateway.token(), scopes);
    const QString deviceToken = hello.value(QLatin1String("payload"))
                                    .toObject()
                                    .value(QLatin1String("auth"))
                                    .toObject()
                                    .value(QLatin1String("deviceToken"))
                                    .toString();
    if (deviceToken.isEmpty() || !identity.value()->saveDeviceToken(credentialOrigin(gateway.httpUrl()), deviceToken))
        return QStringLiteral("no device token: ") + QString::fromUtf8(QJsonDocument(hello).toJson());
    return {};
}

} // namespace

class TstRealGatewayWs : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        test::LogCapture::enableDebugLines(); // some cases read debug lines
        HALVEX_REQUIRE_OPENCLAW();
        QVERIFY2(m_gateway.start(), qPrintable(m_gateway.errorString()));
        m_credentials = std::make_unique<CredentialStore>(std::make_unique<MemorySecretBackend>());
    }

    void firstConnectionSignsInWithTheGatewayToken()
    {
        test::LogCapture log;
        GatewayWebSocket socket(m_credentials.get(), timings());
        QVERIFY(socket.deviceIdentity());
        socket.connect(m_gateway.httpUrl(), m_gateway.token());
        QVERIFY2(waitForState(socket, GatewayLinkState::connected(), kConnectMs),
                 qPrintable(socket.state().description()));
        // A gateway that has just come up answers "UNAVAILABLE" for a few
        // seconds; those attempts are retried, each with the gateway token.
        QVERIFY(log.count(QStringLiteral("Using gateway token for initial auth")) >= 1);
        QCOMPARE(log.count(QStringLiteral("Using stored deviceToken for auth")), 0);
        QCOMPARE(log.count(QStringLiteral("Saved deviceToken from hello-ok")), 1);
        const auto deviceToken =
            DeviceTokens(m_credentials.get()).load(credentialOrigin(m_gateway.httpUrl())).valueOr(std::nullopt);
        QVERIFY(deviceToken.has_value() && !deviceToken->isEmpty());
        QVERIFY(socket.isUsableForChat());
        socket.disconnect();
    }

    void aLaterRunSignsInWithTheDeviceToken()
    {
        QVERIFY(DeviceTokens(m_credentials.get()).load(credentialOrigin(m_gateway.httpUrl())).valueOr(std::nullopt));
        test::LogCapture log;
        GatewayWebSocket socket(m_credentials.get(), timings());
        QCOMPARE(log.countStartingWith(QStringLiteral("Loaded existing device identity — deviceId: ")), 1);
        // No gateway token at all: the device token alone must do.
        socket.connect(m_gateway.httpUrl(), QString());
        QVERIFY2(waitForState(socket, GatewayLinkState::connected(), kConnectMs),
                 qPrintable(socket.state().description()));
        QCOMPARE(log.count(QStringLiteral("Using stored deviceToken for auth")), 1);
        QCOMPARE(log.count(QStringLiteral("Using gateway token for initial auth")), 0);
        socket.disconnect();
    }

    void aChatThroughTheMobileAgent()
    {
        test::LogCapture log;
        const QString answer = QStringLiteral("Hello from the model stand-in, with an emoji 👋 at the end.");
        m_gateway.model()->setAnswer(answer);
        m_gateway.model()->setChunkDelayMs(60);

        GatewayWebSocket socket(m_credentials.get(), timings());
        socket.connect(m_gateway.httpUrl(), m_gateway.token());
        QVERIFY2(waitForState(socket, GatewayLinkState::connected(), kConnectMs),
                 qPrintable(socket.state().description()));

        QStringList fragments;
        QStringList totals;
        std::optional<Result<QString>> result;
        QCoro::connect(socket.sendChat(QStringLiteral("Say hello, please."), QStringLiteral("mobile"),
                                       [&](const QString &fragment, const QString &total) {
                                           fragments << fragment;
                                           totals << total;
                                       }),
                       &socket, [&](Result<QString> r) { result.emplace(std::move(r)); });
        QVERIFY(QTest::qWaitFor([&] { return result.has_value(); }, kChatMs));
        QVERIFY2(result->ok(), qPrintable(result->ok() ? QString() : result->error().description()));
        QCOMPARE(result->value(), answer);

        // One fragment per growth of the text, adding up to the answer.
        QVERIFY(!fragments.isEmpty());
        QString sum;
        for (int i = 0; i < fragments.size(); ++i) {
            QVERIFY(!fragments.at(i).isEmpty());
            sum += fragments.at(i);
            QCOMPARE(totals.at(i), sum);
        }
        QCOMPARE(sum, answer);
        QCOMPARE(log.countStartingWith(QStringLiteral("Delta: +")), fragments.size());
        QCOMPARE(log.countStartingWith(QStringLiteral("Stream complete (")), 1);
        qInfo("answer arrived in %d fragments", int(fragments.size()));

        // The model got the message through the mobile agent.
        const auto requests = m_gateway.model()->chatRequests();
        QVERIFY(!requests.isEmpty());
        // (OpenClaw wraps the user's text with context of its own.)
        bool delivered = false;
        for (const auto &request : requests)
            delivered = delivered || request.body.contains("Say hello, please.");
        QVERIFY(delivered);
        socket.disconnect();
    }

    // --- pairing, on each release line ------------------------------------

    void devicesArePairedWithTheRealTool_data()
    {
        QTest::addColumn<QString>("version");
        for (const QString &version : OpenClawGateway::supportedVersions())
            QTest::newRow(qPrintable(version)) << version;
    }

    void devicesArePairedWithTheRealTool()
    {
        QFETCH(QString, version);
        HALVEX_REQUIRE_OPENCLAW_VERSION(version);
        // Only one gateway at a time on this machine.
        m_gateway.stop();

        if (::geteuid() != 0)
            QSKIP("Creating a network namespace needs root; the NOT_PAIRED case needs a non-loopback client");
        NamespaceGuard guard;
        if (auto failure = createNamespace())
            QSKIP(qPrintable(QStringLiteral("No network namespace for the NOT_PAIRED case: ") + *failure));

        // The gateway runs inside the namespace on all of its addresses: its
        // end of the pair for the bridge, its loopback for the tool (2026.5
        // listens on a custom bind address alone). The model answers it from
        // this end of the pair.
        OpenClawGateway gateway(version);
        OpenClawGateway::Options options;
        options.bind = QStringLiteral("lan");
        options.connectHost = kNamespaceAddress;
        options.launchPrefix = {ipTool(), QStringLiteral("netns"), QStringLiteral("exec"), kNamespace};
        QVERIFY(gateway.model()->listen(0, QHostAddress(kHostAddress)));
        answerWithTokens(gateway);
        QVERIFY2(gateway.start(options), qPrintable(gateway.errorString()));

        // The tool must reach the gateway on the namespace's loopback too.
        QTemporaryDir toolDir;
        QVERIFY(toolDir.isValid());
        const QString tool = toolDir.filePath(QStringLiteral("openclaw"));
        {
            QFile file(tool);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QStringLiteral("#!/bin/sh\nexec %1 netns exec %2 %3 \"$@\"\n")
                           .arg(ipTool(), kNamespace, gateway.cliPath())
                           .toUtf8());
            file.close();
            QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        }
        const QString mobile = QStringLiteral("agent:mobile:main");

        // A new device: refused, approved with the tool, and then it chats
        // with the scopes it asked for.
        test::LogCapture log;
        auto credentials = std::make_unique<CredentialStore>(std::make_unique<MemorySecretBackend>());
        GatewayWebSocket socket(credentials.get(), timings());
        const QString deviceId = socket.deviceIdentity()->deviceId();
        socket.setOpenClawBinaryPath(tool);
        socket.connect(gateway.httpUrl(), gateway.token());

        QVERIFY(log.waitFor(QStringLiteral("Device NOT_PAIRED — attempting auto-approval..."), 1, kConnectMs));
        QVERIFY2(waitForState(socket, GatewayLinkState::connected(), kApprovalMs),
                 qPrintable(socket.state().description()));
        // What the tool printed, for the record.
        QStringList toolOutput = log.messagesStartingWith(QStringLiteral("devices list"));
        toolOutput += log.messagesStartingWith(QStringLiteral("Approve result: "));
        for (const QString &line : std::as_const(toolOutput))
            std::fprintf(stderr, "%s\n", qPrintable(line));
        // (2026.5 prints a line about its fallback first.)
        QCOMPARE(log.messagesStartingWith(QStringLiteral("Approve result: "))
                     .filter(QStringLiteral("Approved ") + deviceId)
                     .size(),
                 1);
        QCOMPARE(log.countStartingWith(QStringLiteral("Device NOT_PAIRED — auto-approval already attempted")), 0);
        QCOMPARE(log.count(QStringLiteral("Saved deviceToken from hello-ok")), 1);
        verifyAnswered({startRealChat(socket, mobile, QStringLiteral("scoped-1"))}, kChatMs);
        if (QTest::currentTestFailed())
            return;

        // The gateway now lists this device as paired.
        ProcessRequest listRequest;
        listRequest.program = tool;
        listRequest.arguments = {QStringLiteral("devices"), QStringLiteral("list"), QStringLiteral("--json")};
        listRequest.timeout = std::chrono::minutes(2);
        const ProcessOutcome list = QCoro::waitFor(runProcess(listRequest));
        QVERIFY(list.exitedWithSuccess());
        bool paired = false;
        const QJsonArray pairedDevices =
            QJsonDocument::fromJson(list.standardOutput).object().value(QLatin1String("paired")).toArray();
        for (const QJsonValue &entry : pairedDevices)
            paired = paired || entry.toObject().value(QLatin1String("deviceId")).toString() == deviceId;
        QVERIFY2(paired, list.standardOutput.constData());
        socket.disconnect();

        // Devices an earlier bridge paired, now asking for the least scopes:
        // fewer than approved (operator.admin covers every operator scope)
        // connect at once, on both lines; more than approved is a scope
        // upgrade, a pending request of its own that is approved again.
        struct Earlier {
            QStringList scopes;
            bool reapproved;
        };
        const QList<Earlier> earlierBridges = {
            {{QStringLiteral("operator.admin"), QStringLiteral("operator.approvals"),
              QStringLiteral("operator.pairing")},
             false},
            {{QStringLiteral("operator.read")}, true},
        };
        int chats = 1;
        for (const Earlier &earlier : earlierBridges) {
            auto store = std::make_unique<CredentialStore>(std::make_unique<MemorySecretBackend>());
            const QString failure = pairAsEarlierBridge(gateway, tool, store.get(), earlier.scopes);
            QVERIFY2(failure.isEmpty(), qPrintable(failure));

            test::LogCapture upgradeLog;
            GatewayWebSocket again(store.get(), timings());
            again.setOpenClawBinaryPath(tool);
            QSignalSpy approverStates(again.pairingApprover(), &PairingApprover::stateChanged);
            again.connect(gateway.httpUrl(), gateway.token());
            QVERIFY2(waitForState(again, GatewayLinkState::connected(), kApprovalMs),
                     qPrintable(again.state().description()));
            const bool approved = std::any_of(approverStates.cbegin(), approverStates.cend(), [](const auto &args) {
                return args.at(0).template value<PairingApprover::State>() == PairingApprover::State::done;
            });
            for (const QString &line : upgradeLog.messagesStartingWith(QStringLiteral("Connect failed: ")))
                std::fprintf(stderr, "OpenClaw %s, paired with %s: %s\n", qPrintable(version),
                             qPrintable(earlier.scopes.join(QLatin1Char(','))), qPrintable(line));
            QCOMPARE(approved, earlier.reapproved);
            verifyAnswered({startRealChat(again, mobile, QStringLiteral("scoped-%1").arg(++chats))}, kChatMs);
            if (QTest::currentTestFailed())
                return;
            again.disconnect();
        }
        gateway.stop();
    }

    // --- both release lines, as shipped ---------------------------------------

    void chatsOnEachReleaseLine_data()
    {
        QTest::addColumn<QString>("version");
        for (const QString &version : OpenClawGateway::supportedVersions())
            QTest::newRow(qPrintable(version)) << version;
    }

    void chatsOnEachReleaseLine()
    {
        QFETCH(QString, version);
        HALVEX_REQUIRE_OPENCLAW_VERSION(version);
        // Only one gateway at a time on this machine.
        m_gateway.stop();
        OpenClawGateway gateway(version);
        OpenClawGateway::Options options;
        options.chatCompletions = false; // as OpenClaw ships it
        QVERIFY2(gateway.start(options), qPrintable(gateway.errorString()));
        answerWithTokens(gateway);
        gateway.model()->setChunkDelayMs(20);

        auto credentials = std::make_unique<CredentialStore>(std::make_unique<MemorySecretBackend>());
        GatewayWebSocket::Timings socketTimings = timings();
        // Ten chats queued at once on a loaded machine.
        socketTimings.chatTimeout = std::chrono::milliseconds(900000);
        auto socket = std::make_unique<GatewayWebSocket>(credentials.get(), socketTimings);
        socket->connect(gateway.httpUrl(), gateway.token());
        QVERIFY2(waitForState(*socket, GatewayLinkState::connected(), kConnectMs),
                 qPrintable(socket->state().description()));
        const QString mobile = QStringLiteral("agent:mobile:main");
        QElapsedTimer clock;

        // Three, then ten chats arriving together on one session.
        for (const int count : {3, 10}) {
            clock.start();
            QList<std::shared_ptr<RealChat>> chats;
            for (int i = 1; i <= count; ++i)
                chats << startRealChat(*socket, mobile, QStringLiteral("token-%1-of-%2").arg(i).arg(count));
            verifyAnswered(chats, kChatMs * 2);
            if (QTest::currentTestFailed())
                return;
            qInfo("OpenClaw %s: %d chats in a row answered in %lld ms", qPrintable(version), count, clock.elapsed());
        }

        // Two app users interleaved, each on a session of their own.
        clock.start();
        QList<std::shared_ptr<RealChat>> interleaved;
        for (int i = 1; i <= 2; ++i) {
            interleaved << startRealChat(*socket, QStringLiteral("agent:mobile:alice"),
                                         QStringLiteral("alice-%1").arg(i));
            interleaved << startRealChat(*socket, QStringLiteral("agent:mobile:bob"), QStringLiteral("bob-%1").arg(i));
        }
        verifyAnswered(interleaved, kChatMs * 2);
        if (QTest::currentTestFailed())
            return;
        qInfo("OpenClaw %s: two sessions interleaved answered in %lld ms", qPrintable(version), clock.elapsed());
        socket->disconnect();
        socket.reset();

        // A planted device token is dropped for the gateway token.
        test::LogCapture log;
        const QString origin = credentialOrigin(gateway.httpUrl());
        QVERIFY(DeviceTokens(credentials.get()).save(origin, QStringLiteral("planted-device-token")));
        socket = std::make_unique<GatewayWebSocket>(credentials.get(), socketTimings);
        socket->connect(gateway.httpUrl(), gateway.token());
        QVERIFY2(waitForState(*socket, GatewayLinkState::connected(), kConnectMs),
                 qPrintable(socket->state().description()));
        for (const QString &line : log.messagesStartingWith(QStringLiteral("Connect failed: ")))
            qInfo("OpenClaw %s refused the planted token: %s", qPrintable(version), qPrintable(line));
        QVERIFY(DeviceTokens(credentials.get()).load(origin).valueOr(std::nullopt) !=
                std::optional<QString>(QStringLiteral("planted-device-token")));
        socket->disconnect();
        gateway.stop();
    }

private:
    OpenClawGateway m_gateway;
    std::unique_ptr<CredentialStore> m_credentials;
};

QTEST_GUILESS_MAIN(TstRealGatewayWs)
#include "tst_real_gateway_ws.moc"
