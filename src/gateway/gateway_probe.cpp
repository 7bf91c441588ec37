#include "gateway/gateway_probe.h"

#include "gateway/device_tokens.h"
#include "gateway/gateway_web_socket.h"
#include "platform/deployment.h"
#include "platform/duration_text.h"
#include "platform/net/http_client.h"
#include "platform/net/listener_owner.h"
#include "platform/net/next_emission.h"
#include "platform/net/tls_pin.h"
#include "platform/secrets/credential_store.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>

#include <algorithm>

namespace halvex {

namespace {

struct Answer {
    std::optional<int> status;
    QString error;
};

// A request to the gateway as the links make it: its certificate pinned,
// its loopback port held by this user or a trusted account.
FetchRequest toGateway(const GatewayTarget &target, const QString &path)
{
    FetchRequest request;
    request.url = withAppendedPath(target.endpoint, path);
    request.pinnedCertificate = target.tlsPin;
    request.listenerOwners = target.listenerOwners;
    return request;
}

// The status line is all a probe needs: the exchange ends as soon as the
// answer's head is in. Redirects are never followed. An owner (`context`)
// that goes away ends the request with it.
QCoro::Task<Answer> ask(FetchRequest request, std::chrono::milliseconds timeout, QPointer<QObject> context)
{
    request.statusOnly = true;
    request.deadline = timeout;
    const Result<HttpAnswer> answer = co_await fetch(std::move(request), context.data());
    if (answer)
        co_return Answer{answer->status, {}};
    switch (httpFailure(answer.error())) {
    case HttpFailure::timedOut:
        co_return Answer{std::nullopt, QStringLiteral("no answer within %1 s").arg(inSeconds(timeout))};
    case HttpFailure::cancelled:
        co_return Answer{std::nullopt, QStringLiteral("Operation canceled")};
    default:
        co_return Answer{std::nullopt, answer.error().description()};
    }
}

} // namespace

QString GatewayProbe::description() const
{
    if (!reachable)
        return problem.isEmpty() ? QStringLiteral("not answering") : QStringLiteral("not answering: ") + problem;
    if (!listenerRefusal.isEmpty())
        return QStringLiteral("answering, but not yours: ") + listenerRefusal;
    switch (chatEndpoint) {
    case ChatEndpointState::on:
        return QStringLiteral("answering (HTTP chat endpoint on)");
    case ChatEndpointState::off:
        return QStringLiteral("answering (HTTP chat endpoint off)");
    case ChatEndpointState::unknown:
        break;
    }
    return QStringLiteral("answering");
}

QJsonObject GatewayProbe::json() const
{
    const auto optionalBool = [](const std::optional<bool> &value) {
        return value ? QJsonValue(*value) : QJsonValue();
    };
    QString endpoint = QStringLiteral("unknown");
    if (chatEndpoint == ChatEndpointState::on)
        endpoint = QStringLiteral("on");
    else if (chatEndpoint == ChatEndpointState::off)
        endpoint = QStringLiteral("off");
    QJsonObject object{
        {QStringLiteral("reachable"), reachable},
        {QStringLiteral("chatEndpoint"), endpoint},
        {QStringLiteral("tokenAccepted"), optionalBool(tokenAccepted)},
        {QStringLiteral("mobileAgent"), optionalBool(mobileAgent)},
        {QStringLiteral("devicePaired"), optionalBool(devicePaired)},
        {QStringLiteral("tlsSha256"), tlsSha256.isEmpty() ? QString() : formatSha256(tlsSha256)},
        {QStringLiteral("version"), version},
    };
    if (!problem.isEmpty())
        object.insert(QStringLiteral("problem"), problem);
    if (handshake.kind() == GatewayLinkState::Kind::error)
        object.insert(QStringLiteral("handshakeProblem"), handshake.errorText());
    if (!listenerRefusal.isEmpty())
        object.insert(QStringLiteral("listenerRefusal"), listenerRefusal);
    return object;
}

QCoro::Task<std::optional<QByteArray>>
presentedCertificateSha256(QString host, quint16 port, std::chrono::milliseconds timeout, QPointer<QObject> context)
{
    // Only the certificate is wanted: verification is off for this one
    // handshake, and nothing is ever written on the connection.
    const QPointer<QSslSocket> socket = new QSslSocket(context.data());
    QSslConfiguration configuration = socket->sslConfiguration();
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    socket->setSslConfiguration(configuration);
    socket->connectToHostEncrypted(host, port);
    const bool encrypted =
        socket->isEncrypted() || co_await nextEmission(socket.data(), &QSslSocket::encrypted, timeout);
    std::optional<QByteArray> digest;
    if (socket && encrypted && !socket->peerCertificate().isNull())
        digest = certificateSha256(socket->peerCertificate());
    if (socket) {
        socket->abort();
        delete socket.data();
    }
    co_return digest;
}

QCoro::Task<GatewayLinkState> gatewayHandshake(CredentialStore *credentials, GatewayTarget target,
                                               std::chrono::milliseconds timeout)
{
    // A gateway that has just come up refuses for a few seconds ("gateway
    // starting; retry shortly"): a few quick retries within the limit.
    GatewayWebSocket::Timings timings;
    timings.challengeTimeout = timeout;
    timings.link.initialDelay = std::chrono::milliseconds(500);
    timings.link.maxDelay = std::chrono::seconds(4);
    timings.link.attemptsPerRound = 6;
    GatewayWebSocket socket(credentials, timings);
    // A probe looks; approving a pending device is the running bridge's job.
    socket.setOpenClawBinaryPath(std::nullopt);
    socket.setTlsPin(target.tlsPin);
    socket.setListenerOwners(target.listenerOwners);

    // A stored device token that the gateway refuses is dropped, and the
    // next attempt signs in with the gateway token: that refusal is not the
    // answer yet.
    const bool deviceTokenStored =
        DeviceTokens(credentials).load(target.credentialOrigin()).valueOr(std::nullopt).has_value();
    int unauthorizedAnswers = 0;
    // The last refusal says why; the final "Connection failed" does not.
    QString lastRefusal;
    QObject context;
    QObject::connect(&socket, &GatewayWebSocket::stateChanged, &context, [&](const GatewayLinkState &state) {
        if (state.kind() != GatewayLinkState::Kind::error || state.errorText() == QLatin1String("Connection failed"))
            return;
        lastRefusal = state.errorText();
        if (lastRefusal.contains(QLatin1String("unauthorized")))
            ++unauthorizedAnswers;
    });
    const auto settled = [&] {
        const GatewayLinkState state = socket.state();
        return state.kind() == GatewayLinkState::Kind::connected ||
               (state.kind() == GatewayLinkState::Kind::error &&
                (state.errorText().startsWith(QLatin1String("Device not paired")) ||
                 state.errorText().startsWith(QLatin1String("The gateway's certificate changed")) ||
                 (state.errorText().contains(QLatin1String("unauthorized")) &&
                  unauthorizedAnswers > (deviceTokenStored ? 1 : 0)) ||
                 state.errorText() == QLatin1String("Connection failed")));
    };
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(timeout);
    socket.connect(target.endpoint, target.token);
    while (!settled() && timer.isActive())
        co_await nextEmission(&socket, &GatewayWebSocket::stateChanged,
                              std::chrono::milliseconds(timer.remainingTime() + 1));

    GatewayLinkState state = socket.state();
    if (state.kind() != GatewayLinkState::Kind::connected &&
        !state.errorText().startsWith(QLatin1String("Device not paired"))) {
        const QString why =
            !lastRefusal.isEmpty() ? lastRefusal : QStringLiteral("no handshake within %1 s").arg(inSeconds(timeout));
        state = GatewayLinkState::error(why);
    }
    socket.disconnect();
    co_return state;
}

QCoro::Task<GatewayProbe> probeGateway(GatewayTarget target, GatewayProbeOptions options)
{
    GatewayProbe probe;
    probe.mobileAgent = target.hasMobileAgent();
    probe.version = target.toolVersion;
    const QUrl endpoint = target.endpoint;

    if (target.tlsEnabled) {
        const std::optional<QByteArray> presented = co_await presentedCertificateSha256(
            endpoint.host(), quint16(endpoint.port(443)), options.timeout, options.context);
        if (presented) {
            probe.tlsSha256 = *presented;
            probe.tlsPinMatches = !target.tlsPin.isEmpty() && *presented == target.tlsPin;
        }
    }

    const Answer healthz =
        co_await ask(toGateway(target, QStringLiteral("/healthz")), options.timeout, options.context);
    probe.healthzStatus = healthz.status;
    probe.reachable = healthz.status == 200;
    if (!probe.reachable) {
        probe.problem =
            healthz.status ? QStringLiteral("GET /healthz answered %1").arg(*healthz.status) : healthz.error;
        if (!target.tlsProblem.isEmpty())
            probe.problem += QStringLiteral(" (%1)").arg(target.tlsProblem);
        co_return probe;
    }
    // The health answer carries no secret; what follows does. A loopback
    // port that another user holds gets none of it.
    if (target.tlsPin.isEmpty()) {
        if (const std::optional<QString> refusal = loopbackCredentialRefusal(endpoint, target.listenerOwners)) {
            probe.listenerRefusal = *refusal;
            const QHostAddress address(endpoint.host());
            const Result<uint> uid =
                listenerOwnerUid(address.isNull() ? QHostAddress(QHostAddress::LocalHost) : address,
                                 quint16(endpoint.port(target.tlsEnabled ? 443 : 80)));
            if (uid) {
                const QString name = userNameOf(uid.value());
                probe.listenerOwner = name.isEmpty() ? QString::number(uid.value()) : name;
            }
            co_return probe;
        }
    }

    if (options.chatEndpoint) {
        // An empty message list must be refused without running the agent:
        // 400 means the endpoint is on, 404 off. The model list is no guide:
        // OpenClaw 2026.5 answers GET /v1/models with its control page (200)
        // while the endpoint is off.
        const QJsonObject body{{QStringLiteral("model"), QStringLiteral("openclaw/") + GatewayTarget::mobileAgentId()},
                               {QStringLiteral("messages"), QJsonArray()}};
        FetchRequest chatRequest = toGateway(target, QStringLiteral("/v1/chat/completions"));
        chatRequest.method = QByteArrayLiteral("POST");
        chatRequest.headers = {{QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/json")}};
        chatRequest.body = QJsonDocument(body).toJson(QJsonDocument::Compact);
        chatRequest.bearerToken = target.token;
        const Answer chat = co_await ask(std::move(chatRequest), std::max(options.timeout, options.chatEndpointTimeout),
                                         options.context);
        probe.chatEndpointStatus = chat.status;
        const int status = chat.status.value_or(0);
        if (status == 400)
            probe.chatEndpoint = ChatEndpointState::on;
        else if (status == 404)
            probe.chatEndpoint = ChatEndpointState::off;
        if (status == 401 || status == 403)
            probe.tokenAccepted = false;
        else if (status == 400)
            probe.tokenAccepted = true;
    }

    if (options.handshake) {
        probe.handshake = co_await gatewayHandshake(options.credentials, target, options.handshakeTimeout);
        if (probe.handshake.kind() == GatewayLinkState::Kind::connected) {
            probe.devicePaired = true;
            probe.tokenAccepted = true;
        } else if (probe.handshake.errorText().startsWith(QLatin1String("Device not paired"))) {
            probe.devicePaired = false;
            probe.tokenAccepted = true;
        } else if (probe.handshake.errorText().contains(QLatin1String("unauthorized"))) {
            probe.devicePaired = false;
            probe.tokenAccepted = false;
        }
    }
    co_return probe;
}

} // namespace halvex
