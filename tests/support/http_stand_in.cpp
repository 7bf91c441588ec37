#include "http_stand_in.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

namespace halvex::test {

// ---- HttpRequest ----

std::optional<HttpRequest> HttpRequest::fromHead(const QByteArray &head)
{
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine.at(2).startsWith("HTTP/1."))
        return std::nullopt;
    HttpRequest request;
    request.method = requestLine.at(0);
    request.target = requestLine.at(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            return std::nullopt;
        request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    return request;
}

QByteArray HttpRequest::path() const
{
    const qsizetype query = target.indexOf('?');
    return query < 0 ? target : target.left(query);
}

bool HttpRequest::hasHeader(const QByteArray &name) const
{
    return headerCount(name) > 0;
}

QByteArray HttpRequest::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

int HttpRequest::headerCount(const QByteArray &name) const
{
    int count = 0;
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            ++count;
    }
    return count;
}

QJsonObject HttpRequest::json() const
{
    return QJsonDocument::fromJson(body).object();
}

// ---- ScriptedResponse ----

ScriptedResponse ScriptedResponse::json(int status, const QByteArray &body)
{
    return text(status, body, QByteArrayLiteral("application/json"));
}

ScriptedResponse ScriptedResponse::json(int status, const QJsonObject &body)
{
    return json(status, QJsonDocument(body).toJson(QJsonDocument::Compact));
}

ScriptedResponse ScriptedResponse::text(int status, const QByteArray &body, const QByteArray &contentType)
{
    ScriptedResponse response;
    response.status = status;
    response.headers.append({QByteArrayLiteral("Content-Type"), contentType});
    response.pieces.append({body, 0});
    return response;
}

ScriptedResponse ScriptedResponse::empty(int status)
{
    ScriptedResponse response;
    response.status = status;
    return response;
}

