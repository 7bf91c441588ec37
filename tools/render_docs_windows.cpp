// The windows' pictures: every setup wizard step and the Mobile Model,
// OpenClaw settings, account settings and QR code windows, in the light and
// the dark palette, on a scratch home, credential store and settings file
// (a sample OpenClaw configuration, no relay).
#include "render_docs.h"

#include "account/account_service.h"
#include "account/pairing_service.h"
#include "account/relay_auth_service.h"
#include "app/tray_controller.h"
#include "bridge/bridge_manager.h"
#include "discovery/openclaw_detector.h"
#include "models/provider_detection_service.h"
#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"
#include "platform/secrets/secret_backend.h"
#include "platform/session/login_item.h"
#include "platform/settings.h"
#include "views/account_settings_view.h"
#include "views/model_selection_step.h"
#include "views/model_selection_view.h"
#include "views/openclaw_config_step.h"
#include "views/openclaw_settings_view.h"
#include "views/qr_code_window_view.h"
#include "views/setup_wizard_view.h"
#include "views/window_services.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QScreen>
#include <QStyle>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>
#include <memory>

namespace halvex::docs {

namespace {

void waitUntil(const std::function<bool()> &done, int timeoutMs = 8000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs) {
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

QPalette darkPalette()
{
    QPalette p;
    p.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2e));
    p.setColor(QPalette::WindowText, QColor(0xe8, 0xe8, 0xea));
    p.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x20));
    p.setColor(QPalette::AlternateBase, QColor(0x33, 0x33, 0x36));
    p.setColor(QPalette::Text, QColor(0xe8, 0xe8, 0xea));
    p.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3d));
    p.setColor(QPalette::ButtonText, QColor(0xe8, 0xe8, 0xea));
    p.setColor(QPalette::Highlight, QColor(0x3d, 0x8b, 0xfd));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::PlaceholderText, QColor(0x8e, 0x8e, 0x93));
    p.setColor(QPalette::Mid, QColor(0x48, 0x48, 0x4c));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x7a, 0x7a, 0x7e));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x7a, 0x7a, 0x7e));
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x7a, 0x7a, 0x7e));
    return p;
}

// On a real X server (Xvfb with a window manager): the window as the window
// manager frames it, grabbed from the screen.
bool onScreen()
{
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

QImage grabFramed(QWidget &widget)
{
    widget.move(60, 60);
    widget.show();
    widget.raise();
    widget.activateWindow();
    // Let the window manager put its frame around the window and draw it.
    waitUntil([] { return false; }, 700);
    QScreen *screen = widget.screen();
    const QRect frame = widget.frameGeometry();
    const int margin = 0; // the frame alone, without the bare root window around it
    QPixmap shot = screen->grabWindow(0, frame.x() - margin, frame.y() - margin, frame.width() + 2 * margin,
                                      frame.height() + 2 * margin);
    widget.hide();
    waitUntil([] { return false; }, 200);
    return shot.toImage();
}

// A bridge and the windows' services on scratch stores, with no relay.
struct Scene {
    QTemporaryDir home;
    std::unique_ptr<CredentialStore> credentials =
        std::make_unique<CredentialStore>(std::make_unique<MemorySecretBackend>());
    std::unique_ptr<Settings> settings = std::make_unique<Settings>(home.filePath(QStringLiteral("settings.conf")));
    std::unique_ptr<BridgeManager> bridge;
    std::unique_ptr<RelayAuthService> auth;
    std::unique_ptr<AccountService> account;
    std::unique_ptr<PairingService> pairing;
    XdgAutostartLoginItem loginItem{home.filePath(QStringLiteral("autostart"))};
    WindowServices services;

    Scene()
    {
        QDir().mkpath(home.filePath(QStringLiteral(".openclaw")));
        QFile config(home.filePath(QStringLiteral(".openclaw/openclaw.json")));
        if (config.open(QIODevice::WriteOnly))
            config.write(R"({"gateway": {"port": 18789, "bind": "loopback", "auth": {"token": "oc-2f9c1d7e4b8a"}},
  "agents": {"list": [{"id": "main", "default": true}, {"id": "mobile", "model": {"primary": "openai/gpt-4o-mini"}}]},
  "models": {"providers": {"openai": {"apiKey": "sk-sample", "models": [{"id": "gpt-4o-mini", "contextWindow": 128000},
                                                                       {"id": "o3", "reasoning": true}]},
                           "anthropic": {"apiKey": "sk-ant", "models": [{"id": "claude-haiku", "name": "Claude Haiku"}]}}}})");
        config.close();
        settings->setBoolean(SettingsKey::bridgeEnabled, false);
        settings->setString(SettingsKey::bridgeName, QStringLiteral("Living Room PC"));

        BridgeManager::Dependencies deps;
        deps.credentials = credentials.get();
        deps.settings = settings.get();
        deps.relayOrigin = QUrl(QStringLiteral("ws://127.0.0.1:1"));
        deps.homeDirectory = home.path();
        bridge = std::make_unique<BridgeManager>(deps);
        bridge->start();
        auth = std::make_unique<RelayAuthService>(QUrl(QStringLiteral("http://127.0.0.1:1")));
        account = std::make_unique<AccountService>(auth.get(), credentials.get(), settings.get());
        PairingService::Dependencies p;
        p.auth = auth.get();
        p.credentials = credentials.get();
        p.settings = settings.get();
        p.relayWebSocketOrigin = relayWebSocketOrigin();
        p.localIPAddress = [] { return std::optional<QString>(QStringLiteral("192.168.1.20")); };
        BridgeManager *manager = bridge.get();
        p.gateway = [manager] { return manager->gatewayTarget(); };
        pairing = std::make_unique<PairingService>(p);

        services.bridgeManager = manager;
        services.settings = settings.get();
        services.credentials = credentials.get();
        services.account = account.get();
        services.pairing = pairing.get();
        services.loginItem = &loginItem;
        const QString path = home.path();
        services.makeDetector = [path] {
            OpenClawDetector::Dependencies d;
            d.homeDirectory = path;
            // Any program that runs stands in for the tool; the file has the rest.
            d.places = OpenClawLocator::Places{{QStringLiteral("/bin/true")}, {}, {}};
            d.environment = [](const QString &) { return std::optional<QString>(); };
            d.localIPAddress = [] { return std::optional<QString>(QStringLiteral("192.168.1.20")); };
            d.avahiBusAddress = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
            OpenClawDetectorTimings timings;
            timings.discoveryWindow = std::chrono::milliseconds(200);
            return std::make_unique<OpenClawDetector>(d, timings);
        };
        services.makeProviderDetection = [path] {
            ProviderDetectionService::Dependencies d;
            d.homeDirectory = path;
            d.localOllamaHost = QStringLiteral("http://127.0.0.1:1");
            return std::make_unique<ProviderDetectionService>(d);
        };
    }
};

