#include "keyring/secret_service_probe.h"

#include "keyring/bounded_glib_calls.h"
#include "platform/logging.h"
#include "platform/session/runtime_module.h"

#include <memory>

namespace halvex {

namespace {

struct VariantFree {
    void operator()(GVariant *variant) const { g_variant_unref(variant); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantFree>;

bool canPrompt()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

VariantPtr busCall(BoundedGlibCalls &calls, GDBusConnection *bus, const char *path, const char *interface,
                   const char *method, GVariant *parameters, const GVariantType *replyType, GErrorPtr &error)
{
    const GAsyncResultPtr result = calls.run([&](GAsyncReadyCallback ready, gpointer data) {
        g_dbus_connection_call(bus, "org.freedesktop.secrets", path, interface, method, parameters, replyType,
                               G_DBUS_CALL_FLAGS_NONE, calls.remainingMs(), calls.cancellable(), ready, data);
    });
    if (!result)
        return nullptr;
    GError *raw = nullptr;
    GVariant *reply = g_dbus_connection_call_finish(bus, result.get(), &raw);
    error.reset(raw);
    return VariantPtr(reply);
}

} // namespace

bool SecretServiceProbe::isAvailable(std::chrono::milliseconds timeout)
{
    if (!RuntimeModule::sessionBusConfigured()) {
        qCDebug(lcCredentials, "No D-Bus session bus configured");
        return false;
    }
    GMainContext *context = g_main_context_new();
    const std::unique_ptr<GMainContext, decltype(&g_main_context_unref)> contextRef(context, &g_main_context_unref);
    BoundedGlibCalls calls(context, timeout);
    GErrorPtr error;
    GDBusConnection *bus = calls.sessionBus(error);
    if (!bus) {
        qCDebug(lcCredentials, "D-Bus session bus unreachable: %s", error ? error->message : "timed out");
        return false;
    }
    std::unique_ptr<GDBusConnection, GObjectUnref> busRef(bus);
    g_dbus_connection_set_exit_on_close(bus, FALSE);

    // ReadAlias ("default" is the default collection's alias) is part of the Secret Service interface: an answer means
    // a service runs (D-Bus starts an activatable one for us).
    const VariantPtr alias = busCall(calls, bus, "/org/freedesktop/secrets", "org.freedesktop.Secret.Service",
                                     "ReadAlias", g_variant_new("(s)", "default"), G_VARIANT_TYPE("(o)"), error);
    if (!alias) {
        qCDebug(lcCredentials, "Secret Service does not answer: %s", error ? error->message : "timed out");
        return false;
    }
    const char *collection = nullptr;
    g_variant_get(alias.get(), "(&o)", &collection);
    // A keyring that exists, locked or not, is this user's keyring: it is
    // unlocked at the next desktop login or through its prompt.
    if ((collection && qstrcmp(collection, "/") != 0) || canPrompt())
        return true;
    // Without a display nobody can answer the prompt that would create the
    // default keyring, so every save would fail.
    qCDebug(lcCredentials, "Secret Service has no default keyring and no prompt can be shown");
    return false;
}

} // namespace halvex
