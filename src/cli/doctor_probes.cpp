#include "cli/doctor_probes.h"

#include "platform/deployment.h"
#include "platform/net/next_emission.h"
#include "platform/net/web_socket_client.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpSocket>
#include <QTimer>

#include <qcoro/qcoroabstractsocket.h>
#include <qcoro/qcorosignal.h>

#include <memory>

namespace halvex {

QCoro::Task<HttpAnswer> boundedGet(QNetworkAccessManager *network, QUrl url, QString bearerToken, int timeoutMs,
                                   qint64 bodyCap)
{
    QNetworkRequest request(url);
    if (!bearerToken.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + bearerToken.toUtf8());
    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> reply(network->get(request),
                                                                    [](QNetworkReply *r) { r->deleteLater(); });
    QNetworkReply *raw = reply.get();
    raw->setReadBufferSize(bodyCap);
    QObject context;
    QTimer::singleShot(timeoutMs, &context, [raw] { raw->abort(); });
    QObject::connect(raw, &QNetworkReply::downloadProgress, &context, [raw, bodyCap](qint64 received, qint64) {
        if (received > bodyCap)
            raw->abort();
    });
    if (!raw->isFinished())
        co_await qCoro(raw, &QNetworkReply::finished);

    HttpAnswer answer;
    const QVariant status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid())
        answer.status = status.toInt();
    else
        answer.error = raw->errorString();
    answer.body = raw->read(bodyCap);
    co_return answer;
}

QCoro::Task<QString> tcpConnectError(QString host, quint16 port, int timeoutMs)
{
    QTcpSocket socket;
    socket.connectToHost(host, port);
    if (co_await qCoro(socket).waitForConnected(std::chrono::milliseconds(timeoutMs))) {
        socket.abort();
        co_return QString();
    }
    const QString error = socket.error() == QAbstractSocket::UnknownSocketError
                              ? QStringLiteral("no answer within %1 s").arg(timeoutMs / 1000.0)
                              : socket.errorString();
    socket.abort();
    co_return error;
}

QCoro::Task<QString> relayHandshakeError(QUrl relayOrigin, QString bridgeToken, int timeoutMs)
{
    QUrl url = relayOrigin;
    url.setPath(QStringLiteral("/ws/bridge"));
    url.setQuery(QStringLiteral("token=") + QString::fromLatin1(QUrl::toPercentEncoding(bridgeToken)));

    WebSocketClient socket;
    QObject context;
    QString error;
    bool done = false;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&socket, &WebSocketClient::connected, &context, [&] { done = true; });
    QObject::connect(&socket, &WebSocketClient::errorOccurred, &context, [&](QAbstractSocket::SocketError) {
        error = socket.errorString();
        done = true;
    });
    socket.open(url);
    timer.start(timeoutMs);
    while (!done && timer.isActive()) {
        // Whichever comes first: connected, an error, or the time limit.
        co_await nextEmission(&socket, &WebSocketClient::stateChanged,
                              std::chrono::milliseconds(timer.remainingTime() + 1));
    }
    if (!done)
        error = QStringLiteral("no answer within %1 s").arg(timeoutMs / 1000.0);
    socket.abort();
    co_return error;
}

} // namespace halvex
