// The doctor's checks, one function each, and their table.
#include "cli/cli.h"
#include "cli/doctor.h"
#include "cli/doctor_probes.h"

#include "gateway/openclaw_ws_state.h"
#include "platform/deployment.h"
#include "platform/keychain_manager.h"
#include "platform/secret_service_module.h"
#include "platform/settings.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

namespace halvex {

namespace {

using Status = CheckOutcome::Status;
using cli::maskSecret;

constexpr int defaultGatewayPort = 18789;
constexpr qint64 configFileCap = 4 * 1024 * 1024;

QString pairFix()
{
    return QStringLiteral("pair this machine: halvex-bridge pair (or the setup wizard in a desktop session)");
}

QString startGatewayFix()
{
    return QStringLiteral("start the gateway: openclaw gateway (or set \"openClawEndpoint\" to where it runs)");
}

QJsonValue member(const QJsonObject &object, std::initializer_list<const char *> path)
{
    QJsonValue value = object;
    for (const char *key : path)
        value = value.toObject().value(QLatin1String(key));
    return value;
}

QCoro::Task<CheckOutcome> checkCredentialStore(const DoctorEnvironment &env, DoctorFindings &found)
{
    SecretBackend *store = env.keychain->primary();
    const SecretLookup probe = store->lookup({CredentialService::bridge(), {}});
    QString name = store->name();
    if (name == QLatin1String("secret-service"))
        name = QStringLiteral("Secret Service");
    else if (name == QLatin1String("file") && !SecretServiceModule::problem().isEmpty())
        name = QStringLiteral("private file store (Secret Service support is not usable: %1)")
                   .arg(SecretServiceModule::problem());
    else if (name == QLatin1String("file"))
        name = QStringLiteral("private file store (no Secret Service answered)");
    if (!probe) {
        co_return CheckOutcome::fail(name + QStringLiteral(" does not answer: ") + probe.error().description(),
                                     QStringLiteral("unlock the keyring (gnome-keyring or KWallet) of this session, "
                                                    "or check the mode of the credentials file (0600, yours)"));
    }
    found.credentialStoreReachable = true;
    co_return CheckOutcome::pass(name);
}

QCoro::Task<CheckOutcome> checkBridgeToken(const DoctorEnvironment &env, DoctorFindings &found)
{
    if (!found.credentialStoreReachable)
        co_return CheckOutcome::skip(QStringLiteral("the credential store does not answer"));
    const std::optional<QString> token = env.keychain->load(CredentialService::bridge()).valueOr(std::nullopt);
    if (!token || token->isEmpty())
        co_return CheckOutcome::fail(QStringLiteral("none stored"), pairFix());
    found.bridgeToken = token;
    co_return CheckOutcome::pass(maskSecret(*token));
}

QCoro::Task<CheckOutcome> checkRelay(const DoctorEnvironment &env, DoctorFindings &found)
{
    const QUrl origin = env.relayOrigin;
    const bool secure = origin.scheme() == QLatin1String("wss");
    const quint16 port = quint16(origin.port(secure ? 443 : 80));
    const QString where = origin.toString();
    const QString unreachable = co_await tcpConnectError(origin.host(), port, env.timings.probeTimeoutMs);
    if (!unreachable.isEmpty()) {
        co_return CheckOutcome::fail(where + QStringLiteral(" not reachable: ") + unreachable,
                                     QStringLiteral("check this machine's network connection and proxy settings"));
    }
    if (!found.bridgeToken)
        co_return CheckOutcome::skip(where + QStringLiteral(" reachable; no bridge token to try"));
    const QString refused = co_await relayHandshakeError(origin, *found.bridgeToken, env.timings.handshakeTimeoutMs);
    if (!refused.isEmpty())
        co_return CheckOutcome::fail(where + QStringLiteral(" reachable, bridge token not accepted: ") + refused,
                                     QStringLiteral("pair again: halvex-bridge pair"));
    found.relayAccepted = true;
    co_return CheckOutcome::pass(where + QStringLiteral(" reachable, bridge token accepted"));
}

QCoro::Task<CheckOutcome> checkOpenClawTool(const DoctorEnvironment &env, DoctorFindings &found)
{
    OpenClawLocator locator(std::make_shared<CommandRunner>(),
                            env.openClawPlaces
                                ? *env.openClawPlaces
                                : OpenClawLocator::standardPlaces(env.homeDirectory, processEnvironment));
    const LocatedOpenClaw located = co_await locator.find();
    if (!located.path && !located.problem.isEmpty()) {
        co_return CheckOutcome::fail(located.problem,
                                     QStringLiteral("make `openclaw --version` work in a terminal (a current Node.js "
                                                    "first on PATH), or reinstall: npm install -g openclaw"));
    }
    if (!located.path) {
        co_return CheckOutcome::fail(QStringLiteral("not found"),
                                     QStringLiteral("install OpenClaw: npm install -g openclaw"));
    }
    found.openClawPath = located.path;
    co_return CheckOutcome::pass(QStringLiteral("%1 (%2)").arg(*located.path, located.version));
}

// The gateway's address and token, as the bridge finds them: the stored
// endpoint and token first, then the user's OpenClaw configuration.
void readGatewayCoordinates(const DoctorEnvironment &env, DoctorFindings &found, QString &configNote)
{
    const QString path = env.homeDirectory + QStringLiteral("/.openclaw/openclaw.json");
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(file.read(configFileCap), &parseError);
        if (parseError.error == QJsonParseError::NoError && document.isObject())
            found.openClawConfig = document.object().value(QLatin1String("gateway")).toObject();
        else
            configNote = path + QStringLiteral(" is not plain JSON: ") + parseError.errorString();
    } else {
        configNote = path + QStringLiteral(" not found");
    }
    const QJsonObject gateway = found.openClawConfig.value_or(QJsonObject());