bool renderTheme(const QDir &folder, const QString &theme)
{
    Scene scene;
    bool ok = true;
    auto shoot = [&](QWidget &widget, QSize size, const QString &title, const QString &name) {
        widget.setFixedSize(size);
        widget.setWindowTitle(title);
        const QString file = name + QLatin1Char('-') + theme + QStringLiteral(".png");
        if (!onScreen()) {
            widget.show(); // offscreen: lays the widget out without a screen
            QApplication::processEvents();
            ok = save(framedWindow(snapshot(widget), title, widget.palette()), folder, file) && ok;
            widget.hide();
            return;
        }
        ok = save(grabFramed(widget), folder, file) && ok;
    };

    {
        SetupWizardView wizard(scene.services, [] {});
        const QSize size(520, 560);
        const QString title = QStringLiteral("Halvex Bridge Setup");
        waitUntil([&] { return !wizard.detector()->isDetecting(); });
        shoot(wizard, size, title, QStringLiteral("wizard-1-welcome"));
        wizard.setCurrentStep(1);
        shoot(wizard, size, title, QStringLiteral("wizard-2-account"));
        // Paired already: the step shows the QR code.
        (void)scene.credentials->save(CredentialService::bridge(), QStringLiteral("bt-sample"));
        scene.settings->setString(SettingsKey::bridgeId, QStringLiteral("br-7Q2K9"));
        wizard.setCurrentStep(2);
        shoot(wizard, size, title, QStringLiteral("wizard-3-phone"));
        wizard.setCurrentStep(3);
        shoot(wizard, size, title, QStringLiteral("wizard-4-openclaw"));
        wizard.setCurrentStep(4);
        waitUntil([&] { return wizard.modelStep()->isLoaded(); });
        shoot(wizard, size, title, QStringLiteral("wizard-5-model"));
        wizard.setCurrentStep(5);
        shoot(wizard, size, title, QStringLiteral("wizard-6-start-at-login"));
        wizard.setCurrentStep(6);
        shoot(wizard, size, title, QStringLiteral("wizard-7-ready"));
    }
    using Window = TrayController::SettingsWindow;
    {
        ModelSelectionView window(scene.services);
        waitUntil([&] { return window.isLoaded(); });
        shoot(window, TrayController::windowSize(Window::mobileModel), TrayController::windowTitle(Window::mobileModel),
              QStringLiteral("mobile-model"));
    }
    {
        (void)scene.credentials->save(CredentialService::openClaw(), QStringLiteral("oc-2f9c1d7e4b8a"));
        OpenClawSettingsView window(scene.services);
        shoot(window, TrayController::windowSize(Window::openClawSettings),
              TrayController::windowTitle(Window::openClawSettings), QStringLiteral("openclaw-settings"));
    }
    {
        (void)scene.credentials->save(CredentialService::relay(), QStringLiteral("relay-sample"));
        scene.settings->setString(SettingsKey::accountEmail, QStringLiteral("alex@example.com"));
        AccountSettingsView window(scene.services);
        shoot(window, TrayController::windowSize(Window::accountSettings),
              TrayController::windowTitle(Window::accountSettings), QStringLiteral("account-settings"));
    }
    {
        (void)scene.credentials->deleteItem(CredentialService::relay());
        QRCodeWindowView window(scene.services);
        waitUntil([&] { return window.hasImage(); });
        shoot(window, TrayController::windowSize(Window::qrCode), TrayController::windowTitle(Window::qrCode),
              QStringLiteral("qr-code"));
    }
    return ok;
}

} // namespace

bool renderWindowPictures(const QDir &folder)
{
    const QPalette light = QApplication::style()->standardPalette();
    QApplication::setPalette(light);
    bool ok = renderTheme(folder, QStringLiteral("light"));
    QApplication::setPalette(darkPalette());
    ok = renderTheme(folder, QStringLiteral("dark")) && ok;
    QApplication::setPalette(light);
    return ok;
}

} // namespace halvex::docs