ScriptedResponse ScriptedResponse::eventStream(const QList<QByteArray> &pieces, int delayMs)
{
    ScriptedResponse response;
    response.headers.append({QByteArrayLiteral("Content-Type"), QByteArrayLiteral("text/event-stream; charset=utf-8")});
    response.headers.append({QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-cache")});
    response.framing = Framing::Chunked;
    for (const QByteArray &piece : pieces)
        response.pieces.append({piece, delayMs});
    return response;
}

ScriptedResponse ScriptedResponse::rawBytes(const QByteArray &bytes)
{
    ScriptedResponse response;
    response.raw = true;
    response.pieces.append({bytes, 0});
    return response;
}

ScriptedResponse ScriptedResponse::hangForever()
{
    ScriptedResponse response;
    response.hang = true;
    return response;
}

ScriptedResponse &ScriptedResponse::withStatus(int newStatus, const QByteArray &newReason)
{
    status = newStatus;
    reason = newReason;
    return *this;
}

ScriptedResponse &ScriptedResponse::withHeader(const QByteArray &name, const QByteArray &value)
{
    headers.append({name, value});
    return *this;
}

ScriptedResponse &ScriptedResponse::withPiece(const QByteArray &bytes, int delayMs)
{
    pieces.append({bytes, delayMs});
    return *this;
}

ScriptedResponse &ScriptedResponse::withFraming(Framing newFraming)
{
    framing = newFraming;
    return *this;
}

ScriptedResponse &ScriptedResponse::withEnding(Ending newEnding)
{
    ending = newEnding;
    return *this;
}

ScriptedResponse &ScriptedResponse::withHeadDelay(int delayMs)
{
    headDelayMs = delayMs;
    return *this;
}

QByteArray ScriptedResponse::body() const
{
    QByteArray all;
    for (const Piece &piece : pieces)
        all += piece.bytes;
    return all;
}

// ---- sse ----

namespace sse {

QByteArray data(const QByteArray &payload)
{
    return "data: " + payload + "\n\n";
}

QByteArray deltaChunk(const QJsonObject &delta, const QJsonValue &finishReason)
{
    const QJsonObject choice{
        {QStringLiteral("index"), 0},
        {QStringLiteral("delta"), delta},
        {QStringLiteral("finish_reason"), finishReason},
    };
    const QJsonObject chunk{
        {QStringLiteral("id"), QStringLiteral("chatcmpl-standin")},
        {QStringLiteral("object"), QStringLiteral("chat.completion.chunk")},
        {QStringLiteral("created"), 1700000000},
        {QStringLiteral("model"), QStringLiteral("stand-in")},
        {QStringLiteral("choices"), QJsonArray{choice}},
    };
    return data(QJsonDocument(chunk).toJson(QJsonDocument::Compact));
}

QByteArray contentChunk(const QString &fragment)
{
    return deltaChunk(QJsonObject{{QStringLiteral("content"), fragment}});
}

QByteArray roleChunk()
{
    return deltaChunk(QJsonObject{{QStringLiteral("role"), QStringLiteral("assistant")}});
}

QByteArray stopChunk()
{
    return deltaChunk(QJsonObject{}, QStringLiteral("stop"));
}

QByteArray done()
{
    return data(QByteArrayLiteral("[DONE]"));
}

QList<QByteArray> chatStream(const QStringList &fragments, bool withDone)
{
    QList<QByteArray> pieces{roleChunk()};
    for (const QString &fragment : fragments)
        pieces.append(contentChunk(fragment));
    pieces.append(stopChunk());
    if (withDone)
        pieces.append(done());
    return pieces;
}

QList<QByteArray> splitAt(const QByteArray &bytes, const QList<qsizetype> &offsets)
{
    QList<QByteArray> pieces;
    qsizetype start = 0;
    for (qsizetype offset : offsets) {
        pieces.append(bytes.mid(start, offset - start));
        start = offset;
    }
    pieces.append(bytes.mid(start));
    return pieces;
}

} // namespace sse

// ---- one connection ----

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

bool hasHeader(const HttpHeaders &headers, const QByteArray &name)
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace

// Reads one request from its socket, then plays the scripted answer.
class HttpStandInConnection : public QObject
{
public:
    HttpStandInConnection(QTcpSocket *socket, HttpStandIn *owner) : QObject(owner), m_socket(socket), m_owner(owner)
    {
        socket->setParent(this);
        owner->m_connections.append(this);
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, &HttpStandInConnection::writeNext);
        connect(socket, &QTcpSocket::readyRead, this, &HttpStandInConnection::readRequest);
        connect(socket, &QTcpSocket::disconnected, this, &HttpStandInConnection::closed);
        readRequest();
    }

    void shutDown()
    {
        m_timer.stop();
        m_socket->abort();
        closed();
    }

    ~HttpStandInConnection() override
    {
        if (m_owner)
            m_owner->m_connections.removeAll(this);
    }

    bool isOpen() const { return !m_closed; }

private:
    enum class Stage { ReadingHead, ReadingBody, Answering, Done };

    void readRequest()
    {
        if (m_stage != Stage::ReadingHead && m_stage != Stage::ReadingBody)
            return; // whatever the client sends after its request is ignored
        m_input += m_socket->readAll();
        if (m_stage == Stage::ReadingHead) {
            const qsizetype end = m_input.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            if (!parseHead(m_input.left(end))) {
                m_socket->write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                m_socket->disconnectFromHost();
                m_stage = Stage::Done;
                return;
            }
            m_input.remove(0, end + 4);
            m_stage = Stage::ReadingBody;
        }
        if (!readBody())
            return;
        m_stage = Stage::Answering;
        m_request.index = m_owner->nextIndex();
        // The record outlives the read buffer it came from: keep only its bytes.
        m_request.body.squeeze();
        m_owner->m_requests.append(m_request);
        Q_EMIT m_owner->requestReceived(m_request);
        if (!m_owner || m_closed)
            return;
        m_response = m_owner->responseFor(m_request);
        startAnswer();
    }

    bool parseHead(const QByteArray &head)
    {
        std::optional<HttpRequest> request = HttpRequest::fromHead(head);
        if (!request)
            return false;
        m_request = std::move(*request);
        return true;
    }

    // True once the whole body has arrived.
    bool readBody()
    {
        if (m_request.header("Transfer-Encoding").toLower().contains("chunked")) {
            for (;;) {
                const qsizetype lineEnd = m_input.indexOf("\r\n");
                if (lineEnd < 0)
                    return false;
                bool ok = false;
                const qsizetype size = m_input.left(lineEnd).split(';').first().trimmed().toLongLong(&ok, 16);
                if (!ok)
                    return true; // malformed: take what came
                if (m_input.size() < lineEnd + 2 + size + 2)
                    return false;
                m_request.body += m_input.mid(lineEnd + 2, size);
                m_input.remove(0, lineEnd + 2 + size + 2);
                if (size == 0)
                    return true;
            }
        }
        const qsizetype length = m_request.header("Content-Length").toLongLong();
        if (m_input.size() < length)
            return false;
        m_request.body = m_input.left(length);
        m_input.remove(0, length);
        return true;
    }

    void startAnswer()
    {
        if (m_response.hang)
            return;
        m_nextPiece = -1; // the head comes first
        schedule(m_response.headDelayMs);
    }

    void schedule(int delayMs)
    {
        if (delayMs <= 0)
            writeNext();
        else
            m_timer.start(delayMs);
    }

    void writeNext()
    {
        if (m_closed)
            return;
        if (m_nextPiece < 0) {
            if (!m_response.raw)
                m_socket->write(head());
            m_nextPiece = 0;
        } else {
            const QByteArray &bytes = m_response.pieces.at(m_nextPiece).bytes;
            if (m_response.raw || m_response.framing != ScriptedResponse::Framing::Chunked)
                m_socket->write(bytes);
            else if (!bytes.isEmpty()) // an empty chunk would end the body
                m_socket->write(QByteArray::number(bytes.size(), 16) + "\r\n" + bytes + "\r\n");
            m_socket->flush();
            const int pieceIndex = m_nextPiece++;
            QPointer<HttpStandInConnection> self(this);
            Q_EMIT m_owner->pieceWritten(m_request.index, pieceIndex, bytes);
            if (!self || m_closed)
                return;
        }
        if (m_nextPiece < m_response.pieces.size()) {
            schedule(m_response.pieces.at(m_nextPiece).delayMs);
            return;
        }
        finish();
    }

    QByteArray head() const
    {
        QByteArray out = "HTTP/1.1 " + QByteArray::number(m_response.status) + ' ' +
                         (m_response.reason.isEmpty() ? reasonPhrase(m_response.status) : m_response.reason) + "\r\n";
        for (const auto &[name, value] : m_response.headers)
            out += name + ": " + value + "\r\n";
        switch (m_response.framing) {
        case ScriptedResponse::Framing::ContentLength:
            if (!hasHeader(m_response.headers, "Content-Length"))
                out += "Content-Length: " + QByteArray::number(m_response.body().size()) + "\r\n";
            break;
        case ScriptedResponse::Framing::Chunked:
            out += "Transfer-Encoding: chunked\r\n";
            break;
        case ScriptedResponse::Framing::UntilClose:
            break;
        }
        if (!hasHeader(m_response.headers, "Connection"))
            out += "Connection: close\r\n";
        return out + "\r\n";
    }

    void finish()
    {
        m_stage = Stage::Done;
        switch (m_response.ending) {
        case ScriptedResponse::Ending::Complete:
            if (!m_response.raw && m_response.framing == ScriptedResponse::Framing::Chunked)
                m_socket->write("0\r\n\r\n");
            m_socket->flush();
            Q_EMIT m_owner->responseWritten(m_request.index);
            if (!m_closed)
                m_socket->disconnectFromHost();
            break;
        case ScriptedResponse::Ending::HoldOpen:
            Q_EMIT m_owner->responseWritten(m_request.index);
            break;
        case ScriptedResponse::Ending::Cut:
            m_socket->flush();
            Q_EMIT m_owner->responseWritten(m_request.index);
            if (!m_closed)
                m_socket->disconnectFromHost();
            break;
        }
    }

    void closed()
    {
        if (m_closed)
            return;
        m_closed = true;
        m_timer.stop();
        Q_EMIT m_owner->connectionClosed(m_request.index);
        deleteLater();
    }

    QTcpSocket *m_socket;
    QPointer<HttpStandIn> m_owner;
    QTimer m_timer;
    Stage m_stage = Stage::ReadingHead;
    QByteArray m_input;
    HttpRequest m_request;
    ScriptedResponse m_response;
    qsizetype m_nextPiece = -1;
    bool m_closed = false;
};

// ---- HttpStandIn ----

HttpStandIn::HttpStandIn(QObject *parent) : QObject(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server->nextPendingConnection()) {
            // As a Node.js server does: every write goes out at once.
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            new HttpStandInConnection(socket, this);
        }
    });
}

