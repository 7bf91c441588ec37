#include "account/credential_reload.h"

#include "platform/logging.h"
#include "platform/single_instance.h"

namespace halvex {

bool announceCredentialsChanged(SingleInstance &instance)
{
    return instance.notifyRunning(QByteArray(reloadCredentialsRequest));
}

bool handleCredentialRequest(const QByteArray &request, const std::function<void()> &reload)
{
    if (request != reloadCredentialsRequest)
        return false;
    qCInfo(lcApp, "Another launch stored new credentials — reloading them");
    if (reload)
        reload();
    return true;
}

QMetaObject::Connection watchCredentialReloads(SingleInstance *instance, QObject *context, std::function<void()> reload)
{
    return QObject::connect(
        instance, &SingleInstance::requestReceived, context,
        [reload = std::move(reload)](const QByteArray &request) { handleCredentialRequest(request, reload); });
}

} // namespace halvex
