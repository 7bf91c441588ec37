#include "relay_stand_in.h"

#include "platform/net/web_socket_deflate.h"

#include "http_stand_in.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUrlQuery>
#include <QtEndian>

namespace halvex::test {

namespace {

constexpr int kOpContinuation = 0x0;
constexpr int kOpText = 0x1;
constexpr int kOpBinary = 0x2;
constexpr int kOpClose = 0x8;
constexpr int kOpPing = 0x9;
constexpr int kOpPong = 0xA;

constexpr qsizetype kMaxHeadBytes = 16 * 1024;
constexpr quint64 kMaxFrameBytes = 64ull * 1024 * 1024;

QByteArray closePayload(int code, const QString &reason)
{
    QByteArray payload;
    if (code > 0) {
        const quint16 be = qToBigEndian<quint16>(quint16(code));
        payload.append(reinterpret_cast<const char *>(&be), 2);
        payload.append(reason.toUtf8().left(123));
    }
    return payload;
}

} // namespace

struct RelayStandIn::Connection {
    int id = 0;
    QPointer<QTcpSocket> socket;
    QByteArray buffer;
    bool requestHandled = false; // the HTTP request was answered
    bool upgraded = false;
    bool closeSent = false;
    bool finished = false;
    bool paused = false;
    int messageOpcode = 0; // opcode of the fragmented message being assembled
    bool messageCompressed = false;
    QByteArray message;
    std::unique_ptr<WebSocketInflater> inflater; // permessage-deflate was agreed
};

std::optional<QJsonObject> RelayStandIn::Frame::json() const
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

RelayStandIn::RelayStandIn(QObject *parent) : QObject(parent)
{
    m_clock.start();
    QObject::connect(&m_server, &QTcpServer::newConnection, this, &RelayStandIn::onNewConnection);
}

RelayStandIn::~RelayStandIn()
{
    m_server.close();
    const auto connections = m_connections;
    m_connections.clear();
    for (Connection *c : connections) {
        if (c->socket) {
            QObject::disconnect(c->socket, nullptr, this, nullptr);
            c->socket->abort();
            delete c->socket;
        }
        delete c;
    }
    qDeleteAll(m_finished);
}

bool RelayStandIn::start()
{
    if (m_server.isListening())
        return true;
    if (!m_server.listen(QHostAddress::LocalHost, m_port))
        return false;
    m_port = m_server.serverPort();
    return true;
}

void RelayStandIn::stop()
{
    m_server.close();
    const auto connections = m_connections;
    for (Connection *c : connections) {
        if (c->socket)
            c->socket->abort();
        finish(c);
    }
}

QUrl RelayStandIn::origin() const
{
    return QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(m_port));
}

QList<int> RelayStandIn::openConnections() const
{
    QList<int> ids;
    for (const Connection *c : m_connections)
        if (c->upgraded && !c->finished)
            ids.append(c->id);
    return ids;
}

int RelayStandIn::currentConnection() const
{
    const QList<int> ids = openConnections();
    return ids.isEmpty() ? 0 : ids.last();
}

int RelayStandIn::acceptedCount() const
{
    int n = 0;
    for (const Attempt &attempt : m_attempts)
        n += attempt.accepted;
    return n;
}

QList<QJsonObject> RelayStandIn::receivedJson() const
{
    QList<QJsonObject> out;
    for (const Frame &frame : m_frames)
        if (const auto object = frame.json())
            out.append(*object);
    return out;
}

void RelayStandIn::clearRecords()
{
    m_attempts.clear();
    m_frames.clear();
    m_closeFrames.clear();
    m_pingCount = 0;
    m_wireBytes = 0;
    // Ended connections keep their record, not the bytes they were reading.
    for (Connection *c : std::as_const(m_finished)) {
        c->buffer = QByteArray();
        c->message = QByteArray();
    }
}

RelayStandIn::Connection *RelayStandIn::find(int connection) const
{
    if (connection == 0)
        connection = currentConnection();
    for (Connection *c : m_connections)
        if (c->id == connection && c->upgraded && !c->finished && c->socket)
            return c;
    return nullptr;
}

