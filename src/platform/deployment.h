#pragma once

#include <QString>
#include <QUrl>

namespace halvex {

// Reverse-DNS application identifier: the logging subsystem and the prefix
// of every credential service name.
QString appId();

// Host name (optionally with ":port") of the relay service.
QString relayHost();

// True when the build talks to the relay over ws:// and http:// (a loopback
// stand-in during development).
bool relayInsecure();

// Whether a host name or address means this machine (localhost, 127.0.0.0/8, ::1).
bool isLoopbackHost(const QString &host);

// "wss://" + relay host, or "ws://" + relay host in an insecure build.
QUrl relayWebSocketOrigin();

// "https://" + relay host, or "http://" + relay host in an insecure build.
QUrl relayHttpOrigin();

// The short version users see; "1.0.0" when the build set none.
QString appShortVersion();

// The build number shown in the About window; "1" when the build set none.
QString appBuildVersion();

// Credential service names: the application identifier followed by a suffix.
namespace CredentialService {
QString bridge();               // ".bridge": the relay's bridge token
QString relay();                // ".relay": the account's relay session token
QString openClaw();             // ".openclaw": the OpenClaw gateway token
QString openClawDeviceToken();  // ".openclaw.devicetoken": one token for any gateway, as older builds kept it
QString openClawDeviceTokens(); // ".openclaw.devicetokens": each device token with the origin that issued it
QString openClawDeviceKey();    // ".openclaw.device-key" (binary, account "ed25519-private")
inline constexpr char deviceKeyAccount[] = "ed25519-private";
} // namespace CredentialService

} // namespace halvex
