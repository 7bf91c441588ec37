#include "app/window_runtime.h"

#include "app/tray_controller.h"
#include "bridge/bridge_runtime.h"
#include "discovery/openclaw_detector.h"
#include "models/provider_detection_service.h"
#include "views/account_settings_view.h"
#include "views/model_selection_view.h"
#include "views/openclaw_settings_view.h"
#include "views/qr_code_window_view.h"
#include "views/setup_wizard_view.h"

namespace halvex {

WindowRuntime::WindowRuntime(BridgeRuntime &runtime, LoginItem *loginItem)
{
    UserSession &session = runtime.session();
    BridgeManager *bridgeManager = runtime.bridgeManager();
    Settings *settings = session.settings();
    CredentialStore *credentials = session.credentials();
    m_services.bridgeManager = bridgeManager;
    m_services.settings = settings;
    m_services.credentials = credentials;
    m_services.account = session.account();
    // A new bridge token (first pairing or "Pair Again") reaches the bridge
    // at once (the session's pairing tells it).
    m_services.pairing = session.pairing();
    m_services.loginItem = loginItem;
    const QString home = session.homeDirectory();
    m_services.makeDetector = [home, bridgeManager, settings, credentials] {
        OpenClawDetector::Dependencies d;
        d.homeDirectory = home;
        d.settings = settings;
        d.credentials = credentials;
        d.gatewaySocketConnected = [bridgeManager] {
            return bridgeManager->gatewayState() == GatewayLinkState::connected();
        };
        return std::make_unique<OpenClawDetector>(d);
    };
    m_services.makeProviderDetection = [home] {
        ProviderDetectionService::Dependencies d;
        d.homeDirectory = home;
        // The same writer as `halvex-bridge models set`: OpenClaw's own
        // when its tool is found.
        d.findTool = openClawToolFinder(home);
        return std::make_unique<ProviderDetectionService>(d);
    };
}

void WindowRuntime::install(TrayController *controller)
{
    const WindowServices *services = &m_services;
    using Window = TrayController::SettingsWindow;
    controller->setWindowFactory(Window::qrCode,
                                 [services](BridgeManager *) { return new QRCodeWindowView(*services); });
    controller->setWindowFactory(Window::openClawSettings,
                                 [services](BridgeManager *) { return new OpenClawSettingsView(*services); });
    controller->setWindowFactory(Window::accountSettings,
                                 [services](BridgeManager *) { return new AccountSettingsView(*services); });
    controller->setWindowFactory(Window::mobileModel,
                                 [services](BridgeManager *) { return new ModelSelectionView(*services); });
    controller->setSetupWizardFactory([services](BridgeManager *, std::function<void()> onComplete) {
        return new SetupWizardView(*services, std::move(onComplete));
    });
}

} // namespace halvex
