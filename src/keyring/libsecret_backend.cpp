#include "keyring/libsecret_backend.h"

#include "keyring/bounded_glib_calls.h"
#include "keyring/secret_service_probe.h"
#include "platform/duration_text.h"
#include "platform/logging.h"
#include "platform/utf8.h"

#include "build_config.h"

#include <QElapsedTimer>
#include <QList>

#include <utility>

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

struct HashTableFree {
    void operator()(GHashTable *table) const { g_hash_table_unref(table); }
};
struct ValueFree {
    void operator()(SecretValue *value) const { secret_value_unref(value); }
};
struct ItemListFree {
    void operator()(GList *list) const { g_list_free_full(list, g_object_unref); }
};
using ErrorPtr = GErrorPtr;
using ObjectFree = GObjectUnref;
using HashTablePtr = std::unique_ptr<GHashTable, HashTableFree>;
using ValuePtr = std::unique_ptr<SecretValue, ValueFree>;
using ItemListPtr = std::unique_ptr<GList, ItemListFree>;

Error failureFrom(const GError *error, const char *fallback)
{
    if (!error)
        return Error::plain(QString::fromUtf8(fallback), -1);
    return Error::plain(QString::fromUtf8(error->message), error->code);
}

// A failure as the user reads it: what happened, then the service's own
// words when they add something.
Error inWords(const char *what, const std::optional<Error> &cause)
{
    QString text = QString::fromUtf8(what);
    if (cause && !cause->description().isEmpty())
        text += QStringLiteral(": ") + cause->description();
    return Error::plain(text, cause ? cause->code() : -1);
}

Error timedOut(std::chrono::milliseconds timeout)
{
    return Error::plain(QStringLiteral("The Secret Service did not answer within %1 s").arg(inSeconds(timeout)),
                        G_IO_ERROR_TIMED_OUT);
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
    return !bytes.contains('\0') && isStrictUtf8(bytes);
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

} // namespace

struct LibsecretBackend::Private {
    explicit Private(Timings t) : timings(t), context(g_main_context_new()) {}
    ~Private()
    {
        dropService();
        g_main_context_unref(context);
    }

    Timings timings;
    // Every call of this backend runs on this context, so the service proxy
    // and everything it makes deliver their signals where we wait.
    GMainContext *context;
    SecretService *service = nullptr;

    void dropService()
    {
        if (service)
            g_object_unref(std::exchange(service, nullptr));
    }

    // Finishes a call: its result, and why there is none (a time-out when
    // the result never came).
    template <typename Finish>
    auto finish(const GAsyncResultPtr &result, Finish finishCall)
    {
        using Value = decltype(finishCall(result.get(), std::declval<GError **>()));
        struct Outcome {
            Value value{};
            std::optional<Error> error;
        } outcome;
        if (!result) {
            outcome.error = timedOut(timings.callTimeout);
            return outcome;
        }
        GError *raw = nullptr;
        outcome.value = finishCall(result.get(), &raw);
        const ErrorPtr error(raw);
        if (error)
            outcome.error = failureFrom(error.get(), "");
        return outcome;
    }

    Result<Done> connect(BoundedGlibCalls &calls)
    {
        if (service)
            return Done{};
        const GAsyncResultPtr result = calls.run([&](GAsyncReadyCallback ready, gpointer data) {
            secret_service_open(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION, calls.cancellable(), ready,
                                data);
        });
        auto opened = finish(result, [](GAsyncResult *r, GError **e) { return secret_service_open_finish(r, e); });
        if (!opened.value)
            return inWords("No Secret Service answers on this session", opened.error);
        service = opened.value;
        // A restarted session bus must not take the whole program down.
        g_dbus_connection_set_exit_on_close(g_dbus_proxy_get_connection(G_DBUS_PROXY(service)), FALSE);
        return Done{};
    }

    // The default collection, created (the service prompts for it) when
    // there is none, and unlocked (prompting too) when locked.
    Result<SecretCollection *> defaultCollection(BoundedGlibCalls &calls)
    {
        GAsyncResultPtr result = calls.run([&](GAsyncReadyCallback ready, gpointer data) {
            secret_collection_for_alias(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, calls.cancellable(),
                                        ready, data);
        });
        auto found =
            finish(result, [](GAsyncResult *r, GError **e) { return secret_collection_for_alias_finish(r, e); });
        if (found.error)
            return *found.error;
        SecretCollection *collection = found.value;
        if (!collection) {
            // The service asks the user for the new keyring's password: a
            // person typing gets the prompt's time, not a call's.
            calls.extendDeadline(timings.promptTimeout);
            result = calls.run([&](GAsyncReadyCallback ready, gpointer data) {
                secret_collection_create(service, "Default keyring", SECRET_COLLECTION_DEFAULT,
                                         SECRET_COLLECTION_CREATE_NONE, calls.cancellable(), ready, data);
            });
            auto created =
                finish(result, [](GAsyncResult *r, GError **e) { return secret_collection_create_finish(r, e); });
            if (!created.value)
                return inWords("No keyring to store secrets in (creating one was refused or not answered)",
                               created.error);
            collection = created.value;
        }
        if (secret_collection_get_locked(collection)) {
            const Result<Done> unlocked = unlock(calls, collection);
            if (!unlocked) {
                g_object_unref(collection);
                return unlocked.error();
            }
        }
        return collection;
    }

