#include "gateway/gateway_web_socket.h"

#include "gateway/chat_dispatcher.h"
#include "gateway/gateway_target.h"
#include "platform/characters.h"
#include "platform/duration_text.h"
#include "platform/logging.h"
#include "platform/net/listener_owner.h"
#include "platform/utf8.h"

#include <QJsonDocument>
#include <QTimer>

#include <qcoro/qcorotimer.h>

#include <algorithm>
#include <chrono>

namespace halvex {

using GatewayProtocol::Frame;

GatewayWebSocket::GatewayWebSocket(CredentialStore *credentials, Timings timings, ProcessRunner processRunner,
                                   QObject *parent)
    : QObject(parent), m_timings(timings),
      m_handshake(new GatewayHandshake(credentials,
                                       PairingApprover::Timings{timings.processTimeout, timings.processOutputCap},
                                       std::move(processRunner), this)),
      m_chats(new ChatDispatcher(
          ChatDispatcher::Limits{timings.chatTimeout, timings.sessionSettleTimeout, timings.maxChats},
          [this] { return isUsableForChat(); },
          [this](const QJsonObject &frame) -> std::optional<Error> {
              if (m_socket && m_socket->sendText(QJsonDocument(frame).toJson(QJsonDocument::Compact)) > 0)
                  return std::nullopt;
              const QString why = m_socket ? m_socket->errorString() : QString();
              return why.isEmpty() ? Error(BridgeError::networkError(QStringLiteral("Socket is not connected")))
                                   : Error::plain(why);
          },
          this)),
      m_keeper(new LinkKeeper(timings.link, this)), m_handshakeTimer(new QTimer(this))
{
    QObject::connect(m_keeper, &LinkKeeper::pingDue, this, &GatewayWebSocket::sendPing);
    QObject::connect(m_keeper, &LinkKeeper::retryDue, this, [this] {
        if (m_phase == Phase::waitingToRetry || m_phase == Phase::gaveUp)
            connectionAttempt();
    });
    QObject::connect(m_keeper, &LinkKeeper::silent, this, [this] {
        if (m_phase != Phase::connected || !m_socket)
            return;
        const QString why = QStringLiteral("No answer from the gateway within %1 s")
                                .arg(inSeconds(m_keeper->timings().heartbeatDeadline));
        handleDrop(m_socket, why);
    });
    m_handshakeTimer->setSingleShot(true);
    QObject::connect(m_handshakeTimer, &QTimer::timeout, this, &GatewayWebSocket::handshakeTimedOut);
}

GatewayWebSocket::~GatewayWebSocket()
{
    m_phase = Phase::idle;
    ++m_attempt;
    if (m_socket)
        releaseSocket(m_socket, true);
    // Nobody may wait forever on a client that is gone. The callers resume
    // here; they must not use this client any more.
    m_chats->failAll(BridgeError::networkError(QStringLiteral("Disconnected")));
}

GatewayLinkState GatewayWebSocket::shownState(Phase phase, const QString &failure)
{
    switch (phase) {
    case Phase::idle:
        return GatewayLinkState::disconnected();
    case Phase::opening:
        return GatewayLinkState::connecting();
    case Phase::signingIn:
    case Phase::approving:
        return GatewayLinkState::authenticating();
    case Phase::connected:
        return GatewayLinkState::connected();
    case Phase::waitingToRetry:
        // A plain drop is no error; a refusal or a failed attempt says why.
        return failure.isEmpty() ? GatewayLinkState::disconnected() : GatewayLinkState::error(failure);
    case Phase::gaveUp:
    case Phase::stopped:
        return GatewayLinkState::error(failure);
    }
    return GatewayLinkState::disconnected();
}

std::optional<std::chrono::milliseconds> GatewayWebSocket::sinceConnected() const
{
    if (m_phase == Phase::connected || !m_leftConnected.isValid())
        return std::nullopt;
    return std::chrono::milliseconds(m_leftConnected.elapsed());
}

void GatewayWebSocket::moveTo(Phase phase, const QString &failure)
{
    if (m_phase == Phase::connected && phase != Phase::connected)
        m_leftConnected.start();
    if (phase == Phase::idle)
        m_leftConnected.invalidate();
    m_phase = phase;
    // Nothing more is tried by itself from these.
    if (phase == Phase::idle || phase == Phase::stopped)
        m_keeper->stop();
    const GatewayLinkState shown = shownState(phase, failure);
    if (m_state == shown)
        return;
    m_state = shown;
    Q_EMIT stateChanged(m_state);
}

bool GatewayWebSocket::isSocketOpen() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

bool GatewayWebSocket::isUsableForChat() const
{
    return m_phase == Phase::connected && isSocketOpen();
}

// ---------------------------------------------------------------------------
// Connection

void GatewayWebSocket::connect(const QUrl &gatewayURL, const QString &gatewayToken)
{
    m_gatewayURL = gatewayURL;
    m_gatewayToken = gatewayToken;
    // An approval still running belongs to the old round.
    if (m_phase == Phase::approving)
        ++m_attempt;
    m_keeper->newRound();
    m_handshake->reset();
    connectionAttempt();
}

void GatewayWebSocket::disconnect()
{
    ++m_attempt;
    m_handshakeTimer->stop();
    if (m_socket)
        releaseSocket(m_socket, true);
    m_connectRequestId.reset();
    moveTo(Phase::idle);
    failAllWaiting(BridgeError::networkError(QStringLiteral("Disconnected")));
}

void GatewayWebSocket::connectionAttempt()
{
    if (m_gatewayURL.isEmpty())
        return;
    if (m_phase == Phase::opening || m_phase == Phase::signingIn) {
        qCDebug(lcOcWs, "Already connecting — skipping");
        return;
    }
    if (m_phase == Phase::connected && isSocketOpen()) {
        qCDebug(lcOcWs, "Already connected — skipping");
        return;
    }

    ++m_attempt;
    if (m_socket)
        releaseSocket(m_socket, true);

    const std::optional<QUrl> url = GatewayProtocol::webSocketUrl(m_gatewayURL);
    if (!url) {
        qCCritical(lcOcWs, "Invalid WebSocket URL: %s",
                   qUtf8Printable(quotedForLog(m_gatewayURL.toString(QUrl::FullyEncoded))));
        moveTo(Phase::stopped, QStringLiteral("Invalid URL"));
        return;
    }
    const QString urlText = url->toString(QUrl::FullyEncoded);

    moveTo(Phase::opening);

    auto *socket = new WebSocketClient(this);
    m_keeper->attempting(socket);
    socket->setMaxIncomingMessageSize(m_timings.maxIncomingMessageSize);
    socket->setPinnedCertificate(m_tlsPin);
    m_socket = socket;
    // Every handler first checks that its socket is still the current one,
    // so a replaced connection never touches the newer one.
    QObject::connect(socket, &WebSocketClient::textReceived, this, [this, socket](const QByteArray &utf8) {
        if (socket != m_socket)
            return;
        // The frames of every fragment are read in place, in one pass over
        // their UTF-8; any other frame as a whole document.
        if (std::optional<GatewayProtocol::AgentEvent> event = GatewayProtocol::readAssistantEvent(utf8)) {
            qCDebug(lcOcWs, "OC-WS event=agent stream=%s run=%s text_len=%ld",
                    qUtf8Printable(quotedForLog(event->stream, 40)), qUtf8Printable(quotedForLog(event->runId, 80)),
                    long(event->assistantText ? event->assistantText->length : 0));
            m_chats->onEvent(*event);
            return;
        }
        handleMessage(socket, utf8);
    });
    QObject::connect(socket, &WebSocketClient::binaryReceived, this, [this, socket](const QByteArray &data) {
        if (isStrictUtf8(data))
            handleMessage(socket, data);
    });
    // A refused certificate stays refused until someone acts: the state says
    // why (which fingerprints differ) while the attempts go on.
    QObject::connect(socket, &WebSocketClient::errorOccurred, this, [this, socket](QAbstractSocket::SocketError error) {
        handleDrop(socket, socket->errorString(), error == QAbstractSocket::SslHandshakeFailedError);
    });
    QObject::connect(socket, &WebSocketClient::disconnected, this, [this, socket] {
        if (socket->closeCode() == WebSocketCloseCode::tooMuchData)
            qCCritical(lcOcWs, "Dropped a gateway message over %lld bytes", m_timings.maxIncomingMessageSize);
        // A failed link was dropped on its error, which comes first: this is
        // a link that closed.
        QString reason = QStringLiteral("The connection was closed (code %1)").arg(int(socket->closeCode()));
        if (!socket->closeReason().isEmpty())
            reason = QStringLiteral("The connection was closed (code %1: %2)")
                         .arg(int(socket->closeCode()))
                         .arg(quotedForLog(socket->closeReason()));
        handleDrop(socket, reason);
    });

    qCInfo(lcOcWs, "Connecting to OpenClaw WS at %s...", qUtf8Printable(urlText));
    m_handshakeTimer->start(m_timings.challengeTimeout);
    socket->open(*url);
}

void GatewayWebSocket::releaseSocket(WebSocketClient *socket, bool close)
{
    if (!socket)
        return;
    socket->disconnect(this);
    if (m_socket == socket) {
        m_socket = nullptr;
        m_handshakeTimer->stop();
    }
    if (close && socket->state() == QAbstractSocket::ConnectedState)
        socket->close(WebSocketCloseCode::goingAway);
    else
        socket->abort();
    socket->deleteLater();
}

void GatewayWebSocket::handshakeTimedOut()
{
    if (!m_socket)
        return;
    if (m_phase == Phase::opening) {
        qCCritical(lcOcWs, "No challenge received within %gs", inSeconds(m_timings.challengeTimeout));
        handleDrop(m_socket, std::nullopt);
    } else if (m_phase == Phase::signingIn) {
        qCCritical(lcOcWs, "No connect response within %gs", inSeconds(m_timings.connectResponseTimeout));
        failAttempt(QStringLiteral("No connect response"));
    }
}

void GatewayWebSocket::failAttempt(const QString &state)
{
    if (m_socket)
        releaseSocket(m_socket, true);
    m_connectRequestId.reset();
    const QPointer<GatewayWebSocket> self(this);
    const quint64 attempt = m_attempt;
    failAllWaiting(BridgeError::networkError(QStringLiteral("OpenClaw WebSocket disconnected")));
    if (!self || attempt != m_attempt)
        return;
    moveTo(Phase::waitingToRetry, state);
    scheduleReconnect();
}

void GatewayWebSocket::handleDrop(WebSocketClient *socket, const std::optional<QString> &receiveError, bool refused)
{
    if (!socket || socket != m_socket)
        return;
    // Long enough for both fingerprints of a refused certificate.
    if (receiveError)
        qCCritical(lcOcWs, "OC-WS receive error: %s", qUtf8Printable(quotedForLog(*receiveError, 320)));

    releaseSocket(socket, false);
    m_connectRequestId.reset();
    moveTo(Phase::waitingToRetry, refused && receiveError ? *receiveError : QString());

    const QPointer<GatewayWebSocket> self(this);
    const quint64 attempt = m_attempt;
    failAllWaiting(BridgeError::networkError(QStringLiteral("OpenClaw WebSocket disconnected")));
    // Whoever heard of it may have disconnected or connected anew meanwhile.
    if (!self || attempt != m_attempt)
        return;
    scheduleReconnect();
}

void GatewayWebSocket::scheduleReconnect()
{
    // A connected link's keeper started a new round when it came up, so a
    // drop counts from the first attempt again.
    const std::optional<std::chrono::milliseconds> delay = m_keeper->down();
    if (!delay) {
        qCCritical(lcOcWs, "Max reconnect attempts (%ld) reached — giving up", long(m_timings.link.attemptsPerRound));
        moveTo(Phase::gaveUp, QStringLiteral("Connection failed"));
        return;
    }
    qCInfo(lcOcWs, "OC-WS reconnecting in %gs (attempt %ld/%ld)...", inSeconds(*delay), long(m_keeper->attempt()),
           long(m_timings.link.attemptsPerRound));
    Q_EMIT reconnectScheduled(*delay);
}

void GatewayWebSocket::sendPing()
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

void GatewayWebSocket::handleMessage(WebSocketClient *socket, const QByteArray &utf8)
{
    if (socket != m_socket)
        return;
    QString why;
    const std::optional<Frame> frame = GatewayProtocol::parseFrame(utf8, &why);
    if (!frame) {
        qCDebug(lcOcWs, "Ignoring a gateway frame (%s)", qUtf8Printable(quotedForLog(why)));
        return;
    }
    // One line per frame: debug only (an answer is hundreds of frames).
    qCDebug(lcOcWs, "OC-WS ← type=%s event=%s keys=%s", qUtf8Printable(quotedForLog(frame->type, 40)),
            qUtf8Printable(quotedForLog(frame->eventName.isEmpty() ? QStringLiteral("-") : frame->eventName, 80)),
            qUtf8Printable(quotedForLog(frame->object.keys().join(QLatin1Char(',')))));
    if (frame->kind == Frame::Kind::event) {
        handleEvent(*frame);
        return;
    }
    if (frame->kind != Frame::Kind::response)
        return;
    if (m_connectRequestId && *m_connectRequestId == frame->id) {
        m_connectRequestId.reset();
        handleConnectResponse(*frame);
        return;
    }
    m_chats->onResponse(*frame);
}

void GatewayWebSocket::handleEvent(const Frame &frame)
{
    const QString &name = frame.eventName;
    if (name == QLatin1String("connect.challenge")) {
        handleChallenge(frame.payload, frame.hasPayload);
    } else if (name == QLatin1String("agent") || name == QLatin1String("chat") || name == QLatin1String("assistant") ||
               name == QLatin1String("lifecycle")) {
        if (!frame.hasPayload)
            return;
        const GatewayProtocol::AgentEvent event = GatewayProtocol::readAgentEvent(name, frame.payload);
        // The size in UTF-16 units: counting characters of the whole text on
        // every event would make a long answer quadratic.
        qCDebug(lcOcWs, "OC-WS event=%s stream=%s phase=%s run=%s text_len=%ld preview=%s", qUtf8Printable(name),
                qUtf8Printable(quotedForLog(event.stream.isEmpty() ? QStringLiteral("-") : event.stream, 40)),
                qUtf8Printable(quotedForLog(event.phase.isEmpty() ? QStringLiteral("-") : event.phase, 40)),
                qUtf8Printable(quotedForLog(event.runId, 80)), long(event.text.size()),
                qUtf8Printable(
                    quotedForLog(firstCharacters(event.text.first(std::min<qsizetype>(event.text.size(), 160)), 40))));
        m_chats->onEvent(event);
    } else if (name == QLatin1String("tick") || name == QLatin1String("health") ||
               name == QLatin1String("voicewake.changed")) {
        // Routine gateway chatter.
    } else {
        qCDebug(lcOcWs, "OC-WS event: %s", qUtf8Printable(quotedForLog(name, 80)));
    }
}

void GatewayWebSocket::handleChallenge(const QJsonObject &payload, bool hasPayload)
{
    if (m_phase != Phase::opening)
        return;
    const QJsonValue nonce = payload.value(QLatin1String("nonce"));
    if (!hasPayload || !nonce.isString() || nonce.toString().isEmpty()) {
        qCCritical(lcOcWs, "Challenge missing nonce");
        failAttempt(QStringLiteral("Invalid challenge"));
        return;
    }
    m_handshakeTimer->stop();
    qCInfo(lcOcWs, "Received connect.challenge");
    const QPointer<GatewayWebSocket> self(this);
    const quint64 attempt = m_attempt;
    moveTo(Phase::signingIn);
    if (!self || attempt != m_attempt)
        return;

    // Who holds a loopback port is asked only now, with the connection
    // open: a listener that took the port while the gateway restarted gets
    // the device key's signature of its nonce at most, never a token. A
    // pinned certificate already proves the peer.
    if (m_tlsPin.isEmpty()) {
        if (const std::optional<QString> refusal = loopbackCredentialRefusal(m_gatewayURL, m_listenerOwners)) {
            qCCritical(lcOcWs, "%s", qUtf8Printable(*refusal));
            failAttempt(*refusal);
            return;
        }
    }
    // Reading the store can wait on a keyring prompt, with the event loop
    // running: the link may have moved on meanwhile.
    const GatewayHandshake::ConnectRequest request =
        m_handshake->connectRequest(nonce.toString(), m_gatewayToken, credentialOrigin(m_gatewayURL, m_tlsPin));
    if (!self || attempt != m_attempt || !m_socket)
        return;
    if (request.id.isEmpty()) {
        if (request.retry)
            failAttempt(request.failure);
        else
            moveTo(Phase::stopped, request.failure);
        return;
    }
    if (m_socket->sendText(request.json) <= 0) {
        const QString why =
            m_socket->errorString().isEmpty() ? QStringLiteral("Socket is not connected") : m_socket->errorString();
        qCCritical(lcOcWs, "Failed to send connect request: %s", qUtf8Printable(quotedForLog(why)));
        moveTo(Phase::stopped, QStringLiteral("Send failed"));
        return;
    }
    qCInfo(lcOcWs, "Sent connect request %s", qUtf8Printable(request.id));
    m_connectRequestId = request.id;
    m_handshakeTimer->start(m_timings.connectResponseTimeout);
}

void GatewayWebSocket::handleConnectResponse(const Frame &frame)
{
    m_handshakeTimer->stop();
    if (frame.ok) {
        m_handshake->accepted(frame);
        m_keeper->up();
        moveTo(Phase::connected);
        qCInfo(lcOcWs, "OpenClaw WS authenticated and connected");
        m_chats->sendReady();
        return;
    }

    // A refused handshake ends this connection: the gateway closes it
    // (1008 after NOT_PAIRED, 1002 after a protocol mismatch). That close is
    // part of the refusal, not a drop, so it must neither overwrite the
    // state set below nor schedule a second reconnect.
    if (m_socket)
        releaseSocket(m_socket, true);
    const QPointer<GatewayWebSocket> self(this);
    const quint64 attempt = m_attempt;
    failAllWaiting(BridgeError::networkError(QStringLiteral("OpenClaw WebSocket disconnected")));
    if (!self || attempt != m_attempt)
        return;
    const GatewayHandshake::Refusal refusal = m_handshake->refused(frame);
    switch (refusal.next) {
    case GatewayHandshake::Refusal::Next::retry:
        moveTo(Phase::waitingToRetry, refusal.state);
        scheduleReconnect();
        break;
    case GatewayHandshake::Refusal::Next::stop:
        moveTo(Phase::stopped, refusal.state);
        break;
    case GatewayHandshake::Refusal::Next::approve:
        moveTo(Phase::approving);
        approveAndReconnect(frame);
        break;
    }
}

QCoro::Task<> GatewayWebSocket::approveAndReconnect(Frame refusal)
{
    const QPointer<GatewayWebSocket> self(this);
    const quint64 attempt = m_attempt;
    const std::optional<QString> failure = co_await m_handshake->approve(std::move(refusal));
    if (!self || attempt != m_attempt)
        co_return;
    if (failure) {
        moveTo(Phase::stopped, *failure);
        co_return;
    }
    co_await QCoro::sleepFor(m_timings.approvalReconnectDelay);
    if (!self || attempt != m_attempt)
        co_return;
    connectionAttempt();
}

// ---------------------------------------------------------------------------
// Chat

QCoro::Task<Result<QString>> GatewayWebSocket::sendChat(QString userMessage, QString agentId, DeltaHandler onDelta)
{
    ChatCallRequest request;
    request.agentId = std::move(agentId);
    request.lastUserText = std::move(userMessage);
    return sendChat(std::move(request), std::move(onDelta));
}

QCoro::Task<Result<QString>> GatewayWebSocket::sendChat(ChatCallRequest request, DeltaHandler onDelta)
{
    return m_chats->send(std::move(request), std::move(onDelta));
}

void GatewayWebSocket::cancelChat(const QString &requestId)
{
    m_chats->cancel(requestId);
}

void GatewayWebSocket::failAllWaiting(const Error &error)
{
    m_chats->failAll(error);
}

} // namespace halvex
