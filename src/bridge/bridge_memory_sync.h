#pragma once

// The bridge's memory-sync seam filled with the real service. Header-only,
// so that the memory library does not depend on the bridge: include it
// where the bridge's dependencies are put together, and link halvex_memory
// there.

#include "bridge/bridge_manager.h"
#include "memory/memory_sync_factory.h"

#include <memory>

namespace halvex {

// The service behind the bridge's handle.
class BridgeMemorySync : public MemorySyncHandle
{
public:
    explicit BridgeMemorySync(std::unique_ptr<MemorySyncService> service) : m_service(std::move(service)) {}
    void start() override { m_service->start(); }
    void stop() override { m_service->stop(); }
    void recordActivity() override { m_service->recordActivity(); }
    Progress progress() const override { return {m_service->isExtracting(), m_service->nextSyncTime()}; }
    MemorySyncService *service() const { return m_service.get(); }

private:
    std::unique_ptr<MemorySyncService> m_service;
};

// For BridgeManager::Dependencies::memorySyncFactory.
inline MemorySyncFactory memorySyncFactory(MemorySyncService::Timings timings = {}, QUrl relayOrigin = {})
{
    return [timings, relayOrigin](const MemorySyncContext &context) -> std::unique_ptr<MemorySyncHandle> {
        return std::make_unique<BridgeMemorySync>(makeMemorySyncService(context.http, context.webSocket,
                                                                        context.credentials, context.network,
                                                                        context.settings, timings, relayOrigin));
    };
}

} // namespace halvex