bool RelayStandIn::sendText(const QString &text, int connection)
{
    Connection *c = find(connection);
    return c && writeFrame(c, kOpText, text.toUtf8());
}

bool RelayStandIn::sendJson(const QJsonObject &object, int connection)
{
    return sendText(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)), connection);
}

bool RelayStandIn::sendBinary(const QByteArray &bytes, int connection)
{
    Connection *c = find(connection);
    return c && writeFrame(c, kOpBinary, bytes);
}

bool RelayStandIn::closeConnection(int code, const QString &reason, int connection)
{
    Connection *c = find(connection);
    if (!c || c->closeSent)
        return false;
    c->closeSent = true;
    writeFrame(c, kOpClose, closePayload(code, reason));
    // A client that never answers the close is dropped.
    QPointer<QTcpSocket> socket = c->socket;
    QTimer::singleShot(1000, this, [socket] {
        if (socket)
            socket->abort();
    });
    return true;
}

bool RelayStandIn::abortConnection(int connection)
{
    Connection *c = find(connection);
    if (!c)
        return false;
    c->socket->abort();
    finish(c);
    return true;
}

bool RelayStandIn::pauseReading(int connection)
{
    Connection *c = find(connection);
    if (!c)
        return false;
    c->paused = true;
    // With a full (tiny) buffer Qt stops reading from the kernel.
    c->socket->setReadBufferSize(1);
    return true;
}

bool RelayStandIn::resumeReading(int connection)
{
    Connection *c = find(connection);
    if (!c)
        return false;
    c->paused = false;
    c->socket->setReadBufferSize(0);
    onReadyRead(c);
    return true;
}

bool RelayStandIn::waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    return QTest::qWaitFor(condition, timeoutMs);
}

bool RelayStandIn::waitForAttempts(int count, int timeoutMs)
{
    return waitFor([&] { return attemptCount() >= count; }, timeoutMs);
}

bool RelayStandIn::waitForAccepted(int count, int timeoutMs)
{
    return waitFor([&] { return acceptedCount() >= count; }, timeoutMs);
}

bool RelayStandIn::waitForOpenConnections(int count, int timeoutMs)
{
    return waitFor([&] { return openConnectionCount() == count; }, timeoutMs);
}

bool RelayStandIn::waitForFrames(int count, int timeoutMs)
{
    return waitFor([&] { return frameCount() >= count; }, timeoutMs);
}

bool RelayStandIn::waitForPings(int count, int timeoutMs)
{
    return waitFor([&] { return pingCount() >= count; }, timeoutMs);
}

