#pragma once

#include <QLoggingCategory>

// One category per component, named "<app id>.<Category>". Messages are
// printf-style format strings; booleans print as "true"/"false" (see boolText).

namespace halvex {

Q_DECLARE_LOGGING_CATEGORY(lcApp)
Q_DECLARE_LOGGING_CATEGORY(lcCredentials)
Q_DECLARE_LOGGING_CATEGORY(lcAuth)
Q_DECLARE_LOGGING_CATEGORY(lcWebSocket) // the relay link
Q_DECLARE_LOGGING_CATEGORY(lcBridge)
Q_DECLARE_LOGGING_CATEGORY(lcOpenClaw) // gateway HTTP client
Q_DECLARE_LOGGING_CATEGORY(lcOcWs)     // gateway WebSocket
Q_DECLARE_LOGGING_CATEGORY(lcDeviceId)
Q_DECLARE_LOGGING_CATEGORY(lcDetector)
Q_DECLARE_LOGGING_CATEGORY(lcProviderDetection)
Q_DECLARE_LOGGING_CATEGORY(lcTray)
Q_DECLARE_LOGGING_CATEGORY(lcMemorySync)
Q_DECLARE_LOGGING_CATEGORY(lcQr)

// Text for a "%{bool}d" placeholder.
inline const char *boolText(bool value)
{
    return value ? "true" : "false";
}

// Installs the stderr message format used by the running program.
void installLogFormat();

} // namespace halvex
