#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

namespace halvex {

// Tells when the links should be checked at once rather than at their next
// heartbeat: the network changed (QNetworkInformation; on most desktops its
// NetworkManager backend) or the machine resumed from sleep (logind's
// PrepareForSleep(false) on the system bus). Either source may be missing
// (a server without NetworkManager, a container without a system bus); the
// other still works.
class WakeupWatcher : public QObject
{
    Q_OBJECT
public:
    // `systemBus` is where logind is asked; QNetworkInformation finds its
    // own way.
    explicit WakeupWatcher(const QDBusConnection &systemBus, QObject *parent = nullptr);

    // The QNetworkInformation backend in use; empty when none could load.
    QString networkBackend() const { return m_networkBackend; }
    // Whether logind's signal is subscribed.
    bool watchesSleep() const { return m_watchesSleep; }

Q_SIGNALS:
    // A few words on what happened, for the log.
    void woke(const QString &why);

private Q_SLOTS:
    void prepareForSleep(bool sleeping);

private:
    void watchNetwork();

    QString m_networkBackend;
    bool m_watchesSleep = false;
};

} // namespace halvex
