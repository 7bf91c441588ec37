#include "platform/net/listener_owner.h"

#include "platform/characters.h"
#include "platform/deployment.h"

#include <QList>
#include <QRegularExpression>

#include <cerrno>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace halvex {

namespace {

constexpr size_t kMaxPasswdBuffer = 1024 * 1024;

QString hostAndPort(const QString &host, quint16 port)
{
    return (host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]:%2") : QStringLiteral("%1:%2")).arg(host).arg(port);
}

// getpw*_r with a buffer that grows while the entry does not fit.
template <typename Call>
std::optional<passwd> passwdEntry(Call call, std::vector<char> &buffer)
{
    const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    buffer.resize(suggested > 0 ? size_t(suggested) : 16 * 1024);
    for (;;) {
        passwd entry{};
        passwd *found = nullptr;
        const int error = call(&entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < kMaxPasswdBuffer) {
            buffer.resize(buffer.size() * 4);
            continue;
        }
        if (error != 0 || !found)
            return std::nullopt;
        return entry;
    }
}

} // namespace

std::optional<uint> ownerUid(const QString &owner)
{
    bool isNumber = false;
    const uint uid = owner.toUInt(&isNumber);
    if (isNumber)
        return uid;
    if (owner.isEmpty() || owner.contains(QChar(0)))
        return std::nullopt;
    const QByteArray name = owner.toLocal8Bit();
    std::vector<char> buffer;
    const std::optional<passwd> entry = passwdEntry(
        [&](passwd *e, char *b, size_t s, passwd **f) { return ::getpwnam_r(name.constData(), e, b, s, f); }, buffer);
    return entry ? std::optional<uint>(entry->pw_uid) : std::nullopt;
}

namespace {

bool trusted(uint uid, const QStringList &confirmedOwners)
{
    if (uid == ::getuid() || uid == 0)
        return true;
    for (const QString &owner : confirmedOwners) {
        if (ownerUid(owner) == uid)
            return true;
    }
    return false;
}

QString heldByAnother(const QString &where, uint uid)
{
    const QString name = userNameOf(uid);
    // The command is meant to be pasted into a shell: only a plain name
    // goes into it, any other is named by its uid.
    static const QRegularExpression plainName(QStringLiteral("^[A-Za-z0-9_][A-Za-z0-9._-]{0,63}$"));
    const QString shown = name.isEmpty() ? QString::number(uid) : quotedForLog(name, 64);
    const QString argument = plainName.match(name).hasMatch() ? name : QString::number(uid);
    return QStringLiteral(
               "The gateway address %1 is held by the user \"%2\" (uid %3), not by you: nothing secret is "
               "sent there. If that account runs your gateway, trust it with: halvex-bridge gateway owner %4")
        .arg(where, shown)
        .arg(uid)
        .arg(argument);
}

QString cannotTell(const QString &where, const QString &why)
{
    return QStringLiteral("Cannot tell who listens on %1 (%2): nothing secret is sent there.").arg(where, why);
}

Result<uint> ownerResult(const QHostAddress &address, quint16 port, std::optional<ListenerSource> only)
{
    const PortListener owner = portListener(address, port, only);
    const QString where = hostAndPort(unmappedAddress(address).toString(), port);
    if (owner.uid)
        return *owner.uid;
    if (!owner.failure.isEmpty())
        return Error::plain(QStringLiteral("Cannot tell who listens on %1: %2.").arg(where, owner.failure));
    return Error::plain(QStringLiteral("Nothing listens on %1.").arg(where));
}

} // namespace

Result<uint> listenerOwnerUid(const QHostAddress &address, quint16 port, ListenerSource source)
{
    return ownerResult(address, port, source);
}

Result<uint> listenerOwnerUid(const QHostAddress &address, quint16 port)
{
    return ownerResult(address, port, std::nullopt);
}

std::optional<QString> loopbackCredentialRefusal(const QUrl &endpoint, const QStringList &confirmedOwners)
{
    const QString host = endpoint.host();
    const QHostAddress literal = unmappedAddress(QHostAddress(host));
    QList<QHostAddress> addresses;
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        addresses = {QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)};
    // A connection to the wildcard address goes to this machine's loopback.
    else if (literal.isEqual(QHostAddress(QHostAddress::AnyIPv4)))
        addresses = {QHostAddress(QHostAddress::LocalHost)};
    else if (literal.isEqual(QHostAddress(QHostAddress::AnyIPv6)))
        addresses = {QHostAddress(QHostAddress::LocalHostIPv6)};
    else if (isLoopbackHost(host) || literal.isLoopback())
        addresses = {literal};
    else
        return std::nullopt;

    const QString scheme = endpoint.scheme().toLower();
    const bool secure = scheme == QLatin1String("https") || scheme == QLatin1String("wss");
    const auto port = quint16(endpoint.port(secure ? 443 : 80));

    bool anyListener = false;
    for (const QHostAddress &address : std::as_const(addresses)) {
        const PortListener owner = portListener(address, port);
        const QString where = hostAndPort(address.toString(), port);
        if (!owner.failure.isEmpty())
            return cannotTell(where, owner.failure);
        if (!owner.uid)
            continue; // a connection there is refused: nothing to fear
        anyListener = true;
        if (!trusted(*owner.uid, confirmedOwners))
            return heldByAnother(where, *owner.uid);
    }
    if (!anyListener)
        return cannotTell(hostAndPort(addresses.size() == 1 ? addresses.constFirst().toString() : host, port),
                          QStringLiteral("nothing listens there"));
    return std::nullopt;
}

QString userNameOf(uint uid)
{
    std::vector<char> buffer;
    const std::optional<passwd> entry = passwdEntry(
        [&](passwd *e, char *b, size_t s, passwd **f) { return ::getpwuid_r(uid_t(uid), e, b, s, f); }, buffer);
    return entry && entry->pw_name ? QString::fromLocal8Bit(entry->pw_name) : QString();
}

} // namespace halvex
