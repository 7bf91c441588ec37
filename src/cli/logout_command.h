#pragma once

#include <QStringList>

namespace halvex::cli {

int runLogoutCommand(const QStringList &arguments);

} // namespace halvex::cli
