#pragma once

#include "platform/secret_backend.h"

#include <memory>

namespace halvex {

// The Secret Service (gnome-keyring, KWallet, KeePassXC …) through libsecret.
// Items live in the default collection with the attribute "service" (the
// full service string) and, for the few items that need one, "account", so
// `secret-tool lookup service <service>` finds them. Text values are stored
// as "text/plain", anything else as "application/octet-stream".
//
// Calls block briefly on D-Bus; an unlock prompt may keep them waiting for
// the user, as every keyring client does.
class LibsecretBackend : public SecretBackend
{
public:
    LibsecretBackend();
    ~LibsecretBackend() override;
    LibsecretBackend(const LibsecretBackend &) = delete;
    LibsecretBackend &operator=(const LibsecretBackend &) = delete;

    QString name() const override { return QStringLiteral("secret-service"); }
    SecretOutcome lookup(const SecretItemKey &key) override;
    // Stores the value, then removes any other item with exactly this key
    // (left by older builds or other tools), so one item remains.
    SecretOutcome store(const SecretItemKey &key, const QByteArray &value) override;
    SecretOutcome remove(const SecretItemKey &key) override;

    // Whether a Secret Service answers on the session bus and can keep items
    // without a prompt nobody could see: its default collection is unlocked,
    // or a display exists to show the unlock prompt. Never starts a session
    // bus (no autolaunch) and gives up after `timeoutMs` when the bus or the
    // service does not answer.
    static bool isAvailable(int timeoutMs = 5000);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace halvex