    const QString stored = env.settings->string(SettingsKey::openClawEndpoint).value_or(QString()).trimmed();
    const QUrl storedURL(stored, QUrl::StrictMode);
    if (!stored.isEmpty() && storedURL.isValid() && !storedURL.host().isEmpty()) {
        found.gatewayURL = storedURL;
    } else {
        const int port = member(gateway, {"port"}).toInt(defaultGatewayPort);
        found.gatewayURL = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port));
    }

    QString token = env.keychain->load(CredentialService::openClaw()).valueOr(std::nullopt).value_or(QString());
    if (token.isEmpty() || token.startsWith(QLatin1String("__OPENCLAW_REDACTED")))
        token = member(gateway, {"auth", "token"}).toString();
    if (token.startsWith(QLatin1String("__OPENCLAW_REDACTED")))
        token.clear();
    found.gatewayToken = token;
}

QCoro::Task<CheckOutcome> checkGatewayAnswering(const DoctorEnvironment &env, DoctorFindings &found)
{
    QString configNote;
    readGatewayCoordinates(env, found, configNote);
    const QUrl url = found.gatewayURL;
    const QString where = url.toString();
    const quint16 port = quint16(url.port(url.scheme() == QLatin1String("https") ? 443 : 80));
    const QString refused = co_await tcpConnectError(url.host(), port, env.timings.probeTimeoutMs);
    if (!refused.isEmpty()) {
        QString detail = where + QStringLiteral(" does not answer: ") + refused;
        if (!configNote.isEmpty())
            detail += QStringLiteral(" (") + configNote + QLatin1Char(')');
        co_return CheckOutcome::fail(detail, startGatewayFix());
    }
    found.gatewayAnswering = true;
    // OpenClaw answers its health probe without a token; the WebSocket
    // check below tells whether it is a gateway that takes this bridge.
    QUrl health = url;
    health.setPath(QStringLiteral("/healthz"));
    const HttpAnswer answer = co_await boundedGet(env.network, health, {}, env.timings.probeTimeoutMs);
    co_return CheckOutcome::pass(answer.status == 200 ? where + QStringLiteral(" (live)") : where);
}

