#pragma once

#include "bridge/bridge_manager.h"

#include <QString>
#include <QUrl>

#include <memory>

namespace halvex {

class CredentialStore;
class Settings;

// The bridge with the user's real dependencies: one network access manager,
// the user's credential store and user-defaults store, the deployment's
// relay origin and the home directory. Shared by the tray application and
// the headless entry. Construction already applies the stored on/off switch
// (and so may start the bridge).
class BridgeRuntime
{
public:
    struct Options {
        QUrl relayOrigin;      // empty: relayOriginsForCommands(), else relayWebSocketOrigin()
        QString homeDirectory; // empty: QDir::homePath()
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

    CredentialStore *credentials() const { return m_credentials.get(); }
    Settings *settings() const { return m_settings.get(); }
    BridgeManager *bridgeManager() const { return m_bridgeManager.get(); }

    // Whether a bridge token may be stored: it is, or the credential store
    // cannot say yet (a locked keyring); reads the store.
    bool hasBridgeToken() const;

private:
    // Declared in construction order; the manager goes first at destruction.
    std::unique_ptr<CredentialStore> m_credentials;
    std::unique_ptr<Settings> m_settings;
    std::unique_ptr<BridgeManager> m_bridgeManager;
};

} // namespace halvex
