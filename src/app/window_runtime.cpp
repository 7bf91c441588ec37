#include "app/window_runtime.h"

#include "account/account_service.h"
#include "account/pairing_service.h"
#include "account/relay_auth_service.h"
#include "account/relay_origin.h"
#include "app/tray_controller.h"
#include "bridge/bridge_manager.h"
#include "discovery/openclaw_detector.h"
#include "models/provider_detection_service.h"
#include "platform/deployment.h"
#include "views/account_settings_view.h"
#include "views/model_selection_view.h"
#include "views/openclaw_settings_view.h"
#include "views/qr_code_window_view.h"
#include "views/setup_wizard_view.h"

#include <QDir>

namespace halvex {

WindowRuntime::WindowRuntime(BridgeManager *bridgeManager, Settings *settings, CredentialStore *credentials,
                             LoginItem *loginItem, Options options)
{
    if (options.relayHttpOrigin.isEmpty() || options.relayWebSocketOrigin.isEmpty()) {
        // Development builds may point at a loopback relay; others get the
        // deployment's relay whatever the environment says.
        const Result<RelayOrigins> origins = relayOriginsForCommands();
        options.relayHttpOrigin = origins ? origins->http : relayHttpOrigin();
        options.relayWebSocketOrigin = origins ? origins->webSocket : relayWebSocketOrigin();
    }
    if (options.homeDirectory.isEmpty())
        options.homeDirectory = QDir::homePath();

    m_auth = std::make_unique<RelayAuthService>(options.relayHttpOrigin);
    m_account = std::make_unique<AccountService>(m_auth.get(), credentials, settings);
    PairingService::Dependencies deps;
    deps.auth = m_auth.get();
    deps.credentials = credentials;
    deps.settings = settings;
    deps.relayWebSocketOrigin = options.relayWebSocketOrigin;
    deps.gateway = [bridgeManager] { return bridgeManager->gatewayTarget(); };
    // A new bridge token (first pairing or "Pair Again") reaches the bridge
    // at once, as the terminal's pairing does over the instance socket.
    deps.bridgeTokenStored = [bridgeManager] { bridgeManager->reloadCredentials(); };
    m_pairing = std::make_unique<PairingService>(std::move(deps));

    m_services.bridgeManager = bridgeManager;
    m_services.settings = settings;
    m_services.credentials = credentials;
    m_services.account = m_account.get();
    m_services.pairing = m_pairing.get();
    m_services.loginItem = loginItem;
    const QString home = options.homeDirectory;
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

WindowRuntime::~WindowRuntime() = default;

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
