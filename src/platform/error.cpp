#include "platform/error.h"

namespace halvex {

QString BridgeError::description() const
{
    switch (m_kind) {
    case Kind::networkError:
        return QStringLiteral("Network error: ") + m_message;
    case Kind::apiError:
        return m_message;
    case Kind::openClawUnreachable:
        return QStringLiteral("OpenClaw is not reachable");
    case Kind::openClawWebSocketNotConnected:
        return QStringLiteral("OpenClaw WebSocket not connected");
    case Kind::notConfigured:
        return QStringLiteral("Bridge is not configured");
    }
    return m_message;
}

} // namespace halvex
