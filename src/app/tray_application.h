#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <functional>
#include <memory>

class QTimer;

namespace halvex {

class BridgeControl;
class BridgeManager;
class InstanceReply;
class LoginItem;
class TrayController;

// The application's start-up and end: creates the one bridge manager and the
// tray menu in their order, starts the bridge or opens the setup wizard, and
// serves as the headless bridge where the desktop has no system tray.
class TrayApplication : public QObject
{
    Q_OBJECT
public:
    // Creates the bridge manager at launch; its owner keeps it alive longer
    // than the tray application.
    using BridgeFactory = std::function<BridgeManager *()>;

    struct Timings {
        // How often a tray-less session looks again for a tray (one may
        // appear after login).
        std::chrono::milliseconds trayCheckInterval = std::chrono::seconds(5);
    };

    struct Options {
        LoginItem *loginItem = nullptr; // not owned; used by the menu
        // Whether the desktop has a system tray; QSystemTrayIcon's answer
        // when empty.
        std::function<bool()> systemTrayAvailable;
        Timings timings;
    };

    TrayApplication(BridgeFactory bridgeFactory, Options options, QObject *parent = nullptr);
    ~TrayApplication() override;

    void launch();

    BridgeManager *bridgeManager() const { return m_bridgeManager; }
    // None while running without a tray.
    TrayController *trayController() const { return m_trayController.get(); }

public Q_SLOTS:
    // A request from a later launch of the program ("show") or a terminal
    // command (account/bridge_requests.h); `reply` takes the answer.
    void handleInstanceRequest(const QByteArray &request, halvex::InstanceReply *reply = nullptr);

Q_SIGNALS:
    // The tray exists (at launch, or when a tray appeared later).
    void trayControllerCreated(halvex::TrayController *controller);

private:
    bool trayAvailable() const;
    void createTrayController();
    void checkForTray();
    void showFromAnotherLaunch();

    BridgeFactory m_bridgeFactory;
    Options m_options;
    BridgeManager *m_bridgeManager = nullptr;
    std::unique_ptr<TrayController> m_trayController;
    std::unique_ptr<BridgeControl> m_control;
    QTimer *m_trayCheck = nullptr;
};

} // namespace halvex
