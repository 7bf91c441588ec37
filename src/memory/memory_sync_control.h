#pragma once

namespace halvex {

// What the bridge needs of a running memory sync: the same three operations
// as the bridge's memory-sync handle.
class MemorySyncControl
{
public:
    virtual ~MemorySyncControl() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
    // One successful chat exchange.
    virtual void recordActivity() = 0;
};

} // namespace halvex
