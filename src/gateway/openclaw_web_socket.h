#pragma once

#include "gateway/chat_backend.h"
#include "gateway/openclaw_client.h" // DeltaHandler
#include "gateway/openclaw_ws_state.h"
#include "platform/error.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QWebSocket>

#include <qcoro/qcorotask.h>

#include <deque>
#include <functional>
#include <memory>
#include <optional>

class QTimer;

namespace halvex {

class KeychainManager;
class OpenClawDeviceIdentity;

// Runs one command text with "/bin/sh -c", standard output and error merged;
// the trimmed output, or nullopt when it could not run or printed nothing.
using ShellRunner = std::function<QCoro::Task<std::optional<QString>>(QString command)>;

// The gateway WebSocket: challenge handshake signed with the device key,
// keep-alive pings, reconnects with a doubling delay (at most 20 attempts),
// pairing auto-approval through the openclaw tool, and chat over "chat.send"
// with the agent's cumulative text turned into fragments.
class OpenClawWebSocket : public QObject, public ChatBackend
{
    Q_OBJECT
public:
    // Every delay, in seconds; tests shrink them.
    struct Timings {
        double challengeTimeout = 10.0;
        double pingInterval = 30.0;
        double initialReconnectDelay = 1.0;
        double maxReconnectDelay = 30.0;
        int maxReconnectAttempts = 20;
        double chatTimeout = 120.0;
        double approvalReconnectDelay = 1.0;
    };

    // The credential store holds the device key and token; not owned. An
    // empty `shellRunner` uses the real one (/bin/sh -c through QProcess).
    OpenClawWebSocket(KeychainManager *keychain, Timings timings, ShellRunner shellRunner = {},
                      QObject *parent = nullptr);
    ~OpenClawWebSocket() override;

    OpenClawWSState state() const { return m_state; }
    // Usable for chat: state connected and the socket exists and is open.
    bool isUsableForChat() const override;

    // connect(url:token:): the gateway's HTTP endpoint and token; resets the
    // attempt count and the approval flag, then connects.
    void connect(const QUrl &gatewayURL, const QString &gatewayToken);
    void disconnect();

    void setOpenClawBinaryPath(const std::optional<QString> &path) { m_openClawBinaryPath = path; }
    std::optional<QString> openClawBinaryPath() const { return m_openClawBinaryPath; }

    // Absent when the identity could not be created or loaded.
    OpenClawDeviceIdentity *deviceIdentity() const { return m_deviceIdentity.get(); }

    // Sends one user message to the agent's main session and returns the
    // whole answer. Chats take turns on the socket in arrival order; each
    // call's fragments go to its own onDelta.
    QCoro::Task<Result<QString>> sendChat(QString userMessage, QString agentId, DeltaHandler onDelta = {});
    // ChatBackend: the request's last user text to its agent.
    QCoro::Task<Result<QString>> sendChat(ChatCallRequest request, DeltaHandler onDelta) override
    {
        return sendChat(std::move(request.lastUserText), std::move(request.agentId), std::move(onDelta));
    }
    void cancelChat(const QString &) override {}

Q_SIGNALS:
    void stateChanged(const halvex::OpenClawWSState &state);

private:
    struct ChatCall;

    void setState(const OpenClawWSState &state);
    bool isSocketOpen() const;

    // Connection attempt, also run by every scheduled reconnect.
    void connectionAttempt();
    QString webSocketUrlText() const;
    // Detaches a socket from this client for good and closes it.
    void releaseSocket(QWebSocket *socket, bool close);
    void handleMessage(QWebSocket *socket, const QString &text);
    void handleResponse(const QJsonObject &frame);
    void handleEvent(const QJsonObject &frame);
    void handleChallenge(const QJsonObject &payload);
    void handleConnectResponse(const QJsonObject &frame, bool ok);
    void handleNotPaired(const QJsonObject &error);
    QCoro::Task<> runAutoApproval(QString binaryPath, QString deviceId, QString hintedRequestId);
    // After a receive failure (with its description) or a missed challenge.
    void handleDrop(QWebSocket *socket, const std::optional<QString> &receiveError);
    void scheduleReconnect();
    void sendPing();

    // Chat.
    void sendNextChat();
    void handleChatResponse(const QString &id, bool ok, const QJsonObject &frame);
    void handleAgentEvent(const QJsonObject &payload);
    void applyStreamText(const QString &text, bool defaultRule);
    void finishStream();
    void finishChat(const std::shared_ptr<ChatCall> &call, Result<QString> outcome);
    void chatTimedOut(const std::shared_ptr<ChatCall> &call);
    void failAllWaiting(const Error &error);

    KeychainManager *m_keychain;
    Timings m_timings;
    ShellRunner m_shellRunner;
    OpenClawWSState m_state;
    std::optional<QString> m_openClawBinaryPath;
    std::unique_ptr<OpenClawDeviceIdentity> m_deviceIdentity;

    QPointer<QWebSocket> m_socket;
    QTimer *m_pingTimer;
    QTimer *m_reconnectTimer;
    double m_reconnectDelay;
    int m_reconnectAttempt = 0;
    bool m_isIntentionalDisconnect = false;
    bool m_isConnecting = false;
    QUrl m_gatewayURL;
    QString m_gatewayToken;
    std::optional<QString> m_connectRequestId;
    bool m_autoApprovalAttempted = false;
    // Bumped by connect() and disconnect(), so an approval started before
    // them does not act afterwards.
    quint64 m_generation = 0;

    // Chats waiting for their turn, in arrival order; the one on the wire is
    // in m_pendingRequests until its stream ends, it fails or times out.
    std::deque<std::shared_ptr<ChatCall>> m_chatQueue;
    QHash<QString, std::shared_ptr<ChatCall>> m_pendingRequests;
    std::shared_ptr<ChatCall> m_inFlightChat;
    QString m_streamAccumulated;
    std::optional<QString> m_activeStreamRequestId;
};

} // namespace halvex
