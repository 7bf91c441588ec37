#pragma once

#include <QString>

#include <qcoro/qcorotask.h>

#include <optional>

namespace halvex {

// runShellCommand(_:): runs the command text with "/bin/sh -c", standard
// output and standard error merged into one stream, and returns the output
// trimmed at both ends. Nothing when the shell cannot start, or the output
// is empty or not valid UTF-8. The exit status is not examined; it never
// fails.
QCoro::Task<std::optional<QString>> runShellCommand(QString command);

} // namespace halvex
