#pragma once

#include <QString>

#include <functional>

namespace halvex {

class Settings;

// The longest bridge name the relay and the phone are given.
inline constexpr int maxBridgeNameLength = 30;

// The name a bridge is registered under: the machine's user-facing name
// (pretty host name, else host name), "My Computer" when it has none, cut to
// 30 characters.
QString bridgeNameFor(const QString &computerName);

// bridgeNameFor() of this machine's name.
QString defaultBridgeName();

// A name the user entered, as it is kept: its first 30 characters (the
// settings window cuts the field there too). Blank means the host-name
// fallback.
QString enteredBridgeName(const QString &text);

// Stores an entered name under "bridgeName", trimmed; a blank one is
// removed, so that the host-name fallback applies.
void storeBridgeName(Settings &settings, const QString &text);
// The name the phone sees, by one rule for the bridge, the pairing and the
// terminal: the stored "bridgeName", trimmed, else `fallback()` (none:
// defaultBridgeName()).
QString storedBridgeName(const Settings &settings, const std::function<QString()> &fallback = {});

} // namespace halvex
