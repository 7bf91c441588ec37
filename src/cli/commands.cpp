#include "cli/cli.h"
#include "cli/memory_command.h"

namespace halvex::cli {

// Each subcommand's entry point lives in its own file beside this one.

const QList<Command> &commands()
{
    static const QList<Command> list = {
        {QStringLiteral("memory"), QStringLiteral("Memory Sync: switch it on or off, show the soul file"),
         [](const QStringList &arguments) { return runMemoryCommand(arguments); }},
    };
    return list;
}

} // namespace halvex::cli
