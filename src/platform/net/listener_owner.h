#pragma once

#include "platform/error.h"
#include "platform/net/port_listeners.h"

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

// The uid of portListener()'s socket (port_listeners.h); fails when
// nothing listens there or neither source can be read.
Result<uint> listenerOwnerUid(const QHostAddress &address, quint16 port);
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
