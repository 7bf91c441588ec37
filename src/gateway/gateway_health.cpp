#include "gateway/gateway_health.h"

#include <QDeadlineTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

#include <qcoro/qcoronetworkreply.h>

#include <chrono>

namespace halvex {

namespace {

QUrl withPath(QUrl url, const QString &path)
{
    QString base = url.path();
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    url.setPath(base + path);
    return url;
}

// The status of one GET within what is left of the deadline; the body is
// read and dropped as it arrives, so a large one costs no memory.
QCoro::Task<std::optional<int>> statusOf(QNetworkAccessManager *network, QUrl url, QString token,
                                         QDeadlineTimer deadline)
{
    if (deadline.hasExpired())
        co_return std::nullopt;
    QNetworkRequest request(url);
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    const QPointer<QNetworkReply> reply = network->get(request);
    // Aborted and released however this coroutine ends (quietly: nothing
    // may call back into a frame that is going away).
    struct Release {
        QPointer<QNetworkReply> reply;
        ~Release()
        {
            if (!reply)
                return;
            reply->disconnect();
            reply->abort();
            reply->deleteLater();
        }
    } release{reply};
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [r = reply.data()] { r->skip(r->bytesAvailable()); });
    const auto remaining = std::chrono::milliseconds(std::max<qint64>(deadline.remainingTime(), 1));
    const bool finished = co_await qCoro(reply.data()).waitForFinished(remaining);
    if (!finished || !reply)
        co_return std::nullopt;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        co_return std::nullopt;
    co_return status.toInt();
}

} // namespace

QString GatewayHealth::description() const
{
    if (!reachable)
        return modelsStatus ? QStringLiteral("not answering (GET /v1/models gave %1)").arg(*modelsStatus)
                            : QStringLiteral("not answering");
    return chatEndpointEnabled ? QStringLiteral("answering (HTTP chat endpoint on)")
                               : QStringLiteral("answering (HTTP chat endpoint off)");
}

QCoro::Task<GatewayHealth> checkGatewayHealth(QNetworkAccessManager *network, QUrl endpoint, QString token,
                                              GatewayHealthTimings timings)
{
    GatewayHealth health;
    const QDeadlineTimer deadline(std::max(timings.timeoutMs, 1));
    health.modelsStatus = co_await statusOf(network, withPath(endpoint, QStringLiteral("/v1/models")), token, deadline);
    if (health.modelsStatus == 200) {
        health.reachable = true;
        health.chatEndpointEnabled = true;
    } else if (health.modelsStatus == 404) {
        health.healthzStatus = co_await statusOf(network, withPath(endpoint, QStringLiteral("/healthz")), {}, deadline);
        health.reachable = health.healthzStatus == 200;
    }
    co_return health;
}

} // namespace halvex
