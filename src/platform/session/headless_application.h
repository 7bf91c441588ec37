#pragma once

#include <QCoreApplication>

#include <memory>

namespace halvex {

// The application object of the headless bridge, on Qt's own Unix event
// loop rather than GLib's. Nothing there needs a GLib main loop (the Secret
// Service module runs its calls on a private GLib context), and GLib's
// costs a wake-up of its own whenever a socket starts or stops waiting to
// write: with it a streamed fragment took 11 system calls (the read, the
// relay frame's write, two such wake-ups and the polls between), without
// it 5. A QT_NO_GLIB the user set stands; child processes inherit none of
// ours.
std::unique_ptr<QCoreApplication> makeHeadlessApplication(int &argc, char **argv);

} // namespace halvex