QCoro::Task<CheckOutcome> checkHttpChatEndpoint(const DoctorEnvironment &env, DoctorFindings &found)
{
    if (!found.gatewayAnswering)
        co_return CheckOutcome::skip(QStringLiteral("the gateway does not answer"));
    QUrl models = found.gatewayURL;
    models.setPath(QStringLiteral("/v1/models"));
    const HttpAnswer answer = co_await boundedGet(env.network, models, found.gatewayToken, env.timings.probeTimeoutMs);
    const int status = answer.status.value_or(0);
    if (status == 200) {
        found.httpChatEnabled = true;
        found.gatewayTokenAccepted = true;
        co_return CheckOutcome::pass(QStringLiteral("on: chats fall back to /v1/chat/completions while the "
                                                    "WebSocket is down"));
    }
    if (status == 401 || status == 403)
        found.gatewayTokenAccepted = false;
    if (status == 404) {
        found.httpChatEnabled = false;
        // Not a fault: the WebSocket carries chats; only the fallback is missing.
        co_return CheckOutcome::pass(QStringLiteral("off: chats use the gateway WebSocket alone (turn the fallback "
                                                    "on: openclaw config set "
                                                    "gateway.http.endpoints.chatCompletions.enabled true)"));
    }
    if (status == 401 || status == 403)
        co_return CheckOutcome::skip(
            QStringLiteral("cannot tell while the gateway refuses the token (HTTP %1)").arg(status));
    co_return CheckOutcome::skip(QStringLiteral("cannot tell: GET /v1/models answered %1")
                                     .arg(answer.status ? QString::number(status) : answer.error));
}

QCoro::Task<CheckOutcome> checkGatewayWebSocket(const DoctorEnvironment &env, DoctorFindings &found)
{
    if (!found.gatewayAnswering)
        co_return CheckOutcome::skip(QStringLiteral("the gateway does not answer"));
    if (found.gatewayToken.isEmpty())
        co_return CheckOutcome::fail(QStringLiteral("no gateway token"),
                                     QStringLiteral("set gateway.auth.token in ~/.openclaw/openclaw.json "
                                                    "(openclaw config set gateway.auth.token <token>)"));
    const OpenClawWSState state =
        co_await gatewayHandshake(env.keychain, found.gatewayURL, found.gatewayToken, env.timings.handshakeTimeoutMs);
    const QString token = maskSecret(found.gatewayToken);
    if (state.kind() == OpenClawWSState::Kind::connected) {
        found.gatewayTokenAccepted = true;
        found.devicePaired = true;
        co_return CheckOutcome::pass(token + QStringLiteral(" accepted, this device is paired"));
    }
    if (state.errorText().startsWith(QLatin1String("Device not paired"))) {
        found.gatewayTokenAccepted = true;
        co_return CheckOutcome::fail(token + QStringLiteral(" accepted, this device is not paired"),
                                     QStringLiteral("approve it: openclaw devices approve --latest (the running "
                                                    "bridge does this itself when it finds the openclaw tool)"));
    }
    if (found.gatewayTokenAccepted != true)
        found.gatewayTokenAccepted = false;
    co_return CheckOutcome::fail(token + QStringLiteral(" not accepted by the WebSocket: ") + state.errorText(),
                                 QStringLiteral("use the token in gateway.auth.token of ~/.openclaw/openclaw.json"));
}

