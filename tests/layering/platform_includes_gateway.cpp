// Must not compile: the platform layer sees nothing above it.
#include "gateway/chat_backend.h"

int platformIncludesGateway()
{
    return 0;
}
