// halvex-bridge gateway: the gateway the bridge uses, where each value came
// from and what the probe finds; and the settings the OpenClaw window has,
// for boxes without a screen. A running bridge is told of each change.
#include "account/bridge_requests.h"
#include "account/user_session.h"
#include "cli/cli.h"
#include "discovery/openclaw_detector.h"
#include "gateway/gateway_probe.h"
#include "gateway/gateway_settings.h"
#include "platform/deployment.h"
#include "platform/net/tls_pin.h"
#include "platform/secrets/credential_store.h"
#include "platform/session/process_runner.h"
#include "platform/session/single_instance.h"
#include "platform/settings.h"

#include <QCommandLineParser>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <qcoro/qcorotask.h>

namespace halvex::cli {

namespace {

// The session's stores with their one writer for the gateway.
struct Stores {
    UserSession &session;
    GatewaySettings gateway{session.settings(), session.credentials(), session.homeDirectory()};

    GatewayTarget target() const { return gateway.target(); }
};

// The running bridge moves over at once; without one, the next start reads
// the stores.
bool tellRunningBridge()
{
    SingleInstance instance;
    return announceCredentialsChanged(instance);
}

void printJson(const QJsonObject &object)
{
    out() << QJsonDocument(object).toJson(QJsonDocument::Indented);
    out().flush();
}

QString yesNo(const std::optional<bool> &value, const QString &unknown = QStringLiteral("unknown"))
{
    return value ? (*value ? QStringLiteral("yes") : QStringLiteral("no")) : unknown;
}

int show(const Stores &stores, bool json)
{
    GatewayTarget target = stores.target();
    OpenClawLocator locator(std::make_shared<CommandRunner>(),
                            OpenClawLocator::standardPlaces(stores.session.homeDirectory(), processEnvironment));
    const LocatedOpenClaw tool = QCoro::waitFor(locator.find());
    if (tool.path) {
        target.toolPath = *tool.path;
        target.toolVersion = tool.version;
    }
    target.toolProblem = tool.problem;
    GatewayProbeOptions options;
    options.handshake = !target.token.isEmpty() || target.authDisabled;
    options.credentials = stores.session.credentials();
    const GatewayProbe probe = QCoro::waitFor(probeGateway(target, options));
    if (json) {
        printJson(QJsonObject{{QStringLiteral("target"), target.json()}, {QStringLiteral("probe"), probe.json()}});
        return probe.reachable && probe.listenerRefusal.isEmpty() ? success : failure;
    }
    QTextStream &o = out();
    const auto row = [&o](const char *label, const QString &value) {
        o << QString::fromLatin1(label).leftJustified(18) << value << '\n';
    };
    row("Endpoint:", QStringLiteral("%1 (from %2)").arg(target.endpoint.toString(), originName(target.endpointOrigin)));
    if (target.authDisabled)
        row("Token:", QStringLiteral("none needed (gateway.auth.mode is \"none\")"));
    else if (target.token.isEmpty())
        row("Token:", QStringLiteral("none") +
                          (target.tokenProblem.isEmpty() ? QString() : QStringLiteral(": ") + target.tokenProblem));
    else
        row("Token:", QStringLiteral("%1 (from %2)").arg(maskSecret(target.token), originName(target.tokenOrigin)));
    row("Bind mode:", target.bindMode.isEmpty() ? QStringLiteral("loopback (not set)") : target.bindMode);
    if (target.tlsEnabled) {
        row("TLS:", target.tlsPin.isEmpty()
                        ? QStringLiteral("on, no pin: %1")
                              .arg(target.tlsProblem.isEmpty() ? QStringLiteral("halvex-bridge gateway trust SHA256")
                                                               : target.tlsProblem)
                        : QStringLiteral("on, pinned SHA-256 %1 (from %2)")
                              .arg(formatSha256(target.tlsPin), originName(target.pinOrigin)));
        if (!probe.tlsSha256.isEmpty() && !probe.tlsPinMatches)
            row("", QStringLiteral("the gateway presents SHA-256 %1").arg(formatSha256(probe.tlsSha256)));
    } else {
        row("TLS:", QStringLiteral("off"));
    }
    row("Configuration:", target.configFound ? target.configPath + (target.configProblem.isEmpty()
                                                                        ? QString()
                                                                        : QStringLiteral(": ") + target.configProblem)
                                             : target.configPath + QStringLiteral(" (not found)"));
    row("OpenClaw tool:", tool.path ? QStringLiteral("%1 (%2)").arg(*tool.path, tool.version)
                                    : (tool.problem.isEmpty() ? QStringLiteral("not found") : tool.problem));
    if (target.sendsInClear())
        row("In clear:", QStringLiteral("yes: plain http to another machine carries the token and every chat "
                                        "readable on the way"));
    row("Answering:", probe.reachable ? QStringLiteral("yes") : QStringLiteral("no: ") + probe.problem);
    if (!probe.listenerRefusal.isEmpty()) {
        row("Not yours:", probe.listenerRefusal);
    } else if (probe.reachable) {
        row("Chat endpoint:", probe.chatEndpoint == ChatEndpointState::on    ? QStringLiteral("on")
                              : probe.chatEndpoint == ChatEndpointState::off ? QStringLiteral("off")
                                                                             : QStringLiteral("unknown"));
        row("Token accepted:", yesNo(probe.tokenAccepted));
        row("Device paired:",
            yesNo(probe.devicePaired) + (probe.handshake.kind() == GatewayLinkState::Kind::error
                                             ? QStringLiteral(" (%1)").arg(probe.handshake.errorText())
                                             : QString()));
    }
    row("Mobile agent:", probe.mobileAgent == false
                             ? QStringLiteral("missing: choose its model with halvex-bridge models set REF")
                             : yesNo(probe.mobileAgent));
    o.flush();
    return probe.reachable && probe.listenerRefusal.isEmpty() ? success : failure;
}

std::optional<QString> readToken()
{
    std::optional<QString> token = readLine(QStringLiteral("Gateway token: "), true);
    if (token)
        *token = token->trimmed();
    if (!token || token->isEmpty())
        return std::nullopt;
    return token;
}

int finish(const QString &said, bool json, const GatewayTarget &target)
{
    const bool told = tellRunningBridge();
    if (json) {
        printJson(QJsonObject{{QStringLiteral("ok"), true},
                              {QStringLiteral("target"), target.json()},
                              {QStringLiteral("bridgeNotified"), told}});
    } else {
        out() << said << Qt::endl;
        out() << (told ? QStringLiteral("The running bridge moved over.")
                       : QStringLiteral("No bridge runs now; it uses this when it starts."))
              << Qt::endl;
    }
    return success;
}

int fail(const QString &why, bool json, int status = failure)
{
    if (json)
        printJson(QJsonObject{{QStringLiteral("ok"), false}, {QStringLiteral("error"), why}});
    else
        err() << why << Qt::endl;
    return status;
}

// Plain http to another machine carries the token and every chat readable
// on the way: said out loud, and confirmed on a terminal (--yes for scripts).
bool confirmedInClear(const GatewayTarget &target, bool yes, bool json)
{
    if (!target.sendsInClear())
        return true;
    if (!json)
        err() << QStringLiteral("%1 is plain http to another machine: the gateway token and every chat would cross "
                                "the network in clear. Prefer https (halvex-bridge gateway tls on, on that machine).")
                     .arg(target.endpoint.toString())
              << Qt::endl;
    return yes || (!json && stdinIsTerminal() && askYesNo(QStringLiteral("Use it anyway?")));
}

int setEndpoint(Stores &stores, const QString &text, bool keepToken, bool yes, bool json)
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return fail(QStringLiteral("gateway set: %1 is not an http:// or https:// URL with a host")
                        .arg(quotedForLog(text, 200)),
                    json, misuse);
    const GatewayTarget preview = stores.gateway.targetWith(url, std::nullopt);
    if (!confirmedInClear(preview, yes, json))
        return fail(QStringLiteral("Not changed. Say --yes to use a plain http address without being asked."), json);
    // A token for a new address is asked for before anything is stored, so
    // that the writer stores it with that address.
    std::optional<QString> token;
    if (!keepToken && preview.token.isEmpty() && !preview.isLocal() && !preview.authDisabled && stdinIsTerminal() &&
        !json)
        token = readToken();
    const Result<GatewaySettings::Change> change = stores.gateway.setEndpoint(url, token, keepToken);
    if (!change)
        return fail(QStringLiteral("Cannot store the gateway: %1").arg(change.error().description()), json);
    GatewayTarget after = change.value().target;
    QString said = QStringLiteral("The bridge now uses the gateway at %1.").arg(after.endpoint.toString());
    if (change.value().tokenKept)
        said += QStringLiteral(" It keeps the gateway token (--keep-token); its certificate pin and this device's "
                               "pairing stay with the old address.");
    else if (change.value().needsToken)
        said += QStringLiteral(" It has no token yet: give it with halvex-bridge gateway token.");
    // A gateway elsewhere over TLS is trusted only by a fingerprint the user
    // compared; nothing is trusted from the network by itself.
    if (after.tlsEnabled && !after.isLocal() && after.tlsPin.isEmpty()) {
        const std::optional<QByteArray> presented = QCoro::waitFor(presentedCertificateSha256(
            after.endpoint.host(), quint16(after.endpoint.port(443)), GatewayProbeOptions{}.timeout));
        if (!presented) {
            said += QStringLiteral(" It did not answer over TLS, so its certificate is not known yet.");
        } else if (stdinIsTerminal() && !json) {
            err() << QStringLiteral("The gateway presents a certificate with SHA-256 %1.\nCompare it with the "
                                    "certificate on that machine (openssl x509 -noout -fingerprint -sha256 -in "
                                    "gateway-cert.pem).")
                         .arg(formatSha256(*presented))
                  << Qt::endl;
            if (askYesNo(QStringLiteral("Trust this certificate?"))) {
                if (const Result<GatewayTarget> trusted = stores.gateway.trust(*presented))
                    after = trusted.value();
            }
        }
        if (after.tlsPin.isEmpty() && presented)
            said += QStringLiteral(" Its certificate is not trusted yet: compare SHA-256 %1 with the one on that "
                                   "machine, then halvex-bridge gateway trust %1")
                        .arg(formatSha256(*presented));
    }
    return finish(said, json, after);
}

int setToken(Stores &stores, bool json)
{
    const std::optional<QString> token = readToken();
    if (!token)
        return fail(QStringLiteral("No token given (on standard input, or typed at the prompt)."), json, misuse);
    const Result<GatewayTarget> target = stores.gateway.setToken(*token);
    if (!target)
        return fail(QStringLiteral("Cannot store the token: %1").arg(target.error().description()), json);
    QString said = QStringLiteral("The gateway token is stored for %1.").arg(target.value().endpoint.toString());
    if (target.value().tokenOrigin == GatewayValueOrigin::openClawConfig)
        said += QStringLiteral(" This machine's gateway keeps using the token in %1.").arg(target.value().configPath);
    return finish(said, json, target.value());
}

int reset(Stores &stores, bool json)
{
    const Result<GatewayTarget> target = stores.gateway.reset();
    if (!target)
        return fail(QStringLiteral("Cannot remove the stored token: %1").arg(target.error().description()), json);
    return finish(QStringLiteral("The bridge follows %1 again: %2.")
                      .arg(target.value().configPath, target.value().endpoint.toString()),
                  json, target.value());
}

int trust(Stores &stores, const QString &text, bool json)
{
    const std::optional<QByteArray> pin = parseSha256(text);
    if (!pin)
        return fail(QStringLiteral("gateway trust: %1 is not a SHA-256 fingerprint (64 hex digits, colons allowed)")
                        .arg(quotedForLog(text, 200)),
                    json, misuse);
    const Result<GatewayTarget> target = stores.gateway.trust(*pin);
    if (!target)
        return fail(target.error().description(), json);
    return finish(QStringLiteral("The gateway at %1 is trusted with the certificate SHA-256 %2.")
                      .arg(target.value().endpoint.toString(), formatSha256(*pin)),
                  json, target.value());
}

int owner(Stores &stores, const QString &user, bool remove, bool json)
{
    const Result<GatewayTarget> target =
        remove ? stores.gateway.forbidListenerOwner(user) : stores.gateway.allowListenerOwner(user);
    if (!target)
        return fail(target.error().description(), json, misuse);
    return finish(
        remove
            ? QStringLiteral("A gateway port held by %1 gets no token any more.").arg(quotedForLog(user.trimmed(), 80))
            : QStringLiteral("A gateway that %1 runs on this machine may now get the gateway token and "
                             "this device's pairing.")
                  .arg(quotedForLog(user.trimmed(), 80)),
        json, target.value());
}

// Turns OpenClaw's gateway TLS on through its own writer, and waits until
// the gateway answers over https with its certificate pinned.
bool turnTlsOn(OpenClawDetector &detector, bool json)
{
    if (!json)
        err() << QStringLiteral("Turning OpenClaw's gateway TLS on (the gateway makes its own certificate)...")
              << Qt::endl;
    return QCoro::waitFor(detector.enableTls());
}

// One detection of this user's OpenClaw, for the commands that change it;
// nothing (and the reason printed) when its tool is not found.
std::unique_ptr<OpenClawDetector> detectOpenClaw(Stores &stores, bool json)
{
    OpenClawDetector::Dependencies deps;
    deps.homeDirectory = stores.session.homeDirectory();
    deps.settings = stores.session.settings();
    deps.credentials = stores.session.credentials();
    auto detector = std::make_unique<OpenClawDetector>(deps);
    QCoro::waitFor(detector->detect());
    if (detector->detected())
        return detector;
    fail(QStringLiteral("The openclaw tool was not found, so its gateway cannot be changed%1.")
             .arg(detector->binaryProblem().isEmpty() ? QString() : QStringLiteral(": ") + detector->binaryProblem()),
         json);
    return nullptr;
}

int tls(Stores &stores, bool json)
{
    const std::unique_ptr<OpenClawDetector> found = detectOpenClaw(stores, json);
    if (!found)
        return failure;
    OpenClawDetector &detector = *found;
    if (detector.target().tlsEnabled && !detector.target().tlsPin.isEmpty() && detector.probe().reachable)
        return finish(QStringLiteral("The gateway's TLS is on already."), json, detector.target());
    if (!turnTlsOn(detector, json))
        return fail(detector.lanAccessProblem(), json);
    return finish(QStringLiteral("The gateway answers over https, trusted by its certificate SHA-256 %1.")
                      .arg(formatSha256(detector.target().tlsPin)),
                  json, detector.target());
}

int lan(Stores &stores, bool on, bool yes, bool withTls, bool json)
{
    const std::unique_ptr<OpenClawDetector> found = detectOpenClaw(stores, json);
    if (!found)
        return failure;
    OpenClawDetector &detector = *found;
    if (!on) {
        if (!QCoro::waitFor(detector.disableLANAccess()))
            return fail(detector.lanAccessProblem(), json);
        return finish(QStringLiteral("OpenClaw's gateway is bound to loopback again (a gateway process that still "
                                     "listens on every interface closes them when it is started anew)."),
                      json, detector.target());
    }
    const QString risk =
        QStringLiteral("The gateway will listen on every network interface of this machine, and the phone's "
                       "direct link will carry the gateway's master token%1.")
            .arg(detector.target().tlsEnabled ? QString()
                                              : QStringLiteral(" in clear (OpenClaw's gateway TLS is off: turn it on "
                                                               "with halvex-bridge gateway tls on)"));
    if (!json)
        err() << risk << Qt::endl;
    if (!yes && !askYesNo(QStringLiteral("Open the gateway to the local network?")))
        return fail(QStringLiteral("Not changed. Say --yes to open it without being asked."), json);
    if (!detector.target().tlsEnabled &&
        (withTls || (!yes && askYesNo(QStringLiteral("Turn OpenClaw's gateway TLS on first (recommended)?"))))) {
        if (!turnTlsOn(detector, json))
            return fail(detector.lanAccessProblem(), json);
    }
    if (!QCoro::waitFor(detector.enableLANAccess()))
        return fail(detector.lanAccessProblem(), json);
    return finish(QStringLiteral("The gateway answers on the local network."), json, detector.target());
}

} // namespace

