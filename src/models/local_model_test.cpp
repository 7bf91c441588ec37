#include "models/local_model_test.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <qcoro/qcoronetworkreply.h>

#include <memory>

namespace halvex {

QCoro::Task<Result<int>> LocalModelTest::run(QNetworkAccessManager *network, QString ollamaHost, QString modelName,
                                             Timings timings)
{
    QElapsedTimer clock;
    clock.start();
    const QUrl url(ollamaHost + QStringLiteral("/v1/chat/completions"), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        co_return Error::plain(QStringLiteral("Invalid URL"));
    const QJsonObject body{
        {QStringLiteral("model"), modelName},
        {QStringLiteral("messages"), QJsonArray{QJsonObject{{QStringLiteral("role"), QStringLiteral("user")},
                                                            {QStringLiteral("content"), QStringLiteral("Hi")}}}},
        {QStringLiteral("max_tokens"), 1},
        {QStringLiteral("stream"), false},
    };
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setTransferTimeout(timings.timeoutMs);
    std::unique_ptr<QNetworkReply> reply(network->post(request, QJsonDocument(body).toJson(QJsonDocument::Compact)));
    // One token needs no more than this; a server that sends more is cut off.
    limitDownload(reply.get(), 1024 * 1024);
    co_await qCoro(reply.get()).waitForFinished(std::chrono::milliseconds(timings.timeoutMs));
    if (!reply->isFinished()) {
        reply->abort();
        co_return Error::plain(QStringLiteral("The model did not answer within %1 s").arg(timings.timeoutMs / 1000));
    }
    const int latency = int(clock.elapsed());
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 0 && reply->error() != QNetworkReply::NoError)
        co_return Error::plain(reply->errorString());
    if (status != 200)
        co_return Error::plain(QStringLiteral("HTTP %1").arg(status));
    co_return latency;
}

void limitDownload(QNetworkReply *reply, qint64 limit)
{
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [reply, limit](qint64 received, qint64) {
        if (received > limit)
            reply->abort();
    });
}

} // namespace halvex
