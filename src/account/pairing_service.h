#pragma once

#include "account/pairing_payload.h"
#include "gateway/gateway_target.h"
#include "platform/error.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <functional>
#include <optional>

namespace halvex {

class CredentialStore;
class RelayAuthService;
class Settings;

// What the credential store says of the bridge token (reads the store).
enum class BridgeTokenState { stored, none, unreadable };
BridgeTokenState bridgeTokenState(CredentialStore &credentials);
// The one rule for "paired", everywhere: a bridge token is stored, or the
// store cannot say (a locked keyring, a Secret Service out of reach). Such a
// store most likely holds the token; pairing again would register a second
// bridge whose token the store could not keep, so neither the setup wizard
// nor the terminal asks for it. The bridge's readiness still tells a locked
// store from a missing token.
bool isPaired(BridgeTokenState token);

// A paired bridge and what the phone scans to reach it.
struct PairingResult {
    QString bridgeName;
    QString bridgeId;
    std::optional<QString> code; // the pairing code, when the payload carries one
    QByteArray payload;          // the unified pairing payload
};

// What the QR window shows: the image (a PNG file, see makeQRPng), or the
// error text.
struct QRCodeContent {
    QByteArray payload;
    std::optional<QByteArray> png;
    std::optional<QString> errorMessage;
};

// The pairing flows without any window: automatic pairing, a code from the
// phone, the already-paired case and the QR window's code generation. Each
// stores what a successful pairing yields (bridge token under ".bridge",
// "bridgeName", "bridgeId") and nothing on failure.
class PairingService
{
public:
    struct Dependencies {
        RelayAuthService *auth = nullptr;
        CredentialStore *credentials = nullptr;
        Settings *settings = nullptr;
        QUrl relayWebSocketOrigin; // "relay"."url" of the payload
        // The gateway as the bridge resolves it; none: no gateway in the
        // payload. The phone is given only an address it can reach.
        std::function<GatewayTarget()> gateway;
        LocalAddressLookup localIPAddress;   // none: halvex::localIPAddress()
        std::function<QString()> bridgeName; // none: defaultBridgeName()
        // Runs after a new bridge token was stored, so that a running bridge
        // picks it up (see bridge_requests.h).
        std::function<void()> bridgeTokenStored;
    };

    // Side of the QR image in pixels, at least.
    static constexpr int qrImageSize = 200;
    // The shortest code the phone displays ("XXXX-XXXX").
    static constexpr int minimumCodeLength = 9;

    explicit PairingService(Dependencies deps);

    // "Pair This Machine": a fresh code from the signed-in account, verified
    // at once. Fails with "Not signed in — go back and sign in first" when no
    // relay token is stored.
    QCoro::Task<Result<PairingResult>> pairAutomatically();
    // A code the phone displays. Spaces and tabs around it are dropped.
    QCoro::Task<Result<PairingResult>> pairWithCode(QString code);
    // When a bridge token is stored: the payload without a code.
    std::optional<PairingResult> alreadyPaired() const;
    // The QR window: a fresh code when signed in (left out when the relay
    // refuses), none otherwise.
    QCoro::Task<QRCodeContent> generateQRCode(int size = qrImageSize);

    bool isPaired() const;
    // The code as it is sent: trimmed of spaces and tabs.
    static QString normalizedCode(const QString &code);
    // Why a typed code (before normalizing) cannot be a pairing code; empty
    // when it can.
    static QString codeProblem(const QString &code);
    // The payload for the stored name and id, with the given code.
    QByteArray payloadFor(const QString &bridgeName, const std::optional<QString> &bridgeId,
                          const std::optional<QString> &code) const;

private:
    QCoro::Task<Result<PairingResult>> verify(QString code, bool codeInPayload);
    QString currentBridgeName() const;
    QString storedBridgeName() const;

    Dependencies m_deps;
    PairingPayloadBuilder m_builder;
};

} // namespace halvex
