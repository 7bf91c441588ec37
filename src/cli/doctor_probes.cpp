#include "cli/doctor_probes.h"

#include "gateway/openclaw_web_socket.h"
#include "gateway/openclaw_ws_state.h"
#include "platform/deployment.h"
#include "platform/keychain_manager.h"
#include "platform/next_emission.h"

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
    QObject::connect(&socket, &WebSocketClient::errorOccurred, &context,
                     [&](QAbstractSocket::SocketError) {
                         error = socket.errorString();
                         done = true;
                     });
    socket.open(url);
    timer.start(timeoutMs);
    while (!done && timer.isActive()) {
        // Whichever comes first: connected, an error, or the time limit.
        co_await nextEmission(&socket, &WebSocketClient::stateChanged, std::chrono::milliseconds(timer.remainingTime() + 1));
    }
    if (!done)
        error = QStringLiteral("no answer within %1 s").arg(timeoutMs / 1000.0);
    socket.abort();
    co_return error;
}

QCoro::Task<OpenClawWSState> gatewayHandshake(KeychainManager *keychain, QUrl gatewayURL, QString gatewayToken,
                                              int timeoutMs)
{
    // A gateway that has just come up refuses for a few seconds ("gateway
    // starting; retry shortly"): a few quick retries within the limit.
    OpenClawWebSocket::Timings timings;
    timings.challengeTimeout = timeoutMs / 1000.0;
    timings.initialReconnectDelay = 0.5;
    timings.maxReconnectDelay = 4.0;
    timings.maxReconnectAttempts = 6;
    OpenClawWebSocket socket(keychain, timings);
    // The doctor looks; approving a pending device is the bridge's job.
    socket.setOpenClawBinaryPath(std::nullopt);

    // A stored device token that the gateway refuses is dropped, and the
    // next attempt signs in with the gateway token: that refusal is not the
    // answer yet.
    const bool deviceTokenStored =
        keychain && keychain->load(CredentialService::openClawDeviceToken()).valueOr(std::nullopt).has_value();
    int unauthorizedAnswers = 0;
    // The last refusal says why; the final "Connection failed" does not.
    QString lastRefusal;
    QObject context;
    QObject::connect(&socket, &OpenClawWebSocket::stateChanged, &context, [&](const OpenClawWSState &state) {
        if (state.kind() != OpenClawWSState::Kind::error || state.errorText() == QLatin1String("Connection failed"))
            return;
        lastRefusal = state.errorText();
        if (lastRefusal.contains(QLatin1String("unauthorized")))
            ++unauthorizedAnswers;
    });
    const auto settled = [&] {
        const OpenClawWSState state = socket.state();
        return state.kind() == OpenClawWSState::Kind::connected ||
               (state.kind() == OpenClawWSState::Kind::error &&
                (state.errorText().startsWith(QLatin1String("Device not paired")) ||
                 (state.errorText().contains(QLatin1String("unauthorized")) &&
                  unauthorizedAnswers > (deviceTokenStored ? 1 : 0)) ||
                 state.errorText() == QLatin1String("Connection failed")));
    };
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(timeoutMs);
    socket.connect(gatewayURL, gatewayToken);
    while (!settled() && timer.isActive())
        co_await nextEmission(&socket, &OpenClawWebSocket::stateChanged,
                              std::chrono::milliseconds(timer.remainingTime() + 1));

    OpenClawWSState state = socket.state();
    if (state.kind() != OpenClawWSState::Kind::connected &&
        !state.errorText().startsWith(QLatin1String("Device not paired"))) {
        const QString why =
            !lastRefusal.isEmpty() ? lastRefusal : QStringLiteral("no handshake within %1 s").arg(timeoutMs / 1000.0);
        state = OpenClawWSState::error(why);
    }
    socket.disconnect();
    co_return state;
}

} // namespace halvex
