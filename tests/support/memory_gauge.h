#pragma once

#include <QtGlobal>

namespace halvex::test {

// What this process holds in memory, for fault runs that compare a settled
// bridge with its idle level. Neither figure is exact (allocators keep what
// was freed, sanitizers quarantine it), so comparisons need a margin; a leak
// shows as growth that repeats with every fault.
struct MemoryGauge {
    // Bytes the heap has handed out and not had back (the sanitizer's own
    // count under AddressSanitizer, malloc's otherwise).
    static qint64 allocatedBytes();
    // The resident set size, from /proc/self/statm.
    static qint64 residentBytes();
};

} // namespace halvex::test
