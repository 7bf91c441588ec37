#include "platform/secrets/secret_service_module.h"

#include "platform/logging.h"
#include "platform/session/runtime_module.h"

namespace halvex::SecretServiceModule {

namespace {

using CreateFunction = SecretBackend *(*)(int probeTimeoutMs);

// Set by the first load() that needs the module.
const RuntimeModule::Loaded *loaded = nullptr;

} // namespace

std::unique_ptr<SecretBackend> load(std::chrono::milliseconds probeTimeout)
{
    if (!RuntimeModule::sessionBusConfigured()) {
        qCDebug(lcCredentials, "No D-Bus session bus configured");
        return nullptr;
    }
    static const RuntimeModule::Loaded module =
        RuntimeModule::load(fileName, HALVEX_SECRET_SERVICE_VERSION_SYMBOL, {HALVEX_SECRET_SERVICE_CREATE_SYMBOL});
    loaded = &module;
    const auto create = reinterpret_cast<CreateFunction>(module.resolve(HALVEX_SECRET_SERVICE_CREATE_SYMBOL));
    if (!create)
        return nullptr;
    return std::unique_ptr<SecretBackend>(create(int(probeTimeout.count())));
}

QString problem()
{
    return loaded ? loaded->problem : QString();
}

} // namespace halvex::SecretServiceModule
