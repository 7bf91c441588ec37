#pragma once

#include <QStringList>

namespace halvex::cli {

// `halvex-bridge name [NAME]`: shows or sets the bridge name.
int runNameCommand(const QStringList &arguments);
// `halvex-bridge enable` / `disable`: the menu's "Enable Bridge" switch.
int runEnableCommand(const QStringList &arguments);
int runDisableCommand(const QStringList &arguments);

} // namespace halvex::cli
