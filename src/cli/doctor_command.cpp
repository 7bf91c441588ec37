#include "account/user_session.h"
#include "cli/cli.h"
#include "cli/doctor.h"
#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"
#include "platform/settings.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QTextStream>

#include <qcoro/qcorotask.h>

namespace halvex::cli {

int runDoctorCommand(UserSession &session, const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Checks the credential store, the relay link, the OpenClaw gateway and Ollama, one line each, with the "
        "command or setting that mends each failure. Exit status 0 only when the bridge can answer chats."));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Print the results as JSON."));
    const QCommandLineOption verbose(QStringLiteral("verbose"), QStringLiteral("Also print the log lines."));
    parser.addOptions({json, verbose});
    if (const std::optional<int> status = parseCommandArguments(parser, QStringLiteral("doctor"), arguments))
        return *status;
    if (!parser.positionalArguments().isEmpty()) {
        err() << "halvex-bridge doctor: unexpected argument '" << parser.positionalArguments().constFirst() << "'\n";
        return misuse;
    }
    // The report says what the log lines would; they only clutter it.
    QLoggingCategory::setFilterRules(parser.isSet(verbose) ? appId() + QStringLiteral(".*.debug=true")
                                                           : appId() + QStringLiteral(".*=false"));

    DoctorEnvironment environment;
    environment.credentials = session.credentials();
    environment.settings = session.settings();
    environment.relayOrigin = relayWebSocketOrigin();
    environment.homeDirectory = session.homeDirectory();

    const DoctorReport report = QCoro::waitFor(runDoctor(environment, doctorChecks()));
    if (parser.isSet(json))
        out() << QJsonDocument(report.json()).toJson(QJsonDocument::Indented);
    else
        out() << report.text();
    out().flush();
    return report.canAnswerChats() ? success : failure;
}

} // namespace halvex::cli
