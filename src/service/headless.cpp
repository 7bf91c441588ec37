#include "service/headless.h"

#include "account/relay_origin.h"
#include "bridge/bridge_control.h"
#include "platform/logging.h"
#include "platform/session/headless_application.h"
#include "platform/session/single_instance.h"
#include "platform/session/termination_signals.h"
#include "service/desktop_notification.h"

#include <QCoreApplication>
#include <QTimer>

#include <csignal>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace halvex {

namespace {
// Time the close frames of both links get to leave before the loop ends.
constexpr std::chrono::milliseconds shutdownGrace{250};
} // namespace

HeadlessBridge::HeadlessBridge(Options options) : m_runtime(std::make_unique<BridgeRuntime>(std::move(options.runtime)))
{
    BridgeNotifications::Sink sink = options.notificationSink ? std::move(options.notificationSink)
                                                              : BridgeNotifications::Sink(sendDesktopNotification);
    // Watching from before the start, so the first outage counts too.
    m_notifications = std::make_unique<BridgeNotifications>(m_runtime->bridgeManager(), m_runtime->session().settings(),
                                                            std::move(sink), options.notifications);
#ifdef __GLIBC__
    // glibc keeps freed memory in its arenas (one per thread that allocated,
    // the network threads' too) for reuse; a long-running service that
    // streamed a burst of answers would hold that peak for good.
    m_memoryTrim.setInterval(options.timings.memoryTrimInterval);
    QObject::connect(&m_memoryTrim, &QTimer::timeout, &m_memoryTrim, [] { ::malloc_trim(0); });
    m_memoryTrim.start();
#endif
}

// The notifications go first: they watch the bridge.
HeadlessBridge::~HeadlessBridge()
{
    m_notifications.reset();
}

void HeadlessBridge::start()
{
    BridgeManager *bridge = m_runtime->bridgeManager();
    // A missing token or the switch off leaves it unconnected, saying why.
    bridge->start();
    if (!bridge->hasBridgeToken()) {
        qCCritical(lcApp, "No bridge token is stored: this machine is not paired with a Halvex account yet. "
                          "Pair it with `halvex-bridge login` and `halvex-bridge pair` (or the setup wizard "
                          "in a desktop session); this bridge then connects by itself.");
    } else if (!bridge->isEnabled()) {
        qCInfo(lcApp, "The bridge is switched off (\"bridgeEnabled\" is false); waiting without connecting");
    }
}

int runBridgeProgram(BridgeProgram program)
{
    // One bridge per user session, in the tray or not: a second one would
    // hold a second relay connection on the same token.
    SingleInstance instance;
    if (instance.notifyRunning("show") || (!instance.listen() && instance.notifyRunning("show"))) {
        qCInfo(lcApp, "%s", qUtf8Printable(program.alreadyRunning));
        return 0;
    }

    TerminationSignals terminationSignals;
    if (!terminationSignals.isActive()) {
        qCCritical(lcApp, "Cannot watch SIGINT/SIGTERM");
        return 1;
    }

    // The same relay the terminal commands reach (a loopback stand-in in
    // development builds).
    const Result<RelayOrigins> origins = relayOriginsForCommands();
    if (origins) {
        program.bridge.runtime.session.relayOrigins = *origins;
    } else if (program.refuseRelayOverride) {
        qCCritical(lcApp, "%s", qUtf8Printable(origins.error().description()));
        return 2;
    }

    int exitCode = 0;
    {
        HeadlessBridge bridge(std::move(program.bridge));
        BridgeManager *manager = bridge.bridgeManager();
        bool stopping = false;
        QObject::connect(&terminationSignals, &TerminationSignals::received, manager, [&](int signalNumber) {
            if (stopping) { // a second signal: leave at once
                QCoreApplication::quit();
                return;
            }
            stopping = true;
            qCInfo(lcApp, "Received %s — stopping the bridge", signalNumber == SIGINT ? "SIGINT" : "SIGTERM");
            manager->stop();
            QTimer::singleShot(shutdownGrace, QCoreApplication::instance(), &QCoreApplication::quit);
        });

        exitCode = program.run(bridge, instance);
        qCInfo(lcApp, "Halvex Bridge terminating");
    }
    return exitCode;
}

int runHeadless(int argc, char **argv)
{
    const std::unique_ptr<QCoreApplication> application = makeHeadlessApplication(argc, argv);
    installLogFormat();
    qCInfo(lcApp, "Halvex Bridge launching");

    BridgeProgram program;
    program.alreadyRunning = QStringLiteral("Halvex Bridge is already running — not starting a second bridge");
    program.refuseRelayOverride = true;
    program.run = [](HeadlessBridge &bridge, SingleInstance &instance) {
        // The terminal's requests: a new pairing, the status, name and switch.
        BridgeControl control(bridge.bridgeManager(), QStringLiteral("headless"));
        QObject::connect(&instance, &SingleInstance::requestReceived, &control, &BridgeControl::handle);
        bridge.start();
        return QCoreApplication::exec();
    };
    return runBridgeProgram(std::move(program));
}

} // namespace halvex
