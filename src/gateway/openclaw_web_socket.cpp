#include "gateway/openclaw_web_socket.h"

#include "platform/characters.h"

#include "gateway/openclaw_device_identity.h"
#include "gateway/pairing_request_parser.h"
#include "gateway/shell_runner.h"
#include "platform/logging.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStringDecoder>
#include <QTimer>
#include <QUuid>

#include <qcoro/qcorotimer.h>

#include <algorithm>
#include <chrono>
#include <coroutine>
#include <utility>

namespace halvex {

namespace {

const QString kClientId = QStringLiteral("openclaw-ios");
const QString kClientMode = QStringLiteral("ui");
const QString kRole = QStringLiteral("operator");
const QStringList kScopes = {QStringLiteral("operator.admin"), QStringLiteral("operator.approvals"),
                             QStringLiteral("operator.pairing")};
const QString kNoSuchFile = QStringLiteral("No such file or directory");

std::chrono::milliseconds toMs(double seconds)
{
    return std::chrono::milliseconds(qint64(std::max(0.0, seconds) * 1000.0));
}

QString freshId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

// False for text with lone surrogates, which has no UTF-8 form.
bool isEncodable(const QString &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate()) {
            if (i + 1 >= text.size() || !text.at(i + 1).isLowSurrogate())
                return false;
            ++i;
        } else if (c.isLowSurrogate()) {
            return false;
        }
    }
    return true;
}

QString joinedKeys(const QJsonObject &object)
{
    return object.keys().join(QLatin1Char(','));
}

std::optional<QString> stringAt(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

QString orNil(const std::optional<QString> &text)
{
    return text ? *text : QStringLiteral("<nil>");
}

} // namespace

// One chat.send request from the caller's call to its single outcome. The
// caller's coroutine waits on it; whoever finishes the call first resumes
// the caller, later finishers find the outcome set and do nothing.
struct OpenClawWebSocket::ChatCall {
    QString requestId;
    QString idempotencyKey;
    QString message;
    QString agentId;
    DeltaHandler onDelta;
    QString runId; // from the gateway's acknowledgement
    QPointer<QTimer> timeout;
    std::optional<Result<QString>> outcome;
    std::coroutine_handle<> waiting;

    void resolve(Result<QString> result)
    {
        if (outcome)
            return;
        outcome.emplace(std::move(result));
        if (auto handle = std::exchange(waiting, {}))
            handle.resume();
    }

    struct Awaiter {
        std::shared_ptr<ChatCall> call;
        bool await_ready() const noexcept { return call->outcome.has_value(); }
        void await_suspend(std::coroutine_handle<> handle) noexcept { call->waiting = handle; }
        Result<QString> await_resume() { return std::move(*call->outcome); }
    };
};

OpenClawWebSocket::OpenClawWebSocket(KeychainManager *keychain, Timings timings, ShellRunner shellRunner,
                                     QObject *parent)
    : QObject(parent), m_keychain(keychain), m_timings(timings),
      m_shellRunner(shellRunner ? std::move(shellRunner) : ShellRunner(runShellCommand)), m_pingTimer(new QTimer(this)),
      m_reconnectTimer(new QTimer(this)), m_reconnectDelay(timings.initialReconnectDelay)
{
    m_pingTimer->setInterval(toMs(m_timings.pingInterval));
    QObject::connect(m_pingTimer, &QTimer::timeout, this, &OpenClawWebSocket::sendPing);
    m_reconnectTimer->setSingleShot(true);
    QObject::connect(m_reconnectTimer, &QTimer::timeout, this, [this] {
        if (!m_isIntentionalDisconnect)
            connectionAttempt();
    });

    auto identity = OpenClawDeviceIdentity::create(m_keychain);
    if (identity.ok())
        m_deviceIdentity = std::move(identity).value();
    else
        qCCritical(lcOcWs, "Failed to initialize device identity: %s", qUtf8Printable(identity.error().description()));
}

OpenClawWebSocket::~OpenClawWebSocket()
{
    m_isIntentionalDisconnect = true;
    ++m_generation;
    if (m_socket)
        releaseSocket(m_socket, true);
    // Nobody may wait forever on a client that is gone. The callers resume
    // here; they must not use this client any more.
    std::vector<std::shared_ptr<ChatCall>> waiting(m_chatQueue.begin(), m_chatQueue.end());
    for (const auto &call : std::as_const(m_pendingRequests))
        waiting.push_back(call);
    m_chatQueue.clear();
    m_pendingRequests.clear();
    m_inFlightChat.reset();
    for (const auto &call : waiting)
        call->resolve(BridgeError::networkError(QStringLiteral("Disconnected")));
}

