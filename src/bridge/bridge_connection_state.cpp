#include "bridge/bridge_connection_state.h"

namespace halvex {

QString BridgeConnectionState::description() const
{
    switch (m_kind) {
    case Kind::error:
        return QStringLiteral("error(%1)").arg(m_message);
    case Kind::disconnected:
        return QStringLiteral("disconnected");
    case Kind::connecting:
        return QStringLiteral("connecting");
    case Kind::connected:
        return QStringLiteral("connected");
    }
    return {};
}

} // namespace halvex
