#pragma once

#include "bridge/bridge_runtime.h"
#include "service/bridge_notifications.h"

#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

namespace halvex {

class SingleInstance;

// The bridge as both programs run it: the bridge runtime on this user's
// session, and the notifications about its links (the desktop's
// notification service unless told otherwise; nothing shows where none
// runs). The headless process runs it alone, the tray with its menu in front.
class HeadlessBridge
{
public:
    struct Timings {
        // How often memory that the allocator holds free (after a burst of
        // chats, say) is handed back to the system.
        std::chrono::milliseconds memoryTrimInterval = std::chrono::seconds(15);
    };

    struct Options {
        BridgeRuntime::Options runtime;
        Timings timings;
        BridgeNotifications::Timings notifications;
        // Shows one notification; none: sendDesktopNotification.
        BridgeNotifications::Sink notificationSink;
    };

    explicit HeadlessBridge(Options options);
    ~HeadlessBridge();
    HeadlessBridge(const HeadlessBridge &) = delete;
    HeadlessBridge &operator=(const HeadlessBridge &) = delete;

    BridgeRuntime &runtime() { return *m_runtime; }
    BridgeManager *bridgeManager() const { return m_runtime->bridgeManager(); }

    // Connects when a bridge token is stored and the bridge is switched on;
    // otherwise says why it waits.
    void start();

private:
    std::unique_ptr<BridgeRuntime> m_runtime;
    QTimer m_memoryTrim;
    std::unique_ptr<BridgeNotifications> m_notifications;
};

// What sets the tray program and the headless one apart at start-up.
struct BridgeProgram {
    // Logged when this session's bridge runs already (it was handed "show");
    // this start then ends with exit status 0.
    QString alreadyRunning;
    // A development relay override that this build refuses ends the start
    // (exit status 2) instead of leaving the bridge on the deployment's relay.
    bool refuseRelayOverride = false;
    HeadlessBridge::Options bridge;
    // The program's own part on the bridge: answers the instance's requests,
    // starts the bridge, runs the event loop and returns its exit status.
    std::function<int(HeadlessBridge &bridge, SingleInstance &instance)> run;
};

// The one start-up of a bridge, for the tray and the headless process: one
// bridge per user session (a later start hands the running one "show" and
// leaves), the user's session and the bridge on it opened once, and SIGINT
// or SIGTERM stopping the bridge (its links close) before the event loop
// ends; a second signal ends it at once. Runs in the application the
// program made. Returns the exit status.
int runBridgeProgram(BridgeProgram program);

// Runs the bridge without any window or tray (servers without a desktop):
// logs to stderr and stops cleanly on SIGINT or SIGTERM. Returns the exit code.
int runHeadless(int argc, char **argv);

} // namespace halvex
