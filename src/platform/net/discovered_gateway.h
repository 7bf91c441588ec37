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
