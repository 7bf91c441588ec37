#include "bridge/bridge_runtime.h"

#include <QCoreApplication>

#include "account/relay_origin.h"
#include "bridge/local_model_detector.h"
#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"
#include "platform/session/desktop_bus_module.h"
#include "platform/settings.h"

#include <QDir>

namespace halvex {

BridgeRuntime::BridgeRuntime() : BridgeRuntime(Options{})
{
}

BridgeRuntime::BridgeRuntime(Options options)
    : m_credentials(CredentialStore::createDefault()), m_settings(Settings::userDefaults())
{
    BridgeManager::Dependencies deps;
    deps.credentials = m_credentials.get();
    deps.settings = m_settings.get();
    if (options.relayOrigin.isEmpty()) {
        // The relay the pairing commands and windows use: in development
        // builds a loopback stand-in may stand for it, else the deployment's.
        const Result<RelayOrigins> origins = relayOriginsForCommands();
        options.relayOrigin = origins ? origins->webSocket : relayWebSocketOrigin();
    }
    deps.relayOrigin = options.relayOrigin;
    deps.homeDirectory = options.homeDirectory.isEmpty() ? QDir::homePath() : options.homeDirectory;
    deps.localModelDetector = providerLocalModelDetector(deps.homeDirectory);
    deps.memorySync = BridgeManager::Dependencies::MemorySync{};
    m_bridgeManager = std::make_unique<BridgeManager>(std::move(deps), options.timings);
    if (options.watchWakeups) {
        BridgeManager *bridge = m_bridgeManager.get();
        DesktopBusModule::watchWakeups([bridge](const QString &why) { bridge->wake(why); }, bridge);
    }
}

BridgeRuntime::~BridgeRuntime()
{
    // Requests the manager aborts finish from the event loop: let them
    // resolve while the network access manager still exists.
    m_bridgeManager.reset();
    QCoreApplication::sendPostedEvents();
}

bool BridgeRuntime::hasBridgeToken() const
{
    return m_bridgeManager->bridgeTokenState() != BridgeManager::TokenState::none;
}

} // namespace halvex
