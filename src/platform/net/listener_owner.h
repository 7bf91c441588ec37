#pragma once

#include "platform/error.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

namespace halvex {

// Who holds a loopback port. While the user's gateway is down any local
// account can listen on its port and would then be handed the gateway's
// token and the phone's chats; so before a credential goes to a loopback
// address the bridge asks the kernel whose socket would take the connection.

// The uid owning the TCP socket in LISTEN state that would accept a
// connection to `address:port`: one bound to that address, else to its
// family's wildcard, else (for IPv4) an IPv6 wildcard that also takes IPv4,
// the most specific first as the kernel picks it. Asks the kernel over
// NETLINK_SOCK_DIAG, and reads /proc/net/tcp{,6} where that is unavailable.
// Fails when nothing listens there or neither source can be read.
Result<uint> listenerOwnerUid(const QHostAddress &address, quint16 port);

// The same from one source only (the two-argument form uses the first and
// falls back to the second). /proc does not show IPV6_V6ONLY, so there an
// IPv6 wildcard counts as taking IPv4 too.
enum class ListenerSource { socketDiag, procNet };
Result<uint> listenerOwnerUid(const QHostAddress &address, quint16 port, ListenerSource source);

// The one rule applied before any credential is sent: nullopt when it may
// go to `endpoint`, else the sentence saying why not and how to allow it.
// Hosts other than loopback ones are left to other rules. Every address a
// loopback host may reach ("localhost": 127.0.0.1 and ::1) must be held by
// this user, by root, or by an owner in `confirmedOwners` (user names, or
// uids in decimal); one without a listener is no risk, but when nothing
// listens at all nothing is sent either.
std::optional<QString> loopbackCredentialRefusal(const QUrl &endpoint, const QStringList &confirmedOwners);

// The account name of `uid`; empty when it has none.
QString userNameOf(uint uid);

// The uid an owner may be confirmed by: a uid in decimal, or the name of an
// account this machine knows; nothing otherwise.
std::optional<uint> ownerUid(const QString &owner);

} // namespace halvex