void OpenClawWebSocket::setState(const OpenClawWSState &state)
{
    if (m_state == state)
        return;
    m_state = state;
    Q_EMIT stateChanged(m_state);
}

bool OpenClawWebSocket::isSocketOpen() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

bool OpenClawWebSocket::isUsableForChat() const
{
    return m_state.kind() == OpenClawWSState::Kind::connected && isSocketOpen();
}

// ---------------------------------------------------------------------------
// Connection

void OpenClawWebSocket::connect(const QUrl &gatewayURL, const QString &gatewayToken)
{
    m_gatewayURL = gatewayURL;
    m_gatewayToken = gatewayToken;
    m_isIntentionalDisconnect = false;
    m_reconnectAttempt = 0;
    m_reconnectDelay = m_timings.initialReconnectDelay;
    m_autoApprovalAttempted = false;
    ++m_generation;
    connectionAttempt();
}

void OpenClawWebSocket::disconnect()
{
    m_isIntentionalDisconnect = true;
    ++m_generation;
    m_reconnectTimer->stop();
    m_pingTimer->stop();
    if (m_socket)
        releaseSocket(m_socket, true);
    m_isConnecting = false;
    m_connectRequestId.reset();
    setState(OpenClawWSState::disconnected());
    failAllWaiting(BridgeError::networkError(QStringLiteral("Disconnected")));
}

QString OpenClawWebSocket::webSocketUrlText() const
{
    QString text = m_gatewayURL.toString(QUrl::FullyEncoded);
    text.replace(QLatin1String("http://"), QLatin1String("ws://"));
    text.replace(QLatin1String("https://"), QLatin1String("wss://"));
    const QUrl parsed(text, QUrl::StrictMode);
    if (parsed.isValid() && !parsed.host().isEmpty() && parsed.port() != -1) {
        // An IPv6 literal keeps its brackets.
        const QString host = parsed.host().contains(QLatin1Char(':'))
                                 ? QLatin1Char('[') + parsed.host() + QLatin1Char(']')
                                 : parsed.host();
        return QStringLiteral("ws://") + host + QLatin1Char(':') + QString::number(parsed.port());
    }
    return text;
}

void OpenClawWebSocket::connectionAttempt()
{
    if (m_gatewayURL.isEmpty())
        return;
    if (m_isConnecting) {
        qCDebug(lcOcWs, "Already connecting — skipping");
        return;
    }
    if (m_state.kind() == OpenClawWSState::Kind::connected && isSocketOpen()) {
        qCDebug(lcOcWs, "Already connected — skipping");
        return;
    }

    m_isConnecting = true;
    if (m_socket)
        releaseSocket(m_socket, true);
    m_pingTimer->stop();

    const QString urlText = webSocketUrlText();
    const QUrl url(urlText, QUrl::StrictMode);
    if (urlText.isEmpty() || !url.isValid() || url.scheme().isEmpty()) {
        qCCritical(lcOcWs, "Invalid WebSocket URL: %s", qUtf8Printable(urlText));
        setState(OpenClawWSState::error(QStringLiteral("Invalid URL")));
        m_isConnecting = false;
        return;
    }

    setState(OpenClawWSState::connecting());

    auto *socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    m_socket = socket;
    // Every handler first checks that its socket is still the current one,
    // so a replaced connection never touches the newer one.
    QObject::connect(socket, &QWebSocket::textMessageReceived, this,
                     [this, socket](const QString &text) { handleMessage(socket, text); });
    QObject::connect(socket, &QWebSocket::binaryMessageReceived, this, [this, socket](const QByteArray &data) {
        QStringDecoder decoder(QStringDecoder::Utf8);
        const QString text = decoder.decode(data);
        if (!decoder.hasError())
            handleMessage(socket, text);
    });
    QObject::connect(socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
                     [this, socket](QAbstractSocket::SocketError) { handleDrop(socket, socket->errorString()); });
    QObject::connect(socket, &QWebSocket::disconnected, this, [this, socket] {
        // Qt reports a refused or failed opening as a disconnection before
        // the error itself: name the error, not a close code nobody sent.
        if (socket->error() != QAbstractSocket::UnknownSocketError && !socket->errorString().isEmpty()) {
            handleDrop(socket, socket->errorString());
            return;
        }
        QString reason = QStringLiteral("The connection was closed (code %1)").arg(int(socket->closeCode()));
        if (!socket->closeReason().isEmpty())
            reason = QStringLiteral("The connection was closed (code %1: %2)")
                         .arg(int(socket->closeCode()))
                         .arg(socket->closeReason());
        handleDrop(socket, reason);
    });

    qCInfo(lcOcWs, "Connecting to OpenClaw WS at %s...", qUtf8Printable(urlText));

    // Challenge watchdog: a gateway that accepts the socket but never sends
    // its challenge counts as a drop.
    QTimer::singleShot(toMs(m_timings.challengeTimeout), this, [this, watched = QPointer<QWebSocket>(socket)] {
        if (!watched || watched != m_socket)
            return;
        if (m_state.kind() != OpenClawWSState::Kind::connecting)
            return;
        qCCritical(lcOcWs, "No challenge received within 10s");
        m_isConnecting = false;
        handleDrop(watched, std::nullopt);
    });

    socket->open(url);
}

