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

struct Answer {
    int status = 0;
    bool json = false; // the Content-Type names JSON
};

// The status of one GET within what is left of the deadline; the body is
// read and dropped as it arrives, so a large one costs no memory.
QCoro::Task<std::optional<Answer>> statusOf(QNetworkAccessManager *network, QUrl url, QString token,
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
    const QByteArray type = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray().toLower();
    co_return Answer{status.toInt(), type.contains("json")};
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
    const std::optional<Answer> models =
        co_await statusOf(network, withPath(endpoint, QStringLiteral("/v1/models")), token, deadline);
    if (models)
        health.modelsStatus = models->status;
    // OpenClaw 2026.5 answers /v1/models with its control page (200, HTML)
    // while the chat endpoint is off: only a JSON model list means "on".
    if (models && models->status == 200 && models->json) {
        health.reachable = true;
        health.chatEndpointEnabled = true;
    } else if (models && (models->status == 404 || models->status == 200)) {
        const std::optional<Answer> healthz =
            co_await statusOf(network, withPath(endpoint, QStringLiteral("/healthz")), {}, deadline);
        if (healthz)
            health.healthzStatus = healthz->status;
        health.reachable = health.healthzStatus == 200;
    }
    co_return health;
}

} // namespace halvex
