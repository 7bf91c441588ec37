#pragma once

#include <qcoro/qcorotask.h>

#include <optional>
#include <type_traits>
#include <utility>

namespace halvex {

// Runs the event loop until the task has its value: for the terminal
// commands, which have no loop of their own running. QCoro::waitFor needs a
// value it can default-construct first, which Result<T> is not.
template <typename T>
T waitForTask(QCoro::Task<T> task)
{
    if constexpr (std::is_void_v<T> || std::is_default_constructible_v<T>) {
        return QCoro::waitFor(std::move(task));
    } else {
        std::optional<T> value;
        QCoro::waitFor([](QCoro::Task<T> inner, std::optional<T> &out) -> QCoro::Task<> {
            out.emplace(co_await std::move(inner));
        }(std::move(task), value));
        return std::move(*value);
    }
}

} // namespace halvex
