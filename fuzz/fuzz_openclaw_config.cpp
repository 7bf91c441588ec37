// OpenClaw's configuration file: the JSON5 reader agrees with a plain JSON
// reader on plain JSON (JSON is JSON5) and reads its own output back the
// same; the configuration read from it holds only usable values; and the
// gateway endpoint made from them is a valid http URL with a literal
// address and the configured port, which maps to a ws:// URL.

#include "fuzz_support.h"

#include "gateway/gateway_protocol.h"
#include "gateway/openclaw_config.h"
#include "platform/json5.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>

using namespace halvex;

namespace {

int depthOf(const QJsonValue &value)
{
    int deepest = 0;
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            deepest = std::max(deepest, depthOf(it.value()));
        return deepest + 1;
    }
    if (value.isArray()) {
        for (const QJsonValue &element : value.toArray())
            deepest = std::max(deepest, depthOf(element));
        return deepest + 1;
    }
    return 0;
}

QJsonValue documentValue(const QJsonDocument &document)
{
    return document.isObject() ? QJsonValue(document.object()) : QJsonValue(document.array());
}

void checkJson5(const QByteArray &text)
{
    const Result<QJsonValue> parsed = parseJson5(text);
    if (!parsed) {
        FUZZ_CHECK(!parsed.error().description().isEmpty());
    } else if (parsed->isObject() || parsed->isArray()) {
        // What it read, written as JSON, reads back the same (when JSON can
        // hold it: no infinities or NaN).
        const QJsonDocument document =
            parsed->isObject() ? QJsonDocument(parsed->toObject()) : QJsonDocument(parsed->toArray());
        const QByteArray json = document.toJson(QJsonDocument::Compact);
        if (documentValue(QJsonDocument::fromJson(json)) == *parsed) {
            const Result<QJsonValue> again = parseJson5(json);
            FUZZ_CHECK(again.ok());
            FUZZ_CHECK(*again == *parsed);
        }
    }
    // Plain JSON, as Qt writes it, is read the same (within the depth
    // limit). (Qt's reader itself is laxer than JSON: raw control characters
    // in strings, for one, which JSON5 rightly refuses.)
    QJsonParseError error;
    const QJsonDocument plain = QJsonDocument::fromJson(text, &error);
    if (error.error == QJsonParseError::NoError && depthOf(documentValue(plain)) <= Json5Limits{}.maxDepth) {
        const QByteArray canonical = plain.toJson(QJsonDocument::Indented);
        if (documentValue(QJsonDocument::fromJson(canonical)) == documentValue(plain)) {
            const Result<QJsonValue> fromCanonical = parseJson5(canonical);
            FUZZ_CHECK(fromCanonical.ok());
            FUZZ_CHECK(*fromCanonical == documentValue(plain));
        }
    }
}

void checkEndpoint(const OpenClawConfig &config)
{
    const QString lan = QStringLiteral("192.168.7.20");
    const QUrl endpoint = localGatewayEndpoint(config);
    FUZZ_CHECK(endpoint.isValid());
    FUZZ_CHECK(endpoint.scheme() == (config.tlsEnabled ? QLatin1String("https") : QLatin1String("http")));
    FUZZ_CHECK(endpoint.port() == config.port());
    FUZZ_CHECK(!QHostAddress(endpoint.host()).isNull());
    FUZZ_CHECK(endpoint.path().isEmpty() && endpoint.userInfo().isEmpty() && !endpoint.hasQuery());
    const std::optional<QUrl> ws = GatewayProtocol::webSocketUrl(endpoint);
    FUZZ_CHECK(ws.has_value());
    FUZZ_CHECK(ws->scheme() == (config.tlsEnabled ? QLatin1String("wss") : QLatin1String("ws")) &&
               ws->host() == endpoint.host() && ws->port() == config.port());
    // Where the phone is sent is never this machine's loopback.
    if (const std::optional<QUrl> phone = phoneGatewayEndpoint(config, lan)) {
        FUZZ_CHECK(phone->isValid() && !QHostAddress(phone->host()).isNull());
        FUZZ_CHECK(!QHostAddress(phone->host()).isLoopback());
    }
}

void checkConfig(const QByteArray &text)
{
    const EnvironmentLookup environment = [](const QString &name) -> std::optional<QString> {
        if (name == QLatin1String("OPENCLAW_GATEWAY_TOKEN"))
            return QStringLiteral("from-environment");
        return std::nullopt;
    };
    const Result<OpenClawConfig> config = parseOpenClawConfig(text, environment);
    const Result<QJsonValue> json5 = parseJson5(text);
    FUZZ_CHECK(config.ok() == (json5.ok() && json5->isObject()));
    if (!config)
        return;
    FUZZ_CHECK(config->document == json5->toObject());
    if (config->gatewayPort)
        FUZZ_CHECK(*config->gatewayPort >= 1 && *config->gatewayPort <= 65535);
    if (config->gatewayToken) {
        FUZZ_CHECK(!config->gatewayToken->isEmpty());
        FUZZ_CHECK(!isRedactedSecret(*config->gatewayToken));
        FUZZ_CHECK(config->tokenProblem.isEmpty());
    }
    for (const OpenClawAgent &agent : config->agents)
        FUZZ_CHECK(config->hasAgent(agent.id) && config->agentIds().contains(agent.id));
    checkEndpoint(*config);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text = fuzz::bytes(data, size);
    checkJson5(text);
    checkConfig(text);
    return 0;
}