void OpenClawWebSocket::releaseSocket(QWebSocket *socket, bool close)
{
    if (!socket)
        return;
    socket->disconnect(this);
    if (m_socket == socket)
        m_socket = nullptr;
    if (close && socket->state() == QAbstractSocket::ConnectedState)
        socket->close(QWebSocketProtocol::CloseCodeGoingAway);
    else
        socket->abort();
    socket->deleteLater();
}

void OpenClawWebSocket::handleDrop(QWebSocket *socket, const std::optional<QString> &receiveError)
{
    if (!socket || socket != m_socket)
        return;
    if (receiveError)
        qCCritical(lcOcWs, "OC-WS receive error: %s", qUtf8Printable(*receiveError));

    m_pingTimer->stop();
    releaseSocket(socket, false);
    const OpenClawWSState previous = m_state;
    m_isConnecting = false;
    m_connectRequestId.reset();
    setState(OpenClawWSState::disconnected());

    QPointer<OpenClawWebSocket> self(this);
    failAllWaiting(BridgeError::networkError(QStringLiteral("OpenClaw WebSocket disconnected")));
    if (!self || m_isIntentionalDisconnect)
        return;
    if (previous.kind() == OpenClawWSState::Kind::connected) {
        m_reconnectAttempt = 0;
        m_reconnectDelay = m_timings.initialReconnectDelay;
    }
    scheduleReconnect();
}

void OpenClawWebSocket::scheduleReconnect()
{
    if (m_isIntentionalDisconnect)
        return;
    ++m_reconnectAttempt;
    if (m_reconnectAttempt > m_timings.maxReconnectAttempts) {
        qCCritical(lcOcWs, "Max reconnect attempts (%ld) reached — giving up", long(m_timings.maxReconnectAttempts));
        setState(OpenClawWSState::error(QStringLiteral("Connection failed")));
        return;
    }
    m_reconnectTimer->stop();
    qCInfo(lcOcWs, "OC-WS reconnecting in %fs (attempt %ld/%ld)...", m_reconnectDelay, long(m_reconnectAttempt),
           long(m_timings.maxReconnectAttempts));
    m_reconnectTimer->start(toMs(m_reconnectDelay));
    m_reconnectDelay = std::min(m_reconnectDelay * 2.0, m_timings.maxReconnectDelay);
}

void OpenClawWebSocket::sendPing()
{
    if (!m_socket)
        return;
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        qCCritical(lcOcWs, "OC-WS ping failed: %s", "Socket is not connected");
        return;
    }
    m_socket->ping();
}

// ---------------------------------------------------------------------------
// Frames

void OpenClawWebSocket::handleMessage(QWebSocket *socket, const QString &text)
{
    if (socket != m_socket)
        return;
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject())
        return;
    const QJsonObject frame = doc.object();
    const auto type = stringAt(frame, "type");
    if (!type)
        return;
    const QString eventName = stringAt(frame, "event").value_or(QStringLiteral("-"));
    qCInfo(lcOcWs, "OC-WS ← type=%s event=%s keys=%s", qUtf8Printable(*type), qUtf8Printable(eventName),
           qUtf8Printable(joinedKeys(frame)));
    if (*type == QLatin1String("res"))
        handleResponse(frame);
    else if (*type == QLatin1String("event"))
        handleEvent(frame);
}

void OpenClawWebSocket::handleResponse(const QJsonObject &frame)
{
    const auto id = stringAt(frame, "id");
    if (!id)
        return;
    const QJsonValue okValue = frame.value(QLatin1String("ok"));
    const bool ok = okValue.isBool() && okValue.toBool();
    if (m_connectRequestId && *m_connectRequestId == *id) {
        m_connectRequestId.reset();
        handleConnectResponse(frame, ok);
        return;
    }
    handleChatResponse(*id, ok, frame);
}