HttpStandIn::~HttpStandIn()
{
    // Close the connections quietly, and delete them while this object is
    // still whole (each one unregisters itself).
    blockSignals(true);
    close();
    const QList<HttpStandInConnection *> connections = m_connections;
    qDeleteAll(connections);
}

bool HttpStandIn::listen(const QHostAddress &address, quint16 port)
{
    return m_server->listen(address, port);
}

quint16 HttpStandIn::port() const
{
    return m_server->serverPort();
}

QHostAddress HttpStandIn::address() const
{
    return m_server->serverAddress();
}

QUrl HttpStandIn::url() const
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(m_server->serverAddress().toString());
    url.setPort(m_server->serverPort());
    return url;
}

void HttpStandIn::close()
{
    m_server->close();
    const QList<HttpStandInConnection *> connections = m_connections;
    for (HttpStandInConnection *connection : connections) {
        if (connection->isOpen())
            connection->shutDown();
    }
}

void HttpStandIn::enqueue(const ScriptedResponse &response, const QByteArray &path)
{
    m_queue.append({path, response});
}

void HttpStandIn::setDefaultResponse(const QByteArray &path, const ScriptedResponse &response)
{
    for (auto &entry : m_defaults) {
        if (entry.first == path) {
            entry.second = response;
            return;
        }
    }
    m_defaults.append({path, response});
}