    // Unlocks an item or collection; the service shows its prompt, and the
    // user gets the prompt's own time limit to answer it (the call's limit is
    // for a service that does not answer, not for a person typing).
    Result<Done> unlock(BoundedGlibCalls &calls, gpointer object)
    {
        calls.extendDeadline(timings.promptTimeout);
        GList *list = g_list_append(nullptr, object);
        const GAsyncResultPtr result = calls.run([&](GAsyncReadyCallback ready, gpointer data) {
            secret_service_unlock(service, list, calls.cancellable(), ready, data);
        });
        g_list_free(list);
        SecretService *svc = service;
        auto unlocked = finish(
            result, [svc](GAsyncResult *r, GError **e) { return secret_service_unlock_finish(svc, r, nullptr, e); });
        if (unlocked.value < 1)
            return inWords("The keyring is locked (its unlock prompt was dismissed or not answered)", unlocked.error);
        return Done{};
    }

    struct Found {
        ItemListPtr all;
        QList<SecretItem *> exact; // owned by `all`

        // Several items can exist when other tools wrote them; the newest wins.
        SecretItem *newest() const
        {
            SecretItem *newest = nullptr;
            for (SecretItem *item : exact) {
                if (!newest || secret_item_get_modified(item) > secret_item_get_modified(newest))
                    newest = item;
            }
            return newest;
        }
    };

    Result<Done> search(BoundedGlibCalls &calls, const SecretItemKey &key, bool loadSecrets, Found &found)
    {
        // Locked items are unlocked by the caller, with a prompt's time limit.
        int flags = SECRET_SEARCH_ALL;
        if (loadSecrets)
            flags |= SECRET_SEARCH_LOAD_SECRETS;
        const HashTablePtr attributes = attributesFor(key);
        const GAsyncResultPtr result = calls.run([&](GAsyncReadyCallback ready, gpointer data) {
            secret_service_search(service, credentialSchema(), attributes.get(), SecretSearchFlags(flags),
                                  calls.cancellable(), ready, data);
        });
        SecretService *svc = service;
        auto searched =
            finish(result, [svc](GAsyncResult *r, GError **e) { return secret_service_search_finish(svc, r, e); });
        found.all.reset(searched.value);
        if (searched.error)
            return *searched.error;
        for (GList *node = found.all.get(); node; node = node->next) {
            auto *item = static_cast<SecretItem *>(node->data);
            if (hasExactly(item, key))
                found.exact.append(item);
        }
        return Done{};
    }

    Result<Done> deleteItem(BoundedGlibCalls &calls, SecretItem *item)
    {
        const GAsyncResultPtr result = calls.run([&](GAsyncReadyCallback ready, gpointer data) {
            secret_item_delete(item, calls.cancellable(), ready, data);
        });
        auto deleted =
            finish(result, [item](GAsyncResult *r, GError **e) { return secret_item_delete_finish(item, r, e); });
        if (!deleted.value)
            return deleted.error.value_or(failureFrom(nullptr, "Delete failed"));
        return Done{};
    }

    Result<SecretItem *> createItem(BoundedGlibCalls &calls, SecretCollection *collection, const SecretItemKey &key,
                                    const QByteArray &value)
    {
        const char *contentType = isText(value) ? "text/plain" : "application/octet-stream";
        const ValuePtr secret(secret_value_new(value.constData(), value.size(), contentType));
        const HashTablePtr attributes = attributesFor(key);
        const QByteArray label = labelFor(key);
        const GAsyncResultPtr result = calls.run([&](GAsyncReadyCallback ready, gpointer data) {
            secret_item_create(collection, credentialSchema(), attributes.get(), label.constData(), secret.get(),
                               SECRET_ITEM_CREATE_NONE, calls.cancellable(), ready, data);
        });
        auto created = finish(result, [](GAsyncResult *r, GError **e) { return secret_item_create_finish(r, e); });
        if (!created.value)
            return created.error.value_or(failureFrom(nullptr, "Store failed"));
        return created.value;
    }

