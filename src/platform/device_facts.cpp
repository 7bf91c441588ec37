#include "platform/device_facts.h"

#include <QDir>
#include <QFile>
#include <QSysInfo>

#include <limits>

namespace halvex {

namespace {

// Whole small file under `root`, or an empty array when it cannot be read.
QByteArray readSmallFile(const QString &root, const char *path)
{
    QFile file(QDir(root).filePath(QString::fromLatin1(path).mid(1)));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(64 * 1024);
}

QString trimmedText(QByteArray bytes)
{
    // Device-tree strings end with a NUL.
    while (bytes.endsWith('\0'))
        bytes.chop(1);
    return QString::fromUtf8(bytes).trimmed();
}

// The value of one key in a shell-style KEY=VALUE file (/etc/machine-info).
// Handles double quotes with backslash escapes and single quotes.
QString shellAssignment(const QByteArray &text, const QString &key)
{
    QString found;
    const QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
    for (const QString &rawLine : lines) {
        const QString line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0 || line.left(eq).trimmed() != key)
            continue;
        const QString raw = line.mid(eq + 1).trimmed();
        QString value;
        if (raw.size() >= 2 && raw.startsWith(QLatin1Char('"')) && raw.endsWith(QLatin1Char('"'))) {
            const QString inner = raw.mid(1, raw.size() - 2);
            for (qsizetype i = 0; i < inner.size(); ++i) {
                if (inner[i] == QLatin1Char('\\') && i + 1 < inner.size())
                    ++i;
                value += inner[i];
            }
        } else if (raw.size() >= 2 && raw.startsWith(QLatin1Char('\'')) && raw.endsWith(QLatin1Char('\''))) {
            value = raw.mid(1, raw.size() - 2);
        } else {
            value = raw;
        }
        found = value; // the last assignment wins, as in the shell
    }
    return found.trimmed();
}

bool isPortableChassis(const QString &chassisType)
{
    bool ok = false;
    const int type = chassisType.toInt(&ok);
    if (!ok)
        return false;
    // SMBIOS: portable, laptop, notebook, hand held, sub notebook,
    // convertible, detachable, tablet.
    switch (type) {
    case 8:
    case 9:
    case 10:
    case 11:
    case 14:
    case 30:
    case 31:
    case 32:
        return true;
    default:
        return false;
    }
}

} // namespace

DeviceFacts readDeviceFacts(const QString &root, const QString &hostName, const QString &osVersion)
{
    DeviceFacts facts;

    facts.model = trimmedText(readSmallFile(root, "/sys/class/dmi/id/product_name"));
    if (facts.model.isEmpty()) // boards without DMI (Raspberry Pi and other ARM boxes)
        facts.model = trimmedText(readSmallFile(root, "/sys/firmware/devicetree/base/model"));
    if (facts.model.isEmpty())
        facts.model = QStringLiteral("Unknown");

    const QString chassis = trimmedText(readSmallFile(root, "/sys/class/dmi/id/chassis_type"));
    facts.isLaptop = isPortableChassis(chassis) || facts.model.toLower().contains(QLatin1String("book"));

    facts.computerName = shellAssignment(readSmallFile(root, "/etc/machine-info"), QStringLiteral("PRETTY_HOSTNAME"));
    if (facts.computerName.isEmpty())
        facts.computerName = hostName.trimmed();
    if (facts.computerName.isEmpty())
        facts.computerName = QStringLiteral("Unknown");

    facts.osVersion = osVersion;
    return facts;
}

DeviceFacts currentDeviceFacts()
{
    return readDeviceFacts(QStringLiteral("/"), QSysInfo::machineHostName(), QSysInfo::prettyProductName());
}

QString defaultRouteInterface(const QByteArray &procNetRoute)
{
    QString best;
    qlonglong bestMetric = std::numeric_limits<qlonglong>::max();
    const QList<QByteArray> lines = procNetRoute.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) { // the first line names the columns
        const QList<QByteArray> fields = lines[i].simplified().split(' ');
        // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
        if (fields.size() < 8)
            continue;
        bool okFlags = false, okMetric = false;
        const qulonglong flags = fields[3].toULongLong(&okFlags, 16);
        const qlonglong metric = fields[6].toLongLong(&okMetric, 10);
        constexpr qulonglong routeUp = 0x1;
        if (!okFlags || !okMetric || !(flags & routeUp))
            continue;
        if (fields[1] != "00000000" || fields[7] != "00000000")
            continue;
        if (metric < bestMetric) {
            bestMetric = metric;
            best = QString::fromUtf8(fields[0]);
        }
    }
    return best;
}

std::optional<QString> pickLocalIPAddress(const QList<InterfaceAddresses> &interfaces,
                                          const QString &defaultRouteInterface)
{
    const auto firstIPv4 = [](const InterfaceAddresses &iface) -> std::optional<QString> {
        for (const QHostAddress &address : iface.addresses) {
            if (address.protocol() == QAbstractSocket::IPv4Protocol)
                return address.toString();
        }
        return std::nullopt;
    };
    const auto usable = [](const InterfaceAddresses &iface) {
        return iface.flags.testFlag(QNetworkInterface::IsUp) && !iface.flags.testFlag(QNetworkInterface::IsLoopBack);
    };

    if (!defaultRouteInterface.isEmpty()) {
        for (const InterfaceAddresses &iface : interfaces) {
            if (iface.name == defaultRouteInterface && usable(iface)) {
                if (auto address = firstIPv4(iface))
                    return address;
            }
        }
    }
    for (const InterfaceAddresses &iface : interfaces) {
        if (usable(iface)) {
            if (auto address = firstIPv4(iface))
                return address;
        }
    }
    return std::nullopt;
}

std::optional<QString> localIPAddress()
{
    QList<InterfaceAddresses> interfaces;
    const QList<QNetworkInterface> all = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : all) {
        InterfaceAddresses entry{iface.name(), iface.flags(), {}};
        const QList<QNetworkAddressEntry> entries = iface.addressEntries();
        for (const QNetworkAddressEntry &address : entries)
            entry.addresses.append(address.ip());
        interfaces.append(entry);
    }
    QFile route(QStringLiteral("/proc/net/route"));
    const QByteArray routeText = route.open(QIODevice::ReadOnly) ? route.readAll() : QByteArray();
    return pickLocalIPAddress(interfaces, defaultRouteInterface(routeText));
}

QString fallbackBridgeName(const QString &computerName)
{
    // readDeviceFacts() says "Unknown" when the machine has no name.
    const QString name = computerName.trimmed();
    if (name.isEmpty() || name == QLatin1String("Unknown"))
        return QStringLiteral("My Computer");
    return name;
}

} // namespace halvex