void HttpStandIn::setHandler(Handler handler)
{
    m_handler = std::move(handler);
}

QList<HttpRequest> HttpStandIn::requestsTo(const QByteArray &path) const
{
    QList<HttpRequest> matching;
    for (const HttpRequest &request : m_requests) {
        if (request.path() == path)
            matching.append(request);
    }
    return matching;
}

bool HttpStandIn::waitForRequests(int count, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return m_requests.size() >= count; }, timeoutMs);
}

int HttpStandIn::openConnectionCount() const
{
    int count = 0;
    for (const HttpStandInConnection *connection : m_connections)
        count += connection->isOpen() ? 1 : 0;
    return count;
}

ScriptedResponse HttpStandIn::responseFor(const HttpRequest &request)
{
    if (m_handler) {
        if (std::optional<ScriptedResponse> response = m_handler(request))
            return *response;
    }
    const QByteArray path = request.path();
    for (qsizetype i = 0; i < m_queue.size(); ++i) {
        if (m_queue.at(i).first.isEmpty() || m_queue.at(i).first == path)
            return m_queue.takeAt(i).second;
    }
    for (const auto &entry : m_defaults) {
        if (entry.first == path)
            return entry.second;
    }
    return ScriptedResponse::json(
        404, QJsonObject{{QStringLiteral("error"),
                          QStringLiteral("no scripted response for %1 %2")
                              .arg(QString::fromLatin1(request.method), QString::fromLatin1(request.target))}});
}

} // namespace halvex::test
