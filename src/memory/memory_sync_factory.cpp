#include "memory/memory_sync_factory.h"

#include "gateway/chat_backend.h"
#include "gateway/openclaw_client.h"
#include "platform/deployment.h"
#include "platform/settings.h"

#include <QPointer>

namespace halvex {

std::unique_ptr<MemorySyncService> makeMemorySyncService(ChatBackend *http, ChatBackend *webSocket,
                                                         KeychainManager *keychain, QNetworkAccessManager *network,
                                                         Settings *settings, MemorySyncService::Timings timings)
{
    MemorySyncService::Dependencies deps;
    deps.gateway.http = http;
    deps.gateway.webSocket = webSocket;
    // GET /v1/models answers 200 exactly when the chat endpoint is on.
    if (auto *client = dynamic_cast<OpenClawClient *>(http)) {
        deps.gateway.httpEndpointAvailable = [client = QPointer<OpenClawClient>(client)]() -> QCoro::Task<bool> {
            if (!client)
                co_return false;
            co_return co_await client->isReachable();
        };
    }
    deps.keychain = keychain;
    deps.network = network;
    deps.relayOrigin = relayHttpOrigin();
    if (settings)
        deps.isEnabled = [settings] { return settings->boolean(SettingsKey::memorySyncEnabled, false); };
    return std::make_unique<MemorySyncService>(std::move(deps), timings);
}

} // namespace halvex
