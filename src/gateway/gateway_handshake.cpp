#include "gateway/gateway_handshake.h"

#include "gateway/connect_request_builder.h"
#include "gateway/device_tokens.h"
#include "gateway/gateway_device_identity.h"
#include "gateway/pairing_approver.h"
#include "platform/characters.h"
#include "platform/deployment.h"
#include "platform/logging.h"
#include "platform/secrets/credential_store.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QPointer>
#include <QUuid>

namespace halvex {

using GatewayProtocol::Frame;

namespace {

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

GatewayHandshake::GatewayHandshake(CredentialStore *credentials, PairingApprover::Timings approval,
                                   ProcessRunner processRunner, QObject *parent)
    : QObject(parent), m_credentials(credentials),
      m_approver(new PairingApprover(std::move(processRunner), approval, {}, this))
{
    ensureDeviceIdentity();
}

GatewayHandshake::~GatewayHandshake() = default;

bool GatewayHandshake::ensureDeviceIdentity()
{
    if (m_deviceIdentity)
        return true;
    auto identity = GatewayDeviceIdentity::create(m_credentials);
    if (!identity.ok()) {
        qCCritical(lcOcWs, "Failed to initialize device identity: %s",
                   qUtf8Printable(quotedForLog(identity.error().description())));
        return false;
    }
    m_deviceIdentity = std::move(identity).value();
    return true;
}

void GatewayHandshake::reset()
{
    m_autoApprovalAttempted = false;
    m_approver->reset();
}

GatewayHandshake::ConnectRequest GatewayHandshake::connectRequest(const QString &nonce, const QString &gatewayToken,
                                                                  const QString &origin)
{
    ConnectRequest out;
    m_origin = origin;
    QPointer<GatewayHandshake> self(this);
    if (!ensureDeviceIdentity()) {
        // The key could not be read (a locked store): try again later, never
        // with a new identity over the one that could not be read.
        qCCritical(lcOcWs, "No device identity — cannot authenticate");
        out.failure = QStringLiteral("No device identity");
        return out;
    }
    if (!self)
        return out;

    ConnectRequestBuilder::Input input;
    input.requestId = freshId();
    input.deviceId = m_deviceIdentity->deviceId();
    input.publicKeyBase64Url = m_deviceIdentity->publicKeyBase64Url();
    input.sign = [identity = m_deviceIdentity.get()](const QString &text) { return identity->sign(text); };
    input.nonce = nonce;
    input.signedAtMs = QDateTime::currentMSecsSinceEpoch();
    const std::optional<QString> deviceToken = m_deviceIdentity->loadDeviceToken(origin);
    if (!self)
        return out;
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
        out.failure = QStringLiteral("Serialization failed");
        out.retry = false;
        return out;
    }
    const Result<QJsonObject> request = ConnectRequestBuilder::build(input);
    if (!request.ok()) {
        qCCritical(lcOcWs, "Signing failed: %s", qUtf8Printable(quotedForLog(request.error().description())));
        out.failure = QStringLiteral("Signing failed");
        out.retry = false;
        return out;
    }
    out.id = input.requestId;
    out.json = QJsonDocument(request.value()).toJson(QJsonDocument::Compact);
    return out;
}

void GatewayHandshake::accepted(const Frame &response)
{
    const QJsonObject auth = response.payload.value(QLatin1String("auth")).toObject();
    const QString deviceToken = auth.value(QLatin1String("deviceToken")).toString();
    if (!deviceToken.isEmpty() && m_deviceIdentity && m_deviceIdentity->saveDeviceToken(m_origin, deviceToken))
        qCInfo(lcOcWs, "Saved deviceToken from hello-ok");
    m_autoApprovalAttempted = false;
    m_approver->reset();
}

GatewayHandshake::Refusal GatewayHandshake::refused(const Frame &response)
{
    if (response.errorCode == QLatin1String("NOT_PAIRED")) {
        if (m_autoApprovalAttempted) {
            qCCritical(lcOcWs, "Device NOT_PAIRED — auto-approval already attempted. Run: openclaw devices approve");
            return {Refusal::Next::stop, PairingApprover::notPairedText()};
        }
        qCCritical(lcOcWs, "Device NOT_PAIRED — attempting auto-approval...");
        m_autoApprovalAttempted = true;
        return {Refusal::Next::approve, QString()};
    }
    qCCritical(lcOcWs, "Connect failed: [%s] %s", qUtf8Printable(quotedForLog(response.errorCode, 80)),
               qUtf8Printable(quotedForLog(response.errorMessage)));
    if (m_sentDeviceToken && isAuthRejection(response)) {
        // A stale or planted device token must not lock this path out: drop
        // it, and the next attempt signs in with the gateway token.
        qCCritical(lcOcWs, "The gateway rejected the stored device token — retrying with the gateway token");
        if (m_deviceIdentity)
            m_deviceIdentity->forgetDeviceToken(m_origin);
        else
            (void)DeviceTokens(m_credentials).forget(m_origin);
    }
    return {Refusal::Next::retry, response.errorMessage};
}

QCoro::Task<std::optional<QString>> GatewayHandshake::approve(Frame refusal)
{
    if (!m_openClawBinaryPath || m_openClawBinaryPath->isEmpty()) {
        qCCritical(lcOcWs, "Cannot auto-approve — openclaw binary path not set");
        co_return QStringLiteral("Device not paired");
    }
    if (!m_deviceIdentity)
        co_return QStringLiteral("Device not paired");

    // The refusal may name the pending request; the approver uses it only
    // when the tool's own listing shows it pending for this device.
    const QString deviceId = m_deviceIdentity->deviceId();
    QString hinted = refusal.errorDetails.value(QLatin1String("requestId")).toString();
    const QJsonValue hintedDevice = refusal.errorDetails.value(QLatin1String("deviceId"));
    if (hintedDevice.isString() && hintedDevice.toString() != deviceId)
        hinted.clear();

    const QPointer<GatewayHandshake> self(this);
    const QPointer<PairingApprover> approver(m_approver);
    const bool approved = co_await approver->approve(*m_openClawBinaryPath, deviceId, hinted);
    if (!self || !approver)
        co_return QStringLiteral("Device not paired");
    if (!approved)
        co_return approver->failureText();
    co_return std::nullopt;
}

} // namespace halvex