    // Runs one operation within the time limit, on a connected service. A
    // failure drops the service, so a keyring that restarted is met afresh.
    template <typename T>
    Result<T> bounded(const char *what, const std::function<Result<T>(BoundedGlibCalls &)> &op)
    {
        QElapsedTimer clock;
        clock.start();
        BoundedGlibCalls calls(context, timings.callTimeout);
        Result<T> outcome = [&]() -> Result<T> {
            const Result<Done> connected = connect(calls);
            if (!connected)
                return connected.error();
            return op(calls);
        }();
        if (!outcome)
            dropService();
        if (std::chrono::milliseconds(clock.elapsed()) >= timings.slowCall)
            qCWarning(lcCredentials, "Secret Service %s took %lld ms", what, static_cast<long long>(clock.elapsed()));
        return outcome;
    }
};

LibsecretBackend::LibsecretBackend(Timings timings) : d(std::make_unique<Private>(timings))
{
}

LibsecretBackend::~LibsecretBackend() = default;

SecretLookup LibsecretBackend::lookup(const SecretItemKey &key)
{
    return d->bounded<std::optional<QByteArray>>("lookup", [&](BoundedGlibCalls &calls) -> SecretLookup {
        Private::Found found;
        Result<Done> searched = d->search(calls, key, true, found);
        if (!searched)
            return searched.error();
        SecretItem *newest = found.newest();
        if (newest && secret_item_get_locked(newest)) {
            const Result<Done> unlocked = d->unlock(calls, newest);
            if (!unlocked)
                return unlocked.error();
            // Unlocked now: read it again, secret and all.
            found = {};
            searched = d->search(calls, key, true, found);
            if (!searched)
                return searched.error();
            newest = found.newest();
        }
        if (!newest)
            return std::optional<QByteArray>{};
        const ValuePtr value(secret_item_get_secret(newest));
        if (!value)
            return Error::plain(QStringLiteral("The keyring is locked"), -1);
        return std::optional<QByteArray>(bytesOf(value.get()));
    });
}

Result<Done> LibsecretBackend::store(const SecretItemKey &key, const QByteArray &value)
{
    return d->bounded<Done>("store", [&](BoundedGlibCalls &calls) -> Result<Done> {
        const Result<SecretCollection *> collection = d->defaultCollection(calls);
        if (!collection)
            return collection.error();
        const std::unique_ptr<SecretCollection, ObjectFree> collectionRef(*collection);

        // A new item first, then the old ones go: a store that fails leaves the
        // previous value in place. (The service's own "replace" would also hit
        // items that merely contain these attributes, such as the device key
        // item beside a plain item of the same service.)
        const Result<SecretItem *> created = d->createItem(calls, *collection, key, value);
        if (!created)
            return created.error();
        const std::unique_ptr<SecretItem, ObjectFree> createdRef(*created);
        const QByteArray createdPath = g_dbus_proxy_get_object_path(G_DBUS_PROXY(*created));

        Private::Found found;
        const Result<Done> searched = d->search(calls, key, false, found);
        if (!searched) {
            qCWarning(lcCredentials, "Stored %s but could not remove older copies: %s", qUtf8Printable(key.service),
                      qUtf8Printable(searched.error().description()));
            return Done{};
        }
        for (SecretItem *item : std::as_const(found.exact)) {
            if (createdPath == g_dbus_proxy_get_object_path(G_DBUS_PROXY(item)))
                continue;
            const Result<Done> deleted = d->deleteItem(calls, item);
            if (!deleted)
                qCWarning(lcCredentials, "Could not remove an older copy of %s: %s", qUtf8Printable(key.service),
                          qUtf8Printable(deleted.error().description()));
        }
        return Done{};
    });
}

Result<Done> LibsecretBackend::remove(const SecretItemKey &key)
{
    return d->bounded<Done>("remove", [&](BoundedGlibCalls &calls) -> Result<Done> {
        Private::Found found;
        const Result<Done> searched = d->search(calls, key, false, found);
        if (!searched)
            return searched.error();
        Result<Done> outcome = Done{};
        for (SecretItem *item : std::as_const(found.exact)) {
            Result<Done> deleted = d->deleteItem(calls, item);
            if (!deleted)
                outcome = std::move(deleted);
        }
        return outcome;
    });
}

bool LibsecretBackend::isAvailable(std::chrono::milliseconds timeout)
{
    return SecretServiceProbe::isAvailable(timeout);
}

} // namespace halvex
