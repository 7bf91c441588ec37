#pragma once

#include "gateway/gateway_link_state.h"
#include "gateway/gateway_target.h"
#include "gateway/limits.h"

#include <QByteArray>
#include <QJsonObject>
#include <QPointer>
#include <QString>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <optional>

namespace halvex {

class CredentialStore;

// Whether the gateway's HTTP chat endpoint (the fallback) is switched on.
enum class ChatEndpointState { unknown, on, off };

// What one probe of a gateway found. The only place that decides "does it
// answer", "is the chat endpoint on", "does the mobile agent exist" and "is
// this device paired"; every face shows these.
struct GatewayProbe {
    // GET /healthz answered 200 (OpenClaw answers it without a token,
    // whatever its settings).
    bool reachable = false;
    // Why it does not answer: the transport's words, a refused certificate.
    QString problem;
    std::optional<int> healthzStatus;
    // It answers, but on a loopback port that another user holds: nothing
    // secret was sent, and this sentence names the holder and the fix.
    QString listenerRefusal;
    // Then, who holds it (a user name, else the uid): what the user may
    // choose to trust.
    QString listenerOwner;

    ChatEndpointState chatEndpoint = ChatEndpointState::unknown;
    std::optional<int> chatEndpointStatus; // what POST /v1/chat/completions answered
    // The gateway accepted the token (a chat-endpoint answer other than
    // 401/403, or a handshake); nullopt while nothing could tell.
    std::optional<bool> tokenAccepted;

    // From the configuration; nullopt when it could not be read.
    std::optional<bool> mobileAgent;

    // Only when the handshake was asked for: true after a signed handshake
    // succeeded, false when the gateway refused the device or the token.
    std::optional<bool> devicePaired;
    GatewayLinkState handshake = GatewayLinkState::disconnected();

    // SHA-256 of the certificate the gateway presented (https only), and
    // whether it is the target's pin.
    QByteArray tlsSha256;
    bool tlsPinMatches = false;

    QString version; // the openclaw tool's version line, when known

    // "answering (HTTP chat endpoint off)", "not answering: …"
    QString description() const;
    QJsonObject json() const;
};

struct GatewayProbeOptions {
    std::chrono::milliseconds timeout = limits::probeTimeout; // each HTTP request and the certificate check
    // Ask the chat endpoint (one POST that the gateway must refuse without
    // running the agent).
    bool chatEndpoint = true;
    // The gateway loads its chat handler on the first request: on a busy
    // machine that first answer takes seconds, and a probe that gave up
    // sooner would call a working endpoint unknown.
    std::chrono::milliseconds chatEndpointTimeout = std::chrono::seconds(15);
    // Run one signed WebSocket handshake (no pairing approval) to learn
    // whether this device is paired; needs the credential store.
    bool handshake = false;
    std::chrono::milliseconds handshakeTimeout = std::chrono::seconds(15);
    CredentialStore *credentials = nullptr;
    // When it goes away, requests still out end with it (the result then
    // says "Operation canceled"); none: they run to their time limit.
    QPointer<QObject> context;
};

// Probes the gateway of `target`. Requests that carry the token go only to
// the target's endpoint: no redirect is followed, and over https nothing is
// sent before the certificate matched the target's pin (or passed ordinary
// verification where there is none).
QCoro::Task<GatewayProbe> probeGateway(GatewayTarget target, GatewayProbeOptions options = {});

// The SHA-256 of the certificate a TLS server at host:port presents, read
// from a handshake that sends nothing else; nullopt when none could be had.
QCoro::Task<std::optional<QByteArray>> presentedCertificateSha256(QString host, quint16 port,
                                                                  std::chrono::milliseconds timeout,
                                                                  QPointer<QObject> context = {});

// One signed handshake with the gateway WebSocket (no pairing approval) and
// the state it ended in: connected or an error saying why.
QCoro::Task<GatewayLinkState> gatewayHandshake(CredentialStore *credentials, GatewayTarget target,
                                               std::chrono::milliseconds timeout);

} // namespace halvex
