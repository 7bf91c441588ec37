#include "platform/secret_backend.h"

namespace halvex {

SecretOutcome MemorySecretBackend::lookup(const SecretItemKey &key)
{
    const auto it = m_items.constFind(key);
    if (it == m_items.cend())
        return SecretOutcome::notFound();
    return SecretOutcome::success(*it);
}

SecretOutcome MemorySecretBackend::store(const SecretItemKey &key, const QByteArray &value)
{
    if (m_failWrites)
        return SecretOutcome::failure(-1, QStringLiteral("writes refused"));
    m_items.insert(key, value);
    return SecretOutcome::success();
}

SecretOutcome MemorySecretBackend::remove(const SecretItemKey &key)
{
    if (m_failWrites)
        return SecretOutcome::failure(-1, QStringLiteral("writes refused"));
    return m_items.remove(key) ? SecretOutcome::success() : SecretOutcome::notFound();
}

} // namespace halvex
