#include "account/pairing_payload.h"

#include "platform/logging.h"

#include "platform/deployment.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>

namespace halvex {

PairingPayloadBuilder::PairingPayloadBuilder(QUrl relayWebSocketOrigin)
    : m_relayWebSocketOrigin(std::move(relayWebSocketOrigin))
{
}

bool PairingPayloadBuilder::isUsableGatewayToken(const std::optional<QString> &token)
{
    return token && !token->isEmpty() && !isRedactedSecret(*token);
}

std::optional<QString> PairingPayloadBuilder::gatewayAddress(const PairingPayloadInputs &inputs) const
{
    if (!inputs.gatewayURL || !isUsableGatewayToken(inputs.gatewayToken))
        return std::nullopt;
    const QUrl &url = *inputs.gatewayURL;
    QString host = url.host();
    // The phone can never reach this machine's loopback: the master token
    // would go out for an address that does not answer.
    if (host.isEmpty() || isLoopbackHost(host))
        return std::nullopt;
    // An IPv6 literal needs its brackets, or the port would read as part of it.
    if (QHostAddress(host).protocol() == QAbstractSocket::IPv6Protocol)
        host = QLatin1Char('[') + host + QLatin1Char(']');
    // A gateway served over TLS is reached over TLS.
    const QString scheme = url.scheme() == QLatin1String("https") ? QStringLiteral("wss://") : QStringLiteral("ws://");
    return scheme + host + QLatin1Char(':') + QString::number(url.port(defaultGatewayPort));
}

QByteArray PairingPayloadBuilder::build(const PairingPayloadInputs &inputs) const
{
    QJsonObject payload{
        {QStringLiteral("type"), QStringLiteral("halvex")},
        {QStringLiteral("version"), 1},
        {QStringLiteral("name"), inputs.bridgeName},
    };
    if (const std::optional<QString> address = gatewayAddress(inputs)) {
        QJsonObject gateway{{QStringLiteral("url"), *address}, {QStringLiteral("token"), *inputs.gatewayToken}};
        if (address->startsWith(QLatin1String("wss://")) && inputs.gatewayTlsSha256.size() == 32)
            gateway.insert(QStringLiteral("tlsSha256"),
                           QString::fromLatin1(inputs.gatewayTlsSha256.toHex(':').toUpper()));
        payload.insert(QStringLiteral("gateway"), gateway);
    }
    if (inputs.bridgeId) {
        QJsonObject relay{{QStringLiteral("url"), m_relayWebSocketOrigin.toString()},
                          {QStringLiteral("bridgeId"), *inputs.bridgeId}};
        if (inputs.code)
            relay.insert(QStringLiteral("code"), *inputs.code);
        payload.insert(QStringLiteral("relay"), relay);
    }
    // QJsonObject keeps its keys sorted; Compact writes no spaces.
    const QByteArray text = QJsonDocument(payload).toJson(QJsonDocument::Compact);
    if (text.isEmpty()) {
        qCCritical(lcQr, "Failed to build unified QR payload");
        return QByteArrayLiteral("{}");
    }
    qCInfo(lcQr, "Built unified QR payload (%ld bytes)", long(text.size()));
    return text;
}

} // namespace halvex