std::optional<QJsonObject> RelayStandIn::waitForJson(const std::function<bool(const QJsonObject &)> &predicate,
                                                     int timeoutMs)
{
    std::optional<QJsonObject> found;
    waitFor(
        [&] {
            for (const Frame &frame : std::as_const(m_frames)) {
                const auto object = frame.json();
                if (object && predicate(*object)) {
                    found = object;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

std::optional<QJsonObject> RelayStandIn::waitForType(const QString &type, int timeoutMs)
{
    return waitForJson([&](const QJsonObject &o) { return o.value(QStringLiteral("type")).toString() == type; },
                       timeoutMs);
}

void RelayStandIn::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        auto *c = new Connection;
        c->id = m_nextConnection++;
        c->socket = socket;
        m_connections.append(c);
        QObject::connect(socket, &QTcpSocket::readyRead, this, [this, c] { onReadyRead(c); });
        QObject::connect(socket, &QTcpSocket::disconnected, this, [this, c] { onDisconnected(c); });
        if (socket->bytesAvailable() > 0)
            onReadyRead(c);
    }
}

void RelayStandIn::onDisconnected(Connection *c)
{
    finish(c);
}

void RelayStandIn::finish(Connection *c)
{
    if (c->finished)
        return;
    c->finished = true;
    m_connections.removeOne(c);
    if (c->socket) {
        QObject::disconnect(c->socket, nullptr, this, nullptr);
        c->socket->deleteLater();
    }
    const bool wasOpen = c->upgraded;
    const int id = c->id;
    // Callers up the stack may still look at the record: it lives as long as
    // the stand-in (records are small).
    m_finished.append(c);
    if (wasOpen)
        Q_EMIT clientDisconnected(id);
}

void RelayStandIn::onReadyRead(Connection *c)
{
    if (c->finished || !c->socket || c->paused)
        return;
    const QByteArray bytes = c->socket->readAll();
    if (c->upgraded)
        m_wireBytes += bytes.size();
    c->buffer.append(bytes);
    if (!c->requestHandled) {
        const qsizetype end = c->buffer.indexOf("\r\n\r\n");
        if (end < 0) {
            if (c->buffer.size() > kMaxHeadBytes) {
                c->requestHandled = true;
                c->socket->write("HTTP/1.1 431 Request Header Fields Too Large\r\nConnection: close\r\n\r\n");
                c->socket->disconnectFromHost();
            }
            return;
        }
        const QByteArray head = c->buffer.left(end);
        c->buffer.remove(0, end + 4);
        c->requestHandled = true;
        handleRequest(c, head);
        if (c->finished)
            return;
    }
    if (c->upgraded)
        handleFrames(c);
}

void RelayStandIn::handleRequest(Connection *c, const QByteArray &head)
{
    // A malformed head is no upgrade (answered 400 below).
    const HttpRequest request = HttpRequest::fromHead(head).value_or(HttpRequest{});

    Attempt attempt;
    attempt.connection = c->id;
    attempt.atMs = m_clock.elapsed();
    const QString target = QString::fromUtf8(request.target);
    const qsizetype question = target.indexOf(QLatin1Char('?'));
    attempt.path = question < 0 ? target : target.left(question);
    if (question >= 0)
        attempt.token = QUrlQuery(target.mid(question + 1)).queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded);

    const QByteArray key = request.header("sec-websocket-key");
    const bool isUpgrade =
        request.method == "GET" && request.header("upgrade").toLower() == "websocket" && !key.isEmpty();
    attempt.accepted = isUpgrade && attempt.path == QStringLiteral("/ws/bridge") && !attempt.token.isEmpty() &&
                       m_acceptedTokens.contains(attempt.token) && !m_stallHandshakes;
    m_attempts.append(attempt);
    if (m_stallHandshakes)
        return; // silence: the client waits for an answer that never comes

    if (!attempt.accepted) {
        const QByteArray status = isUpgrade ? "403 Forbidden" : "400 Bad Request";
        const QByteArray body = isUpgrade ? "invalid bridge token" : "not a WebSocket upgrade";
        c->socket->write("HTTP/1.1 " + status + "\r\nContent-Type: text/plain\r\nContent-Length: " +
                         QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        c->socket->disconnectFromHost();
        Q_EMIT attempted(c->id, false);
        return;
    }

    const QByteArray accept =
        QCryptographicHash::hash(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11", QCryptographicHash::Sha1).toBase64();
    QByteArray extensions;
    if (m_takeDeflate && request.header("sec-websocket-extensions").toLower().contains("permessage-deflate")) {
        extensions = "Sec-WebSocket-Extensions: permessage-deflate\r\n";
        c->inflater = std::make_unique<WebSocketInflater>(false);
    }
    c->socket->write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                     "Sec-WebSocket-Accept: " +
                     accept + "\r\n" + extensions + "\r\n");
    c->upgraded = true;
    Q_EMIT attempted(c->id, true);
    Q_EMIT clientConnected(c->id);
}

void RelayStandIn::handleFrames(Connection *c)
{
    // Frames are read at an offset; what they took is dropped once at the
    // end, so a burst of frames costs what it holds, not its square.
    qsizetype at = 0;
    const auto dropRead = [c, &at] {
        c->buffer.remove(0, at);
        at = 0;
    };
    while (!c->finished) {
        at = std::min(at, c->buffer.size()); // a handler may have dropped the buffer
        const QByteArrayView b = QByteArrayView(c->buffer).sliced(at);
        if (b.size() < 2)
            return dropRead();
        const auto b0 = quint8(b.at(0));
        const auto b1 = quint8(b.at(1));
        const bool fin = b0 & 0x80;
        const int opcode = b0 & 0x0F;
        const bool masked = b1 & 0x80;
        quint64 length = b1 & 0x7F;
        qsizetype pos = 2;
        if (length == 126) {
            if (b.size() < 4)
                return dropRead();
            length = qFromBigEndian<quint16>(b.constData() + 2);
            pos = 4;
        } else if (length == 127) {
            if (b.size() < 10)
                return dropRead();
            length = qFromBigEndian<quint64>(b.constData() + 2);
            pos = 10;
        }
        if (length > kMaxFrameBytes) {
            dropRead();
            closeConnection(1009, QStringLiteral("frame too large"), c->id);
            return;
        }
        QByteArray mask;
        if (masked) {
            if (b.size() < pos + 4)
                return dropRead();
            mask = b.sliced(pos, 4).toByteArray();
            pos += 4;
        }
        if (quint64(b.size() - pos) < length)
            return dropRead();
        QByteArray payload = b.sliced(pos, qsizetype(length)).toByteArray();
        at += pos + qsizetype(length);
        if (masked) {
            char *data = payload.data();
            const char *key = mask.constData();
            for (qsizetype i = 0; i < payload.size(); ++i)
                data[i] = char(data[i] ^ key[i & 3]);
        }

        if (opcode & 0x8) {
            handleMessage(c, opcode, payload);
            continue;
        }
        if (opcode != kOpContinuation) {
            c->messageOpcode = opcode;
            c->messageCompressed = c->inflater && (b0 & 0x40);
            c->message.clear();
        }
        if (c->messageCompressed) {
            WebSocketInflater::Outcome outcome = c->inflater->inflate(payload, c->message, kMaxFrameBytes);
            if (outcome == WebSocketInflater::Outcome::ok && fin)
                outcome = c->inflater->finish(c->message, kMaxFrameBytes);
            if (outcome != WebSocketInflater::Outcome::ok) {
                dropRead();
                closeConnection(1007, QStringLiteral("a compressed message that does not inflate"), c->id);
                return;
            }
        } else {
            c->message.append(payload);
        }
        if (fin && c->messageOpcode != 0) {
            const int messageOpcode = std::exchange(c->messageOpcode, 0);
            handleMessage(c, messageOpcode, std::exchange(c->message, {}));
        }
    }
    dropRead();
}

void RelayStandIn::handleMessage(Connection *c, int opcode, const QByteArray &payload)
{
    switch (opcode) {
    case kOpText:
    case kOpBinary:
        m_frames.append({c->id, opcode == kOpBinary, payload, m_clock.elapsed()});
        Q_EMIT frameReceived(c->id);
        return;
    case kOpPing:
        ++m_pingCount;
        if (m_answerPings)
            writeFrame(c, kOpPong, payload);
        Q_EMIT pingReceived(c->id);
        return;
    case kOpPong:
        return;
    case kOpClose: {
        CloseRecord record;
        record.connection = c->id;
        if (payload.size() >= 2) {
            record.code = qFromBigEndian<quint16>(payload.constData());
            record.reason = QString::fromUtf8(payload.mid(2));
        }
        m_closeFrames.append(record);
        if (!c->closeSent) {
            c->closeSent = true;
            writeFrame(c, kOpClose, closePayload(record.code, {}));
        }
        // The server ends the TCP connection once the close handshake is done.
        c->socket->disconnectFromHost();
        return;
    }
    default:
        closeConnection(1002, QStringLiteral("unknown opcode"), c->id);
        return;
    }
}

bool RelayStandIn::writeFrame(Connection *c, int opcode, const QByteArray &payload)
{
    if (!c->socket || c->socket->state() != QAbstractSocket::ConnectedState)
        return false;
    QByteArray frame;
    frame.append(char(0x80 | opcode));
    const quint64 length = quint64(payload.size());
    if (length < 126) {
        frame.append(char(length));
    } else if (length <= 0xFFFF) {
        frame.append(char(126));
        const quint16 be = qToBigEndian<quint16>(quint16(length));
        frame.append(reinterpret_cast<const char *>(&be), 2);
    } else {
        frame.append(char(127));
        const quint64 be = qToBigEndian<quint64>(length);
        frame.append(reinterpret_cast<const char *>(&be), 8);
    }
    frame.append(payload);
    return c->socket->write(frame) == frame.size();
}

} // namespace halvex::test
