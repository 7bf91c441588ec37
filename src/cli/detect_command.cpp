#include "account/user_session.h"
#include "cli/cli.h"
#include "discovery/openclaw_detector.h"
#include "platform/net/tls_pin.h"
#include "platform/secrets/credential_store.h"
#include "platform/session/desktop_bus_module.h"
#include "platform/settings.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <QTimer>

namespace halvex {

namespace {

QJsonObject asJson(const OpenClawDetector &detector)
{
    QJsonArray gateways;
    for (const DiscoveredGateway &gateway : detector.discoveredGateways())
        gateways.append(QJsonObject{{QStringLiteral("name"), gateway.name},
                                    {QStringLiteral("host"), gateway.host},
                                    {QStringLiteral("port"), gateway.port},
                                    // Announced, not verified: shown only.
                                    {QStringLiteral("txtGatewayPort"), gateway.txtGatewayPort},
                                    {QStringLiteral("address"), gateway.address()},
                                    {QStringLiteral("txtTls"), gateway.txtTls},
                                    {QStringLiteral("txtTlsSha256"),
                                     gateway.txtTlsSha256.isEmpty() ? QString() : formatSha256(gateway.txtTlsSha256)}});
    // Found but never run: someone other than root or the user could change them.
    QJsonArray skippedTools;
    for (const SkippedOpenClaw &skipped : detector.skippedTools())
        skippedTools.append(
            QJsonObject{{QStringLiteral("path"), skipped.path}, {QStringLiteral("reason"), skipped.reason}});
    const auto optionalText = [](const QString &text) { return text.isEmpty() ? QJsonValue() : QJsonValue(text); };
    return QJsonObject{
        {QStringLiteral("detected"), detector.detected()},
        {QStringLiteral("binaryPath"), optionalText(detector.binaryPath())},
        {QStringLiteral("gatewayToken"), optionalText(cli::maskSecret(detector.gatewayToken()))},
        {QStringLiteral("gatewayPort"), detector.gatewayPort()},
        {QStringLiteral("gatewayBind"), optionalText(detector.gatewayBind())},
        {QStringLiteral("gatewayRunning"), detector.gatewayRunning()},
        {QStringLiteral("chatEndpointEnabled"), detector.chatEndpointEnabled()},
        {QStringLiteral("agents"), QJsonArray::fromStringList(detector.agents())},
        {QStringLiteral("hasMobileAgent"), detector.hasMobileAgent()},
        {QStringLiteral("endpointURL"), detector.endpointURL().toString()},
        {QStringLiteral("bonjourGateways"), gateways},
        // Why the local network could not be searched at all, if so.
        {QStringLiteral("bonjourProblem"), optionalText(DesktopBusModule::problem())},
        {QStringLiteral("tokenHint"), optionalText(detector.tokenHint())},
        {QStringLiteral("binaryProblem"), optionalText(detector.binaryProblem())},
        {QStringLiteral("skippedTools"), skippedTools},
        // The gateway as the bridge resolves it, and what the probe found.
        {QStringLiteral("target"), detector.target().json()},
        {QStringLiteral("probe"), detector.probe().json()},
    };
}

void printText(const OpenClawDetector &detector)
{
    QTextStream &out = cli::out();
    // Paths, problems and agent names come from files and the gateway.
    const auto row = [&out](const char *label, const QString &value) {
        out << QString::fromLatin1(label).leftJustified(18) << quotedForLog(value, 1000) << '\n';
    };
    row("OpenClaw:",
        detector.detected() ? QStringLiteral("found at ") + detector.binaryPath() : QStringLiteral("not found"));
    if (!detector.binaryProblem().isEmpty())
        row("", detector.binaryProblem());
    for (const SkippedOpenClaw &skipped : detector.skippedTools())
        row("Not run:", QStringLiteral("%1 (%2)").arg(quotedForLog(skipped.path), skipped.reason));
    if (detector.detected()) {
        row("Endpoint:", QStringLiteral("%1 (from %2)")
                             .arg(detector.endpointURL().toString(), originName(detector.target().endpointOrigin)));
        if (detector.target().tlsEnabled)
            row("TLS certificate:", detector.target().tlsPin.isEmpty()
                                        ? detector.target().tlsProblem
                                        : QStringLiteral("pinned, SHA-256 ") + formatSha256(detector.target().tlsPin));
        row("Gateway port:", QString::number(detector.gatewayPort()));
        row("Bind mode:", detector.gatewayBind().isEmpty() ? QStringLiteral("(not set)") : detector.gatewayBind());
        row("Gateway token:",
            detector.gatewayToken().isEmpty() ? QStringLiteral("none") : cli::maskSecret(detector.gatewayToken()));
        if (!detector.tokenHint().isEmpty())
            row("", detector.tokenHint());
        row("Gateway running:",
            !detector.gatewayRunning()
                ? QStringLiteral("no") +
                      (detector.probe().problem.isEmpty() ? QString() : QStringLiteral(": ") + detector.probe().problem)
            : detector.chatEndpointEnabled() ? QStringLiteral("yes (HTTP chat endpoint on)")
                                             : QStringLiteral("yes (HTTP chat endpoint off)"));
        row("Agents:", detector.agents().isEmpty() ? QStringLiteral("(none listed)")
                                                   : detector.agents().join(QStringLiteral(", ")));
        row("Mobile agent:",
            detector.hasMobileAgent()
                ? QStringLiteral("present")
                : QStringLiteral("missing: chats from the phone fail until an agent \"mobile\" exists"));
    }
    if (const QString problem = DesktopBusModule::problem(); !problem.isEmpty())
        row("On the network:", QStringLiteral("not searched: ") + problem);
    else if (detector.discoveredGateways().isEmpty())
        row("On the network:", QStringLiteral("no gateways seen"));
    for (const DiscoveredGateway &gateway : detector.discoveredGateways())
        row("On the network:",
            QStringLiteral("%1 at %2%3")
                .arg(quotedForLog(gateway.name, 80), quotedForLog(gateway.address(), 120),
                     gateway.txtTls
                         ? (gateway.txtTlsSha256.isEmpty()
                                ? QStringLiteral(" (TLS: compare its certificate before you trust it)")
                                : QStringLiteral(" (TLS, says SHA-256 %1: compare it with the gateway's own "
                                                 "certificate before you trust it)")
                                      .arg(formatSha256(gateway.txtTlsSha256)))
                         : QStringLiteral(" (plain http: the token and chats would cross the network in clear)")));
}

} // namespace

int cli::runDetectCommand(UserSession &session, const QStringList &arguments)
{
    bool json = false;
    for (const QString &argument : arguments) {
        if (argument == QLatin1String("--json")) {
            json = true;
        } else if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            cli::out() << "Usage: halvex-bridge detect [--json]\n"
                          "Finds the OpenClaw installation, its gateway settings and agents, and the\n"
                          "gateways announced on the local network. Exit status 0 when OpenClaw was\n"
                          "found and its gateway answers.\n";
            return cli::success;
        } else {
            cli::err() << "detect: unknown argument " << argument << "\nUsage: halvex-bridge detect [--json]\n";
            return cli::misuse;
        }
    }

    OpenClawDetector::Dependencies deps;
    deps.homeDirectory = session.homeDirectory();
    deps.credentials = session.credentials();
    deps.settings = session.settings();
    OpenClawDetector detector(deps);

    // One run, then the rest of its local-network window.
    QEventLoop loop;
    bool detecting = true;
    QObject::connect(&detector, &OpenClawDetector::networkDiscoveryFinished, &loop, [&] {
        if (!detecting)
            loop.quit();
    });
    detector.detect().then([&] {
        detecting = false;
        if (!detector.isBrowsing())
            loop.quit();
    });
    if (detecting || detector.isBrowsing())
        loop.exec();

    if (json)
        cli::out() << QJsonDocument(asJson(detector)).toJson(QJsonDocument::Indented);
    else
        printText(detector);
    return detector.detected() && detector.gatewayRunning() ? cli::success : cli::failure;
}

} // namespace halvex
