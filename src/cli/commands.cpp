#include "cli/cli.h"
#include "cli/doctor_command.h"

namespace halvex::cli {

// Each subcommand's entry point lives in its own file beside this one.

const QList<Command> &commands()
{
    static const QList<Command> list = {
        {QStringLiteral("doctor"), QStringLiteral("Check every link the bridge needs and say how to mend it."),
         runDoctorCommand},
    };
    return list;
}

} // namespace halvex::cli
