#pragma once

#include "platform/secrets/secret_backend.h"

#include <QString>

#include <chrono>
#include <memory>

namespace halvex {

// The Secret Service backend (libsecret, GIO, libgcrypt) is a module of its
// own, halvex-secret-service.so (see platform/runtime_module.h), loaded only
// where a session bus is configured: a headless server never maps those
// libraries.
namespace SecretServiceModule {

inline constexpr char fileName[] = "halvex-secret-service.so";

// The Secret Service backend when a session bus is configured and a Secret
// Service answers within `probeTimeout` and can keep items (see
// LibsecretBackend::isAvailable); with 0, without asking it. Otherwise
// nullptr: problem() then says why when the module itself could not be used.
std::unique_ptr<SecretBackend> load(std::chrono::milliseconds probeTimeout);

// Why the module could not be used (missing, unloadable, from another
// build), once load() has tried it; empty when it was usable or never
// needed, or when there is simply no Secret Service.
QString problem();

} // namespace SecretServiceModule

// The names the module exports (extern "C").
#define HALVEX_SECRET_SERVICE_VERSION_SYMBOL "halvex_secret_service_version"
#define HALVEX_SECRET_SERVICE_CREATE_SYMBOL "halvex_secret_service_create"

} // namespace halvex
