#pragma once

#include "platform/error.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

namespace halvex {

// One agent of the OpenClaw configuration.
struct OpenClawAgent {
    QString id;
    QString name;  // may be empty
    QString model; // "provider/model" (from a string or {"primary": ...}); may be empty
    bool isDefault = false;

    bool operator==(const OpenClawAgent &) const = default;
};

// What the bridge reads from OpenClaw's configuration file
// (~/.openclaw/openclaw.json). OpenClaw reads JSON5 and resolves "${VAR}"
// references in string values; so does this reader. Every member is
// optional; one of the wrong type counts as absent. Nothing here writes.
struct OpenClawConfig {
    // How the agents are written: the legacy array "agents.list" (what
    // OpenClaw 2026.5 reads) or the keyed "agents.entries" of 2026.9.
    enum class AgentsShape { none, list, entries };

    static constexpr int defaultPort = 18789;

    // The whole document as written in the main file (references and
    // "$include" unresolved): what a writer of the file starts from.
    QJsonObject document;
    // The document as OpenClaw sees it: every "$include" merged in
    // (references still unresolved). The members below are read from it.
    QJsonObject effective;

    std::optional<int> gatewayPort;        // gateway.port, an integer 1-65535
    std::optional<QString> gatewayBind;    // gateway.bind ("loopback", "lan", "custom", ...)
    std::optional<QString> customBindHost; // gateway.customBindHost
    // gateway.auth.token with its references resolved; absent when empty,
    // masked ("__OPENCLAW_REDACTED..."), not a string, or when a reference
    // in it could not be resolved (never used as a token then).
    std::optional<QString> gatewayToken;
    // Why a token written in the file is not usable (empty when it is, or
    // when there is none).
    QString tokenProblem;
    // gateway.http.endpoints.chatCompletions.enabled (off unless true).
    bool chatCompletionsEnabled = false;
    // gateway.auth.mode is "none": the gateway takes no token at all.
    bool authDisabled = false;
    // gateway.tls.enabled (off unless true) and gateway.tls.certPath with its
    // references resolved and "~/" expanded (absent: OpenClaw's generated one).
    bool tlsEnabled = false;
    std::optional<QString> tlsCertificatePath;
    // The files "$include" pulled in, in the order they were read.
    QStringList includedFiles;

    AgentsShape agentsShape = AgentsShape::none;
    QList<OpenClawAgent> agents;

    // models.providers with the references in its string values resolved
    // (an unresolved one stays as written, "${NAME}").
    QJsonObject providers;

    int port() const { return gatewayPort.value_or(defaultPort); }
    bool hasAgent(const QString &id) const;
    bool hasMobileAgent() const { return hasAgent(mobileAgentId()); }
    // The agent the phone talks to: "mobile".
    static QString mobileAgentId();
    QStringList agentIds() const;
};

// Looks a variable up; nullopt when it is not set.
using EnvironmentLookup = std::function<std::optional<QString>(const QString &name)>;
// The process environment.
std::optional<QString> processEnvironment(const QString &name);

// Resolves "${NAME}" references (NAME matching [A-Z_][A-Z0-9_]*) in `text`;
// "$${NAME}" stays as the literal "${NAME}". A reference to a variable that
// is unset or empty stays as written and makes `unresolved` true.
QString resolveEnvironmentReferences(const QString &text, const EnvironmentLookup &lookup, bool *unresolved = nullptr);

// The secret masks OpenClaw prints in place of a value.
bool isRedactedSecret(const QString &value);

// Reads the configuration from the file's text. The file's own "env" block
// ("env.vars" and string members of "env") fills in variables the process
// environment lacks, as OpenClaw does. "$include" members are resolved
// against `path`'s folder as OpenClaw does: one file replaces the object
// holding it, a list of files is deep-merged in order, sibling keys win,
// at most 10 levels; only files inside the main file's folder (or a folder
// OPENCLAW_INCLUDE_ROOTS names) are read. Without a path an "$include" is
// an error. Fails when the text is not JSON5, its top level is not an
// object, or an included file cannot be read.
Result<OpenClawConfig> parseOpenClawConfig(const QByteArray &text, const EnvironmentLookup &lookup = processEnvironment,
                                           const QString &path = {});

// OpenClaw's state folder: $OPENCLAW_STATE_DIR, else home + "/.openclaw".
QString openClawStateDirectory(const QString &homeDirectory, const EnvironmentLookup &lookup = processEnvironment);
// The configuration file OpenClaw uses: $OPENCLAW_CONFIG_PATH, else
// openclaw.json in the state folder.
QString openClawConfigPath(const QString &homeDirectory, const EnvironmentLookup &lookup = processEnvironment);

// Reads the file: nullopt when there is none; an error (saying which file
// and why) when it exists but cannot be read or parsed. Files over 8 MiB are
// refused.
Result<std::optional<OpenClawConfig>> loadOpenClawConfig(const QString &homeDirectory,
                                                         const EnvironmentLookup &lookup = processEnvironment);

// Where this machine reaches its own gateway: 127.0.0.1, or the custom bind
// host when bound to "custom" with a literal address other than "any"; a
// gateway bound to "lan" listens on loopback too, and a LAN address may
// belong to another host after a network change. https when TLS is on.
QUrl localGatewayEndpoint(const OpenClawConfig &config);
// The address the phone uses for a gateway bound beyond loopback: the LAN
// address for "lan" (when there is one), a non-loopback custom bind host;
// nothing when the gateway listens on loopback only.
std::optional<QUrl> phoneGatewayEndpoint(const OpenClawConfig &config, const std::optional<QString> &lanAddress);

} // namespace halvex
