// halvex-bridge pair [CODE | -]: pairs this machine with the Halvex account
// and prints the QR code the phone scans, right in the terminal.
#include "account/qr_code.h"
#include "account/user_session.h"
#include "cli/account_command.h"
#include "cli/cli.h"
#include "platform/atomic_file.h"
#include "platform/characters.h"
#include "platform/wait_for_task.h"

#include <QCommandLineParser>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <qcoro/qcorotask.h>

#include <unistd.h>

namespace halvex::cli {

namespace {

bool useColours(bool refused)
{
    return !refused && ::isatty(STDOUT_FILENO) == 1 && qEnvironmentVariableIsEmpty("NO_COLOR");
}

// The code argument that reads the code from standard input instead.
const QString codeFromInput = QStringLiteral("-");

struct Shown {
    QByteArray payload;
    QString bridgeName;
    QString bridgeId;
    std::optional<QString> code;
    bool paired = false;
};

int show(const Shown &shown, bool json, bool colours, const QString &pngPath, std::optional<bool> bridgeNotified)
{
    if (!pngPath.isEmpty()) {
        const std::optional<QByteArray> png = makeQRPng(shown.payload, PairingService::qrImageSize);
        // The image holds the gateway token and the pairing code.
        if (!png || !writeFileAtomically(pngPath, *png, QFile::ReadOwner | QFile::WriteOwner)) {
            err() << QStringLiteral("Cannot write the QR image to %1.").arg(pngPath) << Qt::endl;
            return failure;
        }
    }
    if (json) {
        QJsonObject object{{QStringLiteral("paired"), shown.paired},
                           {QStringLiteral("bridgeName"), shown.bridgeName},
                           {QStringLiteral("bridgeId"), shown.bridgeId},
                           {QStringLiteral("payload"), QString::fromUtf8(shown.payload)}};
        if (shown.code)
            object.insert(QStringLiteral("code"), *shown.code);
        if (bridgeNotified)
            object.insert(QStringLiteral("bridgeNotified"), *bridgeNotified);
        out() << QJsonDocument(object).toJson(QJsonDocument::Compact) << Qt::endl;
        return ExitStatus::success;
    }
    const std::optional<QString> qr = renderTerminalQR(shown.payload, colours);
    if (!qr) {
        err() << qrCodeFailureText() << Qt::endl;
        return failure;
    }
    out() << *qr << Qt::endl;
    out() << QStringLiteral("Scan with the Halvex app: Settings → Scan QR Code.") << Qt::endl;
    if (shown.code)
        out() << QStringLiteral("Pairing code: %1").arg(quotedForLog(*shown.code, 40)) << Qt::endl;
    if (shown.paired) {
        out() << QStringLiteral("Paired as \"%1\"").arg(quotedForLog(shown.bridgeName, 200));
        if (!shown.bridgeId.isEmpty())
            out() << QStringLiteral(" (bridge %1)").arg(quotedForLog(shown.bridgeId, 80));
        out() << QLatin1Char('.') << Qt::endl;
    }
    if (bridgeNotified) {
        out() << (*bridgeNotified ? QStringLiteral("The running bridge connects with the new pairing now.")
                                  : QStringLiteral("Start the bridge (halvex-bridge --headless, or the tray app) "
                                                   "to connect."))
              << Qt::endl;
    }
    return ExitStatus::success;
}

} // namespace

int runPairCommand(UserSession &session, const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Pairs this machine with your Halvex account (sign in first with halvex-bridge login) and prints the "
        "QR code for the phone. With CODE, uses the code the phone shows instead; with - in its place, reads "
        "the code from standard input (a prompt that does not echo on a terminal), so that it never shows on "
        "a command line. With --qr, only shows the QR code of the current pairing (with a fresh code when "
        "signed in). The --png image holds the gateway token: it is written readable by you alone."));
    parser.addPositionalArgument(QStringLiteral("code"),
                                 QStringLiteral("A pairing code from the phone (XXXX-XXXX), or - to read it from "
                                                "standard input."),
                                 QStringLiteral("[CODE | -]"));
    const QCommandLineOption qrOption(QStringLiteral("qr"), QStringLiteral("Show the QR code without pairing again."));
    const QCommandLineOption pngOption(QStringLiteral("png"),
                                       QStringLiteral("Also write the QR code as a PNG image (mode 0600)."),
                                       QStringLiteral("file"));
    const QCommandLineOption plainOption(QStringLiteral("no-color"),
                                         QStringLiteral("Print the QR code without colours."));
    const QCommandLineOption jsonOption(QStringLiteral("json"), QStringLiteral("Print the outcome as JSON."));
    parser.addOptions({qrOption, pngOption, plainOption, jsonOption});
    const std::optional<int> done =
        openAccountCommand(session, parser, QStringLiteral("pair"), arguments, 1, [&](const QCommandLineParser &given) {
            const QStringList positional = given.positionalArguments();
            if (given.isSet(qrOption) && !positional.isEmpty())
                return QStringLiteral("Usage: halvex-bridge pair [CODE | - | --qr] [--png FILE] [--no-color] [--json]");
            if (!positional.isEmpty() && positional.first() != codeFromInput)
                return PairingService::codeProblem(positional.first());
            return QString();
        });
    if (done)
        return *done;
    QStringList positional = parser.positionalArguments();
    if (!positional.isEmpty() && positional.first() == codeFromInput) {
        // The code alone redeems a bridge token: it stays off the command
        // line (and out of the terminal's echo).
        const std::optional<QString> typed = readLine(QStringLiteral("Pairing code: "), true);
        const QString why =
            typed ? PairingService::codeProblem(*typed) : QStringLiteral("No pairing code on standard input.");
        if (!why.isEmpty()) {
            err() << why << Qt::endl;
            return misuse;
        }
        positional.first() = *typed;
    }
    const bool json = parser.isSet(jsonOption);
    const bool colours = useColours(parser.isSet(plainOption));
    const QString pngPath = parser.value(pngOption);
    PairingService *pairing = session.pairing();

    if (parser.isSet(qrOption)) {
        const QRCodeContent content = waitForTask(pairing->generateQRCode());
        if (content.errorMessage) {
            err() << *content.errorMessage << Qt::endl;
            return failure;
        }
        const std::optional<PairingResult> paired = pairing->alreadyPaired();
        Shown shown{content.payload, paired ? paired->bridgeName : QString(), paired ? paired->bridgeId : QString(),
                    std::nullopt, paired.has_value()};
        const QJsonObject relay =
            QJsonDocument::fromJson(content.payload).object().value(QStringLiteral("relay")).toObject();
        if (relay.contains(QStringLiteral("code")))
            shown.code = relay.value(QStringLiteral("code")).toString();
        return show(shown, json, colours, pngPath, std::nullopt);
    }

    const Result<PairingResult> result = positional.isEmpty() ? waitForTask(pairing->pairAutomatically())
                                                              : waitForTask(pairing->pairWithCode(positional.first()));
    if (!result) {
        if (json) {
            out() << QJsonDocument(QJsonObject{{QStringLiteral("paired"), false},
                                               {QStringLiteral("error"), result.error().description()}})
                         .toJson(QJsonDocument::Compact)
                  << Qt::endl;
        } else {
            err() << quotedForLog(result.error().description(), 1000) << Qt::endl;
        }
        if (!session.account()->isSignedIn() && positional.isEmpty() && !json)
            err() << QStringLiteral("Sign in with: halvex-bridge login") << Qt::endl;
        return failure;
    }
    const Shown shown{result->payload, result->bridgeName, result->bridgeId, result->code, true};
    return show(shown, json, colours, pngPath, session.bridgeNotified());
}

} // namespace halvex::cli
