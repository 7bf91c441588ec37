#pragma once

#include <QStringList>

namespace halvex::cli {

int runLoginCommand(const QStringList &arguments);

} // namespace halvex::cli
