#pragma once

#include "app/status_icon_manager.h"
#include "app/status_menu.h"
#include "bridge/bridge_connection_state.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>

#include <functional>
#include <memory>

class QMenu;
class QMessageBox;
class QSystemTrayIcon;
class QWidget;

namespace halvex {

class BridgeManager;
class LoginItem;

// The program's visible surface: the tray icon with its coloured state and
// its menu, rebuilt as a whole whenever the bridge's state changes, and every
// window the menu opens. At most one of the settings-like windows is open at
// a time; the setup wizard has a slot of its own.
class TrayController : public QObject
{
    Q_OBJECT
public:
    // The windows that share the one settings slot.
    enum class SettingsWindow { qrCode, openClawSettings, accountSettings, mobileModel, about };

    // Builds a window's content (a parentless widget) for the bridge manager.
    using WindowFactory = std::function<QWidget *(BridgeManager *bridgeManager)>;
    // Builds the setup wizard; it calls `onComplete` when the user finished.
    using SetupWizardFactory = std::function<QWidget *(BridgeManager *bridgeManager, std::function<void()> onComplete)>;
    // Shows a modal alert and returns once the user chose a button.
    using AlertRunner = std::function<void(QMessageBox &alert)>;

    using MenuContent = StatusMenuContent;

    // Neither the bridge manager nor the login item is owned; both must
    // outlive the controller. The tray icon is shown when the desktop has a
    // tray; the menu and icon are kept up to date either way.
    TrayController(BridgeManager *bridgeManager, LoginItem *loginItem, QObject *parent = nullptr);
    ~TrayController() override;

    BridgeManager *bridgeManager() const { return m_bridgeManager; }
    QSystemTrayIcon *statusItem() const { return m_statusItem; }
    StatusIconManager *statusIconManager() const { return m_statusIconManager.get(); }
    // The current menu; replaced (and the old one deleted later) on rebuild.
    QMenu *menu() const;
    QWidget *settingsWindow() const;
    QWidget *setupWindow() const;

    MenuContent menuContent() const;
    // StatusMenu::build, for those that know the controller.
    static QMenu *buildMenu(const MenuContent &content, TrayController *target = nullptr)
    {
        return StatusMenu::build(content, target);
    }
    static QString memorySyncAlertText();
    static QString windowTitle(SettingsWindow window);
    static QSize windowSize(SettingsWindow window);

    // Windows are built by factories so each view can be plugged in when it
    // exists; a window without a factory says so in the log.
    void setWindowFactory(SettingsWindow window, WindowFactory factory);
    void setSetupWizardFactory(SetupWizardFactory factory);
    // Tests answer the alert without showing it.
    void setAlertRunner(AlertRunner runner);
    // What quitApp does; quits the event loop by default.
    void setQuitHandler(std::function<void()> quit);

public Q_SLOTS:
    void toggleEnabled();
    void showQRCode();
    void showOpenClawSettings();
    void showAccountSettings();
    void showMobileModel();
    void toggleMemorySync();
    void runSetupWizard();
    void toggleLoginItem();
    void showAbout();
    void quitApp();

    // Opens the setup wizard (or raises it when it is already open).
    void showSetupWizard();
    // Pops the menu up where the user can see it (another launch asked).
    void showStatusMenu();
    // The wizard finished: close it, restart the bridge unless it is
    // already connected, rebuild the menu.
    void setupDidComplete();

Q_SIGNALS:
    void menuRebuilt();

private:
    void scheduleStateUpdate();
    void applyState();
    void rebuildMenu();
    void openSettingsWindow(SettingsWindow window);
    static void present(QWidget *window, const QString &title, QSize size, bool floating);

    BridgeManager *m_bridgeManager;
    LoginItem *m_loginItem;
    QSystemTrayIcon *m_statusItem = nullptr;
    std::unique_ptr<StatusIconManager> m_statusIconManager;
    QPointer<QMenu> m_menu;
    QPointer<QWidget> m_setupWindow;
    QPointer<QWidget> m_settingsWindow;
    QHash<int, WindowFactory> m_windowFactories;
    SetupWizardFactory m_setupWizardFactory;
    AlertRunner m_alertRunner;
    std::function<void()> m_quit;
    bool m_updatePending = false;
};

} // namespace halvex
