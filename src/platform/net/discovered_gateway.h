#pragma once

#include <QList>
#include <QMetaType>
#include <QString>
#include <QUuid>

namespace halvex {

// One gateway seen on the local network.
struct DiscoveredGateway {
    QUuid id;     // new for every sighting
    QString name; // the advertised instance name, e.g. "studio (OpenClaw)"
    QString host; // the resolved address
    // The resolved SRV port: what is used. Any host on the network can
    // announce itself, so the TXT record's "gatewayPort" is only shown.
    int port = 0;
    int txtGatewayPort = 0; // 0: none, or not a port
    // It says it speaks TLS ("gatewayTls=1"), and the certificate SHA-256 it
    // claims ("gatewayTlsSha256"; empty: none or not 32 bytes of hex). A
    // hint to compare with what the gateway presents, never a pin by itself.
    bool txtTls = false;
    QByteArray txtTlsSha256;

    // Where to reach it: https when it says it speaks TLS.
    QString address() const
    {
        const bool v6 = host.contains(QLatin1Char(':'));
        return QStringLiteral("%1://%2:%3")
            .arg(txtTls ? QStringLiteral("https") : QStringLiteral("http"),
                 v6 ? QLatin1Char('[') + host + QLatin1Char(']') : host)
            .arg(port);
    }

    bool operator==(const DiscoveredGateway &) const = default;
};

using DiscoveredGateways = QList<DiscoveredGateway>;

// The DNS-SD service type OpenClaw gateways advertise.
inline QString gatewayServiceType()
{
    return QStringLiteral("_openclaw-gw._tcp");
}

} // namespace halvex

Q_DECLARE_METATYPE(halvex::DiscoveredGateway)