void OpenClawWebSocket::handleEvent(const QJsonObject &frame)
{
    const QString name = stringAt(frame, "event").value_or(QString());
    const QJsonValue payloadValue = frame.value(QLatin1String("payload"));
    const QJsonObject payload = payloadValue.toObject();

    if (name == QLatin1String("connect.challenge")) {
        handleChallenge(payload);
    } else if (name == QLatin1String("agent") || name == QLatin1String("chat") || name == QLatin1String("assistant") ||
               name == QLatin1String("lifecycle")) {
        const QJsonObject data = payload.value(QLatin1String("data")).toObject();
        const QString text = stringAt(data, "text").value_or(QString());
        qCInfo(lcOcWs, "OC-WS event=%s stream=%s phase=%s text_len=%ld preview=%s", qUtf8Printable(name),
               qUtf8Printable(stringAt(payload, "stream").value_or(QStringLiteral("-"))),
               qUtf8Printable(stringAt(data, "phase").value_or(QStringLiteral("-"))), long(characterCount(text)),
               qUtf8Printable(firstCharacters(text, 40)));
        if (payloadValue.isObject())
            handleAgentEvent(payload);
    } else if (name == QLatin1String("tick") || name == QLatin1String("health") ||
               name == QLatin1String("voicewake.changed")) {
        // Routine gateway chatter.
    } else {
        qCDebug(lcOcWs, "OC-WS event: %s", qUtf8Printable(name));
    }
}

void OpenClawWebSocket::handleChallenge(const QJsonObject &payload)
{
    const auto nonce = stringAt(payload, "nonce");
    if (payload.isEmpty() || !nonce) {
        qCCritical(lcOcWs, "Challenge missing nonce");
        setState(OpenClawWSState::error(QStringLiteral("Invalid challenge")));
        m_isConnecting = false;
        return;
    }
    qCInfo(lcOcWs, "Received connect.challenge");
    setState(OpenClawWSState::authenticating());

    if (!m_deviceIdentity) {
        qCCritical(lcOcWs, "No device identity — cannot authenticate");
        setState(OpenClawWSState::error(QStringLiteral("No device identity")));
        m_isConnecting = false;
        return;
    }

    QString authKey;
    QString token;
    const std::optional<QString> deviceToken = m_deviceIdentity->loadDeviceToken();
    if (deviceToken && !deviceToken->isEmpty()) {
        qCInfo(lcOcWs, "Using stored deviceToken for auth");
        authKey = QStringLiteral("deviceToken");
        token = *deviceToken;
    } else {
        qCInfo(lcOcWs, "Using gateway token for initial auth");
        authKey = QStringLiteral("token");
        token = m_gatewayToken;
    }

    const qint64 signedAt = QDateTime::currentMSecsSinceEpoch();
    const QString deviceId = m_deviceIdentity->deviceId();
    const QString signedPayload =
        QStringList{QStringLiteral("v2"),      deviceId, kClientId, kClientMode, kRole, kScopes.join(QLatin1Char(',')),
                    QString::number(signedAt), token,    *nonce}
            .join(QLatin1Char('|'));
    qCDebug(lcOcWs, "Signing payload (%ld bytes)", long(signedPayload.toUtf8().size()));

    const Result<QString> signature = m_deviceIdentity->sign(signedPayload);
    if (!signature.ok()) {
        qCCritical(lcOcWs, "Signing failed: %s", qUtf8Printable(signature.error().description()));
        setState(OpenClawWSState::error(QStringLiteral("Signing failed")));
        m_isConnecting = false;
        return;
    }

    const QString requestId = freshId();
    m_connectRequestId = requestId;
    const QJsonObject params{
        // Gateways from 2026.9 speak protocol 4 and refuse a client that
        // offers only 3; older ones answer with 3.
        {QStringLiteral("minProtocol"), 3},
        {QStringLiteral("maxProtocol"), 4},
        {QStringLiteral("client"), QJsonObject{{QStringLiteral("id"), kClientId},
                                               {QStringLiteral("version"), QStringLiteral("1.0.0")},
                                               {QStringLiteral("platform"), QStringLiteral("macos")},
                                               {QStringLiteral("mode"), kClientMode}}},
        {QStringLiteral("role"), kRole},
        {QStringLiteral("scopes"), QJsonArray::fromStringList(kScopes)},
        {QStringLiteral("caps"), QJsonArray{QStringLiteral("voice")}},
        {QStringLiteral("commands"), QJsonArray{}},
        {QStringLiteral("permissions"), QJsonObject{}},
        {QStringLiteral("auth"), QJsonObject{{authKey, token}}},
        {QStringLiteral("device"), QJsonObject{{QStringLiteral("id"), deviceId},
                                               {QStringLiteral("publicKey"), m_deviceIdentity->publicKeyBase64Url()},
                                               {QStringLiteral("signature"), signature.value()},
                                               {QStringLiteral("signedAt"), signedAt},
                                               {QStringLiteral("nonce"), *nonce}}},
    };
    const QJsonObject request{{QStringLiteral("type"), QStringLiteral("req")},
                              {QStringLiteral("id"), requestId},
                              {QStringLiteral("method"), QStringLiteral("connect")},
                              {QStringLiteral("params"), params}};
    if (!isEncodable(token) || !isEncodable(*nonce)) {
        qCCritical(lcOcWs, "Failed to serialize connect request");
        setState(OpenClawWSState::error(QStringLiteral("Serialization failed")));
        m_isConnecting = false;
        return;
    }
    const QString text = QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact));

    if (!m_socket)
        return;
    const qint64 sent = m_socket->sendTextMessage(text);
    if (sent <= 0) {
        const QString why =
            m_socket->errorString().isEmpty() ? QStringLiteral("Socket is not connected") : m_socket->errorString();
        qCCritical(lcOcWs, "Failed to send connect request: %s", qUtf8Printable(why));
        setState(OpenClawWSState::error(QStringLiteral("Send failed")));
        m_isConnecting = false;
        return;
    }
    qCInfo(lcOcWs, "Sent connect request %s", qUtf8Printable(requestId));
}

