#pragma once

#include "platform/net/web_socket_deflate.h"
#include "platform/net/web_socket_frames.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QElapsedTimer>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <memory>
#include <optional>

class QTcpSocket;

namespace halvex {

// The client end of one WebSocket link (ws:// or wss://), on a TCP or TLS
// socket of the event loop's thread.
//
// Messages go out as one masked frame each, built straight from their UTF-8
// bytes (compressed, where permessage-deflate was offered and the server
// took it); text arrives as the UTF-8 bytes the server sent, checked. Pings
// are answered, a close is answered and the TCP link then ends. A message
// over the size limit ends the link with close code 1009, text that is not
// UTF-8 with 1007, a broken frame with 1002.
//
// States: UnconnectedState, ConnectingState (TCP, TLS and the opening
// handshake), ConnectedState, ClosingState (a close frame was sent or
// received). Leaving any other state for UnconnectedState emits
// disconnected() once; a failure emits errorOccurred() before that.
// Nothing is emitted from the destructor.
//
// At most one pong waits at a time: a ping that comes while the last pong is
// still queued is answered once that one left, and a newer ping replaces the
// waiting answer's payload (RFC 6455 allows answering only the
// latest). While the queue is over Limits::maxQueuedBytes nothing is read;
// when it stays there for Limits::stalledQueue the link fails with
// SocketTimeoutError.
class WebSocketClient : public QObject
{
    Q_OBJECT
public:
    struct Limits {
        qint64 maxMessageBytes = 16 * 1024 * 1024;
        int maxHandshakeBytes = 16 * 1024;                                // the server's answer to the upgrade
        std::chrono::milliseconds closeTimeout = std::chrono::seconds(5); // a close handshake the server leaves hanging
        // Reading stops while more than this waits to be sent, so a peer that
        // sends without reading (pings, or requests whose answers it leaves)
        // cannot grow the queue without end. Above the relay link's own
        // congestion mark (1 MiB), so streamed answers meet that first.
        qint64 maxQueuedBytes = 4 * 1024 * 1024;
        qint64 resumeQueuedBytes = 1024 * 1024;                            // reading goes on below this
        std::chrono::milliseconds stalledQueue = std::chrono::seconds(30); // paused this long: the link fails
    };

    explicit WebSocketClient(QObject *parent = nullptr);
    ~WebSocketClient() override;

    void setMaxIncomingMessageSize(qint64 bytes) { m_limits.maxMessageBytes = bytes; }
    // For the next open().
    void setLimits(const Limits &limits) { m_limits = limits; }
    const Limits &limits() const { return m_limits; }
    // Offers permessage-deflate in the next upgrades (off by default). A
    // server that takes it gets compressed messages and may send them; one
    // that does not gets the link as without the offer.
    void setPerMessageDeflate(bool offer) { m_offerDeflate = offer; }
    // What the server agreed to on the open link; nullopt without the extension.
    std::optional<PerMessageDeflate> perMessageDeflate() const { return m_deflate; }
    // The memory zlib holds for the link's compression, both directions.
    DeflateMemory deflateMemory() const;
    // For wss:// links; by default the system's trusted authorities and
    // full verification of the server's name.
    void setTlsConfiguration(const QSslConfiguration &configuration) { m_tls = configuration; }
    // For wss:// links: trusts exactly the server certificate with this
    // SHA-256 (platform/tls_pin.h) in place of the verification above; empty
    // for none. Another certificate fails the link with
    // SslHandshakeFailedError, the mismatch sentence as errorString(), and
    // not a byte of the upgrade sent.
    void setPinnedCertificate(const QByteArray &sha256) { m_pin = sha256; }

    // Opens the link; the request's raw headers go with the upgrade. An URL
    // that is not ws:// or wss:// with a host fails at once (errorOccurred,
    // no disconnected: the link never left UnconnectedState).
    void open(const QNetworkRequest &request);
    void open(const QUrl &url) { open(QNetworkRequest(url)); }
    // Starts the close handshake when open; drops an opening link.
    void close(quint16 code = WebSocketCloseCode::normal, const QString &reason = {});
    // Ends the link at once.
    void abort();

    QAbstractSocket::SocketState state() const { return m_state; }
    bool isOpen() const { return m_state == QAbstractSocket::ConnectedState; }
    // Reading is paused for a full send queue.
    bool isReadingPaused() const { return m_readPaused; }

    // The payload bytes queued, or -1 when the link is not open.
    qint64 sendText(QByteArrayView utf8);
    qint64 sendTextMessage(const QString &text) { return sendText(text.toUtf8()); }
    bool ping(QByteArrayView payload = {});

    // Bytes queued for the network and not yet handed to it (on TLS, both
    // the plain and the encrypted queue).
    qint64 bytesToWrite() const;

    QAbstractSocket::SocketError error() const { return m_error; }
    QString errorString() const { return m_errorString; }
    // The close code of the link's end: the one this side sent when it
    // closed first (1009 for an oversized message), else the server's,
    // 1005 for a close frame without one, 1006 when no close frame came.
    quint16 closeCode() const { return m_closeCode; }
    QString closeReason() const { return m_closeReason; }

Q_SIGNALS:
    void connected();
    void disconnected();
    void errorOccurred(QAbstractSocket::SocketError error);
    void textReceived(const QByteArray &utf8);
    void binaryReceived(const QByteArray &bytes);
    void pong(quint64 elapsedMs, const QByteArray &payload);
    // Progress of the queue bytesToWrite() counts (on TLS, encrypted bytes).
    void bytesWritten(qint64 bytes);
    void stateChanged(QAbstractSocket::SocketState state);

private:
    void setState(QAbstractSocket::SocketState state);
    void fail(QAbstractSocket::SocketError error, const QString &text);
    void finish();
    void releaseTransport(bool abortIt);
    void sendUpgrade();
    void onReadyRead();
    bool readHandshake();
    void readFrames();
    void closeForFailure(quint16 code, const QString &reason);
    void onCloseFrame(const QByteArray &payload);
    void writeFrame(quint8 opcode, QByteArrayView payload);
    void answerPing(const QByteArray &payload);
    void onQueueProgress(qint64 written);
    void scheduleRead();
    bool pauseReadingIfFull();

    Limits m_limits;
    std::optional<QSslConfiguration> m_tls;
    QByteArray m_pin;
    QAbstractSocket::SocketState m_state = QAbstractSocket::UnconnectedState;
    QPointer<QTcpSocket> m_transport;
    QByteArray m_upgrade; // the request, written once TCP (and TLS) is up
    QByteArray m_expectedAccept;
    QByteArray m_handshake; // the server's answer so far
    std::unique_ptr<WebSocketFrameReader> m_reader;
    bool m_offerDeflate = false;
    std::optional<PerMessageDeflate> m_deflate;
    std::unique_ptr<WebSocketDeflater> m_deflater;
    QByteArray m_frame;           // the frame being written, kept for its room
    bool m_readScheduled = false; // a read of what is left is queued
    QTimer m_closeTimer;
    std::optional<QByteArray> m_pendingPong; // held while the last pong is still queued
    qint64 m_pongAhead = 0;                  // queued bytes up to the end of the last pong written
    bool m_readPaused = false;
    QTimer m_stallTimer;
    QElapsedTimer m_sincePing;
    QAbstractSocket::SocketError m_error = QAbstractSocket::UnknownSocketError;
    QString m_errorString;
    quint16 m_closeCode = WebSocketCloseCode::abnormal;
    QString m_closeReason;
};

} // namespace halvex
