#pragma once

#include "bridge/bridge_runtime.h"
#include "service/bridge_notifications.h"

#include <QTimer>

#include <chrono>
#include <memory>

namespace halvex {

// The bridge as the headless process runs it: the user's stores, the
// deployment's relay (or, in development builds, HALVEX_RELAY_WS_ORIGIN), and
// the notifications about its links sent to the desktop's notification
// service (nothing shows where none runs).
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

// Runs the bridge without any window or tray (servers without a desktop):
// logs to stderr and stops cleanly on SIGINT or SIGTERM. Returns the exit code.
int runHeadless(int argc, char **argv);

} // namespace halvex