void OpenClawWebSocket::handleConnectResponse(const QJsonObject &frame, bool ok)
{
    m_isConnecting = false;
    if (ok) {
        const QJsonObject auth =
            frame.value(QLatin1String("payload")).toObject().value(QLatin1String("auth")).toObject();
        const auto deviceToken = stringAt(auth, "deviceToken");
        if (deviceToken && !deviceToken->isEmpty() && m_deviceIdentity) {
            if (m_deviceIdentity->saveDeviceToken(*deviceToken))
                qCInfo(lcOcWs, "Saved deviceToken from hello-ok");
        }
        m_reconnectAttempt = 0;
        m_reconnectDelay = m_timings.initialReconnectDelay;
        m_autoApprovalAttempted = false;
        m_pingTimer->start(toMs(m_timings.pingInterval));
        setState(OpenClawWSState::connected());
        qCInfo(lcOcWs, "OpenClaw WS authenticated and connected");
        return;
    }

    const QJsonObject error = frame.value(QLatin1String("error")).toObject();
    const QString code = stringAt(error, "code").value_or(QString());
    const QString message = stringAt(error, "message").value_or(QStringLiteral("Unknown error"));

    // A refused handshake ends this connection: the gateway closes it
    // (1008 after NOT_PAIRED, 1002 after a protocol mismatch). That close is
    // part of the refusal, not a drop, so it must neither overwrite the
    // state set below nor schedule a second reconnect.
    m_pingTimer->stop();
    if (m_socket)
        releaseSocket(m_socket, true);
    QPointer<OpenClawWebSocket> self(this);
    failAllWaiting(BridgeError::networkError(QStringLiteral("OpenClaw WebSocket disconnected")));
    if (!self)
        return;

    if (code == QLatin1String("NOT_PAIRED")) {
        handleNotPaired(error);
        return;
    }
    qCCritical(lcOcWs, "Connect failed: [%s] %s", qUtf8Printable(code), qUtf8Printable(message));
    setState(OpenClawWSState::error(message));
    if (self)
        scheduleReconnect();
}

// ---------------------------------------------------------------------------
// Pairing auto-approval

void OpenClawWebSocket::handleNotPaired(const QJsonObject &error)
{
    if (m_autoApprovalAttempted) {
        qCCritical(lcOcWs, "Device NOT_PAIRED — auto-approval already attempted. Run: openclaw devices approve");
        setState(OpenClawWSState::error(QStringLiteral("Device not paired — approve in OpenClaw")));
        return;
    }
    qCCritical(lcOcWs, "Device NOT_PAIRED — attempting auto-approval...");
    m_autoApprovalAttempted = true;
    setState(OpenClawWSState::authenticating());

    if (!m_openClawBinaryPath || m_openClawBinaryPath->isEmpty()) {
        qCCritical(lcOcWs, "Cannot auto-approve — openclaw binary path not set");
        setState(OpenClawWSState::error(QStringLiteral("Device not paired")));
        return;
    }
    if (!m_deviceIdentity)
        return;

    // Gateways name the pending request in the refusal; it is used when the
    // tool's listing does not show it.
    const QString deviceId = m_deviceIdentity->deviceId();
    const QJsonObject details = error.value(QLatin1String("details")).toObject();
    QString hinted = stringAt(details, "requestId").value_or(QString());
    const auto hintedDevice = stringAt(details, "deviceId");
    if (hintedDevice && *hintedDevice != deviceId)
        hinted.clear();

    runAutoApproval(*m_openClawBinaryPath, deviceId, hinted);
}

