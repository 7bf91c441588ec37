#pragma once
// A bridge whose two links run through FrozenPathProxy: the relay stand-in
// and the gateway WebSocket stand-in each behind a proxy whose open
// connections can die without a word. Shared by the fault runs and the
// wake-up tests.

#include "bridge_rig.h"
#include "frozen_path_proxy.h"
#include "gateway_ws_stand_in.h"

#include <functional>
#include <memory>

namespace halvex::test {

class FrozenPathsRig : public BridgeRig
{
public:
    ~FrozenPathsRig() { shutDown(); }

    // Stand-ins and proxies up, the tokens stored, the bridge made (with
    // `beforeStart` run on it) and started, and both links connected.
    bool launchBehindProxies(const std::function<void(BridgeManager *)> &beforeStart = {})
    {
        if (!startStandIns() || !ws.listen())
            return false;
        ws.setGatewayToken(gatewayToken);
        relayPath = std::make_unique<FrozenPathProxy>(QStringLiteral("127.0.0.1"), relay.port());
        gatewayPath = std::make_unique<FrozenPathProxy>(QStringLiteral("127.0.0.1"), ws.port());
        if (!relayPath->listen() || !gatewayPath->listen())
            return false;
        storeBridgeToken();
        settings->setString(SettingsKey::openClawEndpoint, gatewayPath->url(QStringLiteral("http")).toString());
        if (!credentials->save(CredentialService::openClaw(), gatewayToken))
            return false;
        BridgeManager::Dependencies deps = dependencies();
        deps.relayOrigin = relayPath->url();
        bridge = std::make_unique<BridgeManager>(std::move(deps), timings);
        if (beforeStart)
            beforeStart(bridge.get());
        bridge->start();
        return waitConnected(30000) &&
               QTest::qWaitFor([&] { return bridge->openClawWebSocket()->isUsableForChat(); }, 30000);
    }

    GatewayWsStandIn ws;
    std::unique_ptr<FrozenPathProxy> relayPath;
    std::unique_ptr<FrozenPathProxy> gatewayPath;
};

} // namespace halvex::test
