#include "app/status_menu.h"

#include "app/tray_controller.h"

#include <QAction>
#include <QKeySequence>
#include <QMenu>

namespace halvex {

namespace {

// Menu titles are shown literally: a "&" in a name or message is not a
// keyboard mnemonic.
QString literal(const QString &text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('&'), QStringLiteral("&&"));
    return escaped;
}

QAction *addInformationLine(QMenu *menu, const QString &text)
{
    QAction *action = menu->addAction(literal(text));
    action->setEnabled(false);
    return action;
}

template <typename Slot>
QAction *addCommand(QMenu *menu, const QString &title, TrayController *target, Slot slot)
{
    QAction *action = menu->addAction(title);
    if (target) {
        // Queued, so the action runs after the menu has closed: the action
        // may rebuild (and so delete) the very menu that triggered it.
        QObject::connect(action, &QAction::triggered, target, slot, Qt::QueuedConnection);
    }
    return action;
}

template <typename Slot>
QAction *addCheckCommand(QMenu *menu, const QString &title, bool checked, TrayController *target, Slot slot)
{
    QAction *action = addCommand(menu, title, target, slot);
    action->setCheckable(true);
    action->setChecked(checked);
    // The check mark shows the stored choice only; choosing the item must not
    // flip it on its own (a cancelled alert changes nothing).
    QObject::connect(action, &QAction::triggered, action, [action, checked] { action->setChecked(checked); });
    return action;
}

} // namespace

namespace StatusMenu {

QString relayStatusText(const BridgeConnectionState &state, const QString &relayHost)
{
    switch (state.kind()) {
    case BridgeConnectionState::Kind::disconnected:
        return QStringLiteral("○ Disconnected from relay");
    case BridgeConnectionState::Kind::connecting:
        return QStringLiteral("◐ Connecting to ") + relayHost + QStringLiteral("…");
    case BridgeConnectionState::Kind::connected:
        return QStringLiteral("● Connected to ") + relayHost;
    case BridgeConnectionState::Kind::error:
        break;
    }
    return QStringLiteral("✕ Error: ") + state.message();
}

QMenu *build(const StatusMenuContent &content, TrayController *target)
{
    auto *menu = new QMenu;

    QAction *title = addInformationLine(menu, QStringLiteral("Halvex Bridge"));
    QFont titleFont = menu->font();
    titleFont.setBold(true);
    titleFont.setPointSize(13);
    title->setFont(titleFont);
    menu->addSeparator();

    addInformationLine(menu, relayStatusText(content.connectionState, content.relayHost));
    addInformationLine(menu,
                       content.openClawReachable
                           ? QStringLiteral("● OpenClaw: ") + content.openClawEndpoint + QStringLiteral(" (online)")
                           : QStringLiteral("○ OpenClaw: ") + content.openClawEndpoint + QStringLiteral(" (offline)"));
    menu->addSeparator();

    addInformationLine(menu, QStringLiteral("Bridge: ") + content.bridgeName);
    if (!content.accountEmail.isEmpty())
        addInformationLine(menu, QStringLiteral("Account: ") + content.accountEmail);
    menu->addSeparator();

    addCheckCommand(menu, QStringLiteral("Enable Bridge"), content.isEnabled, target, &TrayController::toggleEnabled);
    menu->addSeparator();

    addCommand(menu, QStringLiteral("Show QR Code…"), target, &TrayController::showQRCode);
    menu->addSeparator();

    QAction *settings =
        addCommand(menu, QStringLiteral("OpenClaw Settings…"), target, &TrayController::showOpenClawSettings);
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma)); // Command-, on macOS
    addCommand(menu, QStringLiteral("Relay Account…"), target, &TrayController::showAccountSettings);
    addCommand(menu, QStringLiteral("Mobile Model…"), target, &TrayController::showMobileModel);
    addCheckCommand(menu, QStringLiteral("Memory Sync"), content.memorySyncEnabled, target,
                    &TrayController::toggleMemorySync);
    addCommand(menu, QStringLiteral("Run Setup Wizard…"), target, &TrayController::runSetupWizard);
    menu->addSeparator();

    addCheckCommand(menu, QStringLiteral("Start at Login"), content.startAtLogin, target,
                    &TrayController::toggleLoginItem);
    addCommand(menu, QStringLiteral("About Halvex Bridge"), target, &TrayController::showAbout);
    menu->addSeparator();

    QAction *quit = addCommand(menu, QStringLiteral("Quit Halvex Bridge"), target, &TrayController::quitApp);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q)); // Command-Q on macOS
    return menu;
}

} // namespace StatusMenu

} // namespace halvex
