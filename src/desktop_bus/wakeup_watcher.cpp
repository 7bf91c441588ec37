#include "desktop_bus/wakeup_watcher.h"

#include "platform/logging.h"

#include <QNetworkInformation>

namespace halvex {

WakeupWatcher::WakeupWatcher(const QDBusConnection &systemBus, QObject *parent) : QObject(parent)
{
    watchNetwork();
    // A signal subscription only: nothing is asked of logind, so a bus
    // without it costs nothing but the match rule.
    if (systemBus.isConnected())
        m_watchesSleep = QDBusConnection(systemBus).connect(
            QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"), this,
            SLOT(prepareForSleep(bool)));
    qCInfo(lcApp, "Watching for network changes (%s) and resumes (%s)",
           m_networkBackend.isEmpty() ? "no network information" : qUtf8Printable(m_networkBackend),
           m_watchesSleep ? "logind" : "no system bus");
}

void WakeupWatcher::watchNetwork()
{
    // NetworkManager first: it is what desktops run, and it reports a change
    // of the path (another Wi-Fi, a VPN) as well as the loss of it. The
    // others (GLib's netlink monitor) where it is not there.
    if (!QNetworkInformation::loadBackendByName(QStringLiteral("networkmanager")) &&
        !QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability))
        return;
    QNetworkInformation *info = QNetworkInformation::instance();
    if (!info)
        return;
    m_networkBackend = info->backendName();
    QObject::connect(info, &QNetworkInformation::reachabilityChanged, this,
                     [this](QNetworkInformation::Reachability reachability) {
                         Q_EMIT woke(QStringLiteral("the network changed (reachability %1)").arg(int(reachability)));
                     });
    QObject::connect(info, &QNetworkInformation::transportMediumChanged, this,
                     [this](QNetworkInformation::TransportMedium medium) {
                         Q_EMIT woke(QStringLiteral("the network changed (medium %1)").arg(int(medium)));
                     });
}

void WakeupWatcher::prepareForSleep(bool sleeping)
{
    // Going to sleep needs nothing: the links are checked when it resumes.
    if (!sleeping)
        Q_EMIT woke(QStringLiteral("the machine resumed"));
}

} // namespace halvex
