#include "platform/file_secret_backend.h"
#include "platform/keychain_manager.h"
#include "platform/logging.h"
#include "platform/secret_service_module.h"

namespace halvex {

std::unique_ptr<KeychainManager> KeychainManager::createDefault(const QString &fileStorePath)
{
    auto fileStore =
        std::make_unique<FileSecretBackend>(fileStorePath.isEmpty() ? FileSecretBackend::defaultPath() : fileStorePath);
    if (std::unique_ptr<SecretBackend> secretService = SecretServiceModule::load(5000))
        return std::make_unique<KeychainManager>(std::move(secretService), std::move(fileStore));

    // A headless box: the bridge must still keep its tokens somewhere.
    if (const QString problem = SecretServiceModule::problem(); !problem.isEmpty())
        qCCritical(lcKeychain, "Secret Service support is not usable: %s", qUtf8Printable(problem));
    qCWarning(lcKeychain, "No Secret Service available — keeping credentials in %s",
              qUtf8Printable(fileStore->filePath()));
    return std::make_unique<KeychainManager>(std::move(fileStore));
}

} // namespace halvex
