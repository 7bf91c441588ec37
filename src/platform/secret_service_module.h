#pragma once

#include "platform/secret_backend.h"

#include <QString>
#include <QStringList>

#include <memory>

namespace halvex {

// The Secret Service backend (libsecret, GIO, libgcrypt) is a module of its
// own, halvex-secret-service.so, loaded only where a session bus is
// configured: a headless server never maps those libraries.
//
// The module is looked for in $HALVEX_MODULE_DIR when set, then beside the
// program (the build tree), then in the installed module folder reached
// from the program's folder (bin/ or the tray's libexec folder). A module
// from another build is refused.
namespace SecretServiceModule {

inline constexpr char fileName[] = "halvex-secret-service.so";

// Whether a session bus is configured that could be used without launching
// one (dbus-launch autolaunch can hang or spawn a stray bus on a headless
// box).
bool sessionBusConfigured();

QStringList searchFolders();

// The Secret Service backend when a session bus is configured and a Secret
// Service answers within `probeTimeoutMs` and can keep items (see
// LibsecretBackend::isAvailable). Otherwise nullptr: problem() then says why
// when the module itself could not be used.
std::unique_ptr<SecretBackend> load(int probeTimeoutMs);

// Why the module could not be used (missing, unloadable, from another
// build), once load() has tried it; empty when it was usable or never
// needed, or when there is simply no Secret Service.
QString problem();

} // namespace SecretServiceModule

// The names the module exports (extern "C").
#define HALVEX_SECRET_SERVICE_VERSION_SYMBOL "halvex_secret_service_version"
#define HALVEX_SECRET_SERVICE_CREATE_SYMBOL "halvex_secret_service_create"

} // namespace halvex
