#include "cli/cli.h"
#include "cli/detect_command.h"

namespace halvex::cli {

// Each subcommand's entry point lives in its own file beside this one.

const QList<Command> &commands()
{
    static const QList<Command> list = {
        {QStringLiteral("detect"), QStringLiteral("Find OpenClaw, its gateway and agents, and gateways on the network"),
         runDetectCommand},
    };
    return list;
}

} // namespace halvex::cli
