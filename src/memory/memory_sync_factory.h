#pragma once

#include "memory/memory_sync_service.h"

#include <memory>

class QNetworkAccessManager;

namespace halvex {

class ChatBackend;
class KeychainManager;
class Settings;

// What the bridge hands to a memory sync it creates.
struct MemorySyncContext {
    ChatBackend *http = nullptr;      // the gateway's HTTP chat client
    ChatBackend *webSocket = nullptr; // the gateway WebSocket
    KeychainManager *keychain = nullptr;
    QNetworkAccessManager *network = nullptr;
    Settings *settings = nullptr;
};

// A memory sync against the deployment's relay, not yet started. When the
// HTTP backend is the gateway's OpenClawClient, its probe of the model list
// tells whether the HTTP chat endpoint is on.
std::unique_ptr<MemorySyncService> makeMemorySyncService(const MemorySyncContext &context,
                                                         MemorySyncService::Timings timings = {});

} // namespace halvex
