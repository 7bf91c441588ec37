#include "cli/cli.h"
#include "cli/models_command.h"

namespace halvex::cli {

// Each subcommand's entry point lives in its own file beside this one.

const QList<Command> &commands()
{
    static const QList<Command> list = {
        {QStringLiteral("models"), QStringLiteral("The phone companion's model: list, choose (set REF), test (test REF)"),
         [](const QStringList &arguments) { return runModelsCommand(arguments); }},
    };
    return list;
}

} // namespace halvex::cli
