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

    // The whole document as written (references unresolved).
    QJsonObject document;

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

    AgentsShape agentsShape = AgentsShape::none;
    QList<OpenClawAgent> agents;

    // models.providers with the references in its string values resolved
    // (an unresolved one stays as written, "${NAME}").
    QJsonObject providers;

    int port() const { return gatewayPort.value_or(defaultPort); }
    bool hasAgent(const QString &id) const;
    bool hasMobileAgent() const { return hasAgent(QStringLiteral("mobile")); }
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
// environment lacks, as OpenClaw does. Fails when the text is not JSON5 or
// its top level is not an object.
Result<OpenClawConfig> parseOpenClawConfig(const QByteArray &text,
                                           const EnvironmentLookup &lookup = processEnvironment);

// home + "/.openclaw/openclaw.json"
QString openClawConfigPath(const QString &homeDirectory);

// Reads the file: nullopt when there is none; an error (saying which file
// and why) when it exists but cannot be read or parsed. Files over 8 MiB are
// refused.
Result<std::optional<OpenClawConfig>> loadOpenClawConfig(const QString &homeDirectory,
                                                         const EnvironmentLookup &lookup = processEnvironment);

// The gateway's base URL for this machine's configuration: the host is the
// LAN address when bound to "lan" (and `lanAddress` has one), the custom
// bind host when bound to "custom", else 127.0.0.1; the port as configured.
QUrl gatewayEndpoint(const std::optional<QString> &bind, int port, const std::optional<QString> &lanAddress,
                     const std::optional<QString> &customBindHost = std::nullopt);

} // namespace halvex
