#include "app/application.h"

#include "app/tray_application.h"
#include "app/tray_controller.h"
#include "app/window_runtime.h"
#include "bridge/bridge_runtime.h"
#include "platform/deployment.h"
#include "platform/logging.h"
#include "platform/session/login_item.h"
#include "platform/session/single_instance.h"
#include "platform/session/termination_signals.h"
#include "service/bridge_notifications.h"
#include "service/desktop_notification.h"
#include "service/tray_launcher.h"

#include <QApplication>
#include <QSystemTrayIcon>
#include <QTimer>

#include <csignal>
#include <cstring>

#include <memory>

namespace halvex {

namespace {

// Where no display answers (a server, an SSH session) the desktop's platform
// plugin cannot start and Qt would abort. The offscreen one, tried last,
// lets the program go on as the headless bridge. True when it was added.
bool addOffscreenFallback(int argc, char **argv)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        return false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0)
            return false;
    }
    const bool wayland = qgetenv("XDG_SESSION_TYPE") == "wayland";
    qputenv("QT_QPA_PLATFORM", wayland ? "wayland;xcb;offscreen" : "xcb;offscreen");
    return true;
#else
    Q_UNUSED(argc);
    Q_UNUSED(argv);
    return false;
#endif
}

} // namespace

int runApplication(int argc, char **argv)
{
    const bool fallbackAdded = addOffscreenFallback(argc, argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Halvex Bridge"));
    QApplication::setApplicationVersion(appShortVersion());
    QGuiApplication::setDesktopFileName(appId());
    installLogFormat();
    if (fallbackAdded && QGuiApplication::platformName() == QLatin1String("offscreen"))
        qCInfo(lcApp, "No display available — continuing without a window system");

    // One instance per user session: a later launch asks the running one to
    // show itself and leaves without starting a second bridge on the same
    // token.
    SingleInstance instance;
    if (instance.notifyRunning("show")) {
        qCInfo(lcApp, "Halvex Bridge is already running — asked it to show itself");
        return 0;
    }
    if (!instance.listen() && instance.notifyRunning("show")) {
        // Another launch won the race between our check and our listen.
        qCInfo(lcApp, "Halvex Bridge is already running — asked it to show itself");
        return 0;
    }

    TerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &TerminationSignals::received, &app, [](int signalNumber) {
        qCInfo(lcApp, "Received %s — quitting", signalNumber == SIGINT ? "SIGINT" : "SIGTERM");
        QCoreApplication::quit();
    });

    // Declared before the tray application, so the bridge outlives the menu.
    std::unique_ptr<BridgeRuntime> runtime;
    std::unique_ptr<WindowRuntime> windows; // outlives the menu that opens the windows
    // Start at login runs halvex-bridge, the program users know (it hands
    // over to this one).
    XdgAutostartLoginItem loginItem({}, bridgeProgramPath(QCoreApplication::applicationFilePath()));
    TrayApplication::Options options;
    options.loginItem = &loginItem;
    TrayApplication tray(
        [&runtime] {
            runtime = std::make_unique<BridgeRuntime>();
            return runtime->bridgeManager();
        },
        options);

    // Every window the menu opens, on the bridge's own stores.
    QObject::connect(&tray, &TrayApplication::trayControllerCreated, &tray,
                     [&runtime, &windows, &loginItem](TrayController *controller) {
                         if (!windows)
                             windows = std::make_unique<WindowRuntime>(runtime->bridgeManager(), runtime->settings(),
                                                                       runtime->credentials(), &loginItem);
                         windows->install(controller);
                     });
    QObject::connect(&instance, &SingleInstance::requestReceived, &tray, &TrayApplication::handleInstanceRequest);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &tray, &TrayApplication::shutDown);
    // Launching has finished once the event loop runs. Notifications go
    // through the tray's message balloon, or the desktop's notification
    // service while there is no tray; they need the bridge launching made.
    std::unique_ptr<BridgeNotifications> notifications;
    QTimer::singleShot(0, &tray, [&] {
        tray.launch();
        notifications = std::make_unique<BridgeNotifications>(
            tray.bridgeManager(), runtime->settings(), [&tray](const QString &title, const QString &body) {
                TrayController *menu = tray.trayController();
                if (menu && menu->statusItem())
                    menu->statusItem()->showMessage(title, body, QSystemTrayIcon::Information);
                else
                    sendDesktopNotification(title, body);
            });
    });
    return app.exec();
}

} // namespace halvex
