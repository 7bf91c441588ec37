#pragma once

#include <qcoro/qcorotask.h>

#include <optional>
#include <utility>

namespace halvex::test {

// QCoro::waitFor for results that have no default value (Result<T>): spins
// the event loop until the task finishes and returns what it returned.
template <typename T>
T waitForResult(QCoro::Task<T> task)
{
    std::optional<T> value;
    QCoro::waitFor([](QCoro::Task<T> inner, std::optional<T> &out) -> QCoro::Task<> {
        out.emplace(co_await std::move(inner));
    }(std::move(task), value));
    return std::move(*value);
}

} // namespace halvex::test
