#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <optional>
#include <utility>

class QTcpServer;

namespace halvex::test {

class HttpStandInConnection;

using HttpHeaders = QList<std::pair<QByteArray, QByteArray>>;

// One request as the stand-in received it.
struct HttpRequest {
    int index = -1;      // order of arrival over all connections, from 0
    QByteArray method;   // "GET", "POST", ...
    QByteArray target;   // as sent, e.g. "/v1/models?x=1"
    HttpHeaders headers; // in order, names as sent
    QByteArray body;     // de-chunked when it came chunked

    QByteArray path() const; // the target without its query
    // Header lookups ignore the case of the name.
    bool hasHeader(const QByteArray &name) const;
    QByteArray header(const QByteArray &name) const; // first value, or empty
    int headerCount(const QByteArray &name) const;
    // The body as a JSON object (empty when it is not one).
    QJsonObject json() const;

    // The request line and header lines of a request head (without the
    // blank line that ends it); nullopt when the request line is not
    // "<method> <target> HTTP/1.x" or a header line has no name. The one
    // parser of the loopback stand-ins.
    static std::optional<HttpRequest> fromHead(const QByteArray &head);
};

// One scripted answer. Start from a factory, refine with the with...()
// setters:
//
//   ScriptedResponse::eventStream({"data: {...}\n\n", "data: [DONE]\n\n"}, 50)
//       .withEnding(ScriptedResponse::Ending::HoldOpen)
//
// Every piece is written (and flushed) as it comes due: a piece's delay is
// counted from the previous piece, or from the request for the first one.
// Pieces are raw bytes, so a boundary may fall anywhere, even inside a
// multi-byte UTF-8 character.
struct ScriptedResponse {
    // How the body is delimited on the wire.
    enum class Framing {
        ContentLength, // "Content-Length" of all pieces together
        Chunked,       // "Transfer-Encoding: chunked", one HTTP chunk per piece
        UntilClose,    // no length: the body ends when the connection closes
    };
    // What happens after the last piece.
    enum class Ending {
        Complete, // end the framing (chunked terminator) and close the connection
        HoldOpen, // write nothing more and keep the connection open until the client leaves
        Cut,      // close without ending the framing (chunked: an incomplete body)
    };
    struct Piece {
        QByteArray bytes;
        int delayMs = 0;
    };

    int status = 200;
    QByteArray reason; // empty: the usual phrase for the status
    HttpHeaders headers;
    QList<Piece> pieces;
    Framing framing = Framing::ContentLength;
    Ending ending = Ending::Complete;
    int headDelayMs = 0; // wait before the status line
    bool raw = false;    // no status line, no headers: the pieces alone (not HTTP)
    bool hang = false;   // read the request, never answer, keep the connection open

    // A complete body with "Content-Type: application/json".
    static ScriptedResponse json(int status, const QByteArray &body);
    static ScriptedResponse json(int status, const QJsonObject &body);
    static ScriptedResponse text(int status, const QByteArray &body,
                                 const QByteArray &contentType = QByteArrayLiteral("text/plain; charset=utf-8"));
    // A status without a body (e.g. 204).
    static ScriptedResponse empty(int status);
    // A chunked "text/event-stream" answer with status 200, one piece per
    // element, `delayMs` before each piece.
    static ScriptedResponse eventStream(const QList<QByteArray> &pieces, int delayMs = 0);
    // Bytes that are not an HTTP response, then the connection closes.
    static ScriptedResponse rawBytes(const QByteArray &bytes);
    // Never answers.
    static ScriptedResponse hangForever();

    ScriptedResponse &withStatus(int status, const QByteArray &reason = {});
    ScriptedResponse &withHeader(const QByteArray &name, const QByteArray &value);
    ScriptedResponse &withPiece(const QByteArray &bytes, int delayMs = 0);
    ScriptedResponse &withFraming(Framing framing);
    ScriptedResponse &withEnding(Ending ending);
    ScriptedResponse &withHeadDelay(int delayMs);

