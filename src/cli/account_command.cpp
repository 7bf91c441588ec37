#include "cli/account_command.h"

#include "account/user_session.h"
#include "cli/cli.h"
#include "platform/characters.h"

#include <QCommandLineParser>
#include <QTextStream>

namespace halvex::cli {

std::optional<int> openAccountCommand(UserSession &session, QCommandLineParser &parser, const QString &command,
                                      const QStringList &arguments, qsizetype maxPositional,
                                      const ArgumentCheck &misuse)
{
    if (const std::optional<int> done = parseCommandArguments(parser, command, arguments))
        return *done;
    if (parser.positionalArguments().size() > maxPositional) {
        err() << QStringLiteral("Too many arguments. See: halvex-bridge %1 --help").arg(command) << Qt::endl;
        return int(ExitStatus::misuse);
    }
    if (const QString why = misuse ? misuse(parser) : QString(); !why.isEmpty()) {
        err() << why << Qt::endl;
        return int(ExitStatus::misuse);
    }
    if (const Result<RelayOrigins> &origins = session.relayOrigins(); !origins) {
        err() << quotedForLog(origins.error().description(), 1000) << Qt::endl;
        return int(ExitStatus::misuse);
    }
    return std::nullopt;
}

} // namespace halvex::cli
