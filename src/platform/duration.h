#pragma once

#include <chrono>
#include <cmath>

namespace halvex {

// The delays and limits of the Timings structs are seconds; timers take
// milliseconds. Every conversion goes through here: the nearest
// millisecond, never negative.
inline std::chrono::milliseconds toMs(double seconds)
{
    return std::chrono::milliseconds(seconds > 0.0 ? std::llround(seconds * 1000.0) : 0);
}

} // namespace halvex
