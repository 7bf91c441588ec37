#pragma once

#include "gateway/gateway_web_socket.h"

namespace halvex::test {

// Gateway socket delays shrunk so reconnects and approvals take milliseconds.
inline GatewayWebSocket::Timings fastGatewayTimings()
{
    GatewayWebSocket::Timings timings;
    timings.link.initialDelay = std::chrono::milliseconds(10);
    timings.link.maxDelay = std::chrono::milliseconds(50);
    timings.approvalReconnectDelay = std::chrono::milliseconds(10);
    timings.sessionSettleTimeout = std::chrono::milliseconds(200);
    return timings;
}

} // namespace halvex::test
