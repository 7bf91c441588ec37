#include "app/tray_controller.h"

#include "bridge/bridge_manager.h"
#include "memory/memory_sync_service.h"
#include "platform/deployment.h"
#include "platform/logging.h"
#include "platform/session/login_item.h"
#include "platform/settings.h"
#include "views/about_view.h"

#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QWidget>

namespace halvex {

TrayController::TrayController(BridgeManager *bridgeManager, LoginItem *loginItem, QObject *parent)
    : QObject(parent), m_bridgeManager(bridgeManager), m_loginItem(loginItem)
{
    m_windowFactories.insert(int(SettingsWindow::about), [](BridgeManager *) { return new AboutView; });
    m_alertRunner = [](QMessageBox &alert) { alert.exec(); };
    m_quit = [] { QCoreApplication::quit(); };

    m_statusItem = new QSystemTrayIcon(this);
    m_statusIconManager = std::make_unique<StatusIconManager>(m_statusItem);
    m_statusIconManager->update(IconState::disabled);

    // Panels that send a plain click (not a context-menu click) still open
    // the menu.
    QObject::connect(m_statusItem, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            showStatusMenu();
    });

    // Any change of the published values redraws icon and menu once, on the
    // next turn of the event loop (a name or switch set from the terminal
    // too).
    QObject::connect(m_bridgeManager, &BridgeManager::connectionStateChanged, this,
                     &TrayController::scheduleStateUpdate);
    QObject::connect(m_bridgeManager, &BridgeManager::openClawReachableChanged, this,
                     &TrayController::scheduleStateUpdate);
    QObject::connect(m_bridgeManager, &BridgeManager::isEnabledChanged, this, &TrayController::scheduleStateUpdate);
    QObject::connect(m_bridgeManager, &BridgeManager::bridgeNameChanged, this, &TrayController::scheduleStateUpdate);
    QObject::connect(m_bridgeManager, &BridgeManager::memorySyncEnabledChanged, this,
                     &TrayController::scheduleStateUpdate);
    applyState();

    if (QSystemTrayIcon::isSystemTrayAvailable())
        m_statusItem->show();
}

TrayController::~TrayController()
{
    delete m_menu.data();
    delete m_settingsWindow.data();
    delete m_setupWindow.data();
}

QMenu *TrayController::menu() const
{
    return m_menu;
}
QWidget *TrayController::settingsWindow() const
{
    return m_settingsWindow;
}
QWidget *TrayController::setupWindow() const
{
    return m_setupWindow;
}

void TrayController::setWindowFactory(SettingsWindow window, WindowFactory factory)
{
    m_windowFactories.insert(int(window), std::move(factory));
}

void TrayController::setSetupWizardFactory(SetupWizardFactory factory)
{
    m_setupWizardFactory = std::move(factory);
}
void TrayController::setAlertRunner(AlertRunner runner)
{
    m_alertRunner = std::move(runner);
}
void TrayController::setQuitHandler(std::function<void()> quit)
{
    m_quit = std::move(quit);
}

void TrayController::scheduleStateUpdate()
{
    if (m_updatePending)
        return;
    m_updatePending = true;
    QMetaObject::invokeMethod(this, &TrayController::applyState, Qt::QueuedConnection);
}

void TrayController::applyState()
{
    m_updatePending = false;
    m_statusIconManager->update(StatusIconManager::iconStateFor(
        m_bridgeManager->isEnabled(), m_bridgeManager->connectionState(), m_bridgeManager->openClawReachable()));
    rebuildMenu();
}

TrayController::MenuContent TrayController::menuContent() const
{
    Settings *settings = m_bridgeManager->settings();
    MenuContent content;
    content.connectionState = m_bridgeManager->connectionState();
    content.openClawReachable = m_bridgeManager->openClawReachable();
    content.isEnabled = m_bridgeManager->isEnabled();
    content.relayHost = relayHost();
    content.openClawEndpoint = m_bridgeManager->openClawEndpoint().toString();
    content.bridgeName = m_bridgeManager->bridgeName();
    content.accountEmail = settings->string(SettingsKey::accountEmail).value_or(QString());
    content.memorySyncEnabled = m_bridgeManager->isMemorySyncEnabled();
    content.startAtLogin = settings->boolean(SettingsKey::startAtLogin, false);
    return content;
}

void TrayController::rebuildMenu()
{
    QMenu *menu = StatusMenu::build(menuContent(), this);
    QMenu *old = m_menu;
    m_menu = menu;
    m_statusItem->setContextMenu(menu);
    if (old) {
        old->hide();
        old->deleteLater();
    }
    Q_EMIT menuRebuilt();
}

void TrayController::toggleEnabled()
{
    // The bridge manager applies the change; its signal redraws icon and menu.
    m_bridgeManager->setEnabled(!m_bridgeManager->isEnabled());
}

void TrayController::toggleMemorySync()
{
    // The manager's signal redraws the menu.
    if (m_bridgeManager->isMemorySyncEnabled()) {
        m_bridgeManager->setMemorySyncEnabled(false);
        return;
    }

    QMessageBox alert;
    alert.setIcon(QMessageBox::Information);
    alert.setWindowTitle(QStringLiteral("Halvex Bridge"));
    alert.setText(QStringLiteral("Enable Memory Sync?"));
    alert.setInformativeText(memorySyncAlertText());
    QPushButton *enable = alert.addButton(QStringLiteral("Enable"), QMessageBox::AcceptRole);
    QPushButton *cancel = alert.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    alert.setDefaultButton(enable);
    alert.setEscapeButton(cancel);
    m_alertRunner(alert);
    if (alert.clickedButton() != enable)
        return;

    m_bridgeManager->setMemorySyncEnabled(true);
}

