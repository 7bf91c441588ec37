#pragma once

#include <QDBusConnection>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace halvex::test {

// A private local network with a real Avahi on it, for discovery tests:
// a network namespace holding a bridge device (10.77.0.1/24), a private
// system D-Bus on a socket of our own, and avahi-daemon inside the
// namespace on that bus. Services are published into it with
// `avahi-publish`. Needs root (network namespaces, mounts); start() says
// why not otherwise, so the test can skip with that reason.
class AvahiNetwork
{
public:
    static QString address() { return QStringLiteral("10.77.0.1"); }

    AvahiNetwork();
    ~AvahiNetwork();

    // Empty when everything runs; else why it cannot.
    QString start();
    void stop();

    // A connection to the private system bus (where Avahi is).
    QDBusConnection bus() const;
    QString busAddress() const { return m_busAddress; }

    // Publishes one service until withdraw(); returns its index, -1 on failure.
    int publish(const QString &name, const QString &type, int port, const QStringList &txt = {});
    void withdraw(int index);

private:
    bool run(const QStringList &arguments, QString *output = nullptr);
    std::unique_ptr<QProcess> background(const QStringList &arguments, const QByteArray &readyText, QString *error);

    QTemporaryDir m_dir;
    QString m_namespace;
    bool m_namespaceMade = false;
    QString m_busAddress;
    QString m_busName;
    std::unique_ptr<QProcess> m_dbus;
    std::unique_ptr<QProcess> m_avahi;
    QList<std::shared_ptr<QProcess>> m_publishers;
};

} // namespace halvex::test
