#include "app/app_delegate.h"

#include "app/menu_bar_controller.h"
#include "bridge/bridge_control.h"
#include "bridge/bridge_manager.h"
#include "platform/deployment.h"
#include "platform/keychain_manager.h"
#include "platform/logging.h"

#include <QGuiApplication>
#include <QSystemTrayIcon>
#include <QTimer>

namespace halvex {

AppDelegate::AppDelegate(BridgeFactory bridgeFactory, Options options, QObject *parent)
    : QObject(parent), m_bridgeFactory(std::move(bridgeFactory)), m_options(std::move(options))
{
}

// The controller and the request handler go first: they refer to the
// bridge manager.
AppDelegate::~AppDelegate() = default;

bool AppDelegate::trayAvailable() const
{
    return m_options.systemTrayAvailable ? m_options.systemTrayAvailable() : QSystemTrayIcon::isSystemTrayAvailable();
}

bool AppDelegate::hasBridgeToken() const
{
    return m_bridgeManager->hasBridgeToken();
}

void AppDelegate::applicationDidFinishLaunching()
{
    qCInfo(lcApp, "Halvex Bridge launching");

    // A tray-only program: no main window, and closing the last window does
    // not end it.
    QGuiApplication::setQuitOnLastWindowClosed(false);

    // Construction applies the stored on/off switch, so an enabled bridge
    // with a token is already connecting after this line.
    m_bridgeManager = m_bridgeFactory();
    m_control = std::make_unique<BridgeControl>(
        m_bridgeManager, BridgeControl::Options{QStringLiteral("tray"), [this] { showFromAnotherLaunch(); }});

    if (trayAvailable()) {
        createMenuBarController();
    } else {
        qCInfo(lcApp, "No system tray available — running as the headless bridge");
        m_trayCheck = new QTimer(this);
        m_trayCheck->setInterval(m_options.timings.trayCheckIntervalMs);
        QObject::connect(m_trayCheck, &QTimer::timeout, this, &AppDelegate::checkForTray);
        m_trayCheck->start();
    }

    // The first read of the credential store: an item left in the older
    // store moves over here.
    if (m_bridgeManager->bridgeTokenState() != BridgeManager::TokenState::none) {
        // Picks up the gateway settings loaded after the first start; a
        // store that cannot answer yet is reported there and asked again.
        m_bridgeManager->start();
    } else if (m_menuBarController) {
        m_menuBarController->showSetupWizard();
    } else {
        qCInfo(lcApp, "No bridge token stored — pair this bridge with the setup wizard in a desktop session");
    }
}

void AppDelegate::applicationWillTerminate()
{
    // Settings are stored as they change and the links end with the process.
    qCInfo(lcApp, "Halvex Bridge terminating");
}

void AppDelegate::createMenuBarController()
{
    m_menuBarController = std::make_unique<MenuBarController>(m_bridgeManager, m_options.loginItem);
    Q_EMIT menuBarControllerCreated(m_menuBarController.get());
}

void AppDelegate::checkForTray()
{
    if (!trayAvailable())
        return;
    delete m_trayCheck;
    m_trayCheck = nullptr;
    qCInfo(lcApp, "A system tray appeared — showing the status icon");
    createMenuBarController();
}

void AppDelegate::handleInstanceRequest(const QByteArray &request, InstanceReply *reply)
{
    if (m_control)
        m_control->handle(request, reply);
}

void AppDelegate::showFromAnotherLaunch()
{
    if (!m_menuBarController) {
        qCInfo(lcApp, "Running as the headless bridge — there is no window to show");
        return;
    }
    if (!hasBridgeToken())
        m_menuBarController->showSetupWizard();
    else
        m_menuBarController->showStatusMenu();
}

} // namespace halvex
