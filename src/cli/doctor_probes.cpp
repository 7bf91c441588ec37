#include "cli/doctor_probes.h"

#include "platform/deployment.h"
#include "platform/duration_text.h"
#include "platform/net/next_emission.h"
#include "platform/net/web_socket_client.h"
#include "relay/relay_url.h"

#include <QTcpSocket>
#include <QTimer>

#include <qcoro/qcoroabstractsocket.h>
#include <qcoro/qcorosignal.h>

namespace halvex {

QCoro::Task<QString> tcpConnectError(QString host, quint16 port, std::chrono::milliseconds timeout)
{
    QTcpSocket socket;
    socket.connectToHost(host, port);
    if (co_await qCoro(socket).waitForConnected(timeout)) {
        socket.abort();
        co_return QString();
    }
    const QString error = socket.error() == QAbstractSocket::UnknownSocketError
                              ? QStringLiteral("no answer within %1 s").arg(inSeconds(timeout))
                              : socket.errorString();
    socket.abort();
    co_return error;
}

QCoro::Task<QString> relayHandshakeError(QUrl relayOrigin, QString bridgeToken, std::chrono::milliseconds timeout)
{
    // The same URL, and the same refusal of a token over ws:// to another
    // machine, as the bridge's own link.
    const Result<QUrl> url = relayConnectionUrl(relayOrigin, bridgeToken);
    if (!url)
        co_return url.error().description();

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
    socket.open(*url);
    timer.start(timeout);
    while (!done && timer.isActive()) {
        // Whichever comes first: connected, an error, or the time limit.
        co_await nextEmission(&socket, &WebSocketClient::stateChanged,
                              std::chrono::milliseconds(timer.remainingTime() + 1));
    }
    if (!done)
        error = QStringLiteral("no answer within %1 s").arg(inSeconds(timeout));
    socket.abort();
    co_return error;
}

} // namespace halvex
