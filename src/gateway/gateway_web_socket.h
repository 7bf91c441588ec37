#pragma once

#include "gateway/chat_backend.h"
#include "gateway/gateway_handshake.h"
#include "gateway/gateway_link_state.h"
#include "gateway/gateway_protocol.h"
#include "gateway/limits.h"
#include "platform/error.h"
#include "platform/net/link_keeper.h"
#include "platform/net/web_socket_client.h"
#include "platform/session/process_runner.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <optional>

class QTimer;

namespace halvex {

class ChatDispatcher;
class CredentialStore;

// The gateway WebSocket: keeps the one connection (challenge handshake
// signed with the device key; a LinkKeeper for the heartbeat, the wake-ups
// and reconnects with a doubling delay, at most 20 attempts per round) and
// carries chats over "chat.send".
// What the device says in the handshake (signed connect request, device
// token, pairing approval) is GatewayHandshake's; the chats are kept by
// ChatDispatcher.
//
// The connection's course is this object's alone, one phase at a time:
//
//   idle ─connect()→ opening ─challenge→ signingIn ─accepted→ connected
//   opening/signingIn/connected ─drop, refusal, time-out→ waitingToRetry
//   waitingToRetry ─delay→ opening          (after 20: gaveUp)
//   signingIn ─NOT_PAIRED→ approving ─approved→ opening
//   a failure another attempt does not mend → stopped
//   disconnect() → idle
//
// The state shown (stateChanged()) is one function of the phase and the
// last failure: shownState().
class GatewayWebSocket : public QObject, public ChatBackend
{
    Q_OBJECT
public:
    // Every delay and every limit; tests shrink them.
    struct Timings {
        std::chrono::milliseconds challengeTimeout = std::chrono::seconds(10);
        // From sending the connect request to its answer.
        std::chrono::milliseconds connectResponseTimeout = std::chrono::seconds(10);
        // Reconnects after 1, 2, 4 ... 30 s, 20 attempts a round; a ping
        // after 10 s of silence, answered within 5 s.
        LinkKeeper::Timings link = {
            .initialDelay = std::chrono::seconds(1), .maxDelay = std::chrono::seconds(30), .attemptsPerRound = 20};
        // A chat's whole life, from when it is queued.
        std::chrono::milliseconds chatTimeout = limits::chatDeadline;
        std::chrono::milliseconds approvalReconnectDelay = std::chrono::seconds(1);
        // After a run's answer ended, how long its session waits for the
        // run to settle before the next chat goes anyway.
        std::chrono::milliseconds sessionSettleTimeout = std::chrono::seconds(5);
        // Each run of the openclaw tool.
        std::chrono::milliseconds processTimeout = std::chrono::seconds(30);
        qint64 processOutputCap = 1 << 20;
        qint64 maxIncomingMessageSize = 16 << 20;
        int maxChats = limits::maxChatsInFlight;
    };

    // The credential store holds the device key and token; not owned. An
    // empty `processRunner` runs real processes.
    GatewayWebSocket(CredentialStore *credentials, Timings timings, ProcessRunner processRunner = {},
                     QObject *parent = nullptr);
    ~GatewayWebSocket() override;

    GatewayLinkState state() const { return m_state; }
    // Usable for chat: state connected and the socket exists and is open.
    bool isUsableForChat() const override;

    // connect(url:token:): the gateway's HTTP endpoint and token; resets the
    // attempt count and the approval flag, then connects.
    void connect(const QUrl &gatewayURL, const QString &gatewayToken);
    void disconnect();
    // The network changed, the machine woke up or the gateway answers
    // again: an open link must answer at once (within a short deadline) or
    // is replaced straight away; a link waiting to reconnect, or one whose
    // round of attempts ran out, tries again now from the shortest delay.
    void wake() { m_keeper->wake(); }
    // Only a link whose round of attempts ran out starts a new one (a chat
    // that wants the socket asks this); no-op otherwise.
    void reconnectIfGivenUp()
    {
        if (m_phase == Phase::gaveUp)
            m_keeper->wake();
    }

    // Between a failed attempt and the next one, with attempts left.
    bool isWaitingToRetry() const { return m_phase == Phase::waitingToRetry; }
    // How long ago the link was last connected (none while it is, or when it
    // has not been since connect()/disconnect()): a gateway seen a moment ago
    // is likely back soon.
    std::optional<std::chrono::milliseconds> sinceConnected() const;

