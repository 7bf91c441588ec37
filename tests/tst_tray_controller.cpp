// The tray icon and its menu, driven by a real bridge manager against a
// loopback relay and gateway: the icon and menu for each bridge state, the
// stored choices behind the check marks, the memory sync alert, the login
// item, and the windows the menu opens.
#include "app/status_icon_manager.h"
#include "app/tray_controller.h"
#include "bridge/agent_card.h"
#include "bridge/bridge_manager.h"
#include "bridge_rig.h"
#include "http_stand_in.h"
#include "log_capture.h"
#include "loopback.h"
#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"
#include "platform/session/login_item.h"
#include "platform/settings.h"
#include "relay_stand_in.h"
#include "temp_settings.h"
#include "views/about_view.h"
#include "views/product_mark.h"

#include <QAction>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace halvex;
using halvex::test::HttpStandIn;
using halvex::test::LogCapture;
using halvex::test::RelayStandIn;
using halvex::test::ScriptedResponse;
using halvex::test::TempSettings;

Q_DECLARE_METATYPE(halvex::IconState)

namespace {

constexpr int kWait = 20000;
const QString kToken = QStringLiteral("bridge-token-menu");

QUrl closedUrl(const QString &scheme)
{
    return QUrl(scheme + QStringLiteral("://127.0.0.1:") + QString::number(test::closedLoopbackPort()));
}

// One bridge manager with private stores, pointed at the given relay and
// gateway.
struct Rig : public test::BridgeTestBed {
    void create(const QUrl &relayOrigin, const QUrl &gateway)
    {
        settings->setString(SettingsKey::openClawEndpoint, gateway.toString());
        BridgeManager::Dependencies deps = dependencies(relayOrigin);
        deps.memorySync = test::idleMemorySync();
        timings.gatewayProbeTimeout = std::chrono::seconds(20);
        bridge = std::make_unique<BridgeManager>(std::move(deps), timings);
        bridge->start();
    }

    bool memorySyncRunning() const { return bridge->memorySyncService() && bridge->memorySyncService()->isRunning(); }
};

// The items of a menu, one line each: "---" for a separator, else the title
// with markers: "[x]"/"[ ]" for check marks, "(off)" for disabled lines,
// "<shortcut>" when one is set.
QStringList describe(const QMenu *menu)
{
    QStringList lines;
    for (const QAction *action : menu->actions()) {
        if (action->isSeparator()) {
            lines << QStringLiteral("---");
            continue;
        }
        QString line = action->text();
        if (action->isCheckable())
            line += action->isChecked() ? QStringLiteral(" [x]") : QStringLiteral(" [ ]");
        if (!action->isEnabled())
            line += QStringLiteral(" (off)");
        if (!action->shortcut().isEmpty())
            line += QStringLiteral(" <") + action->shortcut().toString(QKeySequence::PortableText) + QLatin1Char('>');
        lines << line;
    }
    return lines;
}

QAction *findAction(const QMenu *menu, const QString &title)
{
    for (QAction *action : menu->actions()) {
        if (action->text() == title)
            return action;
    }
    return nullptr;
}

bool hasLineStartingWith(const QMenu *menu, const QString &prefix)
{
    for (const QAction *action : menu->actions()) {
        if (action->text().startsWith(prefix))
            return true;
    }
    return false;
}

// Chooses one button of the memory sync alert and remembers what it showed.
struct AlertAnswer {
    QString choice;
    int shown = 0;
    QString text;
    QString informativeText;
    QStringList buttons;

    TrayController::AlertRunner runner()
    {
        return [this](QMessageBox &alert) {
            ++shown;
            text = alert.text();
            informativeText = alert.informativeText();
            buttons.clear();
            QAbstractButton *chosen = nullptr;
            for (QAbstractButton *button : alert.buttons()) {
                buttons << button->text();
                if (button->text() == choice)
                    chosen = button;
            }
            if (chosen)
                chosen->click();
        };
    }
};

// A pixel's colour when it is (nearly) fully covered by the fill.
bool isFilledWith(const QImage &image, int x, int y, const QColor &expected)
{
    const QColor c = image.pixelColor(x, y);
    return c.alpha() >= 230 && qAbs(c.red() - expected.red()) <= 3 && qAbs(c.green() - expected.green()) <= 3 &&
           qAbs(c.blue() - expected.blue()) <= 3;
}

int opaqueInRow(const QImage &image, int y)
{
    int count = 0;
    for (int x = 0; x < image.width(); ++x)
        count += image.pixelColor(x, y).alpha() > 127 ? 1 : 0;
    return count;
}

} // namespace

