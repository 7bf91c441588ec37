#include "cli/cli.h"
#include "cli/doctor_command.h"
#include "cli/notifications_command.h"

namespace halvex::cli {

// Each subcommand's entry point lives in its own file beside this one.

const QList<Command> &commands()
{
    static const QList<Command> list = {
        {QStringLiteral("doctor"), QStringLiteral("Check every link the bridge needs and say how to mend it."),
         runDoctorCommand},
        {QStringLiteral("notifications"),
         QStringLiteral("Show or set (on, off) the desktop notifications about links."), runNotificationsCommand},
    };
    return list;
}

} // namespace halvex::cli