QString TrayController::memorySyncAlertText()
{
    return MemorySyncService::costNotice();
}

void TrayController::toggleLoginItem()
{
    Settings *settings = m_bridgeManager->settings();
    const bool wasOn = settings->boolean(SettingsKey::startAtLogin, false);
    // The choice is stored first and stays even if the desktop refuses it.
    settings->setBoolean(SettingsKey::startAtLogin, !wasOn);
    const Result<Done> result = wasOn ? m_loginItem->unregisterItem() : m_loginItem->registerItem();
    if (!result)
        qCCritical(lcTray, "Login item toggle failed: %s", qUtf8Printable(result.error().description()));
    rebuildMenu();
}

void TrayController::quitApp()
{
    if (m_quit)
        m_quit();
}

QString TrayController::windowTitle(SettingsWindow window)
{
    switch (window) {
    case SettingsWindow::qrCode:
        return QStringLiteral("Halvex Bridge QR Code");
    case SettingsWindow::openClawSettings:
        return QStringLiteral("OpenClaw Settings");
    case SettingsWindow::accountSettings:
        return QStringLiteral("Bridge & Account Settings");
    case SettingsWindow::mobileModel:
        return QStringLiteral("Mobile Model");
    case SettingsWindow::about:
        break;
    }
    return QStringLiteral("About Halvex Bridge");
}

QSize TrayController::windowSize(SettingsWindow window)
{
    switch (window) {
    case SettingsWindow::qrCode:
        return {320, 380};
    case SettingsWindow::openClawSettings:
        return {450, 320};
    case SettingsWindow::accountSettings:
        return {400, 380};
    case SettingsWindow::mobileModel:
        return {500, 520};
    case SettingsWindow::about:
        break;
    }
    return {360, 240};
}

void TrayController::showQRCode()
{
    openSettingsWindow(SettingsWindow::qrCode);
}
void TrayController::showOpenClawSettings()
{
    openSettingsWindow(SettingsWindow::openClawSettings);
}
void TrayController::showAccountSettings()
{
    openSettingsWindow(SettingsWindow::accountSettings);
}
void TrayController::showMobileModel()
{
    openSettingsWindow(SettingsWindow::mobileModel);
}
void TrayController::showAbout()
{
    openSettingsWindow(SettingsWindow::about);
}
void TrayController::runSetupWizard()
{
    showSetupWizard();
}

void TrayController::openSettingsWindow(SettingsWindow window)
{
    const WindowFactory factory = m_windowFactories.value(int(window));
    if (!factory) {
        qCInfo(lcTray, "The \"%s\" window is not available yet", qUtf8Printable(windowTitle(window)));
        return;
    }
    // One settings-like window at a time: the new one replaces the old.
    if (m_settingsWindow) {
        m_settingsWindow->close();
        m_settingsWindow->deleteLater();
        m_settingsWindow.clear();
    }
    QWidget *widget = factory(m_bridgeManager);
    if (!widget)
        return;
    m_settingsWindow = widget;
    present(widget, windowTitle(window), windowSize(window), false);
}

void TrayController::showSetupWizard()
{
    // An open wizard is brought forward rather than started over, so the
    // user's progress is kept.
    if (m_setupWindow && m_setupWindow->isVisible()) {
        m_setupWindow->raise();
        m_setupWindow->activateWindow();
        return;
    }
    if (!m_setupWizardFactory) {
        qCInfo(lcTray, "Setup wizard not available yet — pair this bridge to start");
        return;
    }
    if (m_setupWindow) {
        m_setupWindow->deleteLater();
        m_setupWindow.clear();
    }
    QPointer<TrayController> self(this);
    QWidget *widget = m_setupWizardFactory(m_bridgeManager, [self] {
        if (self)
            self->setupDidComplete();
    });
    if (!widget)
        return;
    m_setupWindow = widget;
    present(widget, QStringLiteral("Halvex Bridge Setup"), {520, 560}, true);
}

void TrayController::setupDidComplete()
{
    if (m_setupWindow) {
        m_setupWindow->close();
        m_setupWindow->deleteLater();
        m_setupWindow.clear();
    }
    // The wizard stored a bridge token and gateway settings: the bridge
    // picks them up itself.
    if (m_bridgeManager->connectionState() != BridgeConnectionState::connected())
        m_bridgeManager->reloadCredentials();
    rebuildMenu();
}

void TrayController::showStatusMenu()
{
    if (!m_menu)
        return;
    const QRect iconArea = m_statusItem->geometry();
    m_menu->popup(iconArea.isValid() ? iconArea.bottomLeft() : QCursor::pos());
}

void TrayController::present(QWidget *window, const QString &title, QSize size, bool floating)
{
    // Titled and closable, neither resizable nor minimisable; kept (hidden)
    // when the user closes it.
    Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;
    if (floating)
        flags |= Qt::WindowStaysOnTopHint;
    window->setWindowFlags(flags);
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    window->setWindowTitle(title);
    window->setFixedSize(size);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        window->move(screen->availableGeometry().center() - QPoint(size.width() / 2, size.height() / 2));
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace halvex
