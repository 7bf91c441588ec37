#pragma once

#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <optional>

class QNetworkAccessManager;

namespace halvex {

// What the gateway's HTTP side said about its health. A running gateway
// answers GET /healthz with 200 whatever its settings; GET /v1/models
// answers 200 only while the HTTP chat endpoint is on (404 otherwise).
struct GatewayHealth {
    bool reachable = false;
    bool chatEndpointEnabled = false;
    std::optional<int> modelsStatus;  // nullopt: no HTTP answer
    std::optional<int> healthzStatus; // asked only when /v1/models gave 404 or a page that is not JSON

    // One line for logs and the terminal, e.g. "answering (HTTP chat endpoint off)".
    QString description() const;
};

struct GatewayHealthTimings {
    int timeoutMs = 5000; // for the whole check, both requests together
};

// The health rule: /v1/models 200 -> reachable with the chat endpoint on;
// 404 there and /healthz 200 -> reachable with the endpoint off; anything
// else -> unreachable. (A connected gateway WebSocket also means reachable;
// the caller adds that.) Bodies are read and dropped, never kept. The
// network access manager must outlive the check.
QCoro::Task<GatewayHealth> checkGatewayHealth(QNetworkAccessManager *network, QUrl endpoint, QString token,
                                              GatewayHealthTimings timings = {});

} // namespace halvex
