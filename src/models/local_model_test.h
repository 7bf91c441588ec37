#pragma once

#include "platform/error.h"

#include <QString>

#include <qcoro/qcorotask.h>

#include <chrono>

namespace halvex {

// The one-token latency test of a local model: a chat request of one user
// message and one output token straight to the Ollama server.
struct LocalModelTest {
    struct Timings {
        std::chrono::milliseconds timeout{15000};
    };
    // The milliseconds until the server answered with status 200, or the
    // failure ("Invalid URL", "HTTP 404", the transport error's words).
    static QCoro::Task<Result<int>> run(QString ollamaHost, QString modelName, Timings timings);
    static QCoro::Task<Result<int>> run(QString ollamaHost, QString modelName)
    {
        return run(std::move(ollamaHost), std::move(modelName), Timings{});
    }
};

} // namespace halvex
