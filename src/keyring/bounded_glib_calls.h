#pragma once

#include <QDeadlineTimer>

#include <chrono>
#include <functional>
#include <memory>

// glib names a struct member `signals`; keep Qt's macro (if any) out of it.
#pragma push_macro("signals")
#undef signals
#include <gio/gio.h>
#pragma pop_macro("signals")

namespace halvex {

struct GObjectUnref {
    void operator()(gpointer object) const
    {
        if (object)
            g_object_unref(object);
    }
};
struct GErrorFree {
    void operator()(GError *error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;
using GAsyncResultPtr = std::unique_ptr<GAsyncResult, GObjectUnref>;

// Runs asynchronous GIO calls one at a time on a private main context, all
// bounded by one deadline, so a bus or service that never answers blocks
// the caller for at most the time-out (plus a short grace for the
// cancellation to land). The context is the thread's default while the
// object lives, so objects made by these calls deliver their signals there.
class BoundedGlibCalls
{
public:
    BoundedGlibCalls(GMainContext *context, std::chrono::milliseconds timeout);
    ~BoundedGlibCalls();
    BoundedGlibCalls(const BoundedGlibCalls &) = delete;
    BoundedGlibCalls &operator=(const BoundedGlibCalls &) = delete;

    GCancellable *cancellable() const { return m_cancellable; }
    int remainingMs() const { return int(qMax<qint64>(1, m_deadline.remainingTime())); }
    // Moves the deadline to `ms` from now, for a call that waits for a
    // person (an unlock prompt) rather than for a service.
    void extendDeadline(std::chrono::milliseconds atLeast)
    {
        m_deadline.setRemainingTime(qMax<qint64>(atLeast.count(), m_deadline.remainingTime()));
    }
    // True once a call ran past the deadline.
    bool timedOut() const { return m_timedOut; }

    // Starts a call (which must report to the given callback with the given
    // data) and waits for its result; empty when it did not come in time.
    GAsyncResultPtr run(const std::function<void(GAsyncReadyCallback, gpointer)> &start);

    // The session bus, or nullptr (with `error` set unless it timed out).
    GDBusConnection *sessionBus(GErrorPtr &error);

private:
    GMainContext *m_context;
    GCancellable *m_cancellable;
    QDeadlineTimer m_deadline;
    bool m_timedOut = false;
};

} // namespace halvex