    // The SHA-256 of the certificate a wss:// gateway must show
    // (platform/tls_pin.h), for the connections opened from now on; empty
    // for the ordinary verification. A refused certificate (this one or an
    // untrusted one) is an error state saying why, retried with the usual
    // backoff.
    QByteArray tlsPin() const { return m_tlsPin; }
    void setTlsPin(const QByteArray &sha256) { m_tlsPin = sha256; }
    // Users besides this one who may hold the gateway's loopback port
    // (GatewayTarget::listenerOwners). Without a pinned certificate, no
    // token goes to a loopback port anyone else holds: the attempt fails
    // saying whose it is, and is retried as usual.
    void setListenerOwners(const QStringList &owners) { m_listenerOwners = owners; }

    void setOpenClawBinaryPath(const std::optional<QString> &path) { m_handshake->setOpenClawBinaryPath(path); }
    std::optional<QString> openClawBinaryPath() const { return m_handshake->openClawBinaryPath(); }

    // Absent while the identity could not be created or loaded.
    GatewayDeviceIdentity *deviceIdentity() const { return m_handshake->deviceIdentity(); }
    PairingApprover *pairingApprover() const { return m_handshake->pairingApprover(); }

    // ChatBackend: request.requestId is the gateway's idempotency key, the
    // session is request.sessionKey or "agent:<agentId>:main", and the chat
    // fails at the earlier of request.deadline and the chat time limit,
    // counted from now (queued or not).
    QCoro::Task<Result<QString>> sendChat(ChatCallRequest request, DeltaHandler onDelta) override;
    void cancelChat(const QString &requestId) override;
    // One user message to the agent's main session.
    QCoro::Task<Result<QString>> sendChat(QString userMessage, QString agentId, DeltaHandler onDelta = {});

Q_SIGNALS:
    void stateChanged(const halvex::GatewayLinkState &state);
    // The next attempt starts after `delay`.
    void reconnectScheduled(std::chrono::milliseconds delay);

private:
    enum class Phase { idle, opening, signingIn, approving, waitingToRetry, gaveUp, stopped, connected };

    // What the state shows of a phase and the failure that led to it.
    static GatewayLinkState shownState(Phase phase, const QString &failure);
    // The one place the phase changes; `failure` says why an attempt failed
    // or the link stopped (empty after a plain drop).
    void moveTo(Phase phase, const QString &failure = {});
    bool isSocketOpen() const;

    void connectionAttempt();
    void releaseSocket(WebSocketClient *socket, bool close);
    void handleMessage(WebSocketClient *socket, const QByteArray &utf8);
    void handleEvent(const GatewayProtocol::Frame &frame);
    void handleChallenge(const QJsonObject &payload, bool hasPayload);
    void handleConnectResponse(const GatewayProtocol::Frame &frame);
    // The challenge or the answer to the connect request did not come in time.
    void handshakeTimedOut();
    // A failed attempt before the handshake finished: reconnect with backoff.
    void failAttempt(const QString &state);
    // `refused`: the TLS handshake failed, so the state becomes the error
    // rather than "disconnected".
    void handleDrop(WebSocketClient *socket, const std::optional<QString> &receiveError, bool refused = false);
    // Approves this device after NOT_PAIRED, then connects again.
    QCoro::Task<> approveAndReconnect(GatewayProtocol::Frame refusal);
    // From waitingToRetry: the next attempt after the keeper's delay, or
    // gaveUp once the round's attempts are spent.
    void scheduleReconnect();
    void sendPing();

    void failAllWaiting(const Error &error);

    Timings m_timings;
    Phase m_phase = Phase::idle;
    GatewayLinkState m_state;
    GatewayHandshake *m_handshake;
    ChatDispatcher *m_chats;

    QPointer<WebSocketClient> m_socket;
    LinkKeeper *m_keeper;
    // Since the link last left the connected phase.
    QElapsedTimer m_leftConnected;
    // Runs while the challenge (opening) or the answer to the connect
    // request (signingIn) is awaited.
    QTimer *m_handshakeTimer;
    // Bumped by every connection attempt, connect() and disconnect(): work
    // that waited (a keyring prompt, an approval) finds another attempt and
    // does nothing.
    quint64 m_attempt = 0;
    QUrl m_gatewayURL;
    QString m_gatewayToken;
    QByteArray m_tlsPin;
    QStringList m_listenerOwners;
    std::optional<QString> m_connectRequestId;
};

} // namespace halvex
