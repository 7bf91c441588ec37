#include "desktop_bus/notification_sender.h"

#include "platform/deployment.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

namespace halvex {

void sendNotificationOnSessionBus(const QString &title, const QString &body)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), appId()}};
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout (-1: the server's)
    message << QStringLiteral("Halvex Bridge") << quint32(0) << appId() << title << body << QStringList() << hints
            << qint32(-1);
    // No reply is awaited: where no notification service runs, the bus's
    // error answer is dropped.
    message.setAutoStartService(true);
    bus.send(message);
}

} // namespace halvex
