#pragma once

#include "platform/net/discovered_gateway.h"

#include <QString>

class QObject;

#include <functional>
#include <memory>

namespace halvex {

// A browse for gateways on the local network, made by the desktop-bus
// module. Results are delivered on the thread's event loop, the first
// possibly inside start(). Destroying it ends the browse; that is allowed
// inside a handler.
class GatewayBrowse
{
public:
    struct Handlers {
        std::function<void(const DiscoveredGateways &)> changed; // the complete current set, after every change
        std::function<void(const QString &reason)> failed;       // Avahi is not there or the browse failed
    };

    virtual ~GatewayBrowse() = default;
    virtual void start() = 0;
};

// What needs D-Bus on a desktop (finding gateways through Avahi, desktop
// notifications, news of network changes and resumes) lives in the module halvex-desktop-bus.so (see
// platform/runtime_module.h), loaded on first use: the idle headless bridge
// maps neither Qt D-Bus nor libdbus, libsystemd and libgcrypt behind it.
namespace DesktopBusModule {

inline constexpr char fileName[] = "halvex-desktop-bus.so";

// A browse for `serviceType` through Avahi on the bus at `busAddress`
// (empty: the system bus). Its D-Bus side lives no longer than `owner`.
// Null when the module cannot be used; problem() then says why.
std::unique_ptr<GatewayBrowse> browseGateways(const QString &busAddress, const QString &serviceType,
                                              GatewayBrowse::Handlers handlers, QObject *owner);

// Sends a notification to the desktop's notification service on the
// session bus, not waiting for an answer. False when no session bus is
// configured or the module cannot be used.
bool notify(const QString &title, const QString &body);

// Calls `woke` (on this thread's event loop, with a few words on why)
// whenever the network changes or the machine resumes from sleep, for as
// long as `owner` lives. False when there is no system bus (nothing is
// loaded then) or the module cannot be used.
bool watchWakeups(std::function<void(const QString &why)> woke, QObject *owner);

// Why the module could not be used, once it was needed; empty otherwise.
QString problem();

} // namespace DesktopBusModule

// The names the module exports (extern "C").
#define HALVEX_DESKTOP_BUS_VERSION_SYMBOL "halvex_desktop_bus_version"
#define HALVEX_DESKTOP_BUS_BROWSE_SYMBOL "halvex_desktop_bus_browse"
#define HALVEX_DESKTOP_BUS_NOTIFY_SYMBOL "halvex_desktop_bus_notify"
#define HALVEX_DESKTOP_BUS_WAKEUPS_SYMBOL "halvex_desktop_bus_watch_wakeups"

} // namespace halvex
