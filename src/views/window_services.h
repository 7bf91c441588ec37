#pragma once

#include "gateway/limits.h"

#include <chrono>
#include <functional>
#include <memory>

namespace halvex {

class AccountService;
class BridgeManager;
class CredentialStore;
class LoginItem;
class OpenClawDetector;
class PairingService;
class ProviderDetectionService;
class Settings;

// What the windows work with. Nothing here is owned by a window: the
// services outlive every window. Each window makes its own short-lived
// detectors through the factories.
struct WindowServices {
    BridgeManager *bridgeManager = nullptr;
    // The stores the running bridge uses too.
    Settings *settings = nullptr;
    CredentialStore *credentials = nullptr;
    AccountService *account = nullptr;
    PairingService *pairing = nullptr;
    LoginItem *loginItem = nullptr;
    std::function<std::unique_ptr<OpenClawDetector>()> makeDetector;
    std::function<std::unique_ptr<ProviderDetectionService>()> makeProviderDetection;
    // Time limits of the windows' own network checks.
    std::chrono::milliseconds gatewayTestTimeout = limits::probeTimeout;
    std::chrono::milliseconds stepModelTestTimeout = std::chrono::seconds(10);
    std::chrono::milliseconds windowModelTestTimeout = std::chrono::seconds(15);
};

} // namespace halvex
