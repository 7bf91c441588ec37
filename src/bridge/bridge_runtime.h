#pragma once

#include "account/user_session.h"
#include "bridge/bridge_manager.h"

#include <memory>

namespace halvex {

// The bridge on this user's session: the session (its stores, relay origins and home directory) and the bridge
// manager on them, which the session's pairing tells of a new bridge token.
// Shared by the tray application and the headless entry. Construction
// already applies the stored on/off switch (and so may start the bridge).
class BridgeRuntime
{
public:
    struct Options {
        // Stand-in stores and origins (tests); none: the user's own.
        UserSession::Options session;
        BridgeManager::Timings timings;
        // Network changes and resumes wake the links (through the
        // desktop-bus module).
        bool watchWakeups = true;
    };

    BridgeRuntime();
    explicit BridgeRuntime(Options options);
    ~BridgeRuntime();
    BridgeRuntime(const BridgeRuntime &) = delete;
    BridgeRuntime &operator=(const BridgeRuntime &) = delete;

    UserSession &session() { return *m_session; }
    BridgeManager *bridgeManager() const { return m_bridgeManager.get(); }

private:
    // Declared in construction order; the manager goes first at destruction.
    std::unique_ptr<UserSession> m_session;
    std::unique_ptr<BridgeManager> m_bridgeManager;
};

} // namespace halvex
