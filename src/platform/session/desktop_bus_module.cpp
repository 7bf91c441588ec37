#include "platform/session/desktop_bus_module.h"

#include "platform/logging.h"
#include "platform/session/runtime_module.h"

namespace halvex::DesktopBusModule {

namespace {

using BrowseFunction = GatewayBrowse *(*)(const QString &busAddress, const QString &serviceType,
                                          GatewayBrowse::Handlers *handlers, QObject *owner);
using NotifyFunction = void (*)(const QString &title, const QString &body);
using WakeupsFunction = void (*)(std::function<void(const QString &why)> *woke, QObject *owner);

const RuntimeModule::Loaded *loaded = nullptr;

const RuntimeModule::Loaded &module()
{
    static const RuntimeModule::Loaded module = [] {
        RuntimeModule::Loaded found = RuntimeModule::load(
            fileName, HALVEX_DESKTOP_BUS_VERSION_SYMBOL,
            {HALVEX_DESKTOP_BUS_BROWSE_SYMBOL, HALVEX_DESKTOP_BUS_NOTIFY_SYMBOL, HALVEX_DESKTOP_BUS_WAKEUPS_SYMBOL});
        if (!found.problem.isEmpty())
            qCCritical(lcApp, "Desktop bus support is not usable: %s", qUtf8Printable(found.problem));
        return found;
    }();
    loaded = &module;
    return module;
}

} // namespace

std::unique_ptr<GatewayBrowse> browseGateways(const QString &busAddress, const QString &serviceType,
                                              GatewayBrowse::Handlers handlers, QObject *owner)
{
    const auto browse = reinterpret_cast<BrowseFunction>(module().resolve(HALVEX_DESKTOP_BUS_BROWSE_SYMBOL));
    if (!browse)
        return nullptr;
    return std::unique_ptr<GatewayBrowse>(browse(busAddress, serviceType, &handlers, owner));
}

bool notify(const QString &title, const QString &body)
{
    // A server without a session bus: there is nobody to tell, and nothing
    // to load.
    if (!RuntimeModule::sessionBusConfigured())
        return false;
    const auto send = reinterpret_cast<NotifyFunction>(module().resolve(HALVEX_DESKTOP_BUS_NOTIFY_SYMBOL));
    if (!send)
        return false;
    send(title, body);
    return true;
}

bool watchWakeups(std::function<void(const QString &why)> woke, QObject *owner)
{
    // Without a system bus there is neither logind nor NetworkManager to
    // hear from, and nothing to load.
    if (!RuntimeModule::systemBusConfigured())
        return false;
    const auto watch = reinterpret_cast<WakeupsFunction>(module().resolve(HALVEX_DESKTOP_BUS_WAKEUPS_SYMBOL));
    if (!watch)
        return false;
    watch(&woke, owner);
    return true;
}

QString problem()
{
    return loaded ? loaded->problem : QString();
}

} // namespace halvex::DesktopBusModule
