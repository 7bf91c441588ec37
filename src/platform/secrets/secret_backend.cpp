#include "platform/secrets/secret_backend.h"

namespace halvex {

namespace {
Error unavailable()
{
    return Error::plain(QStringLiteral("The store is not available"), -1);
}
Error refused()
{
    return Error::plain(QStringLiteral("writes refused"), -1);
}
} // namespace

SecretLookup MemorySecretBackend::lookup(const SecretItemKey &key)
{
    if (m_unavailable)
        return unavailable();
    const auto it = m_items.constFind(key);
    if (it == m_items.cend())
        return std::optional<QByteArray>{};
    return std::optional<QByteArray>(*it);
}

Result<Done> MemorySecretBackend::store(const SecretItemKey &key, const QByteArray &value)
{
    if (m_unavailable)
        return unavailable();
    if (m_failWrites)
        return refused();
    m_items.insert(key, value);
    return Done{};
}

Result<Done> MemorySecretBackend::remove(const SecretItemKey &key)
{
    if (m_unavailable)
        return unavailable();
    if (m_failWrites)
        return refused();
    m_items.remove(key);
    return Done{};
}

} // namespace halvex
