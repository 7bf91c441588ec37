// halvex-bridge status: the relay account, the gateway and the pairing, one
// line each; exit status 0 only when this machine is paired.
#include "cli/status_command.h"

#include "account/account_runtime.h"
#include "cli/cli.h"
#include "cli/account_command.h"
#include "gateway/gateway_probe.h"
#include "platform/settings.h"

#include <QCommandLineParser>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <qcoro/qcorotask.h>

namespace halvex::cli {

int runStatusCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Shows the relay account, the OpenClaw gateway and the "
                                                    "pairing, one line each. Exit status 0 when this machine is "
                                                    "paired, 1 when not."));
    const QCommandLineOption jsonOption(QStringLiteral("json"), QStringLiteral("Print the state as JSON."));
    parser.addOption(jsonOption);
    auto opened = openAccountCommand(parser, QStringLiteral("status"), arguments, 0);
    if (const int *done = std::get_if<int>(&opened))
        return *done;
    AccountRuntime &runtime = *std::get<std::unique_ptr<AccountRuntime>>(opened);
    const bool json = parser.isSet(jsonOption);
    const bool signedIn = runtime.account()->isSignedIn();
    const QString email = runtime.account()->accountEmail().value_or(QString());
    const std::optional<PairingResult> paired = runtime.pairing()->alreadyPaired();
    const GatewayTarget target = runtime.gatewayTarget();
    const QUrl endpoint = target.endpoint;
    const GatewayProbe probe = waitForTask(probeGateway(target));
    const bool reachable = probe.reachable;
    const QString relayHost = runtime.origins().http.authority();

    if (json) {
        QJsonObject object{
            {QStringLiteral("relay"), QJsonObject{{QStringLiteral("host"), relayHost},
                                                  {QStringLiteral("signedIn"), signedIn},
                                                  {QStringLiteral("email"), email}}},
            {QStringLiteral("gateway"),
             QJsonObject{{QStringLiteral("url"), endpoint.toString()},
                         {QStringLiteral("reachable"), reachable},
                         {QStringLiteral("tokenStored"), !target.token.isEmpty()},
                         {QStringLiteral("target"), target.json()},
                         {QStringLiteral("probe"), probe.json()}}},
            {QStringLiteral("pairing"),
             QJsonObject{{QStringLiteral("paired"), paired.has_value()},
                         {QStringLiteral("bridgeName"), paired ? paired->bridgeName : QString()},
                         {QStringLiteral("bridgeId"), paired ? paired->bridgeId : QString()}}},
        };
        out() << QJsonDocument(object).toJson(QJsonDocument::Compact) << Qt::endl;
    } else {
        if (signedIn)
            out() << QStringLiteral("Relay: signed in as %1 (%2)")
                         .arg(email.isEmpty() ? QStringLiteral("?") : email, relayHost);
        else
            out() << QStringLiteral("Relay: not signed in (%1)").arg(relayHost);
        out() << Qt::endl;
        out() << QStringLiteral("Gateway: %1 %2")
                     .arg(endpoint.toString(),
                          reachable ? QStringLiteral("reachable") : QStringLiteral("not reachable"));
        if (probe.chatEndpoint != ChatEndpointState::unknown)
            out() << (probe.chatEndpoint == ChatEndpointState::on ? QStringLiteral(" (HTTP chat endpoint on)")
                                                                   : QStringLiteral(" (HTTP chat endpoint off)"));
        else if (!probe.problem.isEmpty())
            out() << QStringLiteral(": ") << probe.problem;
        if (target.token.isEmpty() && !target.authDisabled)
            out() << QStringLiteral(" (no gateway token)");
        if (probe.mobileAgent == false)
            out() << QStringLiteral(" (no \"%1\" agent: halvex-bridge models set REF)").arg(GatewayTarget::mobileAgentId());
        out() << Qt::endl;
        if (paired) {
            out() << QStringLiteral("Pairing: paired as \"%1\"").arg(paired->bridgeName);
            if (!paired->bridgeId.isEmpty())
                out() << QStringLiteral(" (bridge %1)").arg(paired->bridgeId);
        } else {
            out() << QStringLiteral("Pairing: not paired — run halvex-bridge login, then halvex-bridge pair");
        }
        out() << Qt::endl;
    }
    return paired ? ExitStatus::success : failure;
}

} // namespace halvex::cli
