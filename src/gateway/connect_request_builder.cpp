#include "gateway/connect_request_builder.h"

#include "gateway/gateway_protocol.h"

#include <QJsonArray>

namespace halvex::ConnectRequestBuilder {

QStringList scopes()
{
    return {QStringLiteral("operator.write")};
}

QString signedPayload(const Input &input)
{
    return QStringList{QStringLiteral("v2"),
                       input.deviceId,
                       QLatin1String(kClientId),
                       QLatin1String(kClientMode),
                       QLatin1String(kRole),
                       input.scopes.join(QLatin1Char(',')),
                       QString::number(input.signedAtMs),
                       input.token,
                       input.nonce}
        .join(QLatin1Char('|'));
}

Result<QJsonObject> build(const Input &input)
{
    if (!GatewayProtocol::isEncodable(input.token) || !GatewayProtocol::isEncodable(input.nonce))
        return Error::plain(QStringLiteral("Serialization failed"));
    if (!input.sign)
        return Error::plain(QStringLiteral("No signer"));
    const Result<QString> signature = input.sign(signedPayload(input));
    if (!signature.ok())
        return signature.error();
    const QJsonObject params{
        // Gateways from 2026.9 speak protocol 4 and refuse a client that
        // offers only 3; older ones answer with 3.
        {QStringLiteral("minProtocol"), 3},
        {QStringLiteral("maxProtocol"), 4},
        {QStringLiteral("client"), QJsonObject{{QStringLiteral("id"), QLatin1String(kClientId)},
                                               {QStringLiteral("version"), QLatin1String(kClientVersion)},
                                               {QStringLiteral("platform"), QLatin1String(kClientPlatform)},
                                               {QStringLiteral("mode"), QLatin1String(kClientMode)}}},
        {QStringLiteral("role"), QLatin1String(kRole)},
        {QStringLiteral("scopes"), QJsonArray::fromStringList(input.scopes)},
        {QStringLiteral("caps"), QJsonArray{QStringLiteral("voice")}},
        {QStringLiteral("commands"), QJsonArray{}},
        {QStringLiteral("permissions"), QJsonObject{}},
        {QStringLiteral("auth"), QJsonObject{{input.authKey, input.token}}},
        {QStringLiteral("device"), QJsonObject{{QStringLiteral("id"), input.deviceId},
                                               {QStringLiteral("publicKey"), input.publicKeyBase64Url},
                                               {QStringLiteral("signature"), signature.value()},
                                               {QStringLiteral("signedAt"), input.signedAtMs},
                                               {QStringLiteral("nonce"), input.nonce}}},
    };
    return QJsonObject{{QStringLiteral("type"), QStringLiteral("req")},
                       {QStringLiteral("id"), input.requestId},
                       {QStringLiteral("method"), QStringLiteral("connect")},
                       {QStringLiteral("params"), params}};
}

} // namespace halvex::ConnectRequestBuilder
