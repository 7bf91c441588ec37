#pragma once

#include <QList>
#include <QMetaType>
#include <QString>
#include <QUuid>

namespace halvex {

// One gateway seen on the local network.
struct BonjourGateway {
    QUuid id;     // new for every sighting
    QString name; // the advertised instance name, e.g. "studio (OpenClaw)"
    QString host; // the resolved address
    int port = 0; // the TXT record "gatewayPort", else the advertised port

    bool operator==(const BonjourGateway &) const = default;
};

using BonjourGateways = QList<BonjourGateway>;

// The DNS-SD service type OpenClaw gateways advertise.
inline QString gatewayServiceType()
{
    return QStringLiteral("_openclaw-gw._tcp");
}

} // namespace halvex

Q_DECLARE_METATYPE(halvex::BonjourGateway)
