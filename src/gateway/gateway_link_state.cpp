#include "gateway/gateway_link_state.h"

namespace halvex {

QString GatewayLinkState::description() const
{
    switch (m_kind) {
    case Kind::disconnected:
        return QStringLiteral("disconnected");
    case Kind::connecting:
        return QStringLiteral("connecting");
    case Kind::authenticating:
        return QStringLiteral("authenticating");
    case Kind::connected:
        return QStringLiteral("connected");
    case Kind::error:
        return QStringLiteral("error(") + m_text + QLatin1Char(')');
    }
    return {};
}

} // namespace halvex
