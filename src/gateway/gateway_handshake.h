#pragma once

#include "gateway/gateway_protocol.h"
#include "gateway/pairing_approver.h"
#include "platform/session/process_runner.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>

namespace halvex {

class CredentialStore;
class GatewayDeviceIdentity;

// What this device says and keeps in the gateway's handshake: the connect
// request signed with the device key (ConnectRequestBuilder), signed in with
// the stored device token or else the gateway token; the device token the
// gateway grants; what a refusal means; and the approval of this device's
// own pairing request (PairingApprover), once per round of attempts.
//
// It holds no connection and no connection state: GatewayWebSocket asks it
// at each step and decides what happens next.
class GatewayHandshake : public QObject
{
    Q_OBJECT
public:
    // The credential store holds the device key and tokens; not owned. An
    // empty `processRunner` runs real processes.
    GatewayHandshake(CredentialStore *credentials, PairingApprover::Timings approval, ProcessRunner processRunner,
                     QObject *parent = nullptr);
    ~GatewayHandshake() override;

    // Absent while the identity could not be created or loaded.
    GatewayDeviceIdentity *deviceIdentity() const { return m_deviceIdentity.get(); }
    // Loads (or creates) the identity when it is still absent.
    bool ensureDeviceIdentity();
    PairingApprover *pairingApprover() const { return m_approver; }
    void setOpenClawBinaryPath(const std::optional<QString> &path) { m_openClawBinaryPath = path; }
    std::optional<QString> openClawBinaryPath() const { return m_openClawBinaryPath; }

    // A new round of attempts: approval may be tried again.
    void reset();

    // The connect request that answers a challenge's nonce, for the gateway
    // at `origin` (credentialOrigin()): only a device token that origin
    // issued is sent. Reading the store can wait on a keyring prompt with
    // the event loop running.
    struct ConnectRequest {
        QString id;        // empty when there is no request
        QByteArray json;   // the frame to send
        QString failure;   // why there is none: the link's error text
        bool retry = true; // another attempt may mend the failure
    };
    ConnectRequest connectRequest(const QString &nonce, const QString &gatewayToken, const QString &origin);

    // The gateway accepted the connect request: keeps the device token it
    // granted; the next refusal may be approved again.
    void accepted(const GatewayProtocol::Frame &response);

    // What a refusal of the connect request asks for.
    struct Refusal {
        enum class Next {
            retry,   // show `state`, try again after the usual delay
            approve, // NOT_PAIRED, first time this round: approve(), then connect again
            stop,    // show `state`; another attempt does not mend it
        };
        Next next = Next::retry;
        QString state;
    };
    Refusal refused(const GatewayProtocol::Frame &response);

    // Approves this device's pending request with the openclaw tool.
    // Nothing when approved, else the link's error text.
    QCoro::Task<std::optional<QString>> approve(GatewayProtocol::Frame refusal);

private:
    CredentialStore *m_credentials;
    std::unique_ptr<GatewayDeviceIdentity> m_deviceIdentity;
    PairingApprover *m_approver;
    std::optional<QString> m_openClawBinaryPath;
    bool m_sentDeviceToken = false;
    QString m_origin; // of the last connect request
    bool m_autoApprovalAttempted = false;
};

} // namespace halvex
