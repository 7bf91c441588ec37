#include "memory/memory_sync_factory.h"

#include "gateway/chat_backend.h"
#include "gateway/gateway_http_client.h"
#include "gateway/gateway_probe.h"
#include "platform/deployment.h"
#include "platform/settings.h"

#include <QPointer>

namespace halvex {

namespace {

QCoro::Task<bool> notAvailable()
{
    co_return false;
}

QCoro::Task<bool> chatEndpointOn(GatewayTarget target)
{
    const GatewayProbe probe = co_await probeGateway(std::move(target));
    co_return probe.chatEndpoint == ChatEndpointState::on;
}

} // namespace

std::unique_ptr<MemorySyncService> makeMemorySyncService(GatewayHttpClient *http, ChatBackend *webSocket,
                                                         CredentialStore *credentials, Settings *settings,
                                                         MemorySyncService::Timings timings, const QUrl &relayOrigin)
{
    MemorySyncService::Dependencies deps;
    deps.gateway.http = http;
    deps.gateway.webSocket = webSocket;
    // The client's endpoint and token are read at each sync: the bridge
    // reloads them when the gateway settings change.
    if (http) {
        deps.gateway.httpEndpointAvailable = [client = QPointer<GatewayHttpClient>(http)] {
            if (!client)
                return notAvailable();
            return chatEndpointOn(client->target());
        };
    }
    deps.credentials = credentials;
    deps.relayOrigin = relayOrigin.isEmpty() ? relayHttpOrigin() : relayOrigin;
    if (settings)
        deps.isEnabled = [settings] { return settings->boolean(SettingsKey::memorySyncEnabled, false); };
    return std::make_unique<MemorySyncService>(std::move(deps), timings);
}

} // namespace halvex
