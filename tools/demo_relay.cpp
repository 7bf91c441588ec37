// The demonstration's relay and phone: runs the relay stand-in (bridge
// WebSocket and account API) on loopback, a real OpenClaw gateway with the
// model stand-in behind it, pairs a headless halvex-bridge through its own
// commands, and then plays the phone: every line read from standard input
// goes to the bridge as the phone sends it through the relay, and the
// streamed answer is printed piece by piece as it arrives.
//
// scripts/demo builds it and runs it in a private session (scratch HOME,
// private D-Bus and keyring); run that, not this, so that nothing touches
// your own settings, keyring or OpenClaw.
#include "demo_session.h"
#include "phone_console.h"

#include "platform/session/termination_signals.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

using namespace halvex;
using halvex::demo::DemoSession;

namespace {

enum ExitCode { allAnswered = 0, failed = 1, misuse = 2, interruptedByUser = 130 };

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Runs the relay stand-in, a real OpenClaw gateway with a model stand-in and a paired headless bridge, "
        "then sends each line of standard input to the bridge as the phone does and prints the streamed "
        "answer. Meant to run under scripts/demo."));
    parser.addHelpOption();
    const QCommandLineOption bridgeOption(QStringLiteral("bridge"), QStringLiteral("The halvex-bridge executable."),
                                          QStringLiteral("path"));
    const QCommandLineOption versionOption(QStringLiteral("openclaw-version"),
                                           QStringLiteral("The installed OpenClaw release to run."),
                                           QStringLiteral("version"), test::OpenClawGateway::defaultVersion());
    const QCommandLineOption answerOption(QStringLiteral("answer"),
                                          QStringLiteral("What the model stand-in answers every chat with."),
                                          QStringLiteral("text"));
    const QCommandLineOption delayOption(QStringLiteral("chunk-delay"),
                                         QStringLiteral("Milliseconds between the model's streamed pieces."),
                                         QStringLiteral("ms"), QStringLiteral("60"));
    const QCommandLineOption timeoutOption(QStringLiteral("answer-timeout"),
                                           QStringLiteral("Seconds to wait for each answer."), QStringLiteral("s"),
                                           QStringLiteral("180"));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"),
                                           QStringLiteral("Show the bridge's and the gateway's output."));
    parser.addOptions({bridgeOption, versionOption, answerOption, delayOption, timeoutOption, verboseOption});
    if (!parser.parse(app.arguments())) {
        err << parser.errorText() << Qt::endl;
        return misuse;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        out << parser.helpText();
        return allAnswered;
    }
    bool delayOk = false;
    bool timeoutOk = false;
    const int chunkDelay = parser.value(delayOption).toInt(&delayOk);
    const int answerTimeout = parser.value(timeoutOption).toInt(&timeoutOk);
    const QString bridgeProgram = parser.value(bridgeOption);
    if (!delayOk || chunkDelay < 0 || chunkDelay > 10000 || !timeoutOk || answerTimeout < 1 || answerTimeout > 3600 ||
        !parser.positionalArguments().isEmpty()) {
        err << QStringLiteral("Usage: demo_relay --bridge PATH [--openclaw-version V] [--answer TEXT] "
                              "[--chunk-delay MS] [--answer-timeout S] [--verbose]")
            << Qt::endl;
        return misuse;
    }
    if (!QFileInfo(bridgeProgram).isExecutable()) {
        err << QStringLiteral("--bridge must name the halvex-bridge executable (got \"%1\").").arg(bridgeProgram)
            << Qt::endl;
        return misuse;
    }
    // The bridge stores a pairing: never in the user's own session.
    if (qEnvironmentVariable("HALVEX_DEMO_SESSION") != QLatin1String("private")) {
        err << QStringLiteral("Run the demo through scripts/demo, which gives it a private session.") << Qt::endl;
        return misuse;
    }

    DemoSession::Config config;
    config.bridgeProgram = bridgeProgram;
    config.openClawVersion = parser.value(versionOption);
    if (parser.isSet(answerOption))
        config.answer = parser.value(answerOption);
    config.chunkDelayMs = chunkDelay;
    config.verbose = parser.isSet(verboseOption);

    DemoSession session(config, out, err);
    std::unique_ptr<demo::PhoneConsole> phone;
    TerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &TerminationSignals::received, &app, [&](int) {
        session.interrupt();
        // While the steps run, their own waits notice the interruption.
        if (phone) {
            phone->stop();
            QCoreApplication::exit(interruptedByUser);
        }
    });

    if (!session.start()) {
        out << QStringLiteral("Stopping what was started…") << Qt::endl;
        session.stop();
        return session.interrupted() ? interruptedByUser : failed;
    }

    demo::PhoneConsole::Options phoneOptions;
    phoneOptions.interactive = ::isatty(STDIN_FILENO) == 1;
    phoneOptions.answerTimeoutMs = answerTimeout * 1000;
    phone = std::make_unique<demo::PhoneConsole>(session.relay(), out, phoneOptions);
    QObject::connect(phone.get(), &demo::PhoneConsole::finished, &app,
                     [](int sent, int answered) { QCoreApplication::exit(sent == answered ? allAnswered : failed); });
    QObject::connect(&session, &DemoSession::bridgeExited, &app, [&](const QString &how) {
        err << QStringLiteral("The bridge stopped by itself (%1).").arg(how) << Qt::endl;
        phone->stop();
        QCoreApplication::exit(failed);
    });

    out << Qt::endl
        << QStringLiteral("You are the phone now. Type a message and press Enter; the answer streams in as the "
                          "bridge relays it. Ctrl-D or Ctrl-C ends the demo.")
        << Qt::endl;
    QTimer::singleShot(0, phone.get(), &demo::PhoneConsole::start);
    const int code = app.exec();
    out << QStringLiteral("%1 of %2 messages answered (in %3 streamed pieces). Stopping the bridge, the gateway "
                          "and the relay stand-in…")
               .arg(phone->answeredCount())
               .arg(phone->sentCount())
               .arg(phone->chunkCount())
        << Qt::endl;
    phone.reset();
    session.stop();
    out << QStringLiteral("Done.") << Qt::endl;
    return code;
}
