#pragma once

#include "gateway/openclaw_config.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

namespace halvex {

// This machine's LAN IPv4 address, as platform's localIPAddress() finds it.
using LocalAddressLookup = std::function<std::optional<QString>()>;

// What the unified pairing payload is built from.
struct PairingPayloadInputs {
    QString bridgeName;
    // Where the phone reaches the gateway directly (GatewayTarget::
    // phoneEndpoint); none: through the relay alone.
    std::optional<QUrl> gatewayURL;
    std::optional<QString> gatewayToken;
    QByteArray gatewayTlsSha256;     // the pin of a TLS gateway (32 bytes); empty: none
    std::optional<QString> code;     // a fresh pairing code
    std::optional<QString> bridgeId; // from the verification or "bridgeId"
};

// Builds the text the phone scans: a compact JSON object with sorted keys,
//   {"gateway":{"tlsSha256":…,"token":…,"url":…},"name":…,
//    "relay":{"bridgeId":…,"code":…,"url":…},"type":"halvex","version":1}
// "gateway" only when the gateway listens where the phone can reach it (never
// a loopback address) and a usable token is known; its "tlsSha256" (hex
// pairs) only for a TLS gateway, whose "url" is wss://. "relay" only with a
// bridge id, and its "code" only then.
class PairingPayloadBuilder
{
public:
    // `relayWebSocketOrigin`: "wss://" + relay host (ws:// for a stand-in).
    explicit PairingPayloadBuilder(QUrl relayWebSocketOrigin);

    // Never fails: "{}" when the text cannot be made.
    QByteArray build(const PairingPayloadInputs &inputs) const;

    // The gateway's "url" for the payload, or nothing when the gateway rule
    // leaves the gateway out.
    std::optional<QString> gatewayAddress(const PairingPayloadInputs &inputs) const;

    static constexpr int defaultGatewayPort = OpenClawConfig::defaultPort;
    static bool isUsableGatewayToken(const std::optional<QString> &token);

private:
    QUrl m_relayWebSocketOrigin;
};

} // namespace halvex
