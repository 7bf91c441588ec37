#include "app/tray_application.h"

#include "app/tray_controller.h"
#include "bridge/bridge_control.h"
#include "bridge/bridge_manager.h"
#include "platform/deployment.h"
#include "platform/logging.h"
#include "platform/secrets/credential_store.h"

#include <QGuiApplication>
#include <QSystemTrayIcon>
#include <QTimer>

namespace halvex {

TrayApplication::TrayApplication(BridgeFactory bridgeFactory, Options options, QObject *parent)
    : QObject(parent), m_bridgeFactory(std::move(bridgeFactory)), m_options(std::move(options))
{
}

// The controller and the request handler go first: they refer to the
// bridge manager.
TrayApplication::~TrayApplication() = default;

bool TrayApplication::trayAvailable() const
{
    return m_options.systemTrayAvailable ? m_options.systemTrayAvailable() : QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayApplication::launch()
{
    qCInfo(lcApp, "Halvex Bridge launching");

    // A tray-only program: no main window, and closing the last window does
    // not end it.
    QGuiApplication::setQuitOnLastWindowClosed(false);

    // Made, not started: start() comes once the menu is up.
    m_bridgeManager = m_bridgeFactory();
    m_control = std::make_unique<BridgeControl>(m_bridgeManager, QStringLiteral("tray"));
    QObject::connect(m_control.get(), &BridgeControl::showRequested, this, &TrayApplication::showFromAnotherLaunch);

    if (trayAvailable()) {
        createTrayController();
    } else {
        qCInfo(lcApp, "No system tray available — running as the headless bridge");
        m_trayCheck = new QTimer(this);
        m_trayCheck->setInterval(m_options.timings.trayCheckInterval);
        QObject::connect(m_trayCheck, &QTimer::timeout, this, &TrayApplication::checkForTray);
        m_trayCheck->start();
    }

    // The first read of the credential store: an item left in the older
    // store moves over here.
    const bool paired = m_bridgeManager->hasBridgeToken();
    // A missing token, or a store that cannot answer yet (asked again), shows
    // in the bridge's state.
    m_bridgeManager->start();
    if (paired)
        return;
    if (m_trayController)
        m_trayController->showSetupWizard();
    else
        qCInfo(lcApp, "No bridge token stored — pair this bridge with the setup wizard in a desktop session");
}

void TrayApplication::createTrayController()
{
    m_trayController = std::make_unique<TrayController>(m_bridgeManager, m_options.loginItem);
    Q_EMIT trayControllerCreated(m_trayController.get());
}

void TrayApplication::checkForTray()
{
    if (!trayAvailable())
        return;
    delete m_trayCheck;
    m_trayCheck = nullptr;
    qCInfo(lcApp, "A system tray appeared — showing the status icon");
    createTrayController();
}

void TrayApplication::handleInstanceRequest(const QByteArray &request, InstanceReply *reply)
{
    if (m_control)
        m_control->handle(request, reply);
}

void TrayApplication::showFromAnotherLaunch()
{
    if (!m_trayController) {
        qCInfo(lcApp, "Running as the headless bridge — there is no window to show");
        return;
    }
    if (!m_bridgeManager->hasBridgeToken())
        m_trayController->showSetupWizard();
    else
        m_trayController->showStatusMenu();
}

} // namespace halvex
