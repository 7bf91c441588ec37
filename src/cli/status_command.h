#pragma once

#include <QStringList>

namespace halvex::cli {

int runStatusCommand(const QStringList &arguments);

} // namespace halvex::cli
