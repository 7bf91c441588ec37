#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QNetworkInterface>
#include <QString>

#include <optional>

namespace halvex {

// What the agent card tells the relay about this machine.
struct DeviceFacts {
    QString model; // hardware model as the firmware names it; "Unknown" when it names none
    bool isLaptop = false;
    QString computerName; // the user-facing machine name; "Unknown" when there is none
    QString osVersion;    // human-readable operating-system name and version

    // "laptop" or "desktop".
    QString deviceType() const { return isLaptop ? QStringLiteral("laptop") : QStringLiteral("desktop"); }
};

// Reads the facts from the files under `root` (normally "/": DMI product
// name and chassis type, the device-tree model, /etc/machine-info). The host
// name and OS version come in as values so that tests can fix them.
DeviceFacts readDeviceFacts(const QString &root, const QString &hostName, const QString &osVersion);

// This machine's facts.
DeviceFacts currentDeviceFacts();

// The name a bridge goes by when the user chose none: the machine's
// user-facing name (trimmed), else "My Computer".
QString fallbackBridgeName(const QString &computerName);

// One network interface as the address picker sees it.
struct InterfaceAddresses {
    QString name;
    QNetworkInterface::InterfaceFlags flags;
    QList<QHostAddress> addresses;
};

// The interface of the default IPv4 route in the text of /proc/net/route
// (the one with the lowest metric when there are several); empty when none.
QString defaultRouteInterface(const QByteArray &procNetRoute);

// The first IPv4 address of the default-route interface when it is up and
// has one, else of the first up, non-loopback interface that has one; as a
// numeric string. nullopt when no interface qualifies.
std::optional<QString> pickLocalIPAddress(const QList<InterfaceAddresses> &interfaces,
                                          const QString &defaultRouteInterface);

// This machine's LAN IPv4 address (the rule above), used for the gateway's
// "lan" binding and in the pairing QR code.
std::optional<QString> localIPAddress();

} // namespace halvex
