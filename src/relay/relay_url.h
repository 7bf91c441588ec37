#pragma once

#include "platform/error.h"

#include <QString>
#include <QUrl>

namespace halvex {

// The relay WebSocket URL: origin + "/ws/bridge?token=" + the token,
// appended verbatim. An Error (with the reason to log) when the token cannot
// form a URL that carries it unchanged, or when the origin would send it
// unencrypted to another machine (plain "ws://" is for loopback stand-ins).
Result<QUrl> relayConnectionUrl(const QUrl &relayOrigin, const QString &token);

} // namespace halvex