int runGatewayCommand(UserSession &session, const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The OpenClaw gateway the bridge uses: where each value comes from and whether it answers.\n"
                       "  gateway                 show it (exit status 0 when it answers)\n"
                       "  gateway set URL         use the gateway at URL (asks for its token unless --keep-token)\n"
                       "  gateway token           store the gateway's token, read from standard input or typed\n"
                       "                          at a prompt that does not echo (never on the command line)\n"
                       "  gateway reset           follow ~/.openclaw/openclaw.json again (forget what was set)\n"
                       "  gateway trust SHA256    trust a remote https gateway's certificate by its fingerprint\n"
                       "  gateway owner USER      let a gateway that USER runs on this machine have the token\n"
                       "                          (a dedicated service account; --remove takes it back)\n"
                       "  gateway lan on|off      open the gateway to the local network, or close it again\n"
                       "  gateway tls on          turn OpenClaw's gateway TLS on and pin its certificate"));
    const QCommandLineOption jsonOption(QStringLiteral("json"), QStringLiteral("Print the result as JSON."));
    const QCommandLineOption keepToken(
        QStringLiteral("keep-token"),
        QStringLiteral("With set: send the gateway token to the new address too (only the "
                       "token: the certificate pin and the pairing stay behind)."));
    const QCommandLineOption yesOption(QStringLiteral("yes"),
                                       QStringLiteral("With lan on, or set with a plain http address: do not ask."));
    const QCommandLineOption removeOption(QStringLiteral("remove"), QStringLiteral("With owner: take the trust back."));
    const QCommandLineOption tlsOption(QStringLiteral("tls"),
                                       QStringLiteral("With lan on: turn OpenClaw's gateway TLS on first."));
    parser.addOptions({jsonOption, keepToken, yesOption, tlsOption, removeOption});
    parser.addPositionalArgument(QStringLiteral("action"),
                                 QStringLiteral("set, token, reset, trust, owner, lan or tls"),
                                 QStringLiteral("[action]"));
    if (const std::optional<int> status = parseCommandArguments(parser, QStringLiteral("gateway"), arguments))
        return *status;
    const bool json = parser.isSet(jsonOption);
    const QStringList words = parser.positionalArguments();
    const QString action = words.value(0);
    const auto wrongArguments = [&](const QString &usage) {
        err() << QStringLiteral("halvex-bridge gateway: usage: halvex-bridge gateway %1").arg(usage) << Qt::endl;
        return misuse;
    };
    Stores stores{session};
    if (action.isEmpty())
        return show(stores, json);
    if (action == QLatin1String("set"))
        return words.size() == 2
                   ? setEndpoint(stores, words.at(1), parser.isSet(keepToken), parser.isSet(yesOption), json)
                   : wrongArguments(QStringLiteral("set URL [--keep-token] [--yes]"));
    if (action == QLatin1String("token"))
        return words.size() == 1 ? setToken(stores, json)
                                 : wrongArguments(QStringLiteral("token (the token on standard input, never here)"));
    if (action == QLatin1String("reset"))
        return words.size() == 1 ? reset(stores, json) : wrongArguments(QStringLiteral("reset"));
    if (action == QLatin1String("trust"))
        return words.size() == 2 ? trust(stores, words.at(1), json) : wrongArguments(QStringLiteral("trust SHA256"));
    if (action == QLatin1String("owner"))
        return words.size() == 2 ? owner(stores, words.at(1), parser.isSet(removeOption), json)
                                 : wrongArguments(QStringLiteral("owner USER [--remove]"));
    if (action == QLatin1String("lan")) {
        if (words.size() != 2 || (words.at(1) != QLatin1String("on") && words.at(1) != QLatin1String("off")))
            return wrongArguments(QStringLiteral("lan on|off [--yes]"));
        return lan(stores, words.at(1) == QLatin1String("on"), parser.isSet(yesOption), parser.isSet(tlsOption), json);
    }
    if (action == QLatin1String("tls"))
        return words.size() == 2 && words.at(1) == QLatin1String("on") ? tls(stores, json)
                                                                       : wrongArguments(QStringLiteral("tls on"));
    return wrongArguments(
        QStringLiteral("[set URL | token | reset | trust SHA256 | owner USER | lan on|off] [--json]"));
}

} // namespace halvex::cli
