#pragma once

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>

class QWebSocket;
class QTcpServer;
class QTimer;
class QWebSocketServer;

namespace halvex::test {

// A loopback stand-in for the OpenClaw gateway's WebSocket. It sends the
// "connect.challenge", checks the signed "connect" request the way a
// gateway must (request shape, device id = SHA-256 of the public key, the
// Ed25519 signature over the rebuilt "v2" payload), issues device tokens
// and accepts them later, and plays scripted answers to "chat.send". It
// records every frame it receives. Like OpenClaw, it sends every connection
// that completed the handshake a "tick" event every 30 s (the interval its
// hello-ok names as policy.tickIntervalMs).
class GatewayWsStandIn : public QObject
{
    Q_OBJECT
public:
    // How the next "connect" requests are answered.
    enum class ConnectMode {
        accept, // verified requests get hello-ok, failed checks an error
        refuse, // an error with `refusalCode` / `refusalMessage`
        silent, // no answer at all
        raw,    // `rawConnectAnswer`, with the request's id filled in
    };

    // One scripted answer to "chat.send".
    struct ChatScript {
        QStringList texts;    // cumulative assistant texts, in order
        bool end = true;      // finish with lifecycle phase "end"
        bool silent = false;  // no ack, no events
        QString errorCode;    // non-empty: answer with this error instead
        QString errorMessage; // a null string leaves "message" out
        bool hold = false;    // after the ack and the first text, wait for releaseHeldChat()

        static ChatScript stream(QStringList texts)
        {
            ChatScript script;
            script.texts = std::move(texts);
            return script;
        }
        static ChatScript held(QStringList texts)
        {
            ChatScript script = stream(std::move(texts));
            script.hold = true;
            return script;
        }
        static ChatScript withoutEnd(QStringList texts)
        {
            ChatScript script = stream(std::move(texts));
            script.end = false;
            return script;
        }
        static ChatScript failure(QString code, QString message = {})
        {
            ChatScript script;
            script.errorCode = std::move(code);
            script.errorMessage = std::move(message);
            return script;
        }
    };

    // The result of checking one "connect" request.
    struct ConnectRecord {
        QJsonObject params;
        QString signedPayload; // as rebuilt from the request
        bool signatureValid = false;
        QString failure; // empty when every check passed
    };

    explicit GatewayWsStandIn(QObject *parent = nullptr);
    ~GatewayWsStandIn() override;

    // Listens on 127.0.0.1 (port 0 = any). False when it cannot. Besides the
    // WebSocket, GET /healthz is answered 200 as OpenClaw answers it.
    bool listen(quint16 port = 0);
    quint16 port() const { return m_port; }
    // The gateway's HTTP endpoint, as the bridge is configured with it.
    QUrl httpUrl() const;

    // Stops accepting (connections are refused) or accepts again on the
    // same port.
    void setRefuseConnections(bool refuse);
    // Ends every open connection abruptly, as a network failure would.
    void dropConnections();

    // Handshake behaviour.
    void setSendChallenge(bool send) { m_sendChallenge = send; }
    // Replaces the challenge payload (for a challenge without a nonce).
    void setChallengePayload(std::optional<QJsonObject> payload) { m_challengePayload = std::move(payload); }
    void setConnectMode(ConnectMode mode) { m_connectMode = mode; }
    void setRefusal(QString code, QString message, QJsonObject details = {});
    void setRawConnectAnswer(QJsonObject answer) { m_rawConnectAnswer = std::move(answer); }
    // A refused handshake is followed by a close with this code (the real
    // gateway closes with 1008); 0 leaves the connection open.
    void setCloseAfterRefusal(int code) { m_closeAfterRefusal = code; }
    // The gateway token that token auth must carry; unset accepts any.
    void setGatewayToken(std::optional<QString> token) { m_gatewayToken = std::move(token); }
    // Called with the device id of every verified request; false answers
    // NOT_PAIRED (with the request id and device id in "details"). Unset:
    // every device is paired.
    void setPairingCheck(std::function<bool(const QString &deviceId)> isPaired) { m_isPaired = std::move(isPaired); }
    // The request id named in NOT_PAIRED details; empty leaves it out.
    void setPairingRequestId(QString id) { m_pairingRequestId = std::move(id); }
    void setIssueDeviceTokens(bool issue) { m_issueDeviceTokens = issue; }
    QStringList issuedDeviceTokens() const { return m_issuedTokens; }

