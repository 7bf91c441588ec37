#pragma once

#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

class QNetworkAccessManager;

namespace halvex {

// Whether the gateway's HTTP chat endpoint is switched on. OpenClaw ships it
// off, and the model list is no guide: 2026.5.x answers GET /v1/models with
// its Control UI page (status 200) while the endpoint is off. So the probe
// asks the endpoint itself with a request it must refuse without running the
// agent, an empty message list: 400 means on, 404 off, anything else
// (401, 503 while starting, no answer) counts as not usable now.
QCoro::Task<bool> isChatEndpointOn(QNetworkAccessManager *network, QUrl endpointURL, QString gatewayToken,
                                   QString agentId, int timeoutMs = 5000);

} // namespace halvex
