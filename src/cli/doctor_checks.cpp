// The doctor's checks, one function each, and their table.
#include "cli/cli.h"
#include "cli/doctor.h"
#include "cli/doctor_probes.h"

#include "gateway/gateway_device_identity.h"
#include "gateway/gateway_link_state.h"
#include "gateway/gateway_probe.h"
#include "gateway/pairing_approver.h"
#include "platform/deployment.h"
#include "platform/net/http_client.h"
#include "platform/net/tls_pin.h"
#include "platform/secrets/credential_store.h"
#include "platform/secrets/secret_service_module.h"
#include "platform/settings.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

namespace halvex {

namespace {

using Status = CheckOutcome::Status;
using cli::maskSecret;

QString pairFix()
{
    return QStringLiteral("pair this machine: halvex-bridge pair (or the setup wizard in a desktop session)");
}

QString startGatewayFix()
{
    return QStringLiteral("start the gateway: openclaw gateway (or set \"openClawEndpoint\" to where it runs)");
}

QCoro::Task<CheckOutcome> checkCredentialStore(const DoctorEnvironment &env, DoctorFindings &found)
{
    CredentialStore &credentials = *env.credentials;
    QString name = credentials.primary()->name();
    if (name == QLatin1String(CredentialStore::secretServiceStore))
        name = QStringLiteral("Secret Service");
    else if (name == QLatin1String(CredentialStore::fileStore) && !SecretServiceModule::problem().isEmpty())
        name = QStringLiteral("private file store (Secret Service support is not usable: %1)")
                   .arg(SecretServiceModule::problem());
    else if (name == QLatin1String(CredentialStore::fileStore))
        name = QStringLiteral("private file store");

    // Which item is where: the store in use, an older copy left behind, and
    // anything a damaged file store set aside.
    QStringList held, older, unreadable;
    for (const CredentialStore::ItemPlace &place : credentials.itemPlaces()) {
        if (place.primary == QLatin1String("stored"))
            held << place.label;
        else if (place.primary != QLatin1String("none"))
            unreadable << place.label + QStringLiteral(" (") + place.primary + QLatin1Char(')');
        if (place.older == QLatin1String("stored"))
            older << place.label + (place.differs ? QStringLiteral(", a different value") : QString());
        else if (!place.older.isEmpty() && place.older != QLatin1String("none"))
            unreadable << place.label + QStringLiteral(" in the file store (") + place.older + QLatin1Char(')');
    }
    QString detail = name + QStringLiteral(" holds: ") +
                     (held.isEmpty() ? QStringLiteral("nothing") : held.join(QStringLiteral(", ")));
    if (!older.isEmpty())
        detail += QStringLiteral("; the file store still holds: ") + older.join(QStringLiteral(", "));
    if (!unreadable.isEmpty()) {
        co_return CheckOutcome::fail(
            detail + QStringLiteral("; cannot read: ") + unreadable.join(QStringLiteral("; ")),
            QStringLiteral("unlock the keyring (gnome-keyring or KWallet) of this session; recover a damaged file "
                           "store with: halvex-bridge credentials recover; or keep credentials in a private file: "
                           "halvex-bridge credentials use file"));
    }
    found.credentialStoreReachable = true;
    co_return CheckOutcome::pass(detail);
}

QCoro::Task<CheckOutcome> checkBridgeToken(const DoctorEnvironment &env, DoctorFindings &found)
{
    if (!found.credentialStoreReachable)
        co_return CheckOutcome::skip(QStringLiteral("the credential store does not answer"));
    const std::optional<QString> token = env.credentials->load(CredentialService::bridge()).valueOr(std::nullopt);
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
    const QString unreachable = co_await tcpConnectError(origin.host(), port, env.timings.probeTimeout);
    if (!unreachable.isEmpty()) {
        co_return CheckOutcome::fail(where + QStringLiteral(" not reachable: ") + unreachable,
                                     QStringLiteral("check this machine's network connection and proxy settings"));
    }
    if (!found.bridgeToken)
        co_return CheckOutcome::skip(where + QStringLiteral(" reachable; no bridge token to try"));
    const QString refused = co_await relayHandshakeError(origin, *found.bridgeToken, env.timings.handshakeTimeout);
    if (!refused.isEmpty())
        co_return CheckOutcome::fail(where + QStringLiteral(" reachable, bridge token not accepted: ") + refused,
                                     QStringLiteral("pair again: halvex-bridge pair"));
    found.relayAccepted = true;
    co_return CheckOutcome::pass(where + QStringLiteral(" reachable, bridge token accepted"));
}

QCoro::Task<CheckOutcome> checkOpenClawTool(const DoctorEnvironment &env, DoctorFindings &found)
{
    OpenClawLocator locator(std::make_shared<CommandRunner>(),
                            env.openClawPlaces ? *env.openClawPlaces
                                               : OpenClawLocator::standardPlaces(env.homeDirectory, env.environment));
    const LocatedOpenClaw located = co_await locator.find();
    // Tools that others could change are never run; each is named with why.
    QStringList notRun;
    for (const SkippedOpenClaw &skipped : located.skipped)
        notRun << QStringLiteral("%1 (%2)").arg(quotedForLog(skipped.path), skipped.reason);
    const QString skippedDetail =
        notRun.isEmpty() ? QString() : QStringLiteral("; not run: ") + notRun.join(QStringLiteral("; "));
    if (!located.path && !located.skipped.isEmpty()) {
        const QString culprit = quotedForLog(located.skipped.constFirst().culprit);
        // The problem names the first; more are listed.
        co_return CheckOutcome::fail(
            located.problem + (located.skipped.size() > 1 ? skippedDetail : QString()),
            QStringLiteral("let only you or root change %1: chown it to yourself (or root) and `chmod go-w %1`, or "
                           "install OpenClaw where only you can write: npm install -g openclaw")
                .arg(culprit));
    }
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
    found.openClawVersion = located.version;
    co_return CheckOutcome::pass(QStringLiteral("%1 (%2)").arg(*located.path, located.version) + skippedDetail);
}

QString tokenFix(const GatewayTarget &target)
{
    if (target.isLocal())
        return QStringLiteral("use the token of gateway.auth.token in %1, or give one: halvex-bridge gateway token")
            .arg(target.configPath);
    return QStringLiteral("give the gateway's token: halvex-bridge gateway token");
}

QCoro::Task<CheckOutcome> checkGatewayAnswering(const DoctorEnvironment &env, DoctorFindings &found)
{
    found.target =
        resolveGatewayTarget(GatewaySources{env.settings, env.credentials, env.homeDirectory, env.environment});
    if (found.openClawPath)
        found.target.toolPath = *found.openClawPath;
    found.target.toolVersion = found.openClawVersion;
    const GatewayTarget &target = found.target;
    GatewayProbeOptions options;
    options.timeout = env.timings.probeTimeout;
    options.handshake = !target.token.isEmpty() || target.authDisabled;
    options.handshakeTimeout = env.timings.handshakeTimeout;
    options.credentials = env.credentials;
    found.probe = co_await probeGateway(target, options);
    const GatewayProbe &probe = found.probe;
    const QString where =
        target.endpoint.toString() + QStringLiteral(" (from %1)").arg(originName(target.endpointOrigin));
    if (!probe.reachable) {
        QString detail = where + QStringLiteral(" does not answer: ") + probe.problem;
        if (!target.configProblem.isEmpty())
            detail += QStringLiteral(" (") + target.configProblem + QLatin1Char(')');
        else if (!target.configFound)
            detail += QStringLiteral(" (%1 not found)").arg(target.configPath);
        co_return CheckOutcome::fail(detail, startGatewayFix());
    }
    if (!probe.listenerRefusal.isEmpty())
        co_return CheckOutcome::fail(where + QStringLiteral(" answers, but the port is not yours: ") +
                                         probe.listenerRefusal,
                                     QStringLiteral("stop whatever holds the port and start your gateway, or trust "
                                                    "the account that runs it: halvex-bridge gateway owner USER"));
    found.gatewayAnswering = true;
    QString detail = where;
    if (target.tlsEnabled)
        detail += QStringLiteral(", TLS certificate SHA-256 %1").arg(formatSha256(probe.tlsSha256));
    co_return CheckOutcome::pass(detail);
}

QCoro::Task<CheckOutcome> checkHttpChatEndpoint(const DoctorEnvironment &, DoctorFindings &found)
{
    if (!found.gatewayAnswering)
        co_return CheckOutcome::skip(QStringLiteral("the gateway does not answer"));
    switch (found.probe.chatEndpoint) {
    case ChatEndpointState::on:
        co_return CheckOutcome::pass(QStringLiteral("on: chats fall back to /v1/chat/completions while the "
                                                    "WebSocket is down"));
    case ChatEndpointState::off:
        // Not a fault: the WebSocket carries chats; only the fallback is missing.
        co_return CheckOutcome::pass(QStringLiteral("off: chats use the gateway WebSocket alone (turn the fallback "
                                                    "on: openclaw config set "
                                                    "gateway.http.endpoints.chatCompletions.enabled true)"));
    case ChatEndpointState::unknown:
        break;
    }
    const std::optional<int> status = found.probe.chatEndpointStatus;
    if (status == 401 || status == 403)
        co_return CheckOutcome::skip(
            QStringLiteral("cannot tell while the gateway refuses the token (HTTP %1)").arg(*status));
    co_return CheckOutcome::skip(QStringLiteral("cannot tell: POST /v1/chat/completions answered %1")
                                     .arg(status ? QString::number(*status) : QStringLiteral("nothing")));
}

QCoro::Task<CheckOutcome> checkGatewayWebSocket(const DoctorEnvironment &env, DoctorFindings &found)
{
    if (!found.gatewayAnswering)
        co_return CheckOutcome::skip(QStringLiteral("the gateway does not answer"));
    const GatewayTarget &target = found.target;
    if (target.token.isEmpty() && !target.authDisabled) {
        QString detail = QStringLiteral("no gateway token");
        if (!target.tokenProblem.isEmpty())
            detail += QStringLiteral(": ") + target.tokenProblem;
        co_return CheckOutcome::fail(detail, tokenFix(target));
    }
    const GatewayProbe &probe = found.probe;
    const QString token = target.authDisabled ? QStringLiteral("no token needed") : maskSecret(target.token);
    if (probe.devicePaired == true)
        co_return CheckOutcome::pass(token + QStringLiteral(" accepted, this device is paired"));
    if (probe.devicePaired == false && probe.tokenAccepted == true) {
        // Name this device's own request, as the tool lists it (the newest
        // request may be someone else's); the doctor approves nothing.
        // (The handshake just made or loaded the identity: this loads it.)
        const auto identity = GatewayDeviceIdentity::create(env.credentials);
        const QString deviceId = identity.ok() ? identity.value()->deviceId() : QString();
        QString requestId;
        if (!deviceId.isEmpty() && found.openClawPath) {
            PairingApprover::Timings timings;
            timings.processTimeout = env.timings.handshakeTimeout;
            PairingApprover approver({}, timings);
            requestId = co_await approver.findPendingRequest(*found.openClawPath, deviceId);
        }
        co_return CheckOutcome::fail(token + QStringLiteral(" accepted, this device is not paired"),
                                     QStringLiteral("approve it: ") +
                                         PairingApprover::manualApprovalAdvice(requestId, deviceId) +
                                         QStringLiteral(" (the running bridge does this itself when it finds the "
                                                        "openclaw tool)"));
    }
    const QString why = probe.handshake.errorText();
    // A refused certificate or no answer says nothing about the token.
    if (probe.tokenAccepted != false)
        co_return CheckOutcome::fail(QStringLiteral("no handshake: ") + why,
                                     target.tlsEnabled ? QStringLiteral("check the gateway's TLS certificate: "
                                                                        "halvex-bridge gateway")
                                                       : startGatewayFix());
    co_return CheckOutcome::fail(token + QStringLiteral(" not accepted by the gateway: ") + why, tokenFix(target));
}

QCoro::Task<CheckOutcome> checkMobileAgent(const DoctorEnvironment &, DoctorFindings &found)
{
    const std::optional<bool> mobile = found.target.hasMobileAgent();
    if (!mobile)
        co_return CheckOutcome::skip(QStringLiteral("cannot tell: the gateway's configuration is not readable here"));
    if (!*mobile)
        co_return CheckOutcome::fail(
            QStringLiteral("no \"%1\" agent in %2: every chat would be refused")
                .arg(GatewayTarget::mobileAgentId(), found.target.configPath),
            QStringLiteral("choose the phone's model, which creates the agent: halvex-bridge models set REF "
                           "(halvex-bridge models lists them)"));
    co_return CheckOutcome::pass(QStringLiteral("\"%1\" is configured").arg(GatewayTarget::mobileAgentId()));
}

QCoro::Task<CheckOutcome> checkChatPath(const DoctorEnvironment &, DoctorFindings &found)
{
    QStringList missing;
    if (!found.relayAccepted)
        missing << QStringLiteral("the relay link");
    if (!found.gatewayAnswering)
        missing << QStringLiteral("a gateway that answers");
    else if (found.probe.tokenAccepted != true)
        missing << QStringLiteral("an accepted gateway token");
    else if (found.probe.devicePaired != true && found.probe.chatEndpoint != ChatEndpointState::on)
        missing << QStringLiteral("a paired device or the HTTP chat endpoint");
    if (found.target.hasMobileAgent() == false)
        missing << QStringLiteral("the \"%1\" agent").arg(GatewayTarget::mobileAgentId());
    if (!missing.isEmpty())
        co_return CheckOutcome::fail(QStringLiteral("missing ") + missing.join(QStringLiteral(", ")),
                                     QStringLiteral("fix the lines marked \u2717 above"));
    co_return CheckOutcome::pass(found.probe.devicePaired == true ? QStringLiteral("over the gateway WebSocket")
                                                                  : QStringLiteral("over the HTTP endpoint"));
}

QCoro::Task<CheckOutcome> checkBindMode(const DoctorEnvironment &, DoctorFindings &found)
{
    if (!found.target.config)
        co_return CheckOutcome::skip(QStringLiteral("no readable %1").arg(found.target.configPath));
    const QString bind = found.target.bindMode.isEmpty() ? QStringLiteral("loopback") : found.target.bindMode;
    if (found.target.isLoopbackOnly())
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
    FetchRequest request;
    request.url = tags;
    request.deadline = env.timings.probeTimeout;
    const Result<HttpAnswer> answer = co_await fetch(std::move(request));
    if (!answer || answer->status != 200) {
        co_return CheckOutcome::fail(env.ollamaURL.toString() + QStringLiteral(" does not answer") +
                                         (answer ? QStringLiteral(" (HTTP %1)").arg(answer->status)
                                                 : QStringLiteral(": ") + answer.error().description()),
                                     QStringLiteral("optional, for local models: install Ollama and run ollama serve"));
    }
    const QJsonArray models = QJsonDocument::fromJson(answer->body).object().value(QLatin1String("models")).toArray();
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
        // Known missing fails the chats line; unknown (a gateway elsewhere)
        // does not.
        {QStringLiteral("mobile-agent"), QStringLiteral("Mobile agent"), false, checkMobileAgent},
        {QStringLiteral("bind-mode"), QStringLiteral("Gateway bind mode"), false, checkBindMode},
        {QStringLiteral("ollama"), QStringLiteral("Ollama"), false, checkOllama},
        {QStringLiteral("chats"), QStringLiteral("Chats"), true, checkChatPath},
    };
}

} // namespace halvex
