#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>

#include <memory>
#include <optional>

namespace halvex {

// Keys of the user-defaults store. Secrets never go here (see CredentialStore).
namespace SettingsKey {
inline constexpr char bridgeEnabled[] = "bridgeEnabled";       // Boolean, default true
inline constexpr char openClawEndpoint[] = "openClawEndpoint"; // gateway base URL
// SHA-256 of a remote https gateway's certificate, as the user confirmed it
inline constexpr char openClawTlsSha256[] = "openClawTlsSha256";
// The origin (scheme://host:port) each of those two belongs to; absent in
// stores written before they were kept per origin: then the stored
// endpoint's, or this machine's gateway's
inline constexpr char openClawTlsSha256Origin[] = "openClawTlsSha256Origin";
inline constexpr char openClawTokenOrigin[] = "openClawTokenOrigin";
// Users other than this one who may run the gateway on a loopback port of
// this machine (a dedicated service account), comma-separated
inline constexpr char openClawListenerOwners[] = "openClawListenerOwners";
inline constexpr char memorySyncEnabled[] = "memorySyncEnabled"; // Boolean, default off
inline constexpr char bridgeName[] = "bridgeName";               // "My Mac" when unset
inline constexpr char accountEmail[] = "accountEmail";
inline constexpr char bridgeId[] = "bridgeId";
inline constexpr char startAtLogin[] = "startAtLogin";                 // Boolean, default false
inline constexpr char notificationsEnabled[] = "notificationsEnabled"; // Boolean, default true
// Where credentials are kept, chosen once per user: "secret-service" or "file"
inline constexpr char credentialStore[] = "credentialStore";
} // namespace SettingsKey

// The user-defaults store: typed access over QSettings. Every write is
// flushed at once, so a crash never loses a setting the user changed.
class Settings
{
public:
    // The user's store: $XDG_CONFIG_HOME/<app id>/settings.conf.
    static std::unique_ptr<Settings> userDefaults();

    // A store in the given file (tests use a temporary one).
    explicit Settings(const QString &filePath);

    // The folder holding the store; private application files live beside it.
    static QString configDirectory();

    QString filePath() const;
    bool contains(const char *key) const;

    // A stored Boolean, or nullopt when absent or not a Boolean. The INI
    // backend reads Booleans back as "true"/"false" text; both forms count.
    std::optional<bool> boolean(const char *key) const;
    bool boolean(const char *key, bool fallback) const { return boolean(key).value_or(fallback); }

    // A stored string, or nullopt when absent or not a string.
    std::optional<QString> string(const char *key) const;

    void setBoolean(const char *key, bool value);
    void setString(const char *key, const QString &value);
    void remove(const char *key);

    QVariant value(const char *key) const;

private:
    std::unique_ptr<QSettings> m_settings;
};

} // namespace halvex
