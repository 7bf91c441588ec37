#include "account/bridge_name.h"

#include "platform/characters.h"
#include "platform/device_facts.h"

namespace halvex {

QString bridgeNameFor(const QString &computerName)
{
    const QString name = computerName.simplified();
    // DeviceFacts names a machine without a name "Unknown".
    if (name.isEmpty() || name == QLatin1String("Unknown"))
        return QStringLiteral("My Computer");
    return firstCharacters(name, maxBridgeNameLength).trimmed();
}

QString defaultBridgeName()
{
    return bridgeNameFor(currentDeviceFacts().computerName);
}

} // namespace halvex
