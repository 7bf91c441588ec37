#pragma once

#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>

namespace halvex {

// Empty when a TCP connection to host:port opened within the limit, else
// why not.
QCoro::Task<QString> tcpConnectError(QString host, quint16 port, std::chrono::milliseconds timeout);

// Opens the relay's bridge WebSocket with the token and closes it again.
// Empty when the upgrade was accepted, else the socket's error (or why no
// URL could be built for the token).
QCoro::Task<QString> relayHandshakeError(QUrl relayOrigin, QString bridgeToken, std::chrono::milliseconds timeout);

} // namespace halvex
