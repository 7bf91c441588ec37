#include "bridge/headless.h"

#include "bridge/bridge_runtime.h"
#include "platform/logging.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace halvex {

namespace {

// Self-pipe: the signal handler only writes the signal number; the event
// loop reads it and shuts down in ordinary code.
int g_signalPipe[2] = {-1, -1};

extern "C" void onTerminationSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
    errno = savedErrno;
}

bool installSignalPipe()
{
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

void restoreDefaultSignals()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

// Time the close frames of both links get to leave before the loop ends.
constexpr int shutdownGraceMs = 250;

} // namespace

int runHeadless(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    installLogFormat();
    qCInfo(lcApp, "Halvex Bridge launching");

    if (!installSignalPipe()) {
        qCCritical(lcApp, "Cannot watch SIGINT/SIGTERM: %s", std::strerror(errno));
        return 1;
    }

    int exitCode = 0;
    {
        BridgeRuntime runtime;
        BridgeManager *bridge = runtime.bridgeManager();

        if (!runtime.hasBridgeToken()) {
            qCCritical(lcApp, "No bridge token is stored: this machine is not paired with a Halvex account yet. "
                              "Pair it with the setup wizard (run halvex-bridge in a desktop session), "
                              "then start the headless bridge again.");
        } else if (!bridge->isEnabled()) {
            qCInfo(lcApp, "The bridge is switched off (\"bridgeEnabled\" is false); waiting without connecting");
        } else {
            bridge->start();
        }

        bool stopping = false;
        QSocketNotifier notifier(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
            unsigned char byte = 0;
            while (::read(g_signalPipe[0], &byte, 1) == 1) {
            }
            if (stopping) { // a second signal: leave at once
                QCoreApplication::quit();
                return;
            }
            stopping = true;
            qCInfo(lcApp, "Received %s — stopping the bridge", byte == SIGINT ? "SIGINT" : "SIGTERM");
            bridge->stop();
            QTimer::singleShot(shutdownGraceMs, &app, &QCoreApplication::quit);
        });

        exitCode = app.exec();
        qCInfo(lcApp, "Halvex Bridge terminating");
    }

    restoreDefaultSignals();
    ::close(g_signalPipe[0]);
    ::close(g_signalPipe[1]);
    g_signalPipe[0] = g_signalPipe[1] = -1;
    return exitCode;
}

} // namespace halvex
