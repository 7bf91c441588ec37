#pragma once

#include "gateway/gateway_web_socket.h"

namespace halvex::test {

// Gateway socket delays shrunk so reconnects and approvals take milliseconds.
inline GatewayWebSocket::Timings fastGatewayTimings()
{
    GatewayWebSocket::Timings timings;
    timings.initialReconnectDelay = 0.01;
    timings.maxReconnectDelay = 0.05;
    timings.approvalReconnectDelay = 0.01;
    timings.sessionSettleTimeout = 0.2;
    return timings;
}

} // namespace halvex::test
