#include "platform/net/port_listeners.h"

#include <QList>
#include <QtEndian>

#include <chrono>
#include <cstring>
#include <utility>
#include <vector>

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <fcntl.h>

namespace halvex {

namespace {

using namespace std::chrono_literals;

// The kernel answers at once; a reply that is late or huge means something
// is wrong, and then the /proc files are asked instead.
constexpr std::chrono::milliseconds kReceiveTimeout = 2000ms;
constexpr size_t kReceiveBufferBytes = 64 * 1024; // a dump part is at most 32 KiB
constexpr qint64 kMaxAnswerBytes = 16 * 1024 * 1024;
// /proc/net/tcp lists every TCP socket (about 150 bytes each), not only
// the listeners of one port.
constexpr qint64 kMaxProcFileBytes = 64 * 1024 * 1024;
constexpr qsizetype kMaxProcLineBytes = 512;

struct Listener {
    QHostAddress address;
    uint uid = 0;
    bool v6Only = false;    // unknown (the /proc files) counts as taking IPv4 too
    unsigned interface = 0; // SO_BINDTODEVICE; 0 for none
};

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

QHostAddress ipv4MappedToIpv6(const QHostAddress &ipv4)
{
    Q_IPV6ADDR bytes{};
    bytes[10] = bytes[11] = 0xff;
    qToBigEndian(ipv4.toIPv4Address(), bytes.c + 12);
    return QHostAddress(bytes);
}

} // namespace

QHostAddress unmappedAddress(const QHostAddress &address)
{
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return address;
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    for (int i = 0; i < 10; ++i) {
        if (bytes[i] != 0)
            return address;
    }
    if (bytes[10] != 0xff || bytes[11] != 0xff)
        return address;
    return QHostAddress(qFromBigEndian<quint32>(bytes.c + 12));
}

namespace {

// --- NETLINK_SOCK_DIAG --------------------------------------------------

// Reads the answer to one dump request; an empty string when it ended well.
QString receiveDump(int fd, quint32 sequence, quint16 port, QList<Listener> &out)
{
    std::vector<char> buffer(kReceiveBufferBytes);
    qint64 total = 0;
    for (;;) {
        sockaddr_nl from{};
        iovec part{buffer.data(), buffer.size()};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        const ssize_t received = ::recvmsg(fd, &message, 0);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return QStringLiteral("no answer within %1 ms").arg(kReceiveTimeout.count());
            return errnoText(errno);
        }
        if (message.msg_flags & MSG_TRUNC)
            return QStringLiteral("an answer larger than %1 bytes").arg(kReceiveBufferBytes);
        total += received;
        if (total > kMaxAnswerBytes)
            return QStringLiteral("an answer larger than %1 bytes in all").arg(kMaxAnswerBytes);
        // Only the kernel speaks for the kernel.
        if (from.nl_pid != 0)
            continue;

        size_t offset = 0;
        const auto size = size_t(received);
        while (size - offset >= sizeof(nlmsghdr)) {
            nlmsghdr header;
            std::memcpy(&header, buffer.data() + offset, sizeof header);
            if (header.nlmsg_len < sizeof header || header.nlmsg_len > size - offset)
                return QStringLiteral("a malformed answer");
            const char *payload = buffer.data() + offset + sizeof header;
            const size_t payloadSize = header.nlmsg_len - sizeof header;
            offset += std::min<size_t>(NLMSG_ALIGN(header.nlmsg_len), size - offset);
            if (header.nlmsg_seq != sequence)
                continue;
            if (header.nlmsg_type == NLMSG_DONE)
                return {};
            if (header.nlmsg_type == NLMSG_ERROR) {
                nlmsgerr error{};
                if (payloadSize < sizeof error)
                    return QStringLiteral("a malformed answer");
                std::memcpy(&error, payload, sizeof error);
                return errnoText(-error.error);
            }
            if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY || payloadSize < sizeof(inet_diag_msg))
                continue;
            inet_diag_msg diag;
            std::memcpy(&diag, payload, sizeof diag);
            // The request names the port too, but older kernels ignore that.
            if (diag.idiag_state != TCP_LISTEN || qFromBigEndian(diag.id.idiag_sport) != port)
                continue;
            Listener listener;
            listener.uid = diag.idiag_uid;
            listener.interface = diag.id.idiag_if;
            if (diag.idiag_family == AF_INET) {
                listener.address = QHostAddress(qFromBigEndian(diag.id.idiag_src[0]));
            } else if (diag.idiag_family == AF_INET6) {
                Q_IPV6ADDR bytes;
                std::memcpy(&bytes, diag.id.idiag_src, sizeof bytes);
                listener.address = QHostAddress(bytes);
                // Sent for every listening IPv6 socket; without it (an old
                // kernel) the socket counts as taking IPv4 too.
                size_t at = NLMSG_ALIGN(sizeof(inet_diag_msg));
                while (payloadSize >= at + sizeof(nlattr)) {
                    nlattr attribute;
                    std::memcpy(&attribute, payload + at, sizeof attribute);
                    if (attribute.nla_len < sizeof attribute || attribute.nla_len > payloadSize - at)
                        break;
                    if (attribute.nla_type == INET_DIAG_SKV6ONLY && attribute.nla_len > NLA_HDRLEN)
                        listener.v6Only = payload[at + NLA_HDRLEN] != 0;
                    at += NLA_ALIGN(attribute.nla_len);
                }
            } else {
                continue;
            }
            out.append(listener);
        }
    }
}

