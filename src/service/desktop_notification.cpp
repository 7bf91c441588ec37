#include "service/desktop_notification.h"

#include "platform/session/desktop_bus_module.h"

namespace halvex {

void sendDesktopNotification(const QString &title, const QString &body)
{
    DesktopBusModule::notify(title, body);
}

} // namespace halvex
