#pragma once

#include <QStringList>

namespace halvex::cli {

int runPairCommand(const QStringList &arguments);

} // namespace halvex::cli
