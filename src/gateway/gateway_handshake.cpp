#include "gateway/gateway_handshake.h"

#include "gateway/connect_request_builder.h"
#include "gateway/gateway_device_identity.h"
#include "platform/deployment.h"
#include "platform/logging.h"
#include "platform/net/web_socket_client.h"
#include "platform/secrets/credential_store.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QTimer>
#include <QUuid>

#include <qcoro/qcorotimer.h>

#include <algorithm>
#include <chrono>

namespace halvex {

using GatewayProtocol::Frame;

namespace {

std::chrono::milliseconds toMs(double seconds)
{
    return std::chrono::milliseconds(qint64(std::max(0.0, seconds) * 1000.0));
}

QString freshId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

// The gateway refused the credential itself (not the device or the request).
bool isAuthRejection(const Frame &frame)
{
    static const QStringList codes = {QStringLiteral("UNAUTHORIZED"),  QStringLiteral("AUTH_FAILED"),
                                      QStringLiteral("AUTH_REQUIRED"), QStringLiteral("INVALID_AUTH"),
                                      QStringLiteral("INVALID_TOKEN"), QStringLiteral("TOKEN_INVALID"),
                                      QStringLiteral("FORBIDDEN")};
    if (codes.contains(frame.errorCode.toUpper()) || frame.errorCode.startsWith(QLatin1String("AUTH_")))
        return true;
    const QString message = frame.errorMessage.toLower();
    return message.contains(QLatin1String("token")) || message.contains(QLatin1String("unauthorized")) ||
           message.contains(QLatin1String("auth"));
}

} // namespace

GatewayHandshake::GatewayHandshake(CredentialStore *credentials, Timings timings, ProcessRunner processRunner,
                                   QObject *parent)
    : QObject(parent), m_credentials(credentials), m_timings(timings), m_watchdog(new QTimer(this)),
      m_approver(new PairingApprover(std::move(processRunner), timings.approval, {}, this))
{
    m_watchdog->setSingleShot(true);
    QObject::connect(m_watchdog, &QTimer::timeout, this, [this] {
        const Waiting waited = std::exchange(m_waiting, Waiting::nothing);
        if (!m_socket)
            return;
        if (waited == Waiting::challenge) {
            qCCritical(lcOcWs, "No challenge received within 10s");
            Q_EMIT challengeMissed();
        } else if (waited == Waiting::response) {
            qCCritical(lcOcWs, "No connect response within %fs", m_timings.connectResponseTimeout);
            Q_EMIT attemptFailed(QStringLiteral("No connect response"));
        }
    });
    ensureDeviceIdentity();
}

GatewayHandshake::~GatewayHandshake() = default;

bool GatewayHandshake::ensureDeviceIdentity()
{
    if (m_deviceIdentity)
        return true;
    auto identity = GatewayDeviceIdentity::create(m_credentials);
    if (!identity.ok()) {
        qCCritical(lcOcWs, "Failed to initialize device identity: %s", qUtf8Printable(identity.error().description()));
        return false;
    }
    m_deviceIdentity = std::move(identity).value();
    return true;
}

void GatewayHandshake::reset()
{
    m_autoApprovalAttempted = false;
    m_approver->reset();
    ++m_generation;
}

void GatewayHandshake::cancel()
{
    ++m_generation;
}

void GatewayHandshake::wait(Waiting what, double seconds)
{
    m_waiting = what;
    m_watchdog->start(toMs(seconds));
}

void GatewayHandshake::begin(WebSocketClient *socket)
{
    m_socket = socket;
    wait(Waiting::challenge, m_timings.challengeTimeout);
}

void GatewayHandshake::stopWaiting()
{
    m_waiting = Waiting::nothing;
    m_watchdog->stop();
}

std::optional<QString> GatewayHandshake::answerChallenge(const QJsonObject &payload, bool hasPayload,
                                                         const QString &gatewayToken)
{
    const QJsonValue nonce = payload.value(QLatin1String("nonce"));
    if (!hasPayload || payload.isEmpty() || !nonce.isString() || nonce.toString().isEmpty()) {
        qCCritical(lcOcWs, "Challenge missing nonce");
        Q_EMIT attemptFailed(QStringLiteral("Invalid challenge"));
        return std::nullopt;
    }
    stopWaiting();
    qCInfo(lcOcWs, "Received connect.challenge");
    QPointer<GatewayHandshake> self(this);
    Q_EMIT stateReported(GatewayLinkState::authenticating());
    if (!self)
        return std::nullopt;

    // Reading the store can wait on a keyring prompt, with the event loop
    // running: the link may have moved on meanwhile.
    const auto generation = m_generation;
    const bool haveIdentity = ensureDeviceIdentity();
    if (!self || generation != m_generation || !m_socket)
        return std::nullopt;
    if (!haveIdentity) {
        // The key could not be read (a locked store): try again later, never
        // with a new identity over the one that could not be read.
        qCCritical(lcOcWs, "No device identity — cannot authenticate");
        Q_EMIT attemptFailed(QStringLiteral("No device identity"));
        return std::nullopt;
    }

    ConnectRequestBuilder::Input input;
    input.requestId = freshId();
    input.deviceId = m_deviceIdentity->deviceId();
    input.publicKeyBase64Url = m_deviceIdentity->publicKeyBase64Url();
    input.sign = [identity = m_deviceIdentity.get()](const QString &text) { return identity->sign(text); };
    input.nonce = nonce.toString();
    input.signedAtMs = QDateTime::currentMSecsSinceEpoch();
    const std::optional<QString> deviceToken = m_deviceIdentity->loadDeviceToken();
    if (!self || generation != m_generation || !m_socket)
        return std::nullopt;
    m_sentDeviceToken = deviceToken && !deviceToken->isEmpty();
    if (m_sentDeviceToken) {
        qCInfo(lcOcWs, "Using stored deviceToken for auth");
        input.authKey = QStringLiteral("deviceToken");
        input.token = *deviceToken;
    } else {
        qCInfo(lcOcWs, "Using gateway token for initial auth");
        input.authKey = QStringLiteral("token");
        input.token = gatewayToken;
    }
    if (!GatewayProtocol::isEncodable(input.token) || !GatewayProtocol::isEncodable(input.nonce)) {
        qCCritical(lcOcWs, "Failed to serialize connect request");
        Q_EMIT stopped(QStringLiteral("Serialization failed"));
        return std::nullopt;
    }
    const Result<QJsonObject> request = ConnectRequestBuilder::build(input);
    if (!request.ok()) {
        qCCritical(lcOcWs, "Signing failed: %s", qUtf8Printable(request.error().description()));
        Q_EMIT stopped(QStringLiteral("Signing failed"));
        return std::nullopt;
    }
    if (!m_socket)
        return std::nullopt;
    const qint64 sent = m_socket->sendText(QJsonDocument(request.value()).toJson(QJsonDocument::Compact));
    if (sent <= 0) {
        const QString why =
            m_socket->errorString().isEmpty() ? QStringLiteral("Socket is not connected") : m_socket->errorString();
        qCCritical(lcOcWs, "Failed to send connect request: %s", qUtf8Printable(why));
        Q_EMIT stopped(QStringLiteral("Send failed"));
        return std::nullopt;
    }
    qCInfo(lcOcWs, "Sent connect request %s", qUtf8Printable(input.requestId));
    wait(Waiting::response, m_timings.connectResponseTimeout);
    return input.requestId;
}

void GatewayHandshake::accepted(const Frame &response)
{
    const QJsonObject auth = response.payload.value(QLatin1String("auth")).toObject();
    const QString deviceToken = auth.value(QLatin1String("deviceToken")).toString();
    if (!deviceToken.isEmpty() && m_deviceIdentity && m_deviceIdentity->saveDeviceToken(deviceToken))
        qCInfo(lcOcWs, "Saved deviceToken from hello-ok");
    m_autoApprovalAttempted = false;
    m_approver->reset();
}

std::optional<QString> GatewayHandshake::refused(const Frame &response)
{
    if (response.errorCode == QLatin1String("NOT_PAIRED")) {
        handleNotPaired(response);
        return std::nullopt;
    }
    qCCritical(lcOcWs, "Connect failed: [%s] %s", qUtf8Printable(quotedForLog(response.errorCode, 80)),
               qUtf8Printable(quotedForLog(response.errorMessage)));
    if (m_sentDeviceToken && isAuthRejection(response)) {
        // A stale or planted device token must not lock this path out: drop
        // it, and the next attempt signs in with the gateway token.
        qCCritical(lcOcWs, "The gateway rejected the stored device token — retrying with the gateway token");
        if (m_deviceIdentity)
            m_deviceIdentity->forgetDeviceToken();
        else
            (void)m_credentials->deleteItem(CredentialService::openClawDeviceToken());
    }
    return response.errorMessage;
}

void GatewayHandshake::handleNotPaired(const Frame &response)
{
    if (m_autoApprovalAttempted) {
        qCCritical(lcOcWs, "Device NOT_PAIRED — auto-approval already attempted. Run: openclaw devices approve");
        Q_EMIT stateReported(GatewayLinkState::error(QStringLiteral("Device not paired — approve in OpenClaw")));
        return;
    }
    qCCritical(lcOcWs, "Device NOT_PAIRED — attempting auto-approval...");
    m_autoApprovalAttempted = true;
    Q_EMIT stateReported(GatewayLinkState::authenticating());

    if (!m_openClawBinaryPath || m_openClawBinaryPath->isEmpty()) {
        qCCritical(lcOcWs, "Cannot auto-approve — openclaw binary path not set");
        Q_EMIT stateReported(GatewayLinkState::error(QStringLiteral("Device not paired")));
        return;
    }
    if (!m_deviceIdentity)
        return;

    // The refusal may name the pending request; the approver uses it only
    // when the tool's own listing shows it pending for this device.
    const QString deviceId = m_deviceIdentity->deviceId();
    QString hinted = response.errorDetails.value(QLatin1String("requestId")).toString();
    const QJsonValue hintedDevice = response.errorDetails.value(QLatin1String("deviceId"));
    if (hintedDevice.isString() && hintedDevice.toString() != deviceId)
        hinted.clear();
    runAutoApproval(*m_openClawBinaryPath, deviceId, hinted);
}

QCoro::Task<> GatewayHandshake::runAutoApproval(QString binaryPath, QString deviceId, QString hintedRequestId)
{
    QPointer<GatewayHandshake> self(this);
    const quint64 generation = m_generation;
    auto stillWanted = [&] { return self && self->m_generation == generation; };

    const bool approved = co_await m_approver->approve(binaryPath, deviceId, hintedRequestId);
    if (!stillWanted())
        co_return;
    if (!approved) {
        Q_EMIT stateReported(GatewayLinkState::error(m_approver->failureText()));
        co_return;
    }
    co_await QCoro::sleepFor(toMs(m_timings.approvalReconnectDelay));
    if (!stillWanted())
        co_return;
    Q_EMIT this->approved();
}

} // namespace halvex
