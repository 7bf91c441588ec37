// The relay account API's answers decode or fail with a reason; the running
// bridge's request handler reloads only on its own request; and the pairing
// payload the phone scans is valid JSON that carries the gateway token, the
// name, the bridge id and the code back unchanged, with the gateway's
// scheme (TLS or not) and port kept.

#include "fuzz_support.h"

#include "account/bridge_requests.h"
#include "account/pairing_payload.h"
#include "account/relay_auth_service.h"
#include "platform/deployment.h"
#include "platform/json5.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>

using namespace halvex;

namespace {

template <typename Record>
void checkDecode(const QByteArray &json)
{
    const Result<Record> record = Record::decode(json);
    if (!record)
        FUZZ_CHECK(!record.error().description().isEmpty());
}

void checkPayload(fuzz::Input &input)
{
    const QString url = QString::fromUtf8(input.chunk());
    PairingPayloadInputs inputs;
    inputs.bridgeName = QString::fromUtf8(input.chunk());
    inputs.gatewayURL = QUrl(url);
    const QByteArray tokenBytes = input.chunk();
    // Raw UTF-16 as well: a token may hold anything a file can.
    inputs.gatewayToken = input.flag()
                              ? QString::fromUtf8(tokenBytes)
                              : QString(reinterpret_cast<const QChar *>(tokenBytes.constData()), tokenBytes.size() / 2);
    if (input.flag())
        inputs.bridgeId = QString::fromUtf8(input.chunk());
    if (input.flag())
        inputs.code = QString::fromUtf8(input.chunk());

    const PairingPayloadBuilder builder(QUrl(QStringLiteral("wss://relay.example")));
    const QByteArray text = builder.build(inputs);
    // Read back with the JSON5 reader: Qt's own JSON reader drops a U+FEFF
    // that starts a string, which the phone's reader keeps.
    const Result<QJsonValue> parsed = parseJson5(text);
    FUZZ_CHECK(parsed.ok() && parsed->isObject());
    const QJsonObject payload = parsed->toObject();
    FUZZ_CHECK(payload.value(QLatin1String("type")) == QLatin1String("halvex"));
    FUZZ_CHECK(payload.value(QLatin1String("name")).toString() == inputs.bridgeName);

    const std::optional<QString> address = builder.gatewayAddress(inputs);
    const QJsonObject gateway = payload.value(QLatin1String("gateway")).toObject();
    FUZZ_CHECK(payload.contains(QLatin1String("gateway")) == address.has_value());
    if (address) {
        FUZZ_CHECK(gateway.value(QLatin1String("token")).toString() == *inputs.gatewayToken);
        FUZZ_CHECK(gateway.value(QLatin1String("url")).toString() == *address);
        const QUrl parsed(*address, QUrl::StrictMode);
        FUZZ_CHECK(parsed.isValid());
        const bool tls = inputs.gatewayURL->scheme() == QLatin1String("https");
        FUZZ_CHECK(parsed.scheme() == (tls ? QLatin1String("wss") : QLatin1String("ws")));
        FUZZ_CHECK(parsed.port() == inputs.gatewayURL->port(PairingPayloadBuilder::defaultGatewayPort));
        FUZZ_CHECK(parsed.path().isEmpty() && !parsed.hasQuery() && !parsed.hasFragment() &&
                   parsed.userInfo().isEmpty());
        // The phone is never sent to this machine's loopback.
        FUZZ_CHECK(!isLoopbackHost(parsed.host()));
    }
    const QJsonObject relay = payload.value(QLatin1String("relay")).toObject();
    FUZZ_CHECK(payload.contains(QLatin1String("relay")) == inputs.bridgeId.has_value());
    if (inputs.bridgeId) {
        FUZZ_CHECK(relay.value(QLatin1String("bridgeId")).toString() == *inputs.bridgeId);
        FUZZ_CHECK(relay.contains(QLatin1String("code")) == inputs.code.has_value());
        if (inputs.code)
            FUZZ_CHECK(relay.value(QLatin1String("code")).toString() == *inputs.code);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = fuzz::bytes(data, size);
    checkDecode<AuthResponse>(bytes);
    checkDecode<PairResponse>(bytes);
    checkDecode<PairVerifyResponse>(bytes);
    checkDecode<MessageResponse>(bytes);

    // A request line taken apart and put together again.
    const ParsedBridgeRequest request = parseBridgeRequest(bytes);
    FUZZ_CHECK(!request.name.contains(' ') && bytes.startsWith(request.name));
    if (!request.name.contains('\0') && request.argument.toUtf8() == bytes.mid(request.name.size() + 1))
        FUZZ_CHECK(bridgeRequestLine(request.name.constData(), request.argument) ==
                   (request.argument.isEmpty() ? request.name : bytes));

    fuzz::Input input(data, size);
    checkPayload(input);
    return 0;
}
