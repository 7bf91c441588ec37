#pragma once

#include "gateway/gateway_target.h"
#include "platform/error.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>

namespace halvex {

class CredentialStore;
class Settings;

// The one writer of the gateway settings: the stored endpoint, the gateway
// token, the confirmed certificate pin, the device tokens and the users
// trusted to hold the gateway's loopback port. The manager, the commands,
// the windows and the wizard all change them here, so its rules stand once:
// - what equals openclaw.json is not stored (stored, it would hide a later
//   change of the file: a new port, a rotated token);
// - a credential belongs to the origin it was given for: a new origin gets
//   no token (unless one is given with it, or it is kept on purpose), no
//   pin and no device token of the old one.
// Reading goes through resolveGatewayTarget(), as everywhere.
class GatewaySettings
{
public:
    // Neither is owned; both outlive this object.
    GatewaySettings(Settings *settings, CredentialStore *credentials, QString homeDirectory,
                    EnvironmentLookup environment = processEnvironment);

    // The gateway as stored now.
    GatewayTarget target() const;
    // The gateway with what a form or a command holds just now in place of
    // the stored endpoint or token; the rules stay the same.
    GatewayTarget targetWith(const std::optional<QUrl> &endpoint, const std::optional<QString> &token) const;

    struct Change {
        GatewayTarget target; // as stored afterwards
        bool moved = false;   // to another origin
        bool tokenKept = false;
        // The new address has no token yet (and needs one).
        bool needsToken = false;
        bool pinDropped = false;
    };
    // Uses the gateway at `endpoint`; an empty one follows openclaw.json
    // again. `token`: given with it (stored for the new origin; what equals
    // openclaw.json is not stored). Without one, the stored token stays
    // only where the origin stays, or with `keepToken`, which carries the
    // gateway token over and nothing else.
    Result<Change> setEndpoint(const QUrl &endpoint, const std::optional<QString> &token, bool keepToken = false);
    // Stores the token for the gateway in use.
    Result<GatewayTarget> setToken(const QString &token);
    // Forgets the stored endpoint, token and pin: openclaw.json rules again.
    Result<GatewayTarget> reset();
    // Trusts a remote https gateway's certificate, for the address in use
    // only. Not for this machine's gateway, whose certificate file is read.
    Result<GatewayTarget> trust(const QByteArray &sha256);
    // Lets `user` (a name or a uid) hold the gateway's loopback port: a
    // gateway run by a dedicated account on this machine.
    Result<GatewayTarget> allowListenerOwner(const QString &user);
    Result<GatewayTarget> forbidListenerOwner(const QString &user);

    // An older build's single device token is bound to the gateway the
    // stored settings resolve to today, which issued it. Once; cheap after.
    void adoptUnboundDeviceToken();

private:
    GatewaySources sources() const;
    // The stored target, with an older build's unbound device token bound
    // to it first.
    GatewayTarget targetAdoptingUnbound();
    // Writes the origin of a token or pin stored before they were kept per
    // origin, so that the next change cannot hand it to another address.
    void settleOrigins(const GatewayTarget &before);

    Settings *m_settings;
    CredentialStore *m_credentials;
    QString m_homeDirectory;
    EnvironmentLookup m_environment;
};

} // namespace halvex