QCoro::Task<CheckOutcome> checkChatPath(const DoctorEnvironment &, DoctorFindings &found)
{
    QStringList missing;
    if (!found.relayAccepted)
        missing << QStringLiteral("the relay link");
    if (!found.gatewayAnswering)
        missing << QStringLiteral("a gateway that answers");
    else if (found.gatewayTokenAccepted != true)
        missing << QStringLiteral("an accepted gateway token");
    else if (!found.devicePaired && found.httpChatEnabled != true)
        missing << QStringLiteral("a paired device or the HTTP chat endpoint");
    if (!missing.isEmpty())
        co_return CheckOutcome::fail(QStringLiteral("missing ") + missing.join(QStringLiteral(", ")),
                                     QStringLiteral("fix the lines marked \u2717 above"));
    co_return CheckOutcome::pass(found.devicePaired ? QStringLiteral("over the gateway WebSocket")
                                                    : QStringLiteral("over the HTTP endpoint"));
}

QCoro::Task<CheckOutcome> checkBindMode(const DoctorEnvironment &, DoctorFindings &found)
{
    if (!found.openClawConfig)
        co_return CheckOutcome::skip(QStringLiteral("no readable ~/.openclaw/openclaw.json"));
    const QString bind = member(*found.openClawConfig, {"bind"}).toString(QStringLiteral("loopback"));
    if (bind == QLatin1String("loopback"))
        co_return CheckOutcome::pass(QStringLiteral("loopback: only this machine reaches the gateway; the phone "
                                                    "talks to it through the relay and this bridge"));
    if (bind == QLatin1String("lan"))
        co_return CheckOutcome::pass(QStringLiteral("lan: devices on the local network (the phone on the same "
                                                    "Wi-Fi) reach the gateway directly, with its token"));
    co_return CheckOutcome::pass(bind + QStringLiteral(": the phone reaches the gateway through the relay and "
                                                       "this bridge"));
}

QCoro::Task<CheckOutcome> checkOllama(const DoctorEnvironment &env, DoctorFindings &)
{
    QUrl tags = env.ollamaURL;
    tags.setPath(QStringLiteral("/api/tags"));
    const HttpAnswer answer = co_await boundedGet(env.network, tags, {}, env.timings.probeTimeoutMs);
    if (answer.status != 200) {
        co_return CheckOutcome::fail(env.ollamaURL.toString() + QStringLiteral(" does not answer") +
                                         (answer.status ? QStringLiteral(" (HTTP %1)").arg(*answer.status)
                                                        : QStringLiteral(": ") + answer.error),
                                     QStringLiteral("optional, for local models: install Ollama and run ollama serve"));
    }
    const QJsonArray models = QJsonDocument::fromJson(answer.body).object().value(QLatin1String("models")).toArray();
    co_return CheckOutcome::pass(env.ollamaURL.toString() + QStringLiteral(", %1 local model(s)").arg(models.size()));
}

} // namespace

QList<DoctorCheck> doctorChecks()
{
    return {
        {QStringLiteral("credential-store"), QStringLiteral("Credential store"), true, checkCredentialStore},
        {QStringLiteral("bridge-token"), QStringLiteral("Bridge token"), true, checkBridgeToken},
        {QStringLiteral("relay"), QStringLiteral("Relay"), true, checkRelay},
        {QStringLiteral("openclaw-tool"), QStringLiteral("OpenClaw tool"), false, checkOpenClawTool},
        {QStringLiteral("gateway"), QStringLiteral("Gateway answering"), true, checkGatewayAnswering},
        {QStringLiteral("http-chat-endpoint"), QStringLiteral("Gateway HTTP chat endpoint"), false,
         checkHttpChatEndpoint},
        {QStringLiteral("gateway-websocket"), QStringLiteral("Gateway token and device pairing"), false,
         checkGatewayWebSocket},
        {QStringLiteral("bind-mode"), QStringLiteral("Gateway bind mode"), false, checkBindMode},
        {QStringLiteral("ollama"), QStringLiteral("Ollama"), false, checkOllama},
        {QStringLiteral("chats"), QStringLiteral("Chats"), true, checkChatPath},
    };
}

} // namespace halvex