    // Chat answers: scripts are used in order; without one, chat.send is
    // answered with an ack and the texts "Hel", "Hello", "Hello!" and "end".
    void queueChatScript(ChatScript script) { m_chatScripts.push_back(std::move(script)); }
    // Sends the rest of a held chat.
    void releaseHeldChat();

    // The interval of the "tick" events; zero sends none. Takes effect from
    // the next tick (and the next hello-ok).
    void setTickInterval(std::chrono::milliseconds interval);
    int ticksSent() const { return m_ticksSent; }

    // Sends an event or any frame to every connection.
    void sendEvent(const QString &name, const QJsonObject &payload);
    void sendFrame(const QJsonObject &frame);
    // Sends prepared frame text to every connection and flushes it to the
    // sockets (benchmarks time the moment a frame left).
    void sendText(const QString &text);

    // What happened.
    int connectionCount() const { return m_connectionCount; }
    int openConnectionCount() const { return int(m_clients.size()); }
    QList<QJsonObject> frames() const { return m_frames; }
    QList<QJsonObject> framesWithMethod(const QString &method) const;
    QList<ConnectRecord> connectRecords() const { return m_connectRecords; }
    QString lastNonce() const { return m_lastNonce; }

    // Helpers shared with tests: the device id for a base64url public key,
    // and a base64url decoder that rejects padding and foreign characters.
    static QString deviceIdForPublicKey(const QByteArray &publicKey);
    static std::optional<QByteArray> decodeBase64Url(const QString &text);

Q_SIGNALS:
    void frameReceived(const QJsonObject &frame);
    void connectChecked(const halvex::test::GatewayWsStandIn::ConnectRecord &record);
    void chatSendReceived(const QString &requestId, const QString &message);

private:
    void onNewConnection();
    void onText(QWebSocket *client, const QString &text);
    void handleConnect(QWebSocket *client, const QJsonObject &frame);
    void handleChatSend(QWebSocket *client, const QJsonObject &frame);
    ConnectRecord verify(QWebSocket *client, const QJsonObject &params, QString *authToken,
                         bool *usedDeviceToken) const;
    void answer(QWebSocket *client, const QString &id, bool ok, const QJsonObject &payloadOrError);
    void sendTo(QWebSocket *client, const QJsonObject &frame);
    void sendAssistant(QWebSocket *client, const QString &runId, const QString &text, const QString &previous);
    void sendEnd(QWebSocket *client, const QString &runId);
    void sendTicks();

    // The port's listener: it answers GET /healthz itself, as the gateway
    // does, and hands every other connection to the WebSocket server.
    QTcpServer *m_front;
    QWebSocketServer *m_server;
    quint16 m_port = 0;
    QList<QWebSocket *> m_clients;
    QSet<QWebSocket *> m_greeted; // answered with hello-ok: they get ticks
    QTimer *m_tick;
    int m_ticksSent = 0;
    qint64 m_eventSeq = 0;
    QHash<QWebSocket *, QString> m_nonces;

    bool m_sendChallenge = true;
    std::optional<QJsonObject> m_challengePayload;
    ConnectMode m_connectMode = ConnectMode::accept;
    QString m_refusalCode = QStringLiteral("INVALID_REQUEST");
    QString m_refusalMessage = QStringLiteral("refused");
    QJsonObject m_refusalDetails;
    QJsonObject m_rawConnectAnswer;
    int m_closeAfterRefusal = 0;
    std::optional<QString> m_gatewayToken;
    std::function<bool(const QString &)> m_isPaired;
    QString m_pairingRequestId;
    bool m_issueDeviceTokens = true;
    QStringList m_issuedTokens;

    std::deque<ChatScript> m_chatScripts;
    struct Held {
        QWebSocket *client = nullptr;
        QString runId;
        ChatScript script;
    };
    std::optional<Held> m_held;
    // The session of each run, named in its events.
    QHash<QString, QString> m_runSessions;

    int m_connectionCount = 0;
    QList<QJsonObject> m_frames;
    QList<ConnectRecord> m_connectRecords;
    QString m_lastNonce;
};

} // namespace halvex::test
