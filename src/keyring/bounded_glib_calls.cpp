#include "keyring/bounded_glib_calls.h"

#include <algorithm>

namespace halvex {

namespace {

// A slot for one call's result. A call that is abandoned at the deadline
// frees its slot itself when it completes after all.
struct Pending {
    GAsyncResult *result = nullptr;
    bool abandoned = false;

    static void ready(GObject *, GAsyncResult *result, gpointer data)
    {
        auto *pending = static_cast<Pending *>(data);
        if (pending->abandoned) {
            delete pending;
            return;
        }
        pending->result = G_ASYNC_RESULT(g_object_ref(result));
    }
};

constexpr qint64 kCancelGraceMs = 2000;

} // namespace

BoundedGlibCalls::BoundedGlibCalls(GMainContext *context, std::chrono::milliseconds timeout)
    : m_context(g_main_context_ref(context)), m_cancellable(g_cancellable_new()), m_deadline(timeout)
{
    g_main_context_push_thread_default(m_context);
}

BoundedGlibCalls::~BoundedGlibCalls()
{
    g_main_context_pop_thread_default(m_context);
    g_object_unref(m_cancellable);
    g_main_context_unref(m_context);
}

GAsyncResultPtr BoundedGlibCalls::run(const std::function<void(GAsyncReadyCallback, gpointer)> &start)
{
    auto *pending = new Pending;
    start(&Pending::ready, pending);
    QDeadlineTimer grace;
    bool cancelled = false;
    while (!pending->result) {
        if (!cancelled && m_deadline.hasExpired()) {
            m_timedOut = true;
            g_cancellable_cancel(m_cancellable);
            cancelled = true;
            grace.setRemainingTime(kCancelGraceMs);
        }
        if (cancelled && grace.hasExpired()) {
            pending->abandoned = true; // freed by its callback, if it ever comes
            return {};
        }
        const qint64 wake = cancelled ? grace.remainingTime() : m_deadline.remainingTime();
        GSource *timer = g_timeout_source_new(guint(std::clamp<qint64>(wake, 1, 60000)));
        g_source_set_callback(
            timer, [](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr, nullptr);
        g_source_attach(timer, m_context);
        g_main_context_iteration(m_context, TRUE);
        g_source_destroy(timer);
        g_source_unref(timer);
    }
    GAsyncResultPtr result(pending->result);
    delete pending;
    return result;
}

GDBusConnection *BoundedGlibCalls::sessionBus(GErrorPtr &error)
{
    const GAsyncResultPtr result = run([this](GAsyncReadyCallback ready, gpointer data) {
        g_bus_get(G_BUS_TYPE_SESSION, m_cancellable, ready, data);
    });
    if (!result)
        return nullptr;
    GError *raw = nullptr;
    GDBusConnection *bus = g_bus_get_finish(result.get(), &raw);
    error.reset(raw);
    return bus;
}

} // namespace halvex
