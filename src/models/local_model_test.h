#pragma once

#include "platform/error.h"

#include <QString>

#include <qcoro/qcorotask.h>

class QNetworkAccessManager;
class QNetworkReply;

namespace halvex {

// The one-token latency test of a local model: a chat request of one user
// message and one output token straight to the Ollama server.
struct LocalModelTest {
    struct Timings {
        int timeoutMs = 15000;
    };
    // The milliseconds until the server answered with status 200, or the
    // failure ("Invalid URL", "HTTP 404", the transport error's words).
    static QCoro::Task<Result<int>> run(QNetworkAccessManager *network, QString ollamaHost, QString modelName,
                                        Timings timings);
    static QCoro::Task<Result<int>> run(QNetworkAccessManager *network, QString ollamaHost, QString modelName)
    {
        return run(network, std::move(ollamaHost), std::move(modelName), Timings{});
    }
};

// Aborts `reply` once it has received more than `limit` bytes: a server
// must not grow our memory without bound.
void limitDownload(QNetworkReply *reply, qint64 limit);

} // namespace halvex
