#pragma once

#include <chrono>

namespace halvex {

// Whether a Secret Service answers on the session bus and can keep items:
// it has a default collection (locked or not), or a display exists to show
// the prompt that creates one. Never starts a session bus (no
// autolaunch) and gives up after `timeout` when the bus or the service
// does not answer.
class SecretServiceProbe
{
public:
    static bool isAvailable(std::chrono::milliseconds timeout);
};

} // namespace halvex
