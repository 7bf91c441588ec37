// What halvex-secret-service.so exports: its build, and the backend when a
// Secret Service can keep items. Everything else in the module is hidden.
#include "keyring/libsecret_backend.h"
#include "platform/secrets/secret_service_module.h"

#include "build_config.h"
#include "platform/session/module_note.h"

HALVEX_MODULE_NOTE(HALVEX_MODULE_IDENTITY_STRING);

extern "C" Q_DECL_EXPORT const char *halvex_secret_service_version()
{
    return HALVEX_MODULE_IDENTITY_STRING;
}

extern "C" Q_DECL_EXPORT halvex::SecretBackend *halvex_secret_service_create(int probeTimeoutMs)
{
    // 0: the user chose this store; it is used whether or not it answers now.
    if (probeTimeoutMs > 0 && !halvex::LibsecretBackend::isAvailable(std::chrono::milliseconds(probeTimeoutMs)))
        return nullptr;
    return new halvex::LibsecretBackend();
}
