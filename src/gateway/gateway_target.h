#pragma once

#include "gateway/openclaw_config.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

namespace halvex {

class CredentialStore;
class Settings;

// Where one value of the gateway target came from.
enum class GatewayValueOrigin {
    none,         // nothing gave one
    defaultValue, // the built-in default
    settings,     // what the user set ("openClawEndpoint", "openClawTlsSha256")
    credentialStore,
    openClawConfig, // OpenClaw's own configuration file on this machine
    certificateFile,
    entered, // typed into a window or given on the command line just now
};
// "default", "settings", "credential store", "openclaw.json", ... (for
// `halvex-bridge gateway` and the JSON faces).
QString originName(GatewayValueOrigin origin);

// The origin a credential belongs to and is sent to: "scheme://host:port"
// in lower case with the port always written, followed by "#sha256=<hex>"
// when a certificate pin is given. Empty for a URL without a host.
QString credentialOrigin(const QUrl &endpoint, const QByteArray &pin = {});

// The one answer to "which gateway, and how do we reach it": every face of
// the bridge (the running links, the windows, each terminal command) works
// from this value and none reads the sources itself.
struct GatewayTarget {
    static constexpr int defaultPort = OpenClawConfig::defaultPort;
    // "http://127.0.0.1:18789"
    static QUrl defaultEndpoint();
    // The agent the phone talks to: "mobile".
    static QString mobileAgentId();

    // Scheme (http or https), host, port and base path of the gateway.
    QUrl endpoint = defaultEndpoint();
    GatewayValueOrigin endpointOrigin = GatewayValueOrigin::defaultValue;
    // Empty: none known.
    QString token;
    GatewayValueOrigin tokenOrigin = GatewayValueOrigin::none;
    // The credential store could not answer: the token is unknown, which is
    // not the same as none stored; the links keep what they have.
    bool tokenUnreadable = false;
    // Why no token is usable although one is written somewhere (masked,
    // an unset ${VAR}), or why the store could not be read.
    QString tokenProblem;
    // The gateway takes no token (gateway.auth.mode "none").
    bool authDisabled = false;

    // gateway.bind as configured; empty when the file does not say
    // (OpenClaw's default is "loopback").
    QString bindMode;
    std::optional<QString> customBindHost;

    // TLS: on when the endpoint is https. The pin is the SHA-256 of the
    // certificate (32 bytes), read from the certificate file of a gateway on
    // this machine; empty: none, and ordinary verification applies.
    bool tlsEnabled = false;
    QString certificatePath;
    QByteArray tlsPin;
    GatewayValueOrigin pinOrigin = GatewayValueOrigin::none;
    QString tlsProblem; // why a pin could not be had

    // Users besides this one whom the user confirmed to run the gateway on
    // a loopback port ("openClawListenerOwners").
    QStringList listenerOwners;

    // OpenClaw's configuration file, whether it was found and read, and why
    // not; the configuration itself when it was.
    QString configPath;
    bool configFound = false;
    QString configProblem;
    std::optional<OpenClawConfig> config;

    // The `openclaw` tool, once the locator looked (empty: not found or not
    // looked for); its version line; why a tool that was found does not run.
    QString toolPath;
    QString toolVersion;
    QString toolProblem;

    // The endpoint is the gateway of this machine's OpenClaw configuration.
    bool isLocal() const;
    // The configured gateway listens on loopback only: gateway.bind unset
    // (OpenClaw's default), "loopback", or a custom loopback address.
    bool isLoopbackOnly() const;
    // Plain http to a host that is not this machine: the token and every
    // chat cross the network readable by anyone on the path.
    bool sendsInClear() const;
    // Where the device token and the pin of this target belong.
    QString credentialOrigin() const { return halvex::credentialOrigin(endpoint, tlsPin); }
    // Whether the "mobile" agent is configured; nullopt when the
    // configuration could not be read or belongs to another gateway.
    std::optional<bool> hasMobileAgent() const;
    // Where the phone would reach this gateway directly, or nothing when it
    // listens on loopback only (or is not this machine's).
    std::optional<QUrl> phoneEndpoint(const std::optional<QString> &lanAddress) const;

    // Every member a face shows, with each value's origin; the token only
    // masked.
    QJsonObject json() const;
};

// What the resolver reads.
struct GatewaySources {
    GatewaySources(Settings *settings, CredentialStore *credentials, QString homeDirectory,
                   EnvironmentLookup environment = processEnvironment)
        : settings(settings), credentials(credentials), homeDirectory(std::move(homeDirectory)),
          environment(std::move(environment))
    {
    }

    Settings *settings = nullptr;           // not owned; none: nothing stored
    CredentialStore *credentials = nullptr; // not owned; none: no stored token
    QString homeDirectory;
    EnvironmentLookup environment;
    // What the user entered just now (a window's form, a command's
    // argument), in place of the stored values; the rules stay the same.
    std::optional<QUrl> enteredEndpoint;
    std::optional<QString> enteredToken;
};

// The one reader of the settings, the credential store and OpenClaw's
// configuration file for the gateway. Rules:
// - endpoint: the stored "openClawEndpoint" when it is an absolute http(s)
//   URL with a host; else the gateway openclaw.json describes, reached on
//   this machine (127.0.0.1 for "loopback" and "lan", a literal custom bind
//   address), https when its TLS is on; else the default. A stored loopback
//   endpoint on the configured port is the same local gateway, and follows
//   its TLS setting.
// - token: for the local gateway, openclaw.json's token when it has a usable
//   one (the gateway's own truth, followed when it is rotated); else the
//   stored ".openclaw" token, but only when it was stored for this origin
//   ("openClawTokenOrigin"). Masked values and unresolved ${VAR}
//   references are never used.
// - TLS pin: for a local TLS gateway, the SHA-256 of its certificate file
//   (gateway.tls.certPath, else the one OpenClaw generates in its state
//   folder); for any other https endpoint, the stored "openClawTlsSha256"
//   when it was confirmed for this origin ("openClawTlsSha256Origin").
// A token or pin stored before they were kept per origin belongs to the
// stored endpoint, or to this machine's gateway when none is stored.
// Nothing derived from openclaw.json is ever written anywhere.
GatewayTarget resolveGatewayTarget(const GatewaySources &sources);

} // namespace halvex
