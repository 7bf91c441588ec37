#include "memory/chat_endpoint_probe.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

#include <qcoro/qcorosignal.h>

namespace halvex {

namespace {

// The refusal is a short JSON error; a larger answer is not what we asked.
constexpr qint64 kMaxAnswerBytes = 64 * 1024;

} // namespace

QCoro::Task<bool> isChatEndpointOn(QNetworkAccessManager *network, QUrl endpointURL, QString gatewayToken,
                                   QString agentId, int timeoutMs)
{
    QString path = endpointURL.path();
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    endpointURL.setPath(path + QStringLiteral("/v1/chat/completions"));
    QNetworkRequest request(endpointURL);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (!gatewayToken.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + gatewayToken.toUtf8());
    request.setTransferTimeout(timeoutMs);
    const QJsonObject body{{QStringLiteral("model"), QStringLiteral("openclaw/") + agentId},
                           {QStringLiteral("messages"), QJsonArray()}};

    QPointer<QNetworkReply> reply = network->post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply = reply.get()] {
        if (reply->bytesAvailable() > kMaxAnswerBytes)
            reply->abort();
    });
    if (!reply->isFinished())
        co_await qCoro(reply.get(), &QNetworkReply::finished);
    if (!reply)
        co_return false;
    reply->deleteLater();
    co_return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 400;
}

} // namespace halvex