    QByteArray body() const; // all pieces together
};

// Helpers to build event-stream bodies the way chat-completion servers send
// them. Each returns whole lines ending in LF.
namespace sse {
// "data: " + payload + "\n\n"
QByteArray data(const QByteArray &payload);
// A chat.completion.chunk whose first choice carries the given delta object.
QByteArray deltaChunk(const QJsonObject &delta, const QJsonValue &finishReason = QJsonValue::Null);
// A chunk with delta.content = fragment.
QByteArray contentChunk(const QString &fragment);
// A chunk whose delta carries only the role "assistant".
QByteArray roleChunk();
// The last chunk: an empty delta with finish_reason "stop".
QByteArray stopChunk();
// "data: [DONE]\n\n"
QByteArray done();
// The pieces of a whole streamed answer: role chunk, one chunk per fragment,
// stop chunk and, when `withDone`, the end marker.
QList<QByteArray> chatStream(const QStringList &fragments, bool withDone = true);
// Cuts bytes at the given offsets (ascending) into pieces.
QList<QByteArray> splitAt(const QByteArray &bytes, const QList<qsizetype> &offsets);
} // namespace sse

// A loopback HTTP/1.1 server that plays scripted answers and records every
// request. Answers are chosen per request, in this order:
//   1. the handler, when set and it returns an answer;
//   2. the first queued answer whose path matches (or that has no path);
//   3. the default answer for the request's path;
//   4. 404 with a JSON error body.
// Every answer carries "Connection: close" (unless it sets its own
// "Connection" header), so each request arrives on a connection of its own.
// Lives on the thread that created it; everything is driven by its event loop.
class HttpStandIn : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<std::optional<ScriptedResponse>(const HttpRequest &)>;

    explicit HttpStandIn(QObject *parent = nullptr);
    ~HttpStandIn() override;

    // Listens on the address (loopback by default) and a free port.
    bool listen(const QHostAddress &address = QHostAddress(QHostAddress::LocalHost), quint16 port = 0);
    quint16 port() const;
    QHostAddress address() const;
    // "http://127.0.0.1:<port>"
    QUrl url() const;
    // Stops listening and closes every open connection (held-open or hanging
    // ones included). A stand-in that is not listening refuses connections.
    void close();

    void enqueue(const ScriptedResponse &response, const QByteArray &path = {});
    void setDefaultResponse(const QByteArray &path, const ScriptedResponse &response);
    void setHandler(Handler handler);
    int queuedCount() const { return int(m_queue.size()); }

    QList<HttpRequest> requests() const { return m_requests; }
    int requestCount() const { return int(m_requests.size()); }
    HttpRequest lastRequest() const { return m_requests.isEmpty() ? HttpRequest{} : m_requests.last(); }
    // Requests with this path (query ignored), in order.
    QList<HttpRequest> requestsTo(const QByteArray &path) const;
    // Spins the event loop until `count` requests have arrived.
    bool waitForRequests(int count, int timeoutMs = 15000) const;
    // Connections still open.
    int openConnectionCount() const;

Q_SIGNALS:
    void requestReceived(const halvex::test::HttpRequest &request);
    // A scripted piece has just been written to the socket and flushed.
    void pieceWritten(int requestIndex, int pieceIndex, const QByteArray &bytes);
    // Everything scripted for the request was written (for HoldOpen: the last
    // piece was written and the connection stays open).
    void responseWritten(int requestIndex);
    // The connection that carried the request closed (either side; -1 when
    // it closed before a whole request arrived).
    void connectionClosed(int requestIndex);

private:
    friend class HttpStandInConnection;
    ScriptedResponse responseFor(const HttpRequest &request);
    int nextIndex() { return m_nextIndex++; }

    QTcpServer *m_server;
    Handler m_handler;
    QList<std::pair<QByteArray, ScriptedResponse>> m_queue;
    QList<std::pair<QByteArray, ScriptedResponse>> m_defaults;
    QList<HttpRequest> m_requests;
    QList<HttpStandInConnection *> m_connections; // each removes itself when it goes
    int m_nextIndex = 0;
};

} // namespace halvex::test

Q_DECLARE_METATYPE(halvex::test::HttpRequest)
Q_DECLARE_METATYPE(halvex::test::ScriptedResponse)
