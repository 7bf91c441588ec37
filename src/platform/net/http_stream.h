#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <optional>

class QAbstractSocket;
class QTimer;

namespace halvex {

// Why an exchange failed.
enum class HttpFailure {
    invalidRequest, // not an http(s) URL with a host, or a header with CR, LF or NUL
    connect,        // no connection (refused, no route, name not found, ...)
    tls,            // the handshake failed or the certificate is not the pinned one
    timedOut,
    tooLarge, // the answer is longer than its cap
    notHttp,  // the answer is no well-formed HTTP
    cutShort, // the connection closed before the answer was complete
    refused,  // a loopback port held by another user (platform/net/listener_owner.h)
    cancelled,
};

// One HTTP/1.1 request on a connection of its own, read on the thread's
// event loop: no connection pool (so no cap on parallel requests) and no
// hop to a network thread per piece of the answer. The answer body is
// decoded as it arrives (Content-Length, chunked, or up to the close) into
// a bounded buffer that the owner takes lines from; while that buffer is
// full nothing more is read from the socket, so TCP holds the server back.
//
// Every read is bounded: the answer head by its limit, the body buffer by
// its limit while the owner does not take from it, and the whole exchange
// by an inactivity limit that restarts with every byte received.
class HttpStream : public QObject
{
    Q_OBJECT
public:
    struct Limits {
        // No byte for this long fails the exchange with "The request timed out.".
        std::chrono::milliseconds idleTimeout{120000};
        qint64 maxHeadBytes = 64 * 1024;
        // Body bytes held unread before the socket is left alone.
        qint64 bodyBufferBytes = 64 * 1024;
    };
    using Headers = QList<QPair<QByteArray, QByteArray>>;

    // `url` must be http or https with a host; header values must not hold
    // CR, LF or NUL (start() fails the exchange otherwise).
    HttpStream(QUrl url, QByteArray method, Headers headers, QByteArray body, Limits limits, QObject *parent = nullptr);
    ~HttpStream() override;

    // For https: trusts exactly the server certificate with this SHA-256
    // (platform/tls_pin.h) in place of the ordinary verification; empty for
    // none. Another certificate fails the exchange, with the mismatch
    // sentence as failure(), before a byte of the request is written. Set
    // before start().
    void setPinnedCertificate(const QByteArray &sha256) { m_pin = sha256; }
    // A request with a token or a body (a chat) goes to a loopback port
    // only when this user, root or one of `owners` holds it; otherwise the
    // exchange fails naming the holder, before a byte is written. A pinned
    // certificate proves the peer by itself. Set before start().
    void setListenerOwners(const QStringList &owners) { m_listenerOwners = owners; }

    // Connects and sends the request.
    void start();
    // Ends the exchange at once with `reason` as its failure (when it has
    // not ended yet); what the body buffer holds is dropped.
    void abort(const QString &reason = QStringLiteral("Operation canceled"), HttpFailure kind = HttpFailure::cancelled);

    // The status of the answer, once its head arrived.
    std::optional<int> status() const { return m_status; }
    // The value of the answer's header field `lowerCaseName`; empty when it
    // has none.
    QByteArray headerValue(QByteArrayView lowerCaseName) const;
    // False once aborted: nothing more can be read.
    bool isOpen() const { return m_open; }
    // The exchange is over (answer complete, failed or aborted); body bytes
    // may still wait in the buffer.
    bool isFinished() const { return m_finished; }
    // Why the exchange failed; nullopt when it did not (yet).
    const std::optional<QString> &failure() const { return m_failure; }
    // Its kind, along with failure().
    HttpFailure failureKind() const { return m_failureKind; }

    qint64 bytesAvailable() const { return m_body.size() - m_bodyRead; }
    bool canReadLine() const;
    // The next line with its LF, or everything when there is none.
    QByteArray readLine();
    QByteArray readAll();

Q_SIGNALS:
    // The answer's head arrived (status() is set).
    void headReceived();
    // New body bytes can be read.
    void readyRead();
    // The exchange is over; emitted once, from the event loop.
    void finished();

private:
    enum class Framing { length, chunked, untilClose };
    enum class ChunkState { size, data, dataEnd, trailer };

    void onConnected();
    void onReadyRead();
    void onDisconnected();
    // Moves socket bytes into the body buffer until it is full; true when
    // new body bytes arrived.
    bool pull();
    bool parseHead(QByteArray *rest);
    bool decodeBody(QByteArrayView bytes, qsizetype *consumed);
    void compact();
    void finish(std::optional<QString> failure, HttpFailure kind = HttpFailure::notHttp);

    QUrl m_url;
    QByteArray m_request;
    QByteArray m_pin;
    QStringList m_listenerOwners;
    bool m_carriesSecrets = false; // a token or a body
    bool m_written = false;        // the request went out
    Limits m_limits;
    QPointer<QAbstractSocket> m_socket;
    QTimer *m_idle = nullptr;
    QElapsedTimer m_lastData; // since the last bytes arrived

    QByteArray m_head;
    bool m_headDone = false;
    std::optional<int> m_status;
    QList<std::pair<QByteArray, QByteArray>> m_fields; // names in lower case
    Framing m_framing = Framing::untilClose;
    qint64 m_remaining = 0; // length framing: body bytes still due; chunked: of this chunk
    ChunkState m_chunkState = ChunkState::size;
    QByteArray m_chunkLine;

    QByteArray m_body;
    qsizetype m_bodyRead = 0;
    qsizetype m_scanFrom = 0; // no LF before this offset of m_body
    bool m_open = true;
    bool m_finished = false;
    std::optional<QString> m_failure;
    HttpFailure m_failureKind = HttpFailure::cancelled;
};

} // namespace halvex
