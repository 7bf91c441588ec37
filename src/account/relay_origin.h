#pragma once

#include "platform/error.h"

#include <QString>
#include <QUrl>

namespace halvex {

// Where the terminal commands reach the relay: the deployment's origins.
// Development aid, only in builds made with HALVEX_RELAY_INSECURE: the
// environment variable HALVEX_RELAY_ORIGIN may name a loopback "http://"
// origin (e.g. a relay stand-in) for the account API; HALVEX_RELAY_WS_ORIGIN
// likewise a loopback "ws://" origin for the WebSocket (default: the account
// origin with ws://). Anything else there is refused with the reason.
struct RelayOrigins {
    QUrl http;
    QUrl webSocket;
};

// The origins, or the reason an override was refused.
Result<RelayOrigins> relayOriginsForCommands();

// True for "http://" / "ws://" URLs whose host is a loopback address.
bool isLoopbackOrigin(const QUrl &url, const QString &scheme);

} // namespace halvex
