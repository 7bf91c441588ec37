#pragma once

namespace halvex {

// Runs the tray application; falls back to the headless bridge when no
// system tray is available. Returns the exit code.
int runApplication(int argc, char **argv);

} // namespace halvex
