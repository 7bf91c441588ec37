#pragma once

#include <chrono>

namespace halvex {

// A duration in seconds, for messages and log lines: printed with "%g" or
// QString::arg(double) it reads 1, 0.5 or 2.25.
template <class Rep, class Period>
constexpr double inSeconds(std::chrono::duration<Rep, Period> duration)
{
    return std::chrono::duration<double>(duration).count();
}

} // namespace halvex