QCoro::Task<> OpenClawWebSocket::runAutoApproval(QString binaryPath, QString deviceId, QString hintedRequestId)
{
    QPointer<OpenClawWebSocket> self(this);
    const quint64 generation = m_generation;
    // A copy, so a command still running when this client goes away can
    // finish on its own.
    const ShellRunner run = m_shellRunner;
    auto stillWanted = [&] { return self && self->m_generation == generation; };

    std::optional<QString> requestId;
    bool loginShell = false;

    // The tool's JSON listing names requests exactly; the plain listing is a
    // table meant for people.
    const std::optional<QString> jsonList = co_await run(binaryPath + QStringLiteral(" devices list --json 2>&1"));
    if (!stillWanted())
        co_return;
    qCInfo(lcOcWs, "devices list --json: %s", qUtf8Printable(orNil(jsonList)));
    if (jsonList && !jsonList->contains(kNoSuchFile))
        requestId = PairingRequestParser::requestIdFromJson(*jsonList, deviceId);

    if (!requestId) {
        std::optional<QString> list = co_await run(binaryPath + QStringLiteral(" devices list 2>&1"));
        if (!stillWanted())
            co_return;
        qCInfo(lcOcWs, "devices list: %s", qUtf8Printable(orNil(list)));
        if (!list || list->contains(kNoSuchFile)) {
            qCCritical(lcOcWs, "openclaw CLI failed — node not in PATH?");
            list = co_await run(QStringLiteral("/bin/sh -lc '") + binaryPath + QStringLiteral(" devices list' 2>&1"));
            if (!stillWanted())
                co_return;
            qCInfo(lcOcWs, "devices list (login shell): %s", qUtf8Printable(orNil(list)));
            if (!list || list->contains(kNoSuchFile)) {
                qCCritical(lcOcWs, "Auto-approval failed — openclaw requires node in PATH");
                setState(OpenClawWSState::error(QStringLiteral("Device not paired — approve manually")));
                co_return;
            }
            loginShell = true;
        }
        requestId = PairingRequestParser::findRequestId(*list, deviceId);
        if (!requestId && !hintedRequestId.isEmpty())
            requestId = hintedRequestId;
        if (!requestId)
            requestId = deviceId;
    }

    const QString approve = loginShell ? QStringLiteral("/bin/sh -lc '") + binaryPath +
                                             QStringLiteral(" devices approve ") + *requestId + QLatin1Char('\'')
                                       : binaryPath + QStringLiteral(" devices approve ") + *requestId;
    const std::optional<QString> approved = co_await run(approve);
    if (!stillWanted())
        co_return;
    qCInfo(lcOcWs, "Approve result: %s", qUtf8Printable(orNil(approved)));

    co_await QCoro::sleepFor(toMs(m_timings.approvalReconnectDelay));
    if (!stillWanted())
        co_return;
    connectionAttempt();
}

// ---------------------------------------------------------------------------
// Chat

QCoro::Task<Result<QString>> OpenClawWebSocket::sendChat(QString userMessage, QString agentId, DeltaHandler onDelta)
{
    if (!isUsableForChat())
        co_return BridgeError::openClawWebSocketNotConnected();

    auto call = std::make_shared<ChatCall>();
    call->requestId = freshId();
    call->idempotencyKey = freshId();
    call->message = std::move(userMessage);
    call->agentId = std::move(agentId);
    call->onDelta = std::move(onDelta);
    m_chatQueue.push_back(call);
    sendNextChat();
    // Only the call is touched from here on: this client may be gone when
    // the caller resumes.
    ChatCall::Awaiter awaiter{call};
    Result<QString> outcome = co_await awaiter;
    co_return outcome;
}

