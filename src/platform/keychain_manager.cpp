#include "platform/keychain_manager.h"

#include "platform/logging.h"

#include <QStringDecoder>

namespace halvex {

namespace {
std::optional<QString> utf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}
} // namespace

KeychainManager::KeychainManager(std::unique_ptr<SecretBackend> primary, std::unique_ptr<SecretBackend> older)
    : m_primary(std::move(primary)), m_older(std::move(older))
{
}

std::optional<QString> KeychainManager::load(const QString &service)
{
    const SecretItemKey key{service, {}};
    const SecretOutcome found = m_primary->lookup(key);
    if (found.isOk()) {
        if (auto text = utf8(found.data))
            return text;
    } else if (found.status == SecretOutcome::Status::error) {
        qCDebug(lcKeychain, "Keychain lookup of %s failed: %d %s", qUtf8Printable(service), found.code,
                qUtf8Printable(found.message));
    }
    if (!m_older)
        return std::nullopt;
    const SecretOutcome old = m_older->lookup(key);
    if (!old.isOk())
        return std::nullopt;
    auto text = utf8(old.data);
    if (!text)
        return std::nullopt;
    qCInfo(lcKeychain, "Migrating keychain item for %s", qUtf8Printable(service));
    // The value is returned even when this save fails; the next load retries.
    save(service, *text);
    return text;
}

bool KeychainManager::save(const QString &service, const QString &value)
{
    // Every backend replaces an item in one step, so the old value is not
    // deleted first: a save that fails leaves the previous value in place.
    const SecretOutcome added = m_primary->store({service, {}}, value.toUtf8());
    if (!added.isOk()) {
        qCCritical(lcKeychain, "Keychain save failed for %s: %d", qUtf8Printable(service), added.code);
        if (!added.message.isEmpty())
            qCDebug(lcKeychain, "Keychain save of %s: %s", qUtf8Printable(service), qUtf8Printable(added.message));
        return false;
    }
    return true;
}

bool KeychainManager::deleteItem(const QString &service)
{
    const SecretItemKey key{service, {}};
    // Gone means gone from both stores: a primary deletion that failed is not
    // reported as success just because the older store had nothing.
    const SecretOutcome fromPrimary = m_primary->remove(key);
    const bool primaryGone = fromPrimary.status != SecretOutcome::Status::error;
    if (!m_older)
        return primaryGone;
    const SecretOutcome fromOlder = m_older->remove(key);
    return primaryGone && fromOlder.status != SecretOutcome::Status::error;
}

SecretOutcome KeychainManager::loadData(const QString &service, const QString &account)
{
    return m_primary->lookup({service, account});
}

SecretOutcome KeychainManager::saveData(const QString &service, const QString &account, const QByteArray &value)
{
    // Replaces in one step (see save()).
    return m_primary->store({service, account}, value);
}

SecretOutcome KeychainManager::deleteData(const QString &service, const QString &account)
{
    return m_primary->remove({service, account});
}

} // namespace halvex
