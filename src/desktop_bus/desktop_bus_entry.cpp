// What halvex-desktop-bus.so exports: its build, a gateway browse through
// Avahi, desktop notifications and wake-ups. Everything else in the module is hidden.
#include "desktop_bus/avahi_gateway_browser.h"
#include "desktop_bus/notification_sender.h"
#include "desktop_bus/wakeup_watcher.h"
#include "platform/session/desktop_bus_module.h"

#include "build_config.h"
#include "platform/session/module_note.h"

#include <QPointer>

namespace halvex {
namespace {

// The browse handed to the program: an AvahiGatewayBrowser reporting to the
// caller's handlers. The browser is deleted later, so that the browse can be
// destroyed from inside a handler its browser called; as a child of the
// caller's object it goes at the latest with that.
class AvahiGatewayBrowse final : public GatewayBrowse
{
public:
    AvahiGatewayBrowse(const QDBusConnection &bus, const QString &serviceType, Handlers handlers, QObject *owner)
        : m_browser(new AvahiGatewayBrowser(bus, serviceType, owner))
    {
        if (handlers.changed)
            QObject::connect(m_browser, &AvahiGatewayBrowser::gatewaysChanged, m_browser, std::move(handlers.changed));
        if (handlers.failed)
            QObject::connect(m_browser, &AvahiGatewayBrowser::failed, m_browser, std::move(handlers.failed));
    }

    ~AvahiGatewayBrowse() override
    {
        if (!m_browser)
            return;
        // Only the handlers: Qt D-Bus follows the browser's end itself.
        QObject::disconnect(m_browser, nullptr, m_browser, nullptr);
        m_browser->stop();
        m_browser->deleteLater();
    }

    void start() override
    {
        // A handler may destroy this browse in there: nothing may follow.
        m_browser->start();
    }

private:
    QPointer<AvahiGatewayBrowser> m_browser;
};

QDBusConnection busAt(const QString &address)
{
    if (address.isEmpty())
        return QDBusConnection::systemBus();
    // One connection per address for the life of the application.
    return QDBusConnection::connectToBus(address, QStringLiteral("halvex-avahi:") + address);
}

} // namespace
} // namespace halvex

HALVEX_MODULE_NOTE(HALVEX_MODULE_IDENTITY_STRING);

extern "C" Q_DECL_EXPORT const char *halvex_desktop_bus_version()
{
    return HALVEX_MODULE_IDENTITY_STRING;
}

extern "C" Q_DECL_EXPORT halvex::GatewayBrowse *halvex_desktop_bus_browse(const QString &busAddress,
                                                                          const QString &serviceType,
                                                                          halvex::GatewayBrowse::Handlers *handlers,
                                                                          QObject *owner)
{
    return new halvex::AvahiGatewayBrowse(halvex::busAt(busAddress), serviceType, std::move(*handlers), owner);
}

extern "C" Q_DECL_EXPORT void halvex_desktop_bus_notify(const QString &title, const QString &body)
{
    halvex::sendNotificationOnSessionBus(title, body);
}

extern "C" Q_DECL_EXPORT void halvex_desktop_bus_watch_wakeups(std::function<void(const QString &why)> *woke,
                                                               QObject *owner)
{
    auto *watcher = new halvex::WakeupWatcher(QDBusConnection::systemBus(), owner);
    QObject::connect(watcher, &halvex::WakeupWatcher::woke, watcher, std::move(*woke));
}
