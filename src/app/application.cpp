#include "app/application.h"

#include "app/tray_application.h"
#include "app/tray_controller.h"
#include "app/window_runtime.h"
#include "platform/deployment.h"
#include "platform/logging.h"
#include "platform/session/login_item.h"
#include "platform/session/single_instance.h"
#include "service/desktop_notification.h"
#include "service/headless.h"
#include "service/tray_launcher.h"

#include <QApplication>
#include <QSystemTrayIcon>
#include <QTimer>

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

    // Start at login runs halvex-bridge, the program users know (it hands
    // over to this one).
    XdgAutostartLoginItem loginItem({}, bridgeProgramPath(QCoreApplication::applicationFilePath()));
    TrayApplication *tray = nullptr;
    BridgeProgram program;
    program.alreadyRunning = QStringLiteral("Halvex Bridge is already running — asked it to show itself");
    // Notifications go through the tray's message balloon, or the desktop's
    // notification service while there is no tray.
    program.bridge.notificationSink = [&tray](const QString &title, const QString &body) {
        TrayController *menu = tray ? tray->trayController() : nullptr;
        if (menu && menu->statusItem())
            menu->statusItem()->showMessage(title, body, QSystemTrayIcon::Information);
        else
            sendDesktopNotification(title, body);
    };
    program.run = [&tray, &loginItem](HeadlessBridge &bridge, SingleInstance &instance) {
        BridgeRuntime &runtime = bridge.runtime();
        std::unique_ptr<WindowRuntime> windows; // outlives the menu that opens the windows
        TrayApplication::Options options;
        options.loginItem = &loginItem;
        TrayApplication trayApplication([&runtime] { return runtime.bridgeManager(); }, options);
        tray = &trayApplication;
        // Every window the menu opens, on the bridge's own session.
        QObject::connect(&trayApplication, &TrayApplication::trayControllerCreated, &trayApplication,
                         [&runtime, &windows, &loginItem](TrayController *controller) {
                             if (!windows)
                                 windows = std::make_unique<WindowRuntime>(runtime, &loginItem);
                             windows->install(controller);
                         });
        QObject::connect(&instance, &SingleInstance::requestReceived, &trayApplication,
                         &TrayApplication::handleInstanceRequest);
        // Launching has finished once the event loop runs.
        QTimer::singleShot(0, &trayApplication, [&trayApplication] { trayApplication.launch(); });
        const int exitCode = QCoreApplication::exec();
        tray = nullptr;
        return exitCode;
    };
    return runBridgeProgram(std::move(program));
}

} // namespace halvex
