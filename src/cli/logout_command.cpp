// halvex-bridge logout: forgets the relay sign-in; the pairing stays.
#include "cli/logout_command.h"

#include "account/account_runtime.h"
#include "cli/cli.h"

#include <QTextStream>

namespace halvex::cli {

int runLogoutCommand(const QStringList &arguments)
{
    if (arguments == QStringList{QStringLiteral("--help")}) {
        out() << QStringLiteral("Usage: halvex-bridge logout\nSigns out of the Halvex account. This machine "
                                "stays paired: the bridge keeps serving the phone.\n");
        return ExitStatus::success;
    }
    if (!arguments.isEmpty()) {
        err() << QStringLiteral("Usage: halvex-bridge logout") << Qt::endl;
        return misuse;
    }
    QString refusal;
    const std::optional<RelayOrigins> origins = relayOriginsForCommands(&refusal);
    if (!origins) {
        err() << refusal << Qt::endl;
        return misuse;
    }
    AccountRuntime runtime(*origins);
    const std::optional<QString> email = runtime.account()->accountEmail();
    if (!runtime.account()->signOut()) {
        err() << QStringLiteral("The sign-in could not be removed from the credential store.") << Qt::endl;
        return failure;
    }
    if (email)
        out() << QStringLiteral("Signed out of %1. This machine stays paired.").arg(*email) << Qt::endl;
    else
        out() << QStringLiteral("Signed out. This machine stays paired.") << Qt::endl;
    return ExitStatus::success;
}

} // namespace halvex::cli
