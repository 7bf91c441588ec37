#include "platform/file_secret_backend.h"
#include "platform/keychain_manager.h"
#include "platform/libsecret_backend.h"
#include "platform/logging.h"

namespace halvex {

std::unique_ptr<KeychainManager> KeychainManager::createDefault(const QString &fileStorePath)
{
    auto fileStore =
        std::make_unique<FileSecretBackend>(fileStorePath.isEmpty() ? FileSecretBackend::defaultPath() : fileStorePath);
    if (LibsecretBackend::isAvailable())
        return std::make_unique<KeychainManager>(std::make_unique<LibsecretBackend>(), std::move(fileStore));

    // A headless box: the bridge must still keep its tokens somewhere.
    qCWarning(lcKeychain, "No Secret Service available — keeping credentials in %s",
              qUtf8Printable(fileStore->filePath()));
    return std::make_unique<KeychainManager>(std::move(fileStore));
}

} // namespace halvex
