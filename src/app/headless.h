#pragma once

namespace halvex {

// Runs the bridge without any window or tray (servers without a desktop):
// logs to stderr and stops cleanly on SIGINT or SIGTERM. Returns the exit code.
int runHeadless(int argc, char **argv);

} // namespace halvex
