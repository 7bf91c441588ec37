#include "account/bridge_name.h"

#include "platform/characters.h"
#include "platform/device_facts.h"
#include "platform/settings.h"

namespace halvex {

QString bridgeNameFor(const QString &computerName)
{
    return firstCharacters(fallbackBridgeName(computerName.simplified()), maxBridgeNameLength).trimmed();
}

QString defaultBridgeName()
{
    return bridgeNameFor(currentDeviceFacts().computerName);
}

QString enteredBridgeName(const QString &text)
{
    return firstCharacters(text, maxBridgeNameLength);
}

void storeBridgeName(Settings &settings, const QString &text)
{
    const QString name = enteredBridgeName(text).trimmed();
    if (name.isEmpty())
        settings.remove(SettingsKey::bridgeName);
    else
        settings.setString(SettingsKey::bridgeName, name);
}

QString storedBridgeName(const Settings &settings, const std::function<QString()> &fallback)
{
    const QString stored = settings.string(SettingsKey::bridgeName).value_or(QString()).trimmed();
    if (!stored.isEmpty())
        return stored;
    return fallback ? fallback() : defaultBridgeName();
}

} // namespace halvex
