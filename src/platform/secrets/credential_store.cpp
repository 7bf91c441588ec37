#include "platform/secrets/credential_store.h"

#include "platform/deployment.h"
#include "platform/logging.h"
#include "platform/utf8.h"

#include <QEventLoop>
#include <QFutureWatcher>
#include <QPromise>
#include <QSemaphore>
#include <QThread>
#include <QThreadPool>

namespace halvex {

namespace {

// How long a call may hold its caller's thread before that thread's events
// run again while it waits.
constexpr int kQuietWaitMs = 250;

Error notText(const QString &service)
{
    return Error::plain(QStringLiteral("The item for %1 does not hold UTF-8 text").arg(service));
}

struct KnownItem {
    const char *label;
    SecretItemKey key;
};

QList<KnownItem> knownItems()
{
    return {{"relay session token", {CredentialService::relay(), {}}},
            {"bridge token", {CredentialService::bridge(), {}}},
            {"gateway token", {CredentialService::openClaw(), {}}},
            {"gateway device tokens", {CredentialService::openClawDeviceTokens(), {}}},
            {"gateway device token (unbound)", {CredentialService::openClawDeviceToken(), {}}},
            {"device key",
             {CredentialService::openClawDeviceKey(), QString::fromLatin1(CredentialService::deviceKeyAccount)}}};
}

QString placeOf(const SecretLookup &found)
{
    if (!found)
        return found.error().description();
    return found.value() ? QStringLiteral("stored") : QStringLiteral("none");
}

} // namespace

CredentialStore::CredentialStore(std::unique_ptr<SecretBackend> primary, std::unique_ptr<SecretBackend> older)
    : m_primary(std::move(primary)), m_older(std::move(older)), m_thread(std::make_unique<QThreadPool>())
{
    // One thread, kept for the manager's life: a backend is only ever used
    // by one thread at a time, and libsecret's objects stay where they were
    // made.
    m_thread->setMaxThreadCount(1);
    m_thread->setExpiryTimeout(-1);
}

CredentialStore::~CredentialStore() = default;

void CredentialStore::runSerially(const std::function<void()> &op)
{
    auto promise = std::make_shared<QPromise<void>>();
    auto answered = std::make_shared<QSemaphore>();
    QFuture<void> done = promise->future();
    promise->start();
    m_thread->start([promise, answered, &op] {
        op();
        promise->finish();
        answered->release();
    });
    // Stores answer in milliseconds. Only a call that waits longer (an
    // unlock prompt, a keyring that hangs) lets this thread's links, timers
    // and sockets run meanwhile; the user's clicks wait, as behind a dialog.
    if (!answered->tryAcquire(1, kQuietWaitMs) && QThread::currentThread()->eventDispatcher()) {
        QEventLoop loop;
        QFutureWatcher<void> watcher;
        QObject::connect(&watcher, &QFutureWatcherBase::finished, &loop, &QEventLoop::quit);
        watcher.setFuture(done);
        if (!done.isFinished())
            loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    done.waitForFinished();
}

SecretLookup CredentialStore::lookupMigrating(const SecretItemKey &key, bool (*usable)(const QByteArray &))
{
    const SecretLookup found = m_primary->lookup(key);
    if (found && found.value() && usable(*found.value()))
        return found;
    if (!found)
        qCDebug(lcCredentials, "Credential lookup of %s failed: %d %s", qUtf8Printable(key.service),
                found.error().code(), qUtf8Printable(found.error().description()));
    if (!m_older)
        return found;
    const SecretLookup old = m_older->lookup(key);
    if (old && old.value() && usable(*old.value())) {
        qCInfo(lcCredentials, "Migrating credential item for %s", qUtf8Printable(key.service));
        migrate(key, *old.value());
        // The value is returned even when the migration failed; the next load retries.
        return old;
    }
    // "Nothing here" is no answer while the other store cannot say.
    if (!old && found && !found.value())
        return old.error();
    return found;
}

Result<std::optional<QString>> CredentialStore::load(const QString &service)
{
    return serially<Result<std::optional<QString>>>([&]() -> Result<std::optional<QString>> {
        // A value that is not text may have an older build's text copy.
        const SecretLookup found =
            lookupMigrating({service, {}}, [](const QByteArray &bytes) { return strictUtf8(bytes).has_value(); });
        if (!found)
            return found.error();
        if (!found.value())
            return std::optional<QString>{};
        if (auto text = strictUtf8(**found))
            return std::optional<QString>(std::move(text));
        return notText(service);
    });
}

void CredentialStore::migrate(const SecretItemKey &key, const QByteArray &value)
{
    if (!storeLogged(key, value))
        return;
    // The older copy is a plaintext secret on disk: it goes once the primary
    // store is seen to hold exactly this value, never before.
    const SecretLookup check = m_primary->lookup(key);
    if (!check || !check.value() || *check.value() != value) {
        qCWarning(lcCredentials, "Keeping the older copy of %s: the migrated item could not be read back",
                  qUtf8Printable(key.service));
        return;
    }
    const Result<Done> removed = m_older->remove(key);
    if (!removed)
        qCWarning(lcCredentials, "Could not remove the older copy of %s: %s", qUtf8Printable(key.service),
                  qUtf8Printable(removed.error().description()));
}

Result<Done> CredentialStore::storeLogged(const SecretItemKey &key, const QByteArray &value)
{
    // Every backend replaces an item in one step, so the old value is not
    // deleted first: a save that fails leaves the previous value in place.
    Result<Done> added = m_primary->store(key, value);
    if (!added) {
        qCCritical(lcCredentials, "Credential save failed for %s: %d", qUtf8Printable(key.service),
                   added.error().code());
        qCDebug(lcCredentials, "Credential save of %s: %s", qUtf8Printable(key.service),
                qUtf8Printable(added.error().description()));
    }
    return added;
}

Result<Done> CredentialStore::save(const QString &service, const QString &value)
{
    return saveData(service, {}, value.toUtf8());
}

Result<Done> CredentialStore::deleteItem(const QString &service)
{
    return deleteData(service, {});
}

SecretLookup CredentialStore::loadData(const QString &service, const QString &account)
{
    return serially<SecretLookup>([&] { return lookupMigrating({service, account}); });
}

Result<Done> CredentialStore::saveData(const QString &service, const QString &account, const QByteArray &value)
{
    return serially<Result<Done>>([&] { return storeLogged({service, account}, value); });
}

Result<Done> CredentialStore::deleteData(const QString &service, const QString &account)
{
    return serially<Result<Done>>([&]() -> Result<Done> {
        const SecretItemKey key{service, account};
        // Gone means gone from both stores: a primary deletion that failed is
        // not reported as success just because the older store had nothing.
        Result<Done> fromPrimary = m_primary->remove(key);
        if (!m_older)
            return fromPrimary;
        Result<Done> fromOlder = m_older->remove(key);
        if (!fromPrimary)
            return fromPrimary;
        return fromOlder;
    });
}

QList<CredentialStore::ItemPlace> CredentialStore::itemPlaces()
{
    return serially<QList<ItemPlace>>([&] {
        QList<ItemPlace> places;
        for (const KnownItem &item : knownItems()) {
            ItemPlace place;
            place.label = QString::fromLatin1(item.label);
            place.key = item.key;
            const SecretLookup inPrimary = m_primary->lookup(item.key);
            place.primary = placeOf(inPrimary);
            if (m_older) {
                const SecretLookup inOlder = m_older->lookup(item.key);
                place.older = placeOf(inOlder);
                place.differs = inPrimary && inPrimary.value() && inOlder && inOlder.value() &&
                                *inPrimary.value() != *inOlder.value();
            }
            places.append(place);
        }
        return places;
    });
}

Result<Done> CredentialStore::moveItemsInto(std::unique_ptr<SecretBackend> target)
{
    return serially<Result<Done>>([&]() -> Result<Done> {
        // The target may be the older store itself (the same file).
        const bool targetIsOlder = m_older && m_older->name() == target->name();
        // First every item is copied and read back; only when all arrived do
        // the old copies go, so a failure part-way loses nothing.
        QStringList problems;
        QList<SecretItemKey> copied, added;
        for (const KnownItem &item : knownItems()) {
            SecretLookup found = m_primary->lookup(item.key);
            if (found && !found.value() && m_older && !targetIsOlder)
                found = m_older->lookup(item.key);
            const QString label = QString::fromLatin1(item.label) + QStringLiteral(": ");
            if (!found) {
                problems << label + found.error().description();
                continue;
            }
            if (!found.value())
                continue;
            const SecretLookup before = target->lookup(item.key);
            if (!(before && before.value() == found.value())) {
                const Result<Done> stored = target->store(item.key, *found.value());
                const SecretLookup check = stored ? target->lookup(item.key) : SecretLookup(stored.error());
                if (!check || check.value() != found.value()) {
                    problems << label +
                                    (check ? QStringLiteral("could not be read back") : check.error().description());
                    continue;
                }
                if (before && !before.value())
                    added.append(item.key);
            }
            copied.append(item.key);
        }
        if (!problems.isEmpty()) {
            for (const SecretItemKey &key : std::as_const(added))
                (void)target->remove(key);
            return Error::plain(QStringLiteral("Nothing was moved: ") + problems.join(QStringLiteral("; ")));
        }
        for (const SecretItemKey &key : std::as_const(copied)) {
            for (SecretBackend *old : {m_primary.get(), targetIsOlder ? nullptr : m_older.get()}) {
                if (!old)
                    continue;
                if (const Result<Done> removed = old->remove(key); !removed)
                    qCWarning(lcCredentials, "Could not remove the old copy of %s: %s", qUtf8Printable(key.service),
                              qUtf8Printable(removed.error().description()));
            }
        }
        // The file store stays beside the Secret Service as the store to
        // migrate from; beside itself it has no use.
        std::unique_ptr<SecretBackend> previous = std::exchange(m_primary, std::move(target));
        if (targetIsOlder)
            m_older.reset();
        else if (previous->name() == QLatin1String(fileStore))
            m_older = std::move(previous);
        return Done{};
    });
}

} // namespace halvex
