#pragma once

#include "platform/net/discovered_gateway.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

#include <qcoro/qcorotask.h>

#include <memory>

namespace halvex {

// Browses the local network for a DNS-SD service type through Avahi's D-Bus
// API, resolves each instance (address, port, TXT) and reports the complete
// current set on every change. One browse per object: start() once; the
// Avahi browser is freed by stop() or the destructor.
class AvahiGatewayBrowser : public QObject
{
    Q_OBJECT
public:
    explicit AvahiGatewayBrowser(QDBusConnection bus = QDBusConnection::systemBus(),
                                 QString serviceType = gatewayServiceType(), QObject *parent = nullptr);
    ~AvahiGatewayBrowser() override;

    void start();
    void stop();
    bool isRunning() const { return m_running; }
    DiscoveredGateways gateways() const;

    // The port a resolved service is reached on: a TXT "gatewayPort" of
    // 1-65535, else the advertised port.
    static int gatewayPort(const QList<QByteArray> &txt, int advertisedPort);

Q_SIGNALS:
    // The complete current set, after every change.
    void gatewaysChanged(const halvex::DiscoveredGateways &gateways);
    // Avahi is not available or the browse failed; the set stays empty.
    void failed(const QString &reason);

private Q_SLOTS:
    void onBrowserSignal(const QDBusMessage &message);

private:
    struct Instance {
        QString name;
        QString host;
        int port = 0;
        int txtGatewayPort = 0;
        bool txtTls = false;
        QByteArray txtTlsSha256;
        QSet<QString> sightings; // interface/protocol pairs that announce it
    };

    QCoro::Task<> createBrowser();
    QCoro::Task<> resolve(QString key, int interface, int protocol, QString name, QString type, QString domain);
    void handle(const QDBusMessage &message);

    QDBusConnection m_bus;
    QString m_serviceType;
    QString m_browserPath;
    bool m_running = false;
    QList<QDBusMessage> m_early;          // signals that came before the browser's path was known
    QHash<QString, Instance> m_instances; // by instance name + domain
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace halvex
