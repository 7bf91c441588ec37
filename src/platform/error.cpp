#include "platform/error.h"

namespace halvex {

QString BridgeError::description() const
{
    switch (m_kind) {
    case Kind::networkError:
        return QStringLiteral("Network error: ") + m_message;
    case Kind::apiError:
        return m_message;
    case Kind::openClawWebSocketNotConnected:
        return QStringLiteral("OpenClaw WebSocket not connected");
    }
    return m_message;
}

} // namespace halvex