class TstTrayController : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        // The tests read the menu and icon without a tray to show them in.
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
    }

    // The derivation table, the tooltips and the drawn colour of each state.
    void iconForEachState_data()
    {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<BridgeConnectionState>("state");
        QTest::addColumn<bool>("reachable");
        QTest::addColumn<IconState>("icon");
        QTest::addColumn<QString>("tooltip");
        QTest::addColumn<QColor>("color");

        const QColor green(0x34, 0xC7, 0x59), yellow(0xFF, 0xCC, 0x00), red(0xFF, 0x3B, 0x30), grey(0x8E, 0x8E, 0x93);
        const QString tConnected = QStringLiteral("Halvex Bridge: Connected");
        const QString tPartial = QStringLiteral("Halvex Bridge: Partially Connected");
        const QString tDisconnected = QStringLiteral("Halvex Bridge: Disconnected");
        const QString tDisabled = QStringLiteral("Halvex Bridge: Disabled");
        const auto connected = BridgeConnectionState::connected();
        const auto connecting = BridgeConnectionState::connecting();
        const auto disconnected = BridgeConnectionState::disconnected();
        const auto noToken = BridgeConnectionState::error(QStringLiteral("No bridge token"));

        QTest::newRow("disabled, connected, reachable")
            << false << connected << true << IconState::disabled << tDisabled << grey;
        QTest::newRow("disabled, error") << false << noToken << false << IconState::disabled << tDisabled << grey;
        QTest::newRow("connected, reachable")
            << true << connected << true << IconState::connected << tConnected << green;
        QTest::newRow("connected, unreachable")
            << true << connected << false << IconState::partiallyConnected << tPartial << yellow;
        QTest::newRow("connecting, unreachable")
            << true << connecting << false << IconState::partiallyConnected << tPartial << yellow;
        QTest::newRow("connecting, reachable")
            << true << connecting << true << IconState::partiallyConnected << tPartial << yellow;
        QTest::newRow("disconnected, reachable")
            << true << disconnected << true << IconState::disconnected << tDisconnected << red;
        QTest::newRow("error") << true << noToken << true << IconState::disconnected << tDisconnected << red;
    }

    void iconForEachState()
    {
        QFETCH(bool, enabled);
        QFETCH(BridgeConnectionState, state);
        QFETCH(bool, reachable);
        QFETCH(IconState, icon);
        QFETCH(QString, tooltip);
        QFETCH(QColor, color);

        QCOMPARE(StatusIconManager::iconStateFor(enabled, state, reachable), icon);

        QSystemTrayIcon tray;
        StatusIconManager manager(&tray);
        manager.update(icon);
        QCOMPARE(manager.state(), icon);
        QCOMPARE(manager.tooltip(), tooltip);
        QCOMPARE(tray.toolTip(), tooltip);
        QVERIFY(!tray.icon().isNull());
        QVERIFY(!tray.icon().isMask());

        for (const qreal ratio : {1.0, 2.0}) {
            const QImage image = StatusIconManager::drawIcon(icon, ratio);
            QCOMPARE(image.size(), QSize(18, 18) * ratio);
            // The centre of the mark is filled with the state's colour; the
            // corners stay clear.
            const int c = int(9 * ratio);
            QVERIFY2(isFilledWith(image, c, c, color), qPrintable(image.pixelColor(c, c).name(QColor::HexArgb)));
            QVERIFY(isFilledWith(image, c - 1, c - 1, color));
            QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
            QCOMPARE(image.pixelColor(image.width() - 1, image.height() - 1).alpha(), 0);
        }
        // The icon the tray gets is the same drawing.
        QCOMPARE(manager.currentIcon().pixmap(QSize(18, 18), 1.0).toImage().pixelColor(9, 9).rgb(),
                 StatusIconManager::drawIcon(icon).pixelColor(9, 9).rgb());
    }

    // The mark fills the 14 × 14 box at (2, 2): its taller side spans the
    // box exactly, it is centred across, and it stands upright (the wide
    // feet at the bottom).
    void markIsFittedIntoTheBox()
    {
        const QRectF bounds = fittedProductMark(14, {2, 2}).boundingRect();
        QCOMPARE(bounds.top(), 2.0);
        QCOMPARE(bounds.bottom(), 16.0);
        QVERIFY(qFuzzyCompare(bounds.center().x(), 9.0));
        QVERIFY(bounds.left() >= 2.0 && bounds.right() <= 16.0);

        const QImage image = StatusIconManager::drawIcon(IconState::connected, 4.0);
        QCOMPARE(opaqueInRow(image, 2 * 4 - 1), 0);                      // above the box
        QCOMPARE(opaqueInRow(image, 16 * 4), 0);                         // below the box
        QVERIFY(opaqueInRow(image, 15 * 4) > opaqueInRow(image, 3 * 4)); // feet wider than the caps
    }

    // Every line of the menu of a connected bridge with a reachable gateway,
    // a signed-in account and both options on.
    void fullMenuWhenConnected()
    {
        RelayStandIn relay;
        QVERIFY(relay.start());
        relay.acceptToken(kToken);
        HttpStandIn gateway;
        QVERIFY(gateway.listen());
        gateway.setDefaultResponse("/healthz", ScriptedResponse::json(200, QByteArrayLiteral("{}")));

        Rig rig;
        (void)rig.credentials->save(CredentialService::bridge(), kToken);
        rig.settings->setString(SettingsKey::bridgeName, QStringLiteral("Living Room Mac"));
        rig.settings->setString(SettingsKey::accountEmail, QStringLiteral("alex@example.com"));
        rig.settings->setBoolean(SettingsKey::memorySyncEnabled, true);
        rig.settings->setBoolean(SettingsKey::startAtLogin, true);
        rig.create(relay.origin(), gateway.url());
        XdgAutostartLoginItem loginItem(rig.home.filePath(QStringLiteral("autostart")));
        TrayController controller(rig.bridge.get(), &loginItem);

        QTRY_COMPARE_WITH_TIMEOUT(controller.statusIconManager()->state(), IconState::connected, kWait);
        QCOMPARE(controller.statusItem()->toolTip(), QStringLiteral("Halvex Bridge: Connected"));
        const QString endpoint = gateway.url().toString();
        QTRY_COMPARE_WITH_TIMEOUT(describe(controller.menu()),
                                  (QStringList{
                                      QStringLiteral("Halvex Bridge (off)"),
                                      QStringLiteral("---"),
                                      QStringLiteral("● Connected to ") + relayHost() + QStringLiteral(" (off)"),
                                      QStringLiteral("● OpenClaw: ") + endpoint + QStringLiteral(" (online) (off)"),
                                      QStringLiteral("---"),
                                      QStringLiteral("Bridge: Living Room Mac (off)"),
                                      QStringLiteral("Account: alex@example.com (off)"),
                                      QStringLiteral("---"),
                                      QStringLiteral("Enable Bridge [x]"),
                                      QStringLiteral("---"),
                                      QStringLiteral("Show QR Code…"),
                                      QStringLiteral("---"),
                                      QStringLiteral("OpenClaw Settings… <Ctrl+,>"),
                                      QStringLiteral("Relay Account…"),
                                      QStringLiteral("Mobile Model…"),
                                      QStringLiteral("Memory Sync [x]"),
                                      QStringLiteral("Run Setup Wizard…"),
                                      QStringLiteral("---"),
                                      QStringLiteral("Start at Login [x]"),
                                      QStringLiteral("About Halvex Bridge"),
                                      QStringLiteral("---"),
                                      QStringLiteral("Quit Halvex Bridge <Ctrl+Q>"),
                                  }),
                                  kWait);

        const QFont titleFont = controller.menu()->actions().first()->font();
        QVERIFY(titleFont.bold());
        QCOMPARE(titleFont.pointSize(), 13);
        // The tray shows the current menu.
        QCOMPARE(controller.statusItem()->contextMenu(), controller.menu());
        // Connected while the gateway answers: memory sync was started.
        QTRY_VERIFY_WITH_TIMEOUT(rig.memorySyncRunning(), kWait);
    }

    // The relay and gateway lines, the icon and the "Enable Bridge" mark for
    // the other states, each reached through the real bridge.
    void menuForEachBridgeState_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<IconState>("icon");
        QTest::addColumn<QString>("relayLine");
        QTest::addColumn<bool>("gatewayOnline");
        QTest::addColumn<bool>("enabledMark");

        const QString host = relayHost();
        QTest::newRow("relay connected, gateway offline") << "connected-offline" << IconState::partiallyConnected
                                                          << QStringLiteral("● Connected to ") + host << false << true;
        QTest::newRow("relay connecting (token refused), gateway online")
            << "connecting-online" << IconState::partiallyConnected
            << QStringLiteral("◐ Connecting to ") + host + QStringLiteral("…") << true << true;
        QTest::newRow("no bridge token") << "no-token" << IconState::disconnected
                                         << QStringLiteral("✕ Error: No bridge token") << false << true;
        QTest::newRow("disabled") << "disabled" << IconState::disabled << QStringLiteral("○ Disconnected from relay")
                                  << false << false;
    }

    void menuForEachBridgeState()
    {
        QFETCH(QString, situation);
        QFETCH(IconState, icon);
        QFETCH(QString, relayLine);
        QFETCH(bool, gatewayOnline);
        QFETCH(bool, enabledMark);

        RelayStandIn relay;
        QVERIFY(relay.start());
        HttpStandIn gateway;
        QVERIFY(gateway.listen());
        gateway.setDefaultResponse("/healthz", ScriptedResponse::json(200, QByteArrayLiteral("{}")));
        const QUrl gatewayUrl =
            situation.endsWith(QLatin1String("online")) ? gateway.url() : closedUrl(QStringLiteral("http"));

        Rig rig;
        if (situation != QLatin1String("no-token"))
            (void)rig.credentials->save(CredentialService::bridge(), kToken);
        if (situation == QLatin1String("connected-offline"))
            relay.acceptToken(kToken);
        if (situation == QLatin1String("disabled"))
            rig.settings->setBoolean(SettingsKey::bridgeEnabled, false);
        rig.create(relay.origin(), gatewayUrl);
        XdgAutostartLoginItem loginItem(rig.home.filePath(QStringLiteral("autostart")));
        TrayController controller(rig.bridge.get(), &loginItem);

        if (situation == QLatin1String("connected-offline"))
            QVERIFY(relay.waitForAccepted(1, kWait));
        if (situation == QLatin1String("connecting-online")) {
            QVERIFY(relay.waitForAttempts(2, kWait)); // refused, and tried again
            QVERIFY(gateway.waitForRequests(1, kWait));
        }

        const QString gatewayLine =
            gatewayOnline ? QStringLiteral("● OpenClaw: ") + gatewayUrl.toString() + QStringLiteral(" (online)")
                          : QStringLiteral("○ OpenClaw: ") + gatewayUrl.toString() + QStringLiteral(" (offline)");
        QTRY_COMPARE_WITH_TIMEOUT(controller.menu()->actions().at(2)->text(), relayLine, kWait);
        QTRY_COMPARE_WITH_TIMEOUT(controller.menu()->actions().at(3)->text(), gatewayLine, kWait);
        QTRY_COMPARE_WITH_TIMEOUT(controller.statusIconManager()->state(), icon, kWait);
        QCOMPARE(controller.statusItem()->toolTip(), StatusIconManager::tooltipText(icon));
        QAction *enable = findAction(controller.menu(), QStringLiteral("Enable Bridge"));
        QVERIFY(enable && enable->isCheckable());
        QCOMPARE(enable->isChecked(), enabledMark);
    }

    // "Bridge: " shows the stored name or the machine's; "Account: " appears only
    // for a stored, non-empty e-mail. Names are shown literally.
    void bridgeAndAccountLines()
    {
        Rig rig;
        rig.create(closedUrl(QStringLiteral("ws")), closedUrl(QStringLiteral("http")));
        XdgAutostartLoginItem loginItem(rig.home.filePath(QStringLiteral("autostart")));
        TrayController controller(rig.bridge.get(), &loginItem);

        const QString machine = fallbackBridgeName(currentDeviceFacts().computerName);
        QVERIFY(findAction(controller.menu(), QStringLiteral("Bridge: ") +
                                                  QString(machine).replace(QLatin1Char('&'), QStringLiteral("&&"))));
        QVERIFY(!hasLineStartingWith(controller.menu(), QStringLiteral("Account: ")));
        QCOMPARE(controller.menu()->actions().size(), 21);

        rig.settings->setString(SettingsKey::accountEmail, QString());
        rig.settings->setString(SettingsKey::bridgeName, QStringLiteral("Tom & Jerry's Mac"));
        controller.toggleLoginItem(); // any action that rebuilds the menu
        QVERIFY(!hasLineStartingWith(controller.menu(), QStringLiteral("Account: ")));
        QAction *bridgeLine = controller.menu()->actions().at(5);
        QCOMPARE(bridgeLine->text(), QStringLiteral("Bridge: Tom && Jerry's Mac")); // "&&" shows one "&"
        QVERIFY(!bridgeLine->isEnabled());

        rig.settings->setString(SettingsKey::accountEmail, QStringLiteral("sam@example.org"));
        controller.toggleLoginItem();
        QCOMPARE(controller.menu()->actions().size(), 22);
        QAction *account = controller.menu()->actions().at(6);
        QCOMPARE(account->text(), QStringLiteral("Account: sam@example.org"));
        QVERIFY(!account->isEnabled());
    }

    // The menu is a new one after every change of the bridge's state; the
    // old one goes away. "Enable Bridge" switches the bridge off and on.
    void enableBridgeTogglesAndRebuilds()
    {
        Rig rig;
        rig.create(closedUrl(QStringLiteral("ws")), closedUrl(QStringLiteral("http")));
        XdgAutostartLoginItem loginItem(rig.home.filePath(QStringLiteral("autostart")));
        TrayController controller(rig.bridge.get(), &loginItem);
        QTRY_COMPARE_WITH_TIMEOUT(controller.statusIconManager()->state(), IconState::disconnected, kWait);

        QPointer<QMenu> before = controller.menu();
        QSignalSpy rebuilt(&controller, &TrayController::menuRebuilt);
        findAction(before, QStringLiteral("Enable Bridge"))->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!rig.bridge->isEnabled(), kWait);
        QCOMPARE(rig.settings->boolean(SettingsKey::bridgeEnabled), std::optional<bool>(false));
        QTRY_COMPARE_WITH_TIMEOUT(controller.statusIconManager()->state(), IconState::disabled, kWait);
        QTRY_VERIFY_WITH_TIMEOUT(before.isNull(), kWait);
        QVERIFY(rebuilt.count() >= 1);
        QCOMPARE(controller.statusItem()->contextMenu(), controller.menu());
        QCOMPARE(findAction(controller.menu(), QStringLiteral("Enable Bridge"))->isChecked(), false);
        QCOMPARE(controller.menu()->actions().at(2)->text(), QStringLiteral("○ Disconnected from relay"));

        findAction(controller.menu(), QStringLiteral("Enable Bridge"))->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(rig.bridge->isEnabled(), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(controller.menu()->actions().at(2)->text(),
                                  QStringLiteral("✕ Error: No bridge token"), kWait);
        QCOMPARE(findAction(controller.menu(), QStringLiteral("Enable Bridge"))->isChecked(), true);
    }

    // Choosing "Memory Sync" while it is off asks first. "Cancel" stores
    // nothing and leaves the very same menu; "Enable" stores true, starts the
    // service and rebuilds; choosing it again switches it off without asking.
    void memorySyncAlert()
    {
        Rig rig;
        rig.create(closedUrl(QStringLiteral("ws")), closedUrl(QStringLiteral("http")));
        XdgAutostartLoginItem loginItem(rig.home.filePath(QStringLiteral("autostart")));
        TrayController controller(rig.bridge.get(), &loginItem);
        QTRY_COMPARE_WITH_TIMEOUT(controller.statusIconManager()->state(), IconState::disconnected, kWait);
        QCoreApplication::processEvents();

        AlertAnswer answer;
        answer.choice = QStringLiteral("Cancel");
        controller.setAlertRunner(answer.runner());
        QMenu *menu = controller.menu();
        const QStringList linesBefore = describe(menu);
        QSignalSpy rebuilt(&controller, &TrayController::menuRebuilt);

        findAction(menu, QStringLiteral("Memory Sync"))->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(answer.shown, 1, kWait);
        QCOMPARE(answer.text, QStringLiteral("Enable Memory Sync?"));
        QCOMPARE(answer.informativeText,
                 QStringLiteral("Memory Sync periodically asks your OpenClaw agent what it knows about you and syncs "
                                "those facts to your Halvex companions.\n\nThis uses your OpenClaw API key to make "
                                "periodic LLM calls. Cost is typically a few cents per day during active use, and "
                                "near-zero when idle.\n\nYou can disable this at any time from the menu bar."));
        QCOMPARE(answer.buttons, (QStringList{QStringLiteral("Enable"), QStringLiteral("Cancel")}));
        QCoreApplication::processEvents();
        QVERIFY(!rig.settings->contains(SettingsKey::memorySyncEnabled));
        QCOMPARE(controller.menu(), menu);
        QCOMPARE(rebuilt.count(), 0);
        QCOMPARE(describe(menu), linesBefore); // the mark did not flip either
        QVERIFY(!rig.bridge->memorySyncService());

        answer.choice = QStringLiteral("Enable");
        findAction(menu, QStringLiteral("Memory Sync"))->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(answer.shown, 2, kWait);
        QTRY_COMPARE_WITH_TIMEOUT(rebuilt.count(), 1, kWait);
        QCOMPARE(rig.settings->boolean(SettingsKey::memorySyncEnabled), std::optional<bool>(true));
        // Started at once, whatever the state of the links.
        QVERIFY(rig.memorySyncRunning());
        QVERIFY(controller.menu() != menu);
        QCOMPARE(findAction(controller.menu(), QStringLiteral("Memory Sync"))->isChecked(), true);

        findAction(controller.menu(), QStringLiteral("Memory Sync"))->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(rebuilt.count(), 2, kWait);
        QCOMPARE(answer.shown, 2);
        QCOMPARE(rig.settings->boolean(SettingsKey::memorySyncEnabled), std::optional<bool>(false));
        QVERIFY(!rig.bridge->memorySyncService());
        QCOMPARE(findAction(controller.menu(), QStringLiteral("Memory Sync"))->isChecked(), false);
    }

    // "Start at Login" writes the autostart entry and removes it again; the
    // stored choice follows, and the menu shows it.
    void loginItemWrittenAndRemoved()
    {
        Rig rig;
        rig.create(closedUrl(QStringLiteral("ws")), closedUrl(QStringLiteral("http")));
        const QString folder = rig.home.filePath(QStringLiteral("config/autostart"));
        XdgAutostartLoginItem loginItem(folder, QStringLiteral("/opt/Halvex Bridge/halvex-bridge"));
        TrayController controller(rig.bridge.get(), &loginItem);
        const QString entryPath = folder + QLatin1Char('/') + appId() + QStringLiteral(".desktop");
        QCOMPARE(loginItem.filePath(), entryPath);

        findAction(controller.menu(), QStringLiteral("Start at Login"))->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(entryPath), kWait);
        QCOMPARE(rig.settings->boolean(SettingsKey::startAtLogin), std::optional<bool>(true));
        QTRY_COMPARE_WITH_TIMEOUT(findAction(controller.menu(), QStringLiteral("Start at Login"))->isChecked(), true,
                                  kWait);
        QFile entry(entryPath);
        QVERIFY(entry.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(entry.readAll());
        QVERIFY(text.startsWith(QLatin1String("[Desktop Entry]\n")));
        QVERIFY(text.contains(QLatin1String("\nType=Application\n")));
        QVERIFY(text.contains(QLatin1String("\nExec=\"/opt/Halvex Bridge/halvex-bridge\"\n")));

        findAction(controller.menu(), QStringLiteral("Start at Login"))->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(entryPath), kWait);
        QCOMPARE(rig.settings->boolean(SettingsKey::startAtLogin), std::optional<bool>(false));
        QTRY_COMPARE_WITH_TIMEOUT(findAction(controller.menu(), QStringLiteral("Start at Login"))->isChecked(), false,
                                  kWait);
    }

    // A desktop that refuses the entry: the failure is logged, the stored
    // choice stays, and the menu shows that choice.
    void loginItemFailureKeepsTheChoice()
    {
        Rig rig;
        rig.create(closedUrl(QStringLiteral("ws")), closedUrl(QStringLiteral("http")));
        // The autostart "folder" is a file, so it can be neither made nor written.
        const QString blocker = rig.home.filePath(QStringLiteral("not-a-folder"));
        QFile file(blocker);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        XdgAutostartLoginItem loginItem(blocker + QStringLiteral("/autostart"));
        TrayController controller(rig.bridge.get(), &loginItem);

        LogCapture log;
        controller.toggleLoginItem();
        const QStringList failures = log.messagesStartingWith(QStringLiteral("Login item toggle failed: "));
        QCOMPARE(failures.size(), 1);
        QVERIFY2(failures.first().contains(QLatin1String("not-a-folder")), qPrintable(failures.first()));
        QCOMPARE(log.count(QtCriticalMsg, failures.first()), 1);
        QCOMPARE(rig.settings->boolean(SettingsKey::startAtLogin), std::optional<bool>(true));
        QCOMPARE(findAction(controller.menu(), QStringLiteral("Start at Login"))->isChecked(), true);
    }

    // The Exec line survives paths with spaces and characters the desktop
    // would otherwise expand; the folder follows XDG_CONFIG_HOME.
    void autostartEntryQuoting()
    {
        QCOMPARE(XdgAutostartLoginItem::desktopEntry(QStringLiteral("/usr/bin/halvex-bridge"))
                     .split(QLatin1Char('\n'))
                     .filter(QStringLiteral("Exec=")),
                 QStringList{QStringLiteral("Exec=/usr/bin/halvex-bridge")});
        QCOMPARE(XdgAutostartLoginItem::desktopEntry(QStringLiteral("/home/a b/100%/$x\"q"))
                     .split(QLatin1Char('\n'))
                     .filter(QStringLiteral("Exec=")),
                 QStringList{QStringLiteral("Exec=\"/home/a b/100%%/\\\\$x\\\\\"q\"")});

        QTemporaryDir config;
        const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        XdgAutostartLoginItem item;
        QCOMPARE(item.filePath(), config.path() + QStringLiteral("/autostart/") + appId() + QStringLiteral(".desktop"));
        QVERIFY(item.unregisterItem().ok()); // nothing to remove is no failure
        qputenv("XDG_CONFIG_HOME", saved);
    }

    // The settings slot holds one window: opening a second closes the first.
    // Windows that do not exist yet say so and leave the open one alone.
    void settingsSlotHoldsOneWindow()
    {
        Rig rig;
        rig.create(closedUrl(QStringLiteral("ws")), closedUrl(QStringLiteral("http")));
        XdgAutostartLoginItem loginItem(rig.home.filePath(QStringLiteral("autostart")));
        TrayController controller(rig.bridge.get(), &loginItem);
        BridgeManager *given = nullptr;
        controller.setWindowFactory(TrayController::SettingsWindow::qrCode, [&given](BridgeManager *bridge) {
            given = bridge;
            return new QWidget;
        });

        findAction(controller.menu(), QStringLiteral("Show QR Code…"))->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(controller.settingsWindow(), kWait);
        QPointer<QWidget> qr = controller.settingsWindow();
        QCOMPARE(given, rig.bridge.get());
        QVERIFY(qr->isVisible());
        QCOMPARE(qr->windowTitle(), QStringLiteral("Halvex Bridge QR Code"));
        QCOMPARE(qr->size(), QSize(320, 380));

        findAction(controller.menu(), QStringLiteral("About Halvex Bridge"))->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(controller.settingsWindow() != qr, kWait);
        QVERIFY(qr.isNull() || !qr->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(qr.isNull(), kWait);
        auto *about = qobject_cast<AboutView *>(controller.settingsWindow());
        QVERIFY(about);
        QVERIFY(about->isVisible());
        QCOMPARE(about->windowTitle(), QStringLiteral("About Halvex Bridge"));
        QCOMPARE(about->size(), QSize(360, 240));
        QCOMPARE(about->minimumSize(), about->maximumSize()); // not resizable
        QVERIFY(about->windowFlags() & Qt::WindowCloseButtonHint);
        QVERIFY(!(about->windowFlags() & Qt::WindowMinimizeButtonHint));

        LogCapture log;
        controller.showOpenClawSettings();
        QCOMPARE(log.count(QStringLiteral("The \"OpenClaw Settings\" window is not available yet")), 1);
        QCOMPARE(controller.settingsWindow(), about);
        QVERIFY(about->isVisible());

        // Closing keeps the window (hidden) until another one replaces it.
        about->close();
        QCOMPARE(controller.settingsWindow(), about);
    }

    // The setup window: a line in the log until the wizard exists; with a
    // wizard, one window above the others, and its completion restarts the
    // bridge with what the wizard stored.
    void setupWizardSlot()
    {
        RelayStandIn relay;
        QVERIFY(relay.start());
        relay.acceptToken(kToken);
        Rig rig;
        rig.create(relay.origin(), closedUrl(QStringLiteral("http")));
        XdgAutostartLoginItem loginItem(rig.home.filePath(QStringLiteral("autostart")));
        TrayController controller(rig.bridge.get(), &loginItem);

        LogCapture log;
        findAction(controller.menu(), QStringLiteral("Run Setup Wizard…"))->trigger();
        QVERIFY(log.waitFor(QStringLiteral("Setup wizard not available yet — pair this bridge to start"), 1, kWait));
        QVERIFY(!controller.setupWindow());

        std::function<void()> complete;
        int built = 0;
        controller.setSetupWizardFactory([&](BridgeManager *, std::function<void()> onComplete) {
            ++built;
            complete = std::move(onComplete);
            return new QWidget;
        });
        controller.showSetupWizard();
        QPointer<QWidget> wizard = controller.setupWindow();
        QVERIFY(wizard && wizard->isVisible());
        QCOMPARE(wizard->windowTitle(), QStringLiteral("Halvex Bridge Setup"));
        QCOMPARE(wizard->size(), QSize(520, 560));
        QVERIFY(wizard->windowFlags() & Qt::WindowStaysOnTopHint);
        controller.showSetupWizard(); // already open: brought forward, not restarted
        QCOMPARE(built, 1);
        QCOMPARE(controller.setupWindow(), wizard.data());
        QCOMPARE(rig.bridge->connectionState(), BridgeConnectionState::error(QStringLiteral("No bridge token")));

        // The wizard paired the bridge and finished.
        (void)rig.credentials->save(CredentialService::bridge(), kToken);
        QSignalSpy rebuilt(&controller, &TrayController::menuRebuilt);
        complete();
        QVERIFY(!controller.setupWindow());
        QTRY_VERIFY_WITH_TIMEOUT(wizard.isNull(), kWait);
        QVERIFY(rebuilt.count() >= 1);
        QVERIFY(relay.waitForAccepted(1, kWait));
        QTRY_COMPARE_WITH_TIMEOUT(rig.bridge->connectionState(), BridgeConnectionState::connected(), kWait);
    }

    void quitComesFromTheMenu()
    {
        Rig rig;
        rig.create(closedUrl(QStringLiteral("ws")), closedUrl(QStringLiteral("http")));
        XdgAutostartLoginItem loginItem(rig.home.filePath(QStringLiteral("autostart")));
        TrayController controller(rig.bridge.get(), &loginItem);
        int quits = 0;
        controller.setQuitHandler([&quits] { ++quits; });
        findAction(controller.menu(), QStringLiteral("Quit Halvex Bridge"))->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(quits, 1, kWait);
    }

    // The About window's version line, with and without version information.
    void aboutWindowVersionLine()
    {
        AboutView withVersion(AboutView::VersionInfo{QStringLiteral("2.4.0"), QStringLiteral("318")});
        QCOMPARE(withVersion.versionText(), QStringLiteral("Version 2.4.0 (318)"));
        QCOMPARE(withVersion.findChild<QLabel *>(QStringLiteral("aboutTitle"))->text(),
                 QStringLiteral("Halvex Bridge"));
        QVERIFY(withVersion.findChild<QLabel *>(QStringLiteral("aboutTitle"))->font().bold());
        QCOMPARE(withVersion.findChild<QLabel *>(QStringLiteral("aboutDescription"))->text(),
                 QStringLiteral("Connects your AI companion apps to your local AI server."));
        const QPixmap mark = withVersion.findChild<QLabel *>(QStringLiteral("aboutIcon"))->pixmap();
        QCOMPARE(mark.deviceIndependentSize(), QSizeF(40, 40));

        AboutView without(AboutView::VersionInfo{});
        QCOMPARE(without.versionText(), QStringLiteral("Version 1.0.0 (1)"));

        AboutView thisBuild;
        QCOMPARE(thisBuild.versionText(), QStringLiteral("Version ") + appShortVersion() + QStringLiteral(" (") +
                                              appBuildVersion() + QLatin1Char(')'));
    }
};

QTEST_MAIN(TstTrayController)
#include "tst_tray_controller.moc"