void OpenClawWebSocket::sendNextChat()
{
    QPointer<OpenClawWebSocket> self(this);
    while (self && !m_inFlightChat && !m_chatQueue.empty()) {
        const std::shared_ptr<ChatCall> call = m_chatQueue.front();
        m_chatQueue.pop_front();
        if (!isUsableForChat()) {
            call->resolve(BridgeError::openClawWebSocketNotConnected());
            continue;
        }
        if (!isEncodable(call->message) || !isEncodable(call->agentId)) {
            call->resolve(BridgeError::networkError(QStringLiteral("Failed to encode request")));
            continue;
        }
        const QJsonObject request{
            {QStringLiteral("type"), QStringLiteral("req")},
            {QStringLiteral("id"), call->requestId},
            {QStringLiteral("method"), QStringLiteral("chat.send")},
            {QStringLiteral("params"), QJsonObject{{QStringLiteral("sessionKey"),
                                                    QStringLiteral("agent:") + call->agentId + QStringLiteral(":main")},
                                                   {QStringLiteral("idempotencyKey"), call->idempotencyKey},
                                                   {QStringLiteral("message"), call->message}}}};
        const QString text = QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact));

        m_streamAccumulated.clear();
        m_activeStreamRequestId = call->requestId;
        // Registered before the frame leaves, so an answer that comes at once
        // still finds its caller.
        m_pendingRequests.insert(call->requestId, call);
        m_inFlightChat = call;
        const qint64 sent = m_socket->sendTextMessage(text);
        if (sent <= 0) {
            m_pendingRequests.remove(call->requestId);
            m_inFlightChat.reset();
            const QString why = m_socket->errorString();
            call->resolve(why.isEmpty() ? Error(BridgeError::networkError(QStringLiteral("Socket is not connected")))
                                        : Error::plain(why));
            continue;
        }
        qCInfo(lcOcWs, "Sent chat.send %s", qUtf8Printable(call->requestId));

        // The time limit counts from when the request is on the wire.
        auto *timer = new QTimer(this);
        timer->setSingleShot(true);
        QObject::connect(timer, &QTimer::timeout, this, [this, weak = std::weak_ptr<ChatCall>(call)] {
            if (auto call = weak.lock())
                chatTimedOut(call);
        });
        call->timeout = timer;
        timer->start(toMs(m_timings.chatTimeout));
    }
}

void OpenClawWebSocket::chatTimedOut(const std::shared_ptr<ChatCall> &call)
{
    const auto it = m_pendingRequests.constFind(call->requestId);
    if (it == m_pendingRequests.cend() || *it != call)
        return;
    finishChat(call, BridgeError::apiError(QStringLiteral("OpenClaw WS request timed out")));
}

void OpenClawWebSocket::finishChat(const std::shared_ptr<ChatCall> &call, Result<QString> outcome)
{
    m_pendingRequests.remove(call->requestId);
    if (call->timeout) {
        call->timeout->stop();
        call->timeout->deleteLater();
    }
    if (m_inFlightChat == call) {
        m_inFlightChat.reset();
        sendNextChat();
    }
    call->resolve(std::move(outcome));
}

void OpenClawWebSocket::handleChatResponse(const QString &id, bool ok, const QJsonObject &frame)
{
    if (ok) {
        qCInfo(lcOcWs, "chat.send ACK for %s", qUtf8Printable(id));
        if (const auto call = m_pendingRequests.value(id)) {
            const QJsonObject payload = frame.value(QLatin1String("payload")).toObject();
            call->runId = stringAt(payload, "runId").value_or(QString());
        }
        return;
    }
    const std::shared_ptr<ChatCall> call = m_pendingRequests.value(id);
    const QJsonObject error = frame.value(QLatin1String("error")).toObject();
    const QString code = stringAt(error, "code").value_or(QString());
    const QString message = stringAt(error, "message").value_or(QStringLiteral("Unknown error"));
    qCCritical(lcOcWs, "Chat request %s failed: [%s] %s", qUtf8Printable(id), qUtf8Printable(code),
               qUtf8Printable(message));
    if (call)
        finishChat(call, BridgeError::apiError(message));
}

