#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTcpServer>
#include <QUrl>

#include <functional>
#include <optional>

class QTcpSocket;

namespace halvex::test {

// A loopback stand-in for the relay's bridge WebSocket.
//
// It listens on 127.0.0.1 (an ephemeral port, kept across stop()/start()) and
// speaks RFC 6455 itself, so that it can do what the real relay does and what
// a test needs to see: it refuses the upgrade of "/ws/bridge?token=T" with
// HTTP 403 unless T was accepted, answers pings (and counts them), records
// every frame with the connection it came on, and can send frames, close a
// connection with a code or drop it abruptly.
//
// Connections are numbered from 1 in the order the TCP connections arrive
// (refused ones included); the numbers stay unique across restarts.
class RelayStandIn : public QObject
{
    Q_OBJECT
public:
    // One handshake request, accepted or not.
    struct Attempt {
        int connection = 0;
        qint64 atMs = 0; // ms since the stand-in was created
        QString path;    // e.g. "/ws/bridge"
        QString token;   // the "token" query value, decoded
        bool accepted = false;
    };

    // One complete message (text or binary) from a client.
    struct Frame {
        int connection = 0;
        bool binary = false;
        QByteArray payload; // as received; UTF-8 for text frames
        qint64 atMs = 0;

        QString text() const { return QString::fromUtf8(payload); }
        // The payload parsed as a JSON object; nothing when it is not one.
        std::optional<QJsonObject> json() const;
    };

    // A close frame a client sent.
    struct CloseRecord {
        int connection = 0;
        int code = 0; // 0 when the frame had no code
        QString reason;
    };

    explicit RelayStandIn(QObject *parent = nullptr);
    ~RelayStandIn() override;

    // Tokens whose upgrade is accepted; all others are refused with 403.
    void acceptToken(const QString &token) { m_acceptedTokens.insert(token); }
    void refuseToken(const QString &token) { m_acceptedTokens.remove(token); }

    // Listens (again) on 127.0.0.1: an ephemeral port the first time, the same
    // port after stop(). False when listening failed.
    bool start();
    // Stops listening and drops every connection abruptly (like a relay that
    // goes down).
    void stop();
    bool isListening() const { return m_server.isListening(); }
    quint16 port() const { return m_port; }
    // "ws://127.0.0.1:<port>", what the relay link takes as its origin.
    QUrl origin() const;

    // Open (upgraded) connections, oldest first; the current one is the last.
    QList<int> openConnections() const;
    int openConnectionCount() const { return int(openConnections().size()); }
    // The newest open connection, or 0.
    int currentConnection() const;

    // Send to a connection (default: the current one). False when there is
    // no such open connection.
    bool sendText(const QString &text, int connection = 0);
    bool sendJson(const QJsonObject &object, int connection = 0);
    bool sendBinary(const QByteArray &bytes, int connection = 0);
    // Starts the closing handshake with a close code; the TCP connection ends
    // when the client answers (or after a second at the latest).
    bool closeConnection(int code = 1000, const QString &reason = {}, int connection = 0);
    // Drops the TCP connection at once, without a close frame.
    bool abortConnection(int connection = 0);

    // A relay that takes the TCP connection and the upgrade request and then
    // never answers it (the attempt is recorded, not accepted).
    void setStallHandshakes(bool stall) { m_stallHandshakes = stall; }
    // A relay that keeps reading but stops answering pings (they are still
    // counted).
    void setAnswerPings(bool answer) { m_answerPings = answer; }
    // A relay that takes permessage-deflate when a client offers it (plain
    // parameters: context takeover both ways, 15-bit windows) and inflates
    // what comes compressed; it sends uncompressed. Off by default, as Qt's
    // server has it.
    void setPerMessageDeflate(bool take) { m_takeDeflate = take; }
    // Bytes read from the clients' TCP connections after their upgrades.
    qint64 wireBytes() const { return m_wireBytes; }

    // Stops (and resumes) reading from a connection, so that what the client
    // sends backs up in its own buffers: a slow or stalled relay.
    bool pauseReading(int connection = 0);
    bool resumeReading(int connection = 0);

    // What was seen so far.
    QList<Attempt> attempts() const { return m_attempts; }
    int attemptCount() const { return int(m_attempts.size()); }
    // TCP connections accepted so far, whether or not they sent a request.
    int connectionCount() const { return m_nextConnection - 1; }
    int acceptedCount() const;
    QList<Frame> frames() const { return m_frames; }
    int frameCount() const { return int(m_frames.size()); }
    // Payloads that parse as JSON objects, in arrival order.
    QList<QJsonObject> receivedJson() const;
    int pingCount() const { return m_pingCount; }
    QList<CloseRecord> closeFrames() const { return m_closeFrames; }
    // Forgets attempts, frames, pings and close records (not connections).
    void clearRecords();

    // Waiters: spin the event loop until the condition holds; false on time-out.
    static bool waitFor(const std::function<bool()> &condition, int timeoutMs = 15000);
    bool waitForAttempts(int count, int timeoutMs = 15000);
    // Until `count` connections in total have been accepted.
    bool waitForAccepted(int count = 1, int timeoutMs = 15000);
    bool waitForOpenConnections(int count, int timeoutMs = 15000);
    bool waitForFrames(int count, int timeoutMs = 15000);
    bool waitForPings(int count, int timeoutMs = 15000);
    // The first JSON object received (earlier ones included) that satisfies
    // the predicate.
    std::optional<QJsonObject> waitForJson(const std::function<bool(const QJsonObject &)> &predicate,
                                           int timeoutMs = 15000);
    // The first JSON object whose "type" is the given one.
    std::optional<QJsonObject> waitForType(const QString &type, int timeoutMs = 15000);

Q_SIGNALS:
    void attempted(int connection, bool accepted);
    void clientConnected(int connection);
    void clientDisconnected(int connection);
    void frameReceived(int connection);
    void pingReceived(int connection);

private:
    struct Connection;

    void onNewConnection();
    void onReadyRead(Connection *c);
    void onDisconnected(Connection *c);
    void handleRequest(Connection *c, const QByteArray &head);
    void handleFrames(Connection *c);
    void handleMessage(Connection *c, int opcode, const QByteArray &payload);
    bool writeFrame(Connection *c, int opcode, const QByteArray &payload);
    Connection *find(int connection) const;
    void finish(Connection *c);

    QTcpServer m_server;
    quint16 m_port = 0;
    QElapsedTimer m_clock;
    QSet<QString> m_acceptedTokens;
    int m_nextConnection = 1;
    QList<Connection *> m_connections;
    QList<Connection *> m_finished; // ended ones, freed with the stand-in
    QList<Attempt> m_attempts;
    QList<Frame> m_frames;
    QList<CloseRecord> m_closeFrames;
    int m_pingCount = 0;
    bool m_stallHandshakes = false;
    bool m_answerPings = true;
    bool m_takeDeflate = false;
    qint64 m_wireBytes = 0;
};

} // namespace halvex::test
