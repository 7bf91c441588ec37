#pragma once

#include "views/window_services.h"

#include <QString>
#include <QUrl>

#include <memory>

namespace halvex {

class CredentialStore;
class Settings;
class TrayController;
class RelayAuthService;

// The windows' services for the running program: the relay account and
// pairing clients on the bridge's own stores, and detectors for the user's
// home. Installs every window into the menu.
class WindowRuntime
{
public:
    struct Options {
        QUrl relayHttpOrigin;      // empty: the deployment's (or the development override)
        QUrl relayWebSocketOrigin; // likewise
        QString homeDirectory;     // empty: the user's home
    };

    // The stores are the running bridge's; nothing passed in is owned.
    WindowRuntime(BridgeManager *bridgeManager, Settings *settings, CredentialStore *credentials, LoginItem *loginItem,
                  Options options = {});
    ~WindowRuntime();
    WindowRuntime(const WindowRuntime &) = delete;
    WindowRuntime &operator=(const WindowRuntime &) = delete;

    const WindowServices &services() const { return m_services; }

    // Every menu item opens its window: QR code, OpenClaw settings, account
    // settings, Mobile Model and the setup wizard.
    void install(TrayController *controller);

private:
    std::unique_ptr<RelayAuthService> m_auth;
    std::unique_ptr<AccountService> m_account;
    std::unique_ptr<PairingService> m_pairing;
    WindowServices m_services;
};

} // namespace halvex
