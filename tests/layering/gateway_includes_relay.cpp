// Must not compile: the gateway library does not see the relay's headers.
#include "relay/relay_message.h"

int gatewayIncludesRelay()
{
    return 0;
}