void OpenClawWebSocket::handleAgentEvent(const QJsonObject &payload)
{
    const auto stream = stringAt(payload, "stream");
    const QJsonValue dataValue = payload.value(QLatin1String("data"));
    const bool hasData = dataValue.isObject();
    const QJsonObject data = dataValue.toObject();
    qCInfo(lcOcWs, "handleAgentEvent: stream=%s dataKeys=%s payloadKeys=%s",
           qUtf8Printable(stream.value_or(QStringLiteral("nil"))),
           qUtf8Printable(hasData ? joinedKeys(data) : QStringLiteral("nil")), qUtf8Printable(joinedKeys(payload)));

    // The gateway sends every operator the events of every run (heartbeats
    // of other agents, a run that outlived its caller's time limit). Once
    // the chat on the wire knows its run, other runs' events stay out of it.
    const auto runId = stringAt(payload, "runId");
    if (runId && m_inFlightChat && !m_inFlightChat->runId.isEmpty() && *runId != m_inFlightChat->runId) {
        qCInfo(lcOcWs, "Ignoring event of run %s while waiting for run %s", qUtf8Printable(*runId),
               qUtf8Printable(m_inFlightChat->runId));
        return;
    }

    if (stream == QLatin1String("assistant")) {
        if (!hasData)
            return;
        const auto text = stringAt(data, "text");
        if (!text || text->isEmpty())
            return;
        if (characterCount(*text) <= characterCount(m_streamAccumulated))
            return;
        applyStreamText(*text, false);
        return;
    }

    if (stream == QLatin1String("lifecycle")) {
        if (!hasData)
            return;
        const auto phase = stringAt(data, "phase");
        if (!phase)
            return;
        qCInfo(lcOcWs, "Agent lifecycle: %s, accumulated=%ld chars", qUtf8Printable(*phase),
               long(characterCount(m_streamAccumulated)));
        if (*phase == QLatin1String("end"))
            finishStream();
        return;
    }

    std::optional<QString> candidate;
    if (payload.contains(QLatin1String("text")) && payload.value(QLatin1String("text")).isString())
        candidate = payload.value(QLatin1String("text")).toString();
    else if (hasData && data.value(QLatin1String("text")).isString())
        candidate = data.value(QLatin1String("text")).toString();
    else if (hasData && data.value(QLatin1String("content")).isString())
        candidate = data.value(QLatin1String("content")).toString();
    else if (hasData && data.value(QLatin1String("delta")).isString())
        candidate = data.value(QLatin1String("delta")).toString();

    if (!candidate || candidate->isEmpty()) {
        qCInfo(lcOcWs, "No text found in payload for stream=%s",
               qUtf8Printable(stream.value_or(QStringLiteral("nil"))));
        return;
    }
    const qsizetype candidateCount = characterCount(*candidate);
    const qsizetype accumulatedCount = characterCount(m_streamAccumulated);
    if (candidateCount > accumulatedCount)
        applyStreamText(*candidate, true);
    else
        qCInfo(lcOcWs, "Text not longer than accumulated (%ld vs %ld)", long(candidateCount), long(accumulatedCount));
}

void OpenClawWebSocket::applyStreamText(const QString &text, bool defaultRule)
{
    // The new text is taken to continue the old one; the fragment is what
    // lies beyond the characters already passed on.
    const QString fragment = dropCharacters(text, characterCount(m_streamAccumulated));
    m_streamAccumulated = text;
    DeltaHandler onDelta;
    if (m_activeStreamRequestId) {
        if (const auto call = m_pendingRequests.value(*m_activeStreamRequestId))
            onDelta = call->onDelta;
    }
    if (defaultRule)
        qCInfo(lcOcWs, "Delta (default): +%ld chars, total %ld", long(characterCount(fragment)),
               long(characterCount(text)));
    else
        qCInfo(lcOcWs, "Delta: +%ld chars, total %ld, callback=%s", long(characterCount(fragment)),
               long(characterCount(text)), boolText(bool(onDelta)));
    if (onDelta)
        onDelta(fragment, text);
}

void OpenClawWebSocket::finishStream()
{
    if (!m_activeStreamRequestId)
        return;
    const QString id = *std::exchange(m_activeStreamRequestId, std::nullopt);
    const std::shared_ptr<ChatCall> call = m_pendingRequests.value(id);
    const QString text = std::exchange(m_streamAccumulated, QString());
    qCInfo(lcOcWs, "Stream complete (%ld chars)", long(characterCount(text)));
    if (call)
        finishChat(call, text);
}

void OpenClawWebSocket::failAllWaiting(const Error &error)
{
    std::vector<std::shared_ptr<ChatCall>> waiting;
    // The one on the wire first, then the queue in arrival order.
    for (const auto &call : std::as_const(m_pendingRequests))
        waiting.push_back(call);
    waiting.insert(waiting.end(), m_chatQueue.begin(), m_chatQueue.end());
    m_pendingRequests.clear();
    m_chatQueue.clear();
    m_inFlightChat.reset();
    for (const auto &call : waiting) {
        if (call->timeout) {
            call->timeout->stop();
            call->timeout->deleteLater();
        }
    }
    for (const auto &call : waiting)
        call->resolve(error);
}

} // namespace halvex
