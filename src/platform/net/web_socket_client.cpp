#include "platform/net/web_socket_client.h"

#include "platform/duration_text.h"
#include "platform/net/http_head.h"
#include "platform/net/tls_pin.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QSslSocket>
#include <QTcpSocket>

#include <algorithm>
#include <utility>

namespace halvex {

namespace {

constexpr char kAcceptSuffix[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr qint64 kReadSlice = 256 * 1024;

// Whether a comma-separated header value holds `token` (case-insensitive).
bool hasToken(const QByteArray &value, const char *token)
{
    for (const QByteArray &part : value.split(','))
        if (part.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

} // namespace

WebSocketClient::WebSocketClient(QObject *parent) : QObject(parent)
{
    m_closeTimer.setSingleShot(true);
    QObject::connect(&m_closeTimer, &QTimer::timeout, this, [this] {
        // The server never finished the close handshake.
        releaseTransport(true);
        finish();
    });
    m_stallTimer.setSingleShot(true);
    QObject::connect(&m_stallTimer, &QTimer::timeout, this, [this] {
        fail(QAbstractSocket::SocketTimeoutError,
             QStringLiteral("The server took none of %1 queued bytes in %2 s: it sends without reading")
                 .arg(bytesToWrite())
                 .arg(inSeconds(m_limits.stalledQueue)));
    });
    // Every write the socket finishes may let the held pong out or reading go on.
    QObject::connect(this, &WebSocketClient::bytesWritten, this, &WebSocketClient::onQueueProgress);
}

WebSocketClient::~WebSocketClient()
{
    if (m_transport) {
        QObject::disconnect(m_transport, nullptr, this, nullptr);
        m_transport->abort();
    }
}

void WebSocketClient::setState(QAbstractSocket::SocketState state)
{
    if (m_state == state)
        return;
    m_state = state;
    Q_EMIT stateChanged(state);
}

void WebSocketClient::open(const QNetworkRequest &request)
{
    if (m_state != QAbstractSocket::UnconnectedState)
        abort();
    const QUrl url = request.url();
    m_error = QAbstractSocket::UnknownSocketError;
    m_errorString.clear();
    m_closeCode = WebSocketCloseCode::abnormal;
    m_closeReason.clear();
    m_handshake.clear();
    m_reader = std::make_unique<WebSocketFrameReader>(m_limits.maxMessageBytes);
    m_deflate.reset();
    m_deflater.reset();
    m_pendingPong.reset();
    m_pongAhead = 0;
    m_readPaused = false;
    m_stallTimer.stop();

    const QString scheme = url.scheme().toLower();
    const bool secure = scheme == QLatin1String("wss");
    if ((!secure && scheme != QLatin1String("ws")) || url.host().isEmpty()) {
        m_error = QAbstractSocket::UnsupportedSocketOperationError;
        m_errorString = QStringLiteral("Not a WebSocket URL (ws:// or wss:// with a host): %1")
                            .arg(url.toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery));
        Q_EMIT errorOccurred(m_error);
        return;
    }

    // The upgrade request.
    QByteArray key(16, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(key.data()), 4);
    const QByteArray keyText = key.toBase64();
    m_expectedAccept = QCryptographicHash::hash(keyText + kAcceptSuffix, QCryptographicHash::Sha1).toBase64();
    const int defaultPort = secure ? 443 : 80;
    m_upgrade = "GET " + HttpHead::target(url) + " HTTP/1.1\r\nHost: " + HttpHead::host(url, defaultPort) +
                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + keyText +
                "\r\nSec-WebSocket-Version: 13\r\n";
    if (m_offerDeflate)
        m_upgrade += "Sec-WebSocket-Extensions: " + perMessageDeflateOffer() + "\r\n";
    for (const QByteArray &name : request.rawHeaderList()) {
        const QByteArray value = request.rawHeader(name);
        if (!HttpHead::isSafeText(name) || !HttpHead::isSafeText(value) || name.isEmpty() || name.contains(':')) {
            m_error = QAbstractSocket::UnsupportedSocketOperationError;
            m_errorString = QStringLiteral("A request header holds a line break or is malformed");
            Q_EMIT errorOccurred(m_error);
            return;
        }
        m_upgrade += name + ": " + value + "\r\n";
    }
    m_upgrade += "\r\n";

    QTcpSocket *transport = secure ? new QSslSocket(this) : new QTcpSocket(this);
    // What the messages have not taken yet waits in the kernel beyond this,
    // which slows a server that sends faster than the link is read. (Plain
    // TCP only: the bursts come from the loopback gateway, and a capped TLS
    // buffer is a path Qt exercises far less.)
    if (!secure)
        transport->setReadBufferSize(4 * kReadSlice);
    m_transport = transport;
    QObject::connect(transport, &QAbstractSocket::readyRead, this, &WebSocketClient::onReadyRead);
    QObject::connect(transport, &QAbstractSocket::errorOccurred, this,
                     [this, transport](QAbstractSocket::SocketError e) {
                         if (transport != m_transport)
                             return;
                         // A close handshake under way ends with the server closing TCP.
                         if (e == QAbstractSocket::RemoteHostClosedError && m_state == QAbstractSocket::ClosingState)
                             return;
                         // A handshake refused for the pin says which certificates differ.
                         fail(e, pinFailure(transport).value_or(transport->errorString()));
                     });
    QObject::connect(transport, &QAbstractSocket::disconnected, this, [this, transport] {
        if (transport != m_transport)
            return;
        releaseTransport(false);
        finish();
    });
    if (secure) {
        auto *tls = static_cast<QSslSocket *>(transport);
        if (m_tls)
            tls->setSslConfiguration(*m_tls);
        pinCertificate(tls, m_pin);
        QObject::connect(tls, &QSslSocket::encrypted, this, &WebSocketClient::sendUpgrade);
        QObject::connect(tls, &QSslSocket::encryptedBytesWritten, this, &WebSocketClient::bytesWritten);
        setState(QAbstractSocket::ConnectingState);
        tls->connectToHostEncrypted(url.host(), quint16(url.port(defaultPort)));
    } else {
        QObject::connect(transport, &QAbstractSocket::connected, this, &WebSocketClient::sendUpgrade);
        QObject::connect(transport, &QAbstractSocket::bytesWritten, this, &WebSocketClient::bytesWritten);
        setState(QAbstractSocket::ConnectingState);
        transport->connectToHost(url.host(), quint16(url.port(defaultPort)));
    }
}

void WebSocketClient::sendUpgrade()
{
    if (!m_transport)
        return;
    // A certificate that passed verification may still not be the pinned
    // one: the upgrade carries the token, so it is checked before any write.
    if (const auto *tls = qobject_cast<const QSslSocket *>(m_transport.data())) {
        if (const std::optional<QString> mismatch = pinMismatch(tls, m_pin)) {
            fail(QAbstractSocket::SslHandshakeFailedError, *mismatch);
            return;
        }
    }
    // Messages go out as they come: no waiting to coalesce small segments
    // (Nagle) behind one the server has not acknowledged yet.
    m_transport->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_transport->write(m_upgrade);
}

void WebSocketClient::fail(QAbstractSocket::SocketError error, const QString &text)
{
    if (m_state == QAbstractSocket::UnconnectedState)
        return;
    m_error = error;
    m_errorString = text;
    const QPointer<WebSocketClient> self(this);
    Q_EMIT errorOccurred(error);
    if (!self)
        return;
    releaseTransport(true);
    finish();
}

void WebSocketClient::releaseTransport(bool abortIt)
{
    QTcpSocket *transport = m_transport;
    m_transport = nullptr;
    if (!transport)
        return;
    QObject::disconnect(transport, nullptr, this, nullptr);
    if (abortIt)
        transport->abort();
    transport->deleteLater();
}

void WebSocketClient::finish()
{
    m_closeTimer.stop();
    m_stallTimer.stop();
    m_pendingPong.reset();
    if (m_state == QAbstractSocket::UnconnectedState)
        return;
    const QPointer<WebSocketClient> self(this);
    setState(QAbstractSocket::UnconnectedState);
    if (self)
        Q_EMIT disconnected();
}

void WebSocketClient::abort()
{
    releaseTransport(true);
    finish();
}

void WebSocketClient::close(quint16 code, const QString &reason)
{
    if (m_state == QAbstractSocket::ConnectedState) {
        m_closeCode = code;
        m_closeReason = reason;
        writeFrame(WebSocketOpcode::close, encodeWebSocketClose(code, reason));
        setState(QAbstractSocket::ClosingState);
        m_closeTimer.start(m_limits.closeTimeout);
    } else if (m_state != QAbstractSocket::ClosingState) {
        abort();
    }
}

qint64 WebSocketClient::bytesToWrite() const
{
    if (!m_transport)
        return 0;
    qint64 queued = m_transport->bytesToWrite();
    if (const auto *tls = qobject_cast<const QSslSocket *>(m_transport.data()))
        queued += tls->encryptedBytesToWrite();
    return queued;
}

DeflateMemory WebSocketClient::deflateMemory() const
{
    DeflateMemory memory;
    for (const DeflateMemory part :
         {m_deflater ? m_deflater->memory() : DeflateMemory{},
          m_reader && m_reader->inflater() ? m_reader->inflater()->memory() : DeflateMemory{}}) {
        memory.current += part.current;
        memory.peak += part.peak;
    }
    return memory;
}

void WebSocketClient::writeFrame(quint8 opcode, QByteArrayView payload)
{
    // The frame is built in one buffer kept for the next: the payload (or
    // what deflate makes of it) after room for the header, masked in place.
    m_frame.resize(kWebSocketHeaderRoom);
    const bool data = opcode == WebSocketOpcode::text || opcode == WebSocketOpcode::binary;
    const bool compressed = data && m_deflater && m_deflater->compress(payload, m_frame);
    if (!compressed)
        m_frame.append(payload.data(), payload.size());
    // The masking key only has to be unpredictable to what the payload's
    // author could see; the process's seeded generator is enough.
    const QByteArrayView frame =
        sealWebSocketFrame(m_frame, opcode, QRandomGenerator::global()->generate(), compressed);
    m_transport->write(frame.data(), frame.size());
    // One large message does not keep its room for the life of the link.
    if (m_frame.capacity() > 1024 * 1024)
        m_frame = QByteArray();
}

qint64 WebSocketClient::sendText(QByteArrayView utf8)
{
    if (m_state != QAbstractSocket::ConnectedState || !m_transport)
        return -1;
    writeFrame(WebSocketOpcode::text, utf8);
    return utf8.size();
}

bool WebSocketClient::ping(QByteArrayView payload)
{
    if (m_state != QAbstractSocket::ConnectedState || !m_transport || payload.size() > 125)
        return false;
    m_sincePing.start();
    writeFrame(WebSocketOpcode::ping, payload);
    return true;
}

void WebSocketClient::onReadyRead()
{
    if (!m_transport)
        return;
    if (m_state == QAbstractSocket::ConnectingState) {
        if (!readHandshake())
            return;
    } else if (m_reader) {
        if (pauseReadingIfFull())
            return;
        // A slice at a time: between two, the event loop gets to send what
        // the messages caused (the relay chunks), so a burst from the server
        // is neither held whole in memory nor answered all at its end.
        m_reader->append(m_transport->read(kReadSlice));
    } else {
        m_transport->readAll(); // a server that broke the protocol: only its close is awaited
        return;
    }
    const QPointer<WebSocketClient> self(this);
    readFrames();
    if (self && m_transport && m_transport->bytesAvailable() > 0)
        scheduleRead();
}

void WebSocketClient::scheduleRead()
{
    if (m_readScheduled)
        return;
    m_readScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_readScheduled = false;
            onReadyRead();
        },
        Qt::QueuedConnection);
}

// True when the queue is too full to read more. What the server sends then
// waits in the kernel (the read buffer is capped), which holds the server
// back instead of this process's memory.
bool WebSocketClient::pauseReadingIfFull()
{
    if (!m_readPaused && bytesToWrite() <= m_limits.maxQueuedBytes)
        return false;
    if (!m_readPaused) {
        m_readPaused = true;
        m_stallTimer.start(m_limits.stalledQueue);
    }
    return true;
}

void WebSocketClient::onQueueProgress(qint64 written)
{
    if (!m_transport)
        return;
    m_pongAhead = std::max<qint64>(0, m_pongAhead - written);
    if (m_pendingPong && m_pongAhead == 0) {
        const QByteArray payload = *std::exchange(m_pendingPong, std::nullopt);
        answerPing(payload);
    }
    if (m_readPaused && bytesToWrite() < m_limits.resumeQueuedBytes) {
        m_readPaused = false;
        m_stallTimer.stop();
        if (m_transport->bytesAvailable() > 0)
            scheduleRead();
    }
}

void WebSocketClient::answerPing(const QByteArray &payload)
{
    // Only the latest ping needs an answer: while the last pong is still
    // queued, the next waits (its payload replaced by newer pings) until that
    // one left, so a ping flood queues one pong, not one per ping.
    if (m_state != QAbstractSocket::ConnectedState)
        return;
    if (m_pongAhead > 0) {
        m_pendingPong = payload;
        return;
    }
    m_pendingPong.reset();
    writeFrame(WebSocketOpcode::pong, payload);
    m_pongAhead = bytesToWrite();
}

// Reads the server's answer to the upgrade; true once the link is open (and
// what followed the answer is in the frame reader).
bool WebSocketClient::readHandshake()
{
    m_handshake += m_transport->read(m_limits.maxHandshakeBytes + 1 - m_handshake.size());
    const qsizetype end = m_handshake.indexOf("\r\n\r\n");
    if (end < 0) {
        if (m_handshake.size() > m_limits.maxHandshakeBytes)
            fail(QAbstractSocket::ConnectionRefusedError,
                 QStringLiteral("The server's answer to the WebSocket upgrade is over %1 bytes")
                     .arg(m_limits.maxHandshakeBytes));
        return false;
    }
    const HttpHead::Answer answer = HttpHead::readAnswer(QByteArrayView(m_handshake).first(end));
    if (!answer.version.startsWith("HTTP/1.") || answer.status != 101) {
        // The server's reason phrase goes into log lines: printable ASCII only.
        QByteArray reason = answer.reason.left(80);
        for (char &c : reason)
            if (c < 0x20 || c > 0x7e)
                c = '?';
        fail(QAbstractSocket::ConnectionRefusedError,
             QStringLiteral("The server refused the WebSocket upgrade: HTTP %1%2")
                 .arg(answer.status)
                 .arg(reason.isEmpty() ? QString() : QStringLiteral(" ") + QString::fromLatin1(reason)));
        return false;
    }
    QByteArray upgrade, connection, accept, extensions;
    bool unasked = false; // a subprotocol, or an extension nobody offered
    for (const auto &[name, value] : answer.fields) {
        if (name == "upgrade")
            upgrade = value;
        else if (name == "connection")
            connection = value;
        else if (name == "sec-websocket-accept")
            accept = value;
        else if (name == "sec-websocket-extensions")
            extensions += (extensions.isEmpty() ? "" : ",") + value;
        else if (name == "sec-websocket-protocol")
            unasked = true;
    }
    if (!m_offerDeflate && !extensions.isEmpty())
        unasked = true;
    if (upgrade.compare("websocket", Qt::CaseInsensitive) != 0 || !hasToken(connection, "upgrade") ||
        accept != m_expectedAccept || unasked) {
        fail(QAbstractSocket::ConnectionRefusedError,
             QStringLiteral("The server's answer to the WebSocket upgrade is not a valid one"));
        return false;
    }
    if (m_offerDeflate) {
        const Result<std::optional<PerMessageDeflate>> agreed = readPerMessageDeflateAnswer(extensions);
        if (!agreed) {
            fail(QAbstractSocket::ConnectionRefusedError, agreed.error().description());
            return false;
        }
        m_deflate = *agreed;
        if (m_deflate) {
            m_deflater =
                std::make_unique<WebSocketDeflater>(m_deflate->clientMaxWindowBits, m_deflate->clientNoContextTakeover);
            m_reader->setInflater(std::make_unique<WebSocketInflater>(m_deflate->serverNoContextTakeover));
        }
    }
    m_reader->append(QByteArrayView(m_handshake).sliced(end + 4));
    m_handshake.clear();
    const QPointer<WebSocketClient> self(this);
    setState(QAbstractSocket::ConnectedState);
    if (self && m_state == QAbstractSocket::ConnectedState)
        Q_EMIT connected();
    return self && m_state != QAbstractSocket::UnconnectedState;
}

void WebSocketClient::readFrames()
{
    const QPointer<WebSocketClient> self(this);
    WebSocketFrameReader::Message message;
    WebSocketFrameReader::Failure failure;
    while (self && m_transport && m_reader) {
        const WebSocketFrameReader::Status status = m_reader->next(message, failure);
        if (status == WebSocketFrameReader::Status::needMore)
            return;
        if (status == WebSocketFrameReader::Status::failed) {
            closeForFailure(failure.closeCode, failure.reason);
            return;
        }
        switch (message.kind) {
        case WebSocketFrameReader::Kind::text:
            // After our close frame nothing more is taken in.
            if (m_state == QAbstractSocket::ConnectedState)
                Q_EMIT textReceived(message.payload);
            break;
        case WebSocketFrameReader::Kind::binary:
            if (m_state == QAbstractSocket::ConnectedState)
                Q_EMIT binaryReceived(message.payload);
            break;
        case WebSocketFrameReader::Kind::ping:
            if (m_state == QAbstractSocket::ConnectedState)
                answerPing(message.payload);
            break;
        case WebSocketFrameReader::Kind::pong:
            Q_EMIT pong(m_sincePing.isValid() ? quint64(m_sincePing.elapsed()) : 0, message.payload);
            break;
        case WebSocketFrameReader::Kind::close:
            onCloseFrame(message.payload);
            return;
        }
    }
}

void WebSocketClient::closeForFailure(quint16 code, const QString &reason)
{
    if (m_state == QAbstractSocket::ConnectedState) {
        close(code, reason);
        // Nothing more is read from a server that broke the protocol.
        m_reader.reset();
    } else {
        abort();
    }
}

void WebSocketClient::onCloseFrame(const QByteArray &payload)
{
    // Still open: the server closes first. Answer with its code (1000 for a
    // close without one, 1002 for a malformed one) and keep its code and
    // reason as the link's.
    if (m_state == QAbstractSocket::ConnectedState) {
        const std::optional<WebSocketClose> theirs = readWebSocketClose(payload);
        quint16 answer = WebSocketCloseCode::protocolError;
        if (theirs)
            answer = theirs->code == WebSocketCloseCode::noStatus ? WebSocketCloseCode::normal : theirs->code;
        close(answer, QString());
        m_closeCode = theirs ? theirs->code : WebSocketCloseCode::protocolError;
        m_closeReason = theirs ? theirs->reason : QString();
    }
    // Both close frames are out: the server ends TCP; should it not, this side does.
    if (m_transport)
        m_transport->disconnectFromHost();
}

} // namespace halvex