// The listeners on `port` of both families; an empty string when the
// kernel answered, else why it did not.
QString socketDiagListeners(quint16 port, QList<Listener> &out)
{
    const FileDescriptor fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (fd.get() < 0)
        return errnoText(errno);
    const timeval timeout{time_t(kReceiveTimeout.count() / 1000), suseconds_t(kReceiveTimeout.count() % 1000 * 1000)};
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
        return errnoText(errno);

    quint32 sequence = 0;
    for (const int family : {AF_INET, AF_INET6}) {
        struct {
            nlmsghdr header;
            inet_diag_req_v2 request;
        } query{};
        query.header.nlmsg_len = sizeof query;
        query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
        query.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        query.header.nlmsg_seq = ++sequence;
        query.request.sdiag_family = quint8(family);
        query.request.sdiag_protocol = IPPROTO_TCP;
        query.request.idiag_states = 1u << TCP_LISTEN;
        query.request.id.idiag_sport = qToBigEndian(port);
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        if (::sendto(fd.get(), &query, sizeof query, 0, reinterpret_cast<const sockaddr *>(&kernel), sizeof kernel) < 0)
            return errnoText(errno);
        const QString failure = receiveDump(fd.get(), sequence, port, out);
        if (!failure.isEmpty())
            return failure;
    }
    return {};
}

// --- /proc/net/tcp{,6} --------------------------------------------------

// One line: "sl local rem st queues tr:when retrnsmt uid …", the local
// address as the kernel's 32-bit words in hex, the port in hex.
void parseProcLine(const QByteArray &line, QAbstractSocket::NetworkLayerProtocol family, quint16 port,
                   QList<Listener> &out)
{
    const QList<QByteArray> fields = line.simplified().split(' ');
    if (fields.size() < 8 || fields.at(3) != "0A") // TCP_LISTEN
        return;
    const QList<QByteArray> local = fields.at(1).split(':');
    const qsizetype addressDigits = family == QAbstractSocket::IPv4Protocol ? 8 : 32;
    bool ok = false;
    if (local.size() != 2 || local.at(0).size() != addressDigits || local.at(1).toUShort(&ok, 16) != port || !ok)
        return;
    Listener listener;
    listener.uid = fields.at(7).toUInt(&ok);
    if (!ok)
        return;
    // Each word is printed as the number its bytes (in network order) make
    // in this machine's byte order: copying it back gives the bytes.
    quint8 bytes[16];
    for (qsizetype word = 0; word < addressDigits / 8; ++word) {
        const quint32 value = local.at(0).mid(word * 8, 8).toUInt(&ok, 16);
        if (!ok)
            return;
        std::memcpy(bytes + word * 4, &value, 4);
    }
    listener.address =
        family == QAbstractSocket::IPv4Protocol ? QHostAddress(qFromBigEndian<quint32>(bytes)) : QHostAddress(bytes);
    out.append(listener);
}

