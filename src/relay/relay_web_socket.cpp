#include "relay/relay_web_socket.h"

#include "platform/characters.h"
#include "platform/duration_text.h"
#include "platform/logging.h"
#include "platform/net/web_socket_client.h"
#include "platform/utf8.h"
#include "relay/relay_url.h"

#include <QJsonDocument>

#include <algorithm>
#include <chrono>
#include <utility>

namespace halvex {

namespace {

bool isOpeningOrOpen(const WebSocketClient *socket)
{
    return socket->state() == QAbstractSocket::ConnectingState || socket->state() == QAbstractSocket::ConnectedState;
}

// Why a socket ended: what was recorded for it, else its close code.
Error endError(const WebSocketClient *socket, const QString &recorded)
{
    if (!recorded.isEmpty())
        return Error::plain(recorded);
    QString text = QStringLiteral("WebSocket closed with code %1").arg(int(socket->closeCode()));
    if (!socket->closeReason().isEmpty())
        text += QStringLiteral(": ") + quotedForLog(socket->closeReason(), 125);
    return Error::plain(text);
}

const QString kNotOpen = QStringLiteral("WebSocket is not open (handshake not finished)");
const QString kClosedByUs = QStringLiteral("Connection closed by the bridge (code 1001)");

} // namespace

RelayWebSocket::RelayWebSocket(QUrl relayOrigin, Timings timings, QObject *parent)
    : QObject(parent), m_relayOrigin(std::move(relayOrigin)), m_timings(timings),
      m_keeper(new LinkKeeper(timings.link, this))
{
    QObject::connect(m_keeper, &LinkKeeper::courseChanged, this, [this] { Q_EMIT stateChanged(state()); });
    QObject::connect(m_keeper, &LinkKeeper::pingDue, this, &RelayWebSocket::sendPing);
    QObject::connect(m_keeper, &LinkKeeper::retryDue, this, &RelayWebSocket::retry);
    QObject::connect(m_keeper, &LinkKeeper::silent, this, [this] {
        dropCurrent(QStringLiteral("No answer from the relay within %1 s")
                        .arg(inSeconds(m_keeper->timings().heartbeatDeadline)));
    });
}

RelayWebSocket::~RelayWebSocket()
{
    // Report nothing and schedule nothing: sockets still alive (children) go
    // with this object, silently.
    const auto sockets = findChildren<WebSocketClient *>(Qt::FindDirectChildrenOnly);
    for (WebSocketClient *socket : sockets)
        QObject::disconnect(socket, nullptr, this, nullptr);
}

RelayWebSocket::State RelayWebSocket::state() const
{
    switch (m_keeper->course()) {
    case LinkKeeper::Course::idle:
        return State::idle;
    case LinkKeeper::Course::attempting:
        return State::opening;
    case LinkKeeper::Course::up:
        return State::open;
    case LinkKeeper::Course::waiting:
    case LinkKeeper::Course::gaveUp: // never here: the relay link has no limit of attempts
        break;
    }
    return State::waitingToRetry;
}

bool RelayWebSocket::isRunning() const
{
    return m_webSocketTask && isOpeningOrOpen(m_webSocketTask);
}

void RelayWebSocket::connect(const QString &token)
{
    if (isRunning()) {
        qCInfo(lcWebSocket, "Already connected — skipping duplicate connect");
        return;
    }
    m_bridgeToken = token;
    m_keeper->newRound();
    open();
}

void RelayWebSocket::open()
{
    if (!m_bridgeToken)
        return;

    // A socket still current here is replaced: silence it first so nothing it
    // reports later can touch the new one.
    if (WebSocketClient *old = std::exchange(m_webSocketTask, nullptr)) {
        m_sockets.remove(old);
        QObject::disconnect(old, nullptr, this, nullptr);
        if (old->state() == QAbstractSocket::ConnectedState)
            old->close(WebSocketCloseCode::goingAway);
        else
            old->abort();
        old->deleteLater();
    }
    resetPendingBytes();

    const Result<QUrl> url = relayConnectionUrl(m_relayOrigin, *m_bridgeToken);
    if (!url) {
        qCCritical(lcWebSocket, "%s", qUtf8Printable(quotedForLog(url.error().description(), 320)));
        m_keeper->stop();
        return;
    }

    // The socket disconnect() closed must be reported before anything of the
    // new one, or the owner would see the old link's end after the new link's
    // start.
    if (m_closingSocket)
        reportClosingSocket(m_closingSocket, Error::plain(kClosedByUs));

    auto *socket = new WebSocketClient(this);
    socket->setMaxIncomingMessageSize(m_timings.maxIncomingMessageBytes);
    // Each chunk repeats the answer so far: compressed against the chunk
    // before it, it costs little more than its new part.
    socket->setPerMessageDeflate(true);
    m_webSocketTask = socket;
    m_sockets.insert(socket, QString());
    m_keeper->attempting(socket);
    QObject::connect(socket, &WebSocketClient::connected, this, [this, socket] { onSocketConnected(socket); });
    QObject::connect(socket, &WebSocketClient::disconnected, this, [this, socket] { onSocketEnded(socket); });
    QObject::connect(socket, &WebSocketClient::errorOccurred, this,
                     [this, socket](QAbstractSocket::SocketError) { onSocketError(socket); });
    QObject::connect(socket, &WebSocketClient::bytesWritten, this, [this, socket](qint64) {
        if (socket == m_webSocketTask)
            updatePendingBytes();
    });
    // One receive path for both frame kinds; frames of a socket that is no
    // longer current are dropped.
    QObject::connect(socket, &WebSocketClient::textReceived, this, [this, socket](const QByteArray &utf8) {
        if (socket == m_webSocketTask)
            handleText(utf8);
    });
    QObject::connect(socket, &WebSocketClient::binaryReceived, this, [this, socket](const QByteArray &bytes) {
        if (socket == m_webSocketTask && isStrictUtf8(bytes))
            handleText(bytes);
    });
    // A relay that accepts the connection and never finishes the handshake
    // must not hold the link forever.
    QTimer::singleShot(m_timings.openingTimeout, socket, [this, socket] {
        if (socket == m_webSocketTask && socket->state() != QAbstractSocket::ConnectedState)
            dropCurrent(QStringLiteral("The relay did not complete the opening handshake within %1 s")
                            .arg(inSeconds(m_timings.openingTimeout)));
    });

    qCInfo(lcWebSocket, "Connecting to relay...");
    // Last: an opening that fails at once (say, an unsupported scheme) runs
    // the disconnect handling from inside open().
    socket->open(*url);
}

void RelayWebSocket::sendPing()
{
    if (!m_webSocketTask)
        return;
    if (m_webSocketTask->state() != QAbstractSocket::ConnectedState) {
        qCCritical(lcWebSocket, "Ping failed: %s", qUtf8Printable(kNotOpen));
        return;
    }
    // Its pong, or any frame, proves the relay is still there; the keeper
    // calls a relay silent past the deadline a lost link, even if TCP has
    // not noticed.
    m_webSocketTask->ping();
}

void RelayWebSocket::dropCurrent(const QString &reason)
{
    WebSocketClient *socket = m_webSocketTask;
    if (!socket)
        return;
    m_sockets.insert(socket, reason);
    // Silenced first: whatever the aborted socket still reports is not news.
    QObject::disconnect(socket, nullptr, this, nullptr);
    socket->abort();
    handleDisconnect(socket, Error::plain(reason));
}

void RelayWebSocket::onSocketConnected(WebSocketClient *socket)
{
    if (socket != m_webSocketTask)
        return;
    // The handshake has finished: the link is up (with Nagle off, so chunks
    // go out as they come).
    if (const std::optional<PerMessageDeflate> deflate = socket->perMessageDeflate())
        qCInfo(lcWebSocket, "Relay link compressed (permessage-deflate, %d-bit window%s)", deflate->clientMaxWindowBits,
               deflate->clientNoContextTakeover ? ", no context takeover" : "");
    else
        qCInfo(lcWebSocket, "Relay link uncompressed (the relay declined permessage-deflate)");
    m_keeper->up();
    updatePendingBytes();
    QMetaObject::invokeMethod(this, &RelayWebSocket::connected, Qt::QueuedConnection);
}

void RelayWebSocket::onSocketError(WebSocketClient *socket)
{
    const auto record = m_sockets.find(socket);
    if (record == m_sockets.end())
        return;
    if (record->isEmpty())
        *record = socket->errorString();
    // The client follows an error with disconnected(), except for an opening
    // it refused at once (the link never left UnconnectedState): that one
    // ends here.
    if (socket->state() == QAbstractSocket::UnconnectedState)
        onSocketEnded(socket);
}

void RelayWebSocket::onSocketEnded(WebSocketClient *socket)
{
    if (!m_sockets.contains(socket))
        return;
    if (socket->closeCode() == WebSocketCloseCode::tooMuchData)
        qCCritical(lcWebSocket, "Dropped a relay message over %lld bytes",
                   static_cast<long long>(m_timings.maxIncomingMessageBytes));
    if (socket == m_webSocketTask) {
        handleDisconnect(socket, endError(socket, m_sockets.value(socket)));
    } else if (socket == m_closingSocket) {
        reportClosingSocket(socket, endError(socket, m_sockets.value(socket)));
    }
    // Any other socket was replaced and already silenced.
}

void RelayWebSocket::retireSocket(WebSocketClient *socket, const std::optional<Error> &error)
{
    m_sockets.remove(socket);
    qCCritical(lcWebSocket, "WebSocket receive error: %s",
               qUtf8Printable(quotedForLog(error ? error->description() : QStringLiteral("unknown error"), 320)));
    // Its later signals are of no interest any more.
    QObject::disconnect(socket, nullptr, this, nullptr);
    socket->deleteLater();
    QMetaObject::invokeMethod(
        this, [this, error] { Q_EMIT disconnected(error); }, Qt::QueuedConnection);
}

void RelayWebSocket::reportClosingSocket(WebSocketClient *socket, const Error &error)
{
    if (m_closingSocket == socket)
        m_closingSocket.clear();
    retireSocket(socket, error);
}

void RelayWebSocket::handleDisconnect(WebSocketClient *socket, const std::optional<Error> &error)
{
    if (m_webSocketTask == socket) {
        m_webSocketTask = nullptr;
        resetPendingBytes();
    }
    retireSocket(socket, error);

    if (state() == State::idle)
        return;

    // The relay link never gives up: its keeper has no limit of attempts.
    const std::chrono::milliseconds delay = m_keeper->down().value_or(m_timings.link.maxDelay);
    qCInfo(lcWebSocket, "Reconnecting in %gs...", inSeconds(delay));
    Q_EMIT reconnectScheduled(delay);
}

void RelayWebSocket::retry()
{
    // connect() or disconnect() since then owns the link now.
    if (state() != State::waitingToRetry || m_webSocketTask)
        return;
    open();
}

void RelayWebSocket::handleText(const QByteArray &utf8)
{
    const Result<RelayMessage> decoded = RelayMessage::decode(utf8);
    if (!decoded) {
        qCCritical(lcWebSocket, "Failed to decode message: %s",
                   qUtf8Printable(quotedForLog(decoded.error().description(), 320)));
        return;
    }
    const RelayMessage &message = decoded.value();
    qCInfo(lcWebSocket, "Received message type=%s id=%s", qUtf8Printable(quotedForLog(message.type, 80)),
           message.id ? qUtf8Printable(quotedForLog(*message.id, 80)) : "nil");
    Q_EMIT messageReceived(message);
}

void RelayWebSocket::disconnect()
{
    m_keeper->stop();
    WebSocketClient *socket = std::exchange(m_webSocketTask, nullptr);
    // What the closing socket still holds is no longer this link's.
    resetPendingBytes();
    if (!socket)
        return;

    // The socket keeps its signals: its end is reported once, as
    // disconnected(), and schedules no reconnect.
    m_closingSocket = socket;
    m_sockets.insert(socket, kClosedByUs);
    // An opening that is aborted ends at once, reported through its
    // disconnected(), like a close that completes later.
    if (socket->state() == QAbstractSocket::ConnectedState)
        socket->close(WebSocketCloseCode::goingAway);
    else
        socket->abort();
}

void RelayWebSocket::sendJSON(const QJsonObject &message)
{
    if (!m_webSocketTask) {
        qCCritical(lcWebSocket, "sendJSON: no webSocketTask — dropping message");
        return;
    }
    const QByteArray json = QJsonDocument(message).toJson(QJsonDocument::Compact);
    if (json.isEmpty()) {
        qCCritical(lcWebSocket, "sendJSON: failed to serialize JSON");
        return;
    }
    const QJsonValue typeValue = message.value(QStringLiteral("type"));
    const QByteArray type = typeValue.isString() ? typeValue.toString().toUtf8() : QByteArrayLiteral("?");
    sendJSONText(json, QLatin1StringView(type));
}

void RelayWebSocket::sendJSONText(QByteArrayView json, QLatin1StringView type)
{
    if (!m_webSocketTask) {
        qCCritical(lcWebSocket, "sendJSON: no webSocketTask — dropping message");
        return;
    }
    // Nothing can be sent before the handshake has finished; that is a
    // failed send.
    if (m_webSocketTask->state() != QAbstractSocket::ConnectedState) {
        qCCritical(lcWebSocket, "Send failed (%.*s): %s", int(type.size()), type.data(), qUtf8Printable(kNotOpen));
        return;
    }
    // The client reports the bytes it queued, -1 for none.
    const qint64 sent = m_webSocketTask->sendText(json);
    if (sent < json.size())
        qCCritical(lcWebSocket, "Send failed (%.*s): %s", int(type.size()), type.data(),
                   qUtf8Printable(quotedForLog(m_webSocketTask->errorString())));
    updatePendingBytes();
}

void RelayWebSocket::send(const RelayResponse &response)
{
    if (!m_webSocketTask)
        return;
    const QByteArray json = QJsonDocument(response.toJson()).toJson(QJsonDocument::Compact);
    if (json.isEmpty()) {
        qCCritical(lcWebSocket, "Encode failed: %s", "empty JSON text");
        return;
    }
    if (m_webSocketTask->state() != QAbstractSocket::ConnectedState) {
        qCCritical(lcWebSocket, "Send failed: %s", qUtf8Printable(kNotOpen));
        return;
    }
    const qint64 sent = m_webSocketTask->sendText(json);
    if (sent < json.size())
        qCCritical(lcWebSocket, "Send failed: %s", qUtf8Printable(quotedForLog(m_webSocketTask->errorString())));
    updatePendingBytes();
}

void RelayWebSocket::updatePendingBytes()
{
    // The socket's own count covers every frame it queued (with headers,
    // pings and pongs), so it cannot drift from what is really waiting.
    m_pendingBytes = m_webSocketTask ? std::max<qint64>(0, m_webSocketTask->bytesToWrite()) : 0;
    if (!m_isCongested && m_pendingBytes > m_timings.highWatermarkBytes) {
        m_isCongested = true;
        qCDebug(lcWebSocket, "Relay link congested (%ld bytes queued)", long(m_pendingBytes));
        Q_EMIT congested();
    } else if (m_isCongested && m_pendingBytes < m_timings.lowWatermarkBytes) {
        m_isCongested = false;
        qCDebug(lcWebSocket, "Relay link drained (%ld bytes queued)", long(m_pendingBytes));
        Q_EMIT drained();
    }
}

void RelayWebSocket::resetPendingBytes()
{
    m_pendingBytes = 0;
    if (m_isCongested) {
        m_isCongested = false;
        qCDebug(lcWebSocket, "Relay link drained (%ld bytes queued)", long(m_pendingBytes));
        Q_EMIT drained();
    }
}

} // namespace halvex
