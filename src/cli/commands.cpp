#include "cli/cli.h"

namespace halvex::cli {

// Each subcommand's entry point lives in its own file beside this one.

const QList<Command> &commands()
{
    static const QList<Command> list = {
    };
    return list;
}

} // namespace halvex::cli
