#include "platform/keychain_manager.h"

#include "platform/logging.h"
#include "platform/utf8.h"

namespace halvex {

namespace {

Error notText(const QString &service)
{
    return Error::plain(QStringLiteral("The item for %1 does not hold UTF-8 text").arg(service));
}

} // namespace

KeychainManager::KeychainManager(std::unique_ptr<SecretBackend> primary, std::unique_ptr<SecretBackend> older)
    : m_primary(std::move(primary)), m_older(std::move(older))
{
}

Result<std::optional<QString>> KeychainManager::load(const QString &service)
{
    const SecretItemKey key{service, {}};
    const SecretLookup found = m_primary->lookup(key);
    if (found && found.value()) {
        if (auto text = strictUtf8(**found))
            return std::optional<QString>(std::move(text));
        qCDebug(lcKeychain, "Keychain item for %s is not UTF-8 text", qUtf8Printable(service));
    } else if (!found) {
        qCDebug(lcKeychain, "Keychain lookup of %s failed: %d %s", qUtf8Printable(service), found.error().code(),
                qUtf8Printable(found.error().description()));
    }
    // What the primary store said, when the older store has nothing better.
    const auto primaryAnswer = [&]() -> Result<std::optional<QString>> {
        if (!found)
            return found.error();
        if (found.value())
            return notText(service);
        return std::optional<QString>{};
    };
    if (!m_older)
        return primaryAnswer();
    const SecretLookup old = m_older->lookup(key);
    if (!old || !old.value())
        return primaryAnswer();
    std::optional<QString> text = strictUtf8(**old);
    if (!text)
        return primaryAnswer();
    qCInfo(lcKeychain, "Migrating keychain item for %s", qUtf8Printable(service));
    migrate(service, *text);
    // The value is returned even when the migration failed; the next load retries.
    return text;
}

void KeychainManager::migrate(const QString &service, const QString &value)
{
    if (!save(service, value))
        return;
    // The older copy is a plaintext secret on disk: it goes once the primary
    // store is seen to hold exactly this value, never before.
    const SecretItemKey key{service, {}};
    const SecretLookup check = m_primary->lookup(key);
    if (!check || !check.value() || *check.value() != value.toUtf8()) {
        qCWarning(lcKeychain, "Keeping the older copy of %s: the migrated item could not be read back",
                  qUtf8Printable(service));
        return;
    }
    const Result<Done> removed = m_older->remove(key);
    if (!removed)
        qCWarning(lcKeychain, "Could not remove the older copy of %s: %s", qUtf8Printable(service),
                  qUtf8Printable(removed.error().description()));
}

Result<Done> KeychainManager::save(const QString &service, const QString &value)
{
    // Every backend replaces an item in one step, so the old value is not
    // deleted first: a save that fails leaves the previous value in place.
    Result<Done> added = m_primary->store({service, {}}, value.toUtf8());
    if (!added) {
        qCCritical(lcKeychain, "Keychain save failed for %s: %d", qUtf8Printable(service), added.error().code());
        qCDebug(lcKeychain, "Keychain save of %s: %s", qUtf8Printable(service),
                qUtf8Printable(added.error().description()));
    }
    return added;
}

Result<Done> KeychainManager::deleteItem(const QString &service)
{
    const SecretItemKey key{service, {}};
    // Gone means gone from both stores: a primary deletion that failed is not
    // reported as success just because the older store had nothing.
    Result<Done> fromPrimary = m_primary->remove(key);
    if (!m_older)
        return fromPrimary;
    Result<Done> fromOlder = m_older->remove(key);
    if (!fromPrimary)
        return fromPrimary;
    return fromOlder;
}

SecretLookup KeychainManager::loadData(const QString &service, const QString &account)
{
    return m_primary->lookup({service, account});
}

Result<Done> KeychainManager::saveData(const QString &service, const QString &account, const QByteArray &value)
{
    // Replaces in one step (see save()).
    return m_primary->store({service, account}, value);
}

Result<Done> KeychainManager::deleteData(const QString &service, const QString &account)
{
    return m_primary->remove({service, account});
}

} // namespace halvex
