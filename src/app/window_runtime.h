#pragma once

#include "views/window_services.h"

namespace halvex {

class BridgeRuntime;
class LoginItem;
class TrayController;

// The windows' services for the running program: the bridge and its
// session's stores, account and pairing services, and detectors for the
// user's home. Installs every window into the menu.
class WindowRuntime
{
public:
    // Nothing passed in is owned; the runtime outlives this object.
    WindowRuntime(BridgeRuntime &runtime, LoginItem *loginItem);

    const WindowServices &services() const { return m_services; }

    // Every menu item opens its window: QR code, OpenClaw settings, account
    // settings, Mobile Model and the setup wizard.
    void install(TrayController *controller);

private:
    WindowServices m_services;
};

} // namespace halvex