QString procNetListeners(quint16 port, QList<Listener> &out)
{
    const std::pair<const char *, QAbstractSocket::NetworkLayerProtocol> files[] = {
        {"/proc/net/tcp", QAbstractSocket::IPv4Protocol}, {"/proc/net/tcp6", QAbstractSocket::IPv6Protocol}};
    for (const auto &[path, family] : files) {
        const FileDescriptor fd(::open(path, O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0) {
            // A kernel without IPv6 has no IPv6 listeners either.
            if (errno == ENOENT && family == QAbstractSocket::IPv6Protocol)
                continue;
            return QStringLiteral("%1: %2").arg(QLatin1String(path), errnoText(errno));
        }
        // Read in parts, line by line: the file can be large.
        QByteArray pending;
        char part[16 * 1024];
        qint64 total = 0;
        for (;;) {
            const ssize_t count = ::read(fd.get(), part, sizeof part);
            if (count < 0) {
                if (errno == EINTR)
                    continue;
                return QStringLiteral("%1: %2").arg(QLatin1String(path), errnoText(errno));
            }
            if (count == 0)
                break;
            total += count;
            if (total > kMaxProcFileBytes)
                return QStringLiteral("%1: longer than %2 bytes").arg(QLatin1String(path)).arg(kMaxProcFileBytes);
            pending.append(part, count);
            qsizetype start = 0;
            for (qsizetype end; (end = pending.indexOf('\n', start)) >= 0; start = end + 1)
                parseProcLine(pending.sliced(start, end - start), family, port, out);
            pending.remove(0, start);
            if (pending.size() > kMaxProcLineBytes)
                return QStringLiteral("%1: a line longer than %2 bytes")
                    .arg(QLatin1String(path))
                    .arg(kMaxProcLineBytes);
        }
        parseProcLine(pending, family, port, out);
    }
    return {};
}

// --- choosing the listener ----------------------------------------------

unsigned loopbackInterface()
{
    static const unsigned index = [] {
        const unsigned found = ::if_nametoindex("lo");
        return found != 0 ? found : 1u; // the loopback device is 1 in every namespace
    }();
    return index;
}

// How the kernel would rank `listener` for a connection to `address`
// (lower first): a socket bound to the address before one bound to the
// wildcard, an IPv4 socket before an IPv6 one that takes IPv4, one bound
// to the loopback device before an unbound one. Nullopt: it would not take
// the connection (another address or family, IPV6_V6ONLY, another device).
std::optional<int> rankOf(const Listener &listener, const QHostAddress &address)
{
    if (listener.interface != 0 && listener.interface != loopbackInterface())
        return std::nullopt;
    const auto same = [&](const QHostAddress &a) { return listener.address.isEqual(a); };
    int rank = -1;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        if (listener.address.protocol() == QAbstractSocket::IPv4Protocol)
            rank = same(address) ? 0 : same(QHostAddress(QHostAddress::AnyIPv4)) ? 4 : -1;
        else if (!listener.v6Only)
            rank = same(ipv4MappedToIpv6(address)) ? 2 : same(QHostAddress(QHostAddress::AnyIPv6)) ? 6 : -1;
    } else if (listener.address.protocol() == QAbstractSocket::IPv6Protocol) {
        rank = same(address) ? 0 : same(QHostAddress(QHostAddress::AnyIPv6)) ? 4 : -1;
    }
    if (rank < 0)
        return std::nullopt;
    return listener.interface != 0 ? rank : rank + 1;
}

std::optional<uint> chooseOwner(const QList<Listener> &listeners, const QHostAddress &address)
{
    std::optional<int> best;
    std::optional<uint> owner;
    for (const Listener &listener : listeners) {
        const std::optional<int> rank = rankOf(listener, address);
        if (!rank || (best && *rank > *best))
            continue;
        // Equal ranks with different owners should not happen; if they
        // do, the answer is the owner that is neither this user nor root.
        const bool cautious = listener.uid != ::getuid() && listener.uid != 0;
        if (!best || *rank < *best || cautious)
            owner = listener.uid;
        best = rank;
    }
    return owner;
}

} // namespace

PortListener portListener(const QHostAddress &target, quint16 port, std::optional<ListenerSource> only)
{
    const QHostAddress address = unmappedAddress(target);
    QList<Listener> listeners;
    QString failure;
    if (only != ListenerSource::procNet) {
        failure = socketDiagListeners(port, listeners);
        if (failure.isEmpty())
            return {chooseOwner(listeners, address), {}};
        failure = QStringLiteral("the kernel's socket list: ") + failure;
        if (only == ListenerSource::socketDiag)
            return {std::nullopt, failure};
        listeners.clear();
    }
    const QString procFailure = procNetListeners(port, listeners);
    if (procFailure.isEmpty())
        return {chooseOwner(listeners, address), {}};
    return {std::nullopt, failure.isEmpty() ? procFailure : failure + QStringLiteral("; ") + procFailure};
}

} // namespace halvex
