#pragma once

#include <QByteArray>
#include <QMetaObject>

#include <functional>

class QObject;

namespace halvex {

class SingleInstance;

// The request a terminal command sends to the running bridge over the
// single-instance socket after it stored a new bridge token.
inline constexpr char reloadCredentialsRequest[] = "reloadCredentials";

// Tells the running bridge (tray or headless) of this session to pick up
// the stored credentials. False when no bridge runs (it reads them when it
// starts).
bool announceCredentialsChanged(SingleInstance &instance);

// For the running bridge's own request handler: runs `reload` when the
// request is the reload request. True when it was.
bool handleCredentialRequest(const QByteArray &request, const std::function<void()> &reload);

// Runs `reload` whenever the reload request arrives at `instance`, for as
// long as `context` lives.
QMetaObject::Connection watchCredentialReloads(SingleInstance *instance, QObject *context,
                                               std::function<void()> reload);

} // namespace halvex
