#include "cli/cli.h"
#include "cli/memory_command.h"
#include "cli/models_command.h"

namespace halvex::cli {

// Each subcommand's entry point lives in its own file beside this one.

const QList<Command> &commands()
{
    static const QList<Command> list = {
        {QStringLiteral("login"), QStringLiteral("Sign in to (or create) your Halvex account"), runLoginCommand},
        {QStringLiteral("pair"),
         QStringLiteral("Pair this machine and show the QR code for the phone (pair - reads a code the phone "
                        "shows from standard input)"),
         runPairCommand},
        {QStringLiteral("logout"), QStringLiteral("Sign out of the Halvex account (the pairing stays)"),
         runLogoutCommand},
        {QStringLiteral("status"),
         QStringLiteral("Show the running bridge's links, the relay account, gateway and pairing (--watch)"),
         runStatusCommand},
        {QStringLiteral("name"), QStringLiteral("Show or set (name NAME) the bridge name the phone sees"),
         runNameCommand},
        {QStringLiteral("enable"), QStringLiteral("Switch the bridge on (as the menu's \"Enable Bridge\")"),
         runEnableCommand},
        {QStringLiteral("disable"), QStringLiteral("Switch the bridge off; it keeps running without links"),
         runDisableCommand},
        {QStringLiteral("models"),
         QStringLiteral("The phone companion's model: list, choose (set REF), test (test REF)"),
         [](UserSession &, const QStringList &arguments) { return runModelsCommand(arguments); }},
        {QStringLiteral("detect"), QStringLiteral("Find OpenClaw, its gateway and agents, and gateways on the network"),
         runDetectCommand},
        {QStringLiteral("gateway"),
         QStringLiteral("Show the gateway the bridge uses; set its address or token, trust, LAN access"),
         runGatewayCommand},
        {QStringLiteral("doctor"), QStringLiteral("Check every link the bridge needs and say how to mend it."),
         runDoctorCommand},
        {QStringLiteral("notifications"),
         QStringLiteral("Show or set (on, off) the desktop notifications about links."), runNotificationsCommand},
        {QStringLiteral("memory"),
         QStringLiteral("Memory Sync: switch it on (after its cost notice) or off, show the soul file"),
         [](UserSession &session, const QStringList &arguments) { return runMemoryCommand(session, arguments); }},
        {QStringLiteral("credentials"),
         QStringLiteral("Show where credentials are kept; move them (use STORE); recover a damaged file store"),
         runCredentialsCommand},
    };
    return list;
}

} // namespace halvex::cli
