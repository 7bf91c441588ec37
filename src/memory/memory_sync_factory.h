#pragma once

#include "memory/memory_sync_service.h"

#include <memory>

namespace halvex {

class ChatBackend;
class GatewayHttpClient;
class CredentialStore;
class Settings;

// A memory sync against the deployment's relay, not yet started, over the
// bridge's two gateway paths (either may be null). A probe of the HTTP
// client's gateway tells whether its chat endpoint is on; otherwise the
// WebSocket carries the extraction.
// The service reads the user's Memory Sync switch from `settings` before
// every sync. Nothing passed in is owned; all of it must outlive the service.
// An empty `relayOrigin` means the deployment's relay.
std::unique_ptr<MemorySyncService> makeMemorySyncService(GatewayHttpClient *http, ChatBackend *webSocket,
                                                         CredentialStore *credentials, Settings *settings,
                                                         MemorySyncService::Timings timings = {},
                                                         const QUrl &relayOrigin = {});

} // namespace halvex
