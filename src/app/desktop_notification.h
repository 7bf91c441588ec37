#pragma once

#include <QString>

namespace halvex {

// Shows a notification through the desktop's notification service
// (org.freedesktop.Notifications on the session bus), for sessions without
// a tray. Does not wait for an answer; without a service nothing shows.
void sendDesktopNotification(const QString &title, const QString &body);

} // namespace halvex
