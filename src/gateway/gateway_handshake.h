#pragma once

#include "gateway/gateway_link_state.h"
#include "gateway/gateway_protocol.h"
#include "gateway/pairing_approver.h"
#include "platform/session/process_runner.h"

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>

#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>

class QTimer;

namespace halvex {

class CredentialStore;
class GatewayDeviceIdentity;
class WebSocketClient;

// The gateway's handshake on a connection the socket opened: waits for
// "connect.challenge", answers it with the connect request signed with this
// device's key (ConnectRequestBuilder), reads the answer to it (keeping the
// device token the gateway grants), and answers NOT_PAIRED by having
// PairingApprover approve this device once per round. What the connection
// must do about it comes out as signals.
class GatewayHandshake : public QObject
{
    Q_OBJECT
public:
    struct Timings {
        // Seconds: from opening to the challenge, from the connect request
        // to its answer, from an approval to the next connection attempt.
        double challengeTimeout = 10.0;
        double connectResponseTimeout = 10.0;
        double approvalReconnectDelay = 1.0;
        PairingApprover::Timings approval;
    };

    // The credential store holds the device key and tokens; not owned. An
    // empty `processRunner` runs real processes.
    GatewayHandshake(CredentialStore *credentials, Timings timings, ProcessRunner processRunner,
                     QObject *parent = nullptr);
    ~GatewayHandshake() override;

    // Absent while the identity could not be created or loaded.
    GatewayDeviceIdentity *deviceIdentity() const { return m_deviceIdentity.get(); }
    // Loads (or creates) the identity when it is still absent.
    bool ensureDeviceIdentity();
    PairingApprover *pairingApprover() const { return m_approver; }
    void setOpenClawBinaryPath(const std::optional<QString> &path) { m_openClawBinaryPath = path; }
    std::optional<QString> openClawBinaryPath() const { return m_openClawBinaryPath; }

    // A new round of attempts: approval may be tried again, and an approval
    // still running no longer acts.
    void reset();
    // The connection was given up on purpose: an approval still running no
    // longer acts.
    void cancel();

    // The socket opens: its challenge is awaited (challengeMissed when it
    // does not come in time).
    void begin(WebSocketClient *socket);
    // Nothing more is awaited (the answer came, or the socket is gone).
    void stopWaiting();
    // Answers the challenge with the connect request, signed in with the
    // stored device token, else with `gatewayToken`: the request's id once
    // sent; nothing when none went out (attemptFailed or stopped say why).
    std::optional<QString> answerChallenge(const QJsonObject &payload, bool hasPayload, const QString &gatewayToken);

    // The gateway accepted the connect request: keeps the device token it
    // granted; the next refusal may be approved again.
    void accepted(const GatewayProtocol::Frame &response);
    // The gateway refused it. The text to show before the next attempt; or
    // nothing for NOT_PAIRED, which this handles itself (stateReported, and
    // approved once the tool approved this device).
    std::optional<QString> refused(const GatewayProtocol::Frame &response);

Q_SIGNALS:
    // The connection's state as the handshake goes.
    void stateReported(const halvex::GatewayLinkState &state);
    // No challenge came in time.
    void challengeMissed();
    // This attempt failed (`state` is the error to show); try again later.
    void attemptFailed(const QString &state);
    // Failed in a way another attempt does not mend.
    void stopped(const QString &state);
    // This device was approved: time to connect again.
    void approved();

private:
    enum class Waiting { nothing, challenge, response };
    void wait(Waiting what, double seconds);
    void handleNotPaired(const GatewayProtocol::Frame &response);
    QCoro::Task<> runAutoApproval(QString binaryPath, QString deviceId, QString hintedRequestId);

    CredentialStore *m_credentials;
    Timings m_timings;
    QPointer<WebSocketClient> m_socket;
    QTimer *m_watchdog;
    Waiting m_waiting = Waiting::nothing;
    std::unique_ptr<GatewayDeviceIdentity> m_deviceIdentity;
    PairingApprover *m_approver;
    std::optional<QString> m_openClawBinaryPath;
    bool m_sentDeviceToken = false;
    bool m_autoApprovalAttempted = false;
    // Bumped by reset() and cancel(), so an approval started before them
    // does not act afterwards.
    quint64 m_generation = 0;
};

} // namespace halvex
