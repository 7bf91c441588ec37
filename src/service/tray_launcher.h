#pragma once

#include <QString>

namespace halvex {

// The tray program, halvex-bridge-tray, is the only one that loads the widget
// stack; halvex-bridge hands the process over to it when no command and no
// --headless was given.

// Where the tray program is, for a halvex-bridge at `programPath`: beside it
// (the build tree), else where the package installs it. Empty when neither
// exists.
QString trayProgramPath(const QString &programPath);

// The other way round: halvex-bridge for the tray program at
// `trayProgramPath`, which is what a login item should start. Empty when it
// is not there.
QString bridgeProgramPath(const QString &trayProgramPath);

// Replaces this process with the tray program, same arguments. Returns only
// when that fails: the exit code, after a clear error on stderr.
int execTrayProgram(int argc, char **argv);

} // namespace halvex
