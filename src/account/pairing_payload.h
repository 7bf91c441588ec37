#pragma once

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
    std::optional<QUrl> gatewayURL;      // the gateway client's endpoint
    std::optional<QString> gatewayToken; // the gateway client's token
    std::optional<QString> code;         // a fresh pairing code
    std::optional<QString> bridgeId;     // from the verification or "bridgeId"
};

// Builds the text the phone scans: a compact JSON object with sorted keys,
//   {"gateway":{"token":…,"url":…},"name":…,"relay":{"bridgeId":…,"code":…,"url":…},
//    "type":"halvex","version":1}
// "gateway" only when a usable token is known (loopback hosts are replaced by
// the LAN address, so the phone can reach the gateway); "relay" only with a
// bridge id, and its "code" only then.
class PairingPayloadBuilder
{
public:
    // `relayWebSocketOrigin`: "wss://" + relay host (ws:// for a stand-in).
    PairingPayloadBuilder(QUrl relayWebSocketOrigin, LocalAddressLookup localIPAddress);

    // Never fails: "{}" when the text cannot be made.
    QByteArray build(const PairingPayloadInputs &inputs) const;

    // The gateway's "url" for the payload, or nothing when the gateway rule
    // leaves the gateway out.
    std::optional<QString> gatewayAddress(const PairingPayloadInputs &inputs) const;

    static constexpr int defaultGatewayPort = 18789;
    static bool isUsableGatewayToken(const std::optional<QString> &token);

private:
    QUrl m_relayWebSocketOrigin;
    LocalAddressLookup m_localIPAddress;
};

} // namespace halvex
