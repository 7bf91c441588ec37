#pragma once

#include <QHostAddress>
#include <QString>

#include <optional>

namespace halvex {

// Where the kernel's list of listening TCP sockets is read: NETLINK_SOCK_DIAG,
// or /proc/net/tcp{,6}. /proc does not show IPV6_V6ONLY, so there an IPv6
// wildcard counts as taking IPv4 too.
enum class ListenerSource { socketDiag, procNet };

// Who holds the TCP socket in LISTEN state that would accept a connection
// to an address and port: one bound to that address, else to its family's
// wildcard, else (for IPv4) an IPv6 wildcard that also takes IPv4, the most
// specific first as the kernel picks it.
struct PortListener {
    std::optional<uint> uid; // none: nothing listens there
    QString failure;         // not empty: neither source could be read, and why
};

// Asks `only` that source, or the socket list first and /proc where that is
// unavailable.
PortListener portListener(const QHostAddress &address, quint16 port, std::optional<ListenerSource> only = std::nullopt);

// "::ffff:a.b.c.d" is IPv4 on the wire: that IPv4 address; any other as it is.
QHostAddress unmappedAddress(const QHostAddress &address);

} // namespace halvex
