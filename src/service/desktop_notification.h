#pragma once

#include <QString>

namespace halvex {

// Shows a notification through the desktop's notification service
// (org.freedesktop.Notifications on the session bus), for the headless
// bridge and sessions without a tray. Does not wait for an answer; without a
// session bus or a notification service nothing shows, silently.
void sendDesktopNotification(const QString &title, const QString &body);

} // namespace halvex
