// Device facts for the agent card and the LAN address for the gateway's
// "lan" binding, read from a fake file tree and injected interface lists.
#include "platform/device_facts.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace halvex;

class TestDeviceFacts : public QObject
{
    Q_OBJECT

private:
    static void write(const QTemporaryDir &root, const QString &path, const QByteArray &content)
    {
        const QString full = root.filePath(path);
        QVERIFY(QDir().mkpath(QFileInfo(full).path()));
        QFile file(full);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    static InterfaceAddresses iface(const QString &name, QNetworkInterface::InterfaceFlags flags,
                                    const QStringList &addresses)
    {
        InterfaceAddresses entry{name, flags, {}};
        for (const QString &a : addresses)
            entry.addresses.append(QHostAddress(a));
        return entry;
    }

private Q_SLOTS:
    void laptopFromChassisTypeAndPrettyName()
    {
        QTemporaryDir root;
        write(root, QStringLiteral("sys/class/dmi/id/product_name"), "ThinkPad X1 Carbon Gen 9\n");
        write(root, QStringLiteral("sys/class/dmi/id/chassis_type"), "10\n");
        write(root, QStringLiteral("etc/machine-info"),
              "# set by hostnamectl\nCHASSIS=laptop\nPRETTY_HOSTNAME=\"Ana's \\\"Work\\\" Laptop\"\n");

        const DeviceFacts facts = readDeviceFacts(root.path(), QStringLiteral("ana-x1"), QStringLiteral("Debian 12"));
        QCOMPARE(facts.model, QStringLiteral("ThinkPad X1 Carbon Gen 9"));
        QVERIFY(facts.isLaptop);
        QCOMPARE(facts.deviceType(), QStringLiteral("laptop"));
        QCOMPARE(facts.computerName, QStringLiteral("Ana's \"Work\" Laptop"));
        QCOMPARE(facts.osVersion, QStringLiteral("Debian 12"));
    }

    void desktopAndHostNameFallbacks()
    {
        QTemporaryDir root;
        write(root, QStringLiteral("sys/class/dmi/id/product_name"), "OptiPlex 7090");
        write(root, QStringLiteral("sys/class/dmi/id/chassis_type"), "3");
        write(root, QStringLiteral("etc/machine-info"), "PRETTY_HOSTNAME=\n");

        DeviceFacts facts = readDeviceFacts(root.path(), QStringLiteral("office-pc"), QString());
        QVERIFY(!facts.isLaptop);
        QCOMPARE(facts.deviceType(), QStringLiteral("desktop"));
        QCOMPARE(facts.computerName, QStringLiteral("office-pc"));

        facts = readDeviceFacts(root.path(), QString(), QString());
        QCOMPARE(facts.computerName, QStringLiteral("Unknown"));

        // Single quotes, and the model naming a "book" makes a laptop even on
        // a chassis type that is not a portable one.
        write(root, QStringLiteral("sys/class/dmi/id/product_name"), "MacBookPro18,1\n");
        write(root, QStringLiteral("etc/machine-info"), "PRETTY_HOSTNAME='Studio Mac'\n");
        facts = readDeviceFacts(root.path(), QStringLiteral("x"), QString());
        QCOMPARE(facts.model, QStringLiteral("MacBookPro18,1")); // as the firmware says it
        QVERIFY(facts.isLaptop);
        QCOMPARE(facts.computerName, QStringLiteral("Studio Mac"));
    }

    void boardsWithoutDmi()
    {
        QTemporaryDir root;
        DeviceFacts facts = readDeviceFacts(root.path(), QStringLiteral("host"), QString());
        QCOMPARE(facts.model, QStringLiteral("Unknown"));
        QVERIFY(!facts.isLaptop);

        write(root, QStringLiteral("sys/firmware/devicetree/base/model"),
              QByteArray("Raspberry Pi 4 Model B Rev 1.4\0", 31));
        facts = readDeviceFacts(root.path(), QStringLiteral("host"), QString());
        QCOMPARE(facts.model, QStringLiteral("Raspberry Pi 4 Model B Rev 1.4"));
    }

    void defaultRouteFromProcNetRoute()
    {
        const QByteArray header =
            "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
        QCOMPARE(defaultRouteInterface(header + "docker0\t000011AC\t00000000\t0001\t0\t0\t0\t0000FFFF\t0\t0\t0\n"
                                                "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
                                                "eth0\t00000000\t0100000A\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"),
                 QStringLiteral("eth0")); // the lowest metric wins
        // A route that is not up, or not a default one, does not count.
        QCOMPARE(defaultRouteInterface(header + "eth0\t00000000\t0100000A\t0002\t0\t0\t0\t00000000\t0\t0\t0\n"
                                                "eth1\t0000A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"),
                 QString());
        QCOMPARE(defaultRouteInterface(QByteArray()), QString());
        QCOMPARE(defaultRouteInterface("garbage\nmore garbage\n"), QString());
    }

    void addressPicking()
    {
        using F = QNetworkInterface::InterfaceFlag;
        const auto up = QNetworkInterface::InterfaceFlags(F::IsUp) | F::IsRunning;
        const QList<InterfaceAddresses> interfaces{
            iface(QStringLiteral("lo"), up | F::IsLoopBack, {QStringLiteral("127.0.0.1")}),
            iface(QStringLiteral("docker0"), up, {QStringLiteral("172.17.0.1")}),
            iface(QStringLiteral("wlp2s0"), up, {QStringLiteral("fe80::1"), QStringLiteral("192.168.1.23")}),
            iface(QStringLiteral("eth9"), {}, {QStringLiteral("10.9.9.9")}),
        };
        QCOMPARE(pickLocalIPAddress(interfaces, QStringLiteral("wlp2s0")),
                 std::optional<QString>(QStringLiteral("192.168.1.23")));
        // No default route, or one on an interface that is down: the first up,
        // non-loopback interface with an IPv4 address.
        QCOMPARE(pickLocalIPAddress(interfaces, QString()), std::optional<QString>(QStringLiteral("172.17.0.1")));
        QCOMPARE(pickLocalIPAddress(interfaces, QStringLiteral("eth9")),
                 std::optional<QString>(QStringLiteral("172.17.0.1")));

        const QList<InterfaceAddresses> none{
            iface(QStringLiteral("lo"), up | F::IsLoopBack, {QStringLiteral("127.0.0.1")}),
            iface(QStringLiteral("eth0"), up, {QStringLiteral("2001:db8::5")}),
        };
        QCOMPARE(pickLocalIPAddress(none, QStringLiteral("eth0")), std::nullopt);
        QCOMPARE(pickLocalIPAddress({}, QString()), std::nullopt);
    }

    void thisMachine()
    {
        // Whatever this machine has, the answers are well-formed.
        const DeviceFacts facts = currentDeviceFacts();
        QVERIFY(!facts.model.isEmpty());
        QVERIFY(!facts.computerName.isEmpty());
        if (const std::optional<QString> address = localIPAddress()) {
            QHostAddress parsed;
            QVERIFY2(parsed.setAddress(*address), qPrintable(*address));
            QCOMPARE(parsed.protocol(), QAbstractSocket::IPv4Protocol);
        }
    }
};

QTEST_GUILESS_MAIN(TestDeviceFacts)
#include "tst_device_facts.moc"
