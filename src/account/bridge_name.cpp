#include "account/bridge_name.h"

#include "platform/characters.h"
#include "platform/device_facts.h"

namespace halvex {

QString bridgeNameFor(const QString &computerName)
{
    return firstCharacters(fallbackBridgeName(computerName.simplified()), maxBridgeNameLength).trimmed();
}

QString defaultBridgeName()
{
    return bridgeNameFor(currentDeviceFacts().computerName);
}

} // namespace halvex
