#include "bridge/bridge_runtime.h"

#include <QCoreApplication>

#include "bridge/local_model_detector.h"
#include "platform/session/desktop_bus_module.h"

namespace halvex {

BridgeRuntime::BridgeRuntime() : BridgeRuntime(Options{})
{
}

BridgeRuntime::BridgeRuntime(Options options) : m_session(std::make_unique<UserSession>(std::move(options.session)))
{
    BridgeManager::Dependencies deps;
    deps.credentials = m_session->credentials();
    deps.settings = m_session->settings();
    // The relay the pairing commands and windows use: in development
    // builds a loopback stand-in may stand for it, else the deployment's.
    deps.relayOrigin = m_session->usableRelayOrigins().webSocket;
    deps.homeDirectory = m_session->homeDirectory();
    deps.localModelDetector = providerLocalModelDetector(deps.homeDirectory);
    deps.memorySync = BridgeManager::Dependencies::MemorySync{};
    m_bridgeManager = std::make_unique<BridgeManager>(std::move(deps), options.timings);
    BridgeManager *bridge = m_bridgeManager.get();
    m_session->setBridgeInProcess([bridge] { return bridge->gatewayTarget(); },
                                  [bridge] { bridge->reloadCredentials(); });
    if (options.watchWakeups)
        DesktopBusModule::watchWakeups([bridge](const QString &why) { bridge->wake(why); }, bridge);
}

BridgeRuntime::~BridgeRuntime()
{
    // Requests the manager aborts finish from the event loop: let them
    // resolve while the session's stores still exist.
    m_bridgeManager.reset();
    QCoreApplication::sendPostedEvents();
}

} // namespace halvex
