// halvex-bridge logout: forgets the relay sign-in; the pairing stays.
#include "account/user_session.h"
#include "cli/account_command.h"
#include "cli/cli.h"
#include "platform/characters.h"

#include <QCommandLineParser>

#include <QTextStream>

namespace halvex::cli {

int runLogoutCommand(UserSession &session, const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Signs out of the Halvex account. This machine stays paired: "
                                                    "the bridge keeps serving the phone."));
    const std::optional<int> done = openAccountCommand(session, parser, QStringLiteral("logout"), arguments, 0);
    if (done)
        return *done;
    const std::optional<QString> email = session.account()->accountEmail();
    if (!session.account()->signOut()) {
        err() << QStringLiteral("The sign-in could not be removed from the credential store.") << Qt::endl;
        return failure;
    }
    if (email)
        out() << QStringLiteral("Signed out of %1. This machine stays paired.").arg(quotedForLog(*email, 320))
              << Qt::endl;
    else
        out() << QStringLiteral("Signed out. This machine stays paired.") << Qt::endl;
    return ExitStatus::success;
}

} // namespace halvex::cli
