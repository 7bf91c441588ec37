#include "account/pairing_payload.h"

#include "platform/logging.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>

namespace halvex {

PairingPayloadBuilder::PairingPayloadBuilder(QUrl relayWebSocketOrigin, LocalAddressLookup localIPAddress)
    : m_relayWebSocketOrigin(std::move(relayWebSocketOrigin)), m_localIPAddress(std::move(localIPAddress))
{
}

bool PairingPayloadBuilder::isUsableGatewayToken(const std::optional<QString> &token)
{
    return token && !token->isEmpty() && !token->startsWith(QLatin1String("__OPENCLAW_REDACTED"));
}

std::optional<QString> PairingPayloadBuilder::gatewayAddress(const PairingPayloadInputs &inputs) const
{
    if (!inputs.gatewayURL || !isUsableGatewayToken(inputs.gatewayToken))
        return std::nullopt;
    const QUrl &url = *inputs.gatewayURL;
    QString host = url.host().isEmpty() ? QStringLiteral("127.0.0.1") : url.host();
    if (host == QLatin1String("127.0.0.1") || host == QLatin1String("localhost")) {
        if (const std::optional<QString> lan = m_localIPAddress ? m_localIPAddress() : std::nullopt)
            host = *lan;
    }
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
        payload.insert(QStringLiteral("gateway"),
                       QJsonObject{{QStringLiteral("url"), *address}, {QStringLiteral("token"), *inputs.gatewayToken}});
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
