#pragma once

#include <QString>

namespace halvex {

// The longest bridge name the relay and the phone are given.
inline constexpr int maxBridgeNameLength = 30;

// The name a bridge is registered under: the machine's user-facing name
// (pretty host name, else host name), "My Computer" when it has none, cut to
// 30 characters.
QString bridgeNameFor(const QString &computerName);

// bridgeNameFor() of this machine's name.
QString defaultBridgeName();

} // namespace halvex
