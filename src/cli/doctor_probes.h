#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <optional>

class QNetworkAccessManager;

namespace halvex {

// One bounded HTTP GET: a status when the server answered, else the
// transport error's words. The body is read up to `bodyCap` bytes.
struct HttpAnswer {
    std::optional<int> status;
    QString error;
    QByteArray body;
};
QCoro::Task<HttpAnswer> boundedGet(QNetworkAccessManager *network, QUrl url, QString bearerToken, int timeoutMs,
                                   qint64 bodyCap = 256 * 1024);

// Empty when a TCP connection to host:port opened within the limit, else
// why not.
QCoro::Task<QString> tcpConnectError(QString host, quint16 port, int timeoutMs);

// Opens the relay's bridge WebSocket with the token and closes it again.
// Empty when the upgrade was accepted, else the socket's error.
QCoro::Task<QString> relayHandshakeError(QUrl relayOrigin, QString bridgeToken, int timeoutMs);

} // namespace halvex
