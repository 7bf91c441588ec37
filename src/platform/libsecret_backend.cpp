#include "platform/libsecret_backend.h"

#include "platform/logging.h"

#include "build_config.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QList>
#include <QStringDecoder>

#include <algorithm>

// glib names a struct member `signals`; keep Qt's macro (if any) out of it.
#pragma push_macro("signals")
#undef signals
#include <libsecret/secret.h>
#pragma pop_macro("signals")

namespace halvex {

namespace {

// Items are found by their attributes alone (DONT_MATCH_NAME), so items made
// by other tools with the same "service" attribute are found too.
const SecretSchema *credentialSchema()
{
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = HALVEX_APP_ID_STRING ".Credential";
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &schema;
}

struct ErrorFree {
    void operator()(GError *error) const { g_error_free(error); }
};
struct HashTableFree {
    void operator()(GHashTable *table) const { g_hash_table_unref(table); }
};
struct ValueFree {
    void operator()(SecretValue *value) const { secret_value_unref(value); }
};
struct ItemListFree {
    void operator()(GList *list) const { g_list_free_full(list, g_object_unref); }
};
struct ObjectFree {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct VariantFree {
    void operator()(GVariant *variant) const { g_variant_unref(variant); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;
using HashTablePtr = std::unique_ptr<GHashTable, HashTableFree>;
using ValuePtr = std::unique_ptr<SecretValue, ValueFree>;
using ItemListPtr = std::unique_ptr<GList, ItemListFree>;
using VariantPtr = std::unique_ptr<GVariant, VariantFree>;

SecretOutcome failureFrom(const GError *error, const char *fallback)
{
    if (!error)
        return SecretOutcome::failure(-1, QString::fromUtf8(fallback));
    return SecretOutcome::failure(error->code, QString::fromUtf8(error->message));
}

HashTablePtr attributesFor(const SecretItemKey &key)
{
    HashTablePtr table(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
    g_hash_table_insert(table.get(), g_strdup("service"), g_strdup(key.service.toUtf8().constData()));
    if (!key.account.isEmpty())
        g_hash_table_insert(table.get(), g_strdup("account"), g_strdup(key.account.toUtf8().constData()));
    return table;
}

// The Secret Service matches every item that has at least the searched
// attributes; an item without an account must not pick up the one with.
bool hasExactly(SecretItem *item, const SecretItemKey &key)
{
    HashTablePtr attributes(secret_item_get_attributes(item));
    if (!attributes)
        return false;
    const auto *service = static_cast<const char *>(g_hash_table_lookup(attributes.get(), "service"));
    const auto *account = static_cast<const char *>(g_hash_table_lookup(attributes.get(), "account"));
    if (!service || QString::fromUtf8(service) != key.service)
        return false;
    if (key.account.isEmpty())
        return !account || !*account;
    return account && QString::fromUtf8(account) == key.account;
}

bool isText(const QByteArray &bytes)
{
    if (bytes.contains('\0'))
        return false;
    QStringDecoder decoder(QStringDecoder::Utf8);
    (void)decoder.decode(bytes);
    return !decoder.hasError();
}

QByteArray bytesOf(SecretValue *value)
{
    gsize length = 0;
    const gchar *data = secret_value_get(value, &length);
    return QByteArray(data, qsizetype(length));
}

QByteArray labelFor(const SecretItemKey &key)
{
    if (key.account.isEmpty())
        return key.service.toUtf8();
    return (key.service + QStringLiteral(" (") + key.account + QLatin1Char(')')).toUtf8();
}

// Runs asynchronous GIO calls one at a time on a private main context, all
// bounded by one deadline: a bus or service that never answers costs at most
// the time-out (plus a short grace for the cancellation to land).
class BoundedCalls
{
public:
    explicit BoundedCalls(int timeoutMs)
        : m_context(g_main_context_new()), m_cancellable(g_cancellable_new()), m_deadline(timeoutMs)
    {
        g_main_context_push_thread_default(m_context);
    }
    ~BoundedCalls()
    {
        g_main_context_pop_thread_default(m_context);
        g_object_unref(m_cancellable);
        g_main_context_unref(m_context);
    }
    BoundedCalls(const BoundedCalls &) = delete;
    BoundedCalls &operator=(const BoundedCalls &) = delete;

    // A slot for one call's result. It lives on the heap: a call that never
    // completes keeps it (and is simply never heard from again).
    struct Pending {
        GAsyncResult *result = nullptr;
        static void ready(GObject *, GAsyncResult *result, gpointer data)
        {
            static_cast<Pending *>(data)->result = G_ASYNC_RESULT(g_object_ref(result));
        }
    };

    GCancellable *cancellable() const { return m_cancellable; }
    int remainingMs() const { return int(qMax<qint64>(1, m_deadline.remainingTime())); }

    // Waits for the call's result; nullptr when it never came.
    GAsyncResult *wait(Pending *pending)
    {
        QDeadlineTimer grace;
        bool cancelled = false;
        while (!pending->result) {
            if (!cancelled && m_deadline.hasExpired()) {
                g_cancellable_cancel(m_cancellable);
                cancelled = true;
                grace.setRemainingTime(2000);
            }
            if (cancelled && grace.hasExpired())
                return nullptr; // abandoned: `pending` is left to the call
            const qint64 wake = cancelled ? grace.remainingTime() : m_deadline.remainingTime();
            GSource *timer = g_timeout_source_new(guint(std::clamp<qint64>(wake, 1, 60000)));
            g_source_set_callback(
                timer, [](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr, nullptr);
            g_source_attach(timer, m_context);
            g_main_context_iteration(m_context, TRUE);
            g_source_destroy(timer);
            g_source_unref(timer);
        }
        GAsyncResult *result = pending->result;
        delete pending;
        return result;
    }

    GDBusConnection *sessionBus(ErrorPtr &error)
    {
        auto *pending = new Pending;
        g_bus_get(G_BUS_TYPE_SESSION, m_cancellable, &Pending::ready, pending);
        GAsyncResult *result = wait(pending);
        if (!result)
            return nullptr;
        GError *raw = nullptr;
        GDBusConnection *bus = g_bus_get_finish(result, &raw);
        g_object_unref(result);
        error.reset(raw);
        return bus;
    }

    VariantPtr call(GDBusConnection *bus, const char *path, const char *interface, const char *method,
                    GVariant *parameters, const GVariantType *replyType, ErrorPtr &error)
    {
        auto *pending = new Pending;
        g_dbus_connection_call(bus, "org.freedesktop.secrets", path, interface, method, parameters, replyType,
                               G_DBUS_CALL_FLAGS_NONE, remainingMs(), m_cancellable, &Pending::ready, pending);
        GAsyncResult *result = wait(pending);
        if (!result)
            return nullptr;
        GError *raw = nullptr;
        GVariant *reply = g_dbus_connection_call_finish(bus, result, &raw);
        g_object_unref(result);
        error.reset(raw);
        return VariantPtr(reply);
    }

private:
    GMainContext *m_context;
    GCancellable *m_cancellable;
    QDeadlineTimer m_deadline;
};

// Whether a session bus is configured that GIO would connect to without
// launching one of its own (dbus-launch autolaunch can hang or spawn a
// stray bus on a headless box).
bool sessionBusConfigured()
{
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (!address.isEmpty())
        return !address.contains("autolaunch:");
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}

bool canPrompt()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

} // namespace

struct LibsecretBackend::Private {
    SecretService *service = nullptr;

    ~Private()
    {
        if (service)
            g_object_unref(service);
    }

    SecretOutcome connect()
    {
        if (service)
            return SecretOutcome::success();
        GError *raw = nullptr;
        service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &raw);
        ErrorPtr error(raw);
        if (!service)
            return failureFrom(error.get(), "No Secret Service");
        // A restarted session bus must not take the whole program down.
        g_dbus_connection_set_exit_on_close(g_dbus_proxy_get_connection(G_DBUS_PROXY(service)), FALSE);
        return SecretOutcome::success();
    }

    // The default collection, created (the service prompts for it) when
    // there is none, and unlocked (prompting too) when locked.
    SecretOutcome defaultCollection(SecretCollection *&collection)
    {
        GError *raw = nullptr;
        collection =
            secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &raw);
        ErrorPtr error(raw);
        if (error)
            return failureFrom(error.get(), "No default keyring");
        if (!collection) {
            raw = nullptr;
            collection = secret_collection_create_sync(service, "Default keyring", SECRET_COLLECTION_DEFAULT,
                                                       SECRET_COLLECTION_CREATE_NONE, nullptr, &raw);
            error.reset(raw);
            if (!collection)
                return failureFrom(error.get(), "Could not create the default keyring");
        }
        if (secret_collection_get_locked(collection)) {
            GList *objects = g_list_append(nullptr, collection);
            raw = nullptr;
            const gint unlocked = secret_service_unlock_sync(service, objects, nullptr, nullptr, &raw);
            g_list_free(objects);
            error.reset(raw);
            if (unlocked < 1) {
                g_object_unref(collection);
                collection = nullptr;
                return error ? failureFrom(error.get(), "")
                             : SecretOutcome::failure(-1, QStringLiteral("The default keyring stays locked"));
            }
        }
        return SecretOutcome::success();
    }

    struct Found {
        ItemListPtr all;
        QList<SecretItem *> exact; // owned by `all`
    };

    SecretOutcome search(const SecretItemKey &key, bool loadSecrets, Found &found)
    {
        const SecretOutcome connected = connect();
        if (!connected.isOk())
            return connected;
        int flags = SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK;
        if (loadSecrets)
            flags |= SECRET_SEARCH_LOAD_SECRETS;
        const HashTablePtr attributes = attributesFor(key);
        GError *raw = nullptr;
        found.all.reset(secret_service_search_sync(service, credentialSchema(), attributes.get(),
                                                   SecretSearchFlags(flags), nullptr, &raw));
        ErrorPtr error(raw);
        if (error)
            return failureFrom(error.get(), "Search failed");
        for (GList *node = found.all.get(); node; node = node->next) {
            auto *item = static_cast<SecretItem *>(node->data);
            if (hasExactly(item, key))
                found.exact.append(item);
        }
        return SecretOutcome::success();
    }
};

LibsecretBackend::LibsecretBackend() : d(std::make_unique<Private>()) {}

LibsecretBackend::~LibsecretBackend() = default;

SecretOutcome LibsecretBackend::lookup(const SecretItemKey &key)
{
    Private::Found found;
    const SecretOutcome searched = d->search(key, true, found);
    if (!searched.isOk())
        return searched;
    // Several items can exist when other tools wrote them; the newest wins.
    SecretItem *newest = nullptr;
    for (SecretItem *item : std::as_const(found.exact)) {
        if (!newest || secret_item_get_modified(item) > secret_item_get_modified(newest))
            newest = item;
    }
    if (!newest)
        return SecretOutcome::notFound();
    const ValuePtr value(secret_item_get_secret(newest));
    if (!value)
        return SecretOutcome::failure(-1, QStringLiteral("The item is locked"));
    return SecretOutcome::success(bytesOf(value.get()));
}

SecretOutcome LibsecretBackend::store(const SecretItemKey &key, const QByteArray &value)
{
    const SecretOutcome connected = d->connect();
    if (!connected.isOk())
        return connected;
    SecretCollection *collection = nullptr;
    const SecretOutcome opened = d->defaultCollection(collection);
    if (!opened.isOk())
        return opened;
    const std::unique_ptr<SecretCollection, ObjectFree> collectionRef(collection);

    // A new item first, then the old ones go: a store that fails leaves the
    // previous value in place. (The service's own "replace" would also hit
    // items that merely contain these attributes, such as the device key
    // item beside a plain item of the same service.)
    const char *contentType = isText(value) ? "text/plain" : "application/octet-stream";
    const ValuePtr secret(secret_value_new(value.constData(), value.size(), contentType));
    const HashTablePtr attributes = attributesFor(key);
    const QByteArray label = labelFor(key);
    GError *raw = nullptr;
    SecretItem *created = secret_item_create_sync(collection, credentialSchema(), attributes.get(), label.constData(),
                                                  secret.get(), SECRET_ITEM_CREATE_NONE, nullptr, &raw);
    ErrorPtr error(raw);
    if (!created)
        return failureFrom(error.get(), "Store failed");
    const std::unique_ptr<SecretItem, ObjectFree> createdRef(created);
    const QByteArray createdPath = g_dbus_proxy_get_object_path(G_DBUS_PROXY(created));

    Private::Found found;
    const SecretOutcome searched = d->search(key, false, found);
    if (!searched.isOk()) {
        qCWarning(lcKeychain, "Stored %s but could not remove older copies: %s", qUtf8Printable(key.service),
                  qUtf8Printable(searched.message));
        return SecretOutcome::success();
    }
    for (SecretItem *item : std::as_const(found.exact)) {
        if (createdPath == g_dbus_proxy_get_object_path(G_DBUS_PROXY(item)))
            continue;
        GError *deleteRaw = nullptr;
        if (!secret_item_delete_sync(item, nullptr, &deleteRaw)) {
            ErrorPtr deleteError(deleteRaw);
            qCWarning(lcKeychain, "Could not remove an older copy of %s: %s", qUtf8Printable(key.service),
                      deleteError ? deleteError->message : "unknown error");
        }
    }
    return SecretOutcome::success();
}

SecretOutcome LibsecretBackend::remove(const SecretItemKey &key)
{
    Private::Found found;
    const SecretOutcome searched = d->search(key, false, found);
    if (!searched.isOk())
        return searched;
    if (found.exact.isEmpty())
        return SecretOutcome::notFound();
    SecretOutcome outcome = SecretOutcome::success();
    for (SecretItem *item : std::as_const(found.exact)) {
        GError *raw = nullptr;
        if (!secret_item_delete_sync(item, nullptr, &raw)) {
            ErrorPtr error(raw);
            outcome = failureFrom(error.get(), "Delete failed");
        }
    }
    return outcome;
}

bool LibsecretBackend::isAvailable(int timeoutMs)
{
    if (!sessionBusConfigured()) {
        qCDebug(lcKeychain, "No D-Bus session bus configured");
        return false;
    }
    BoundedCalls calls(timeoutMs);
    ErrorPtr error;
    GDBusConnection *bus = calls.sessionBus(error);
    if (!bus) {
        qCDebug(lcKeychain, "D-Bus session bus unreachable: %s", error ? error->message : "timed out");
        return false;
    }
    std::unique_ptr<GDBusConnection, ObjectFree> busRef(bus);
    g_dbus_connection_set_exit_on_close(bus, FALSE);

    // ReadAlias is part of the Secret Service interface: an answer means a
    // service runs (D-Bus starts an activatable one for us).
    const VariantPtr alias = calls.call(bus, "/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "ReadAlias",
                                        g_variant_new("(s)", SECRET_COLLECTION_DEFAULT), G_VARIANT_TYPE("(o)"), error);
    if (!alias) {
        qCDebug(lcKeychain, "Secret Service does not answer: %s", error ? error->message : "timed out");
        return false;
    }
    const char *collection = nullptr;
    g_variant_get(alias.get(), "(&o)", &collection);
    bool unlocked = false;
    if (collection && qstrcmp(collection, "/") != 0) {
        const VariantPtr locked = calls.call(bus, collection, "org.freedesktop.DBus.Properties", "Get",
                                             g_variant_new("(ss)", "org.freedesktop.Secret.Collection", "Locked"),
                                             G_VARIANT_TYPE("(v)"), error);
        if (locked) {
            GVariant *inner = nullptr;
            g_variant_get(locked.get(), "(v)", &inner);
            const VariantPtr innerRef(inner);
            unlocked = inner && g_variant_is_of_type(inner, G_VARIANT_TYPE_BOOLEAN) && !g_variant_get_boolean(inner);
        }
    }
    if (unlocked || canPrompt())
        return true;
    // Without a display nobody can answer the prompt that would create or
    // unlock the default keyring, so every save would fail.
    qCDebug(lcKeychain, "Secret Service default keyring is locked or missing and no prompt can be shown");
    return false;
}

} // namespace halvex
