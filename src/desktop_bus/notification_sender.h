#pragma once

#include <QString>

namespace halvex {

// Shows a notification through the desktop's notification service
// (org.freedesktop.Notifications on the session bus). Does not wait for an
// answer; without a session bus or a notification service nothing shows.
void sendNotificationOnSessionBus(const QString &title, const QString &body);

} // namespace halvex
