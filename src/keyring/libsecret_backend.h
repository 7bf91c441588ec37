#pragma once

#include "platform/secrets/secret_backend.h"

#include <chrono>
#include <memory>

namespace halvex {

// The Secret Service (gnome-keyring, KWallet, KeePassXC …) through libsecret.
// Items live in the default collection with the attribute "service" (the
// full service string) and, for the few items that need one, "account", so
// `secret-tool lookup service <service>` finds them. Text values are stored
// as "text/plain", anything else as "application/octet-stream".
//
// Each operation runs libsecret's asynchronous calls on a private main
// context and waits for them at most `callTimeout`: a keyring that hangs
// or went away costs the event loop that long once, then reports an Error
// (the next call connects afresh). A locked keyring is unlocked through the
// service's prompt, which waits for the user up to its own, longer limit.
class LibsecretBackend : public SecretBackend
{
public:
    struct Timings {
        std::chrono::milliseconds callTimeout = std::chrono::seconds(3);
        // An unlock prompt waits this long for the user instead.
        std::chrono::milliseconds promptTimeout = std::chrono::minutes(2);
        // A call that took this long is worth a warning.
        std::chrono::milliseconds slowCall = std::chrono::milliseconds(250);
    };

    explicit LibsecretBackend(Timings timings);
    LibsecretBackend() : LibsecretBackend(Timings{}) {}
    ~LibsecretBackend() override;
    LibsecretBackend(const LibsecretBackend &) = delete;
    LibsecretBackend &operator=(const LibsecretBackend &) = delete;

    QString name() const override { return QStringLiteral("secret-service"); }
    SecretLookup lookup(const SecretItemKey &key) override;
    // Stores the value, then removes any other item with exactly this key
    // (left by older builds or other tools), so one item remains.
    Result<Done> store(const SecretItemKey &key, const QByteArray &value) override;
    Result<Done> remove(const SecretItemKey &key) override;

    // Whether a Secret Service answers on the session bus and can keep items
    // without a prompt nobody could see: its default collection is unlocked,
    // or a display exists to show the unlock prompt. Never starts a session
    // bus (no autolaunch) and gives up after `timeout` when the bus or the
    // service does not answer.
    static bool isAvailable(std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace halvex
