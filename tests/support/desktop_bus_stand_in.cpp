// NetworkManager and logind as far as the bridge's wake-up handling sees
// them, on a bus of the test's own (`--bus ADDRESS`). Qt's NetworkManager
// backend for QNetworkInformation reads the manager's State, Connectivity
// and PrimaryConnection (GetAll, then PropertiesChanged), and through the
// primary connection's first device its DeviceType and Metered; logind's
// manager emits PrepareForSleep(b).
//
// Commands, one a line on standard input:
//   network offline  disconnected: no primary connection
//   network online   connected again over the last primary connection
//   network roam     the primary connection moves Wi-Fi <-> Ethernet, online throughout
//   sleep            PrepareForSleep(true)
//   resume           PrepareForSleep(false)
// "ready" is printed once both names are owned, "ok" once a command's
// signals are sent and "error <what>" for a line that is not a command (or
// roaming while offline). Repeating "network online" or "network offline"
// sends the same values again, which Qt's backend passes over.
// The program ends at the end of its input.

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QList>
#include <QObject>
#include <QSocketNotifier>
#include <QVariantMap>

#include <cstdio>
#include <unistd.h>

namespace {

constexpr qsizetype maxLineLength = 256;

const QString networkManagerService = QStringLiteral("org.freedesktop.NetworkManager");
const QString networkManagerPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString login1Service = QStringLiteral("org.freedesktop.login1");
const QString login1Path = QStringLiteral("/org/freedesktop/login1");

// NetworkManager's values (NMState, NMConnectivityState, NMDeviceType, NMMetered).
constexpr uint stateDisconnected = 20;
constexpr uint stateConnectedGlobal = 70;
constexpr uint connectivityNone = 1;
constexpr uint connectivityFull = 4;
constexpr uint deviceEthernet = 1;
constexpr uint deviceWifi = 2;
constexpr uint meteredGuessNo = 4;

void say(const char *line)
{
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Sends org.freedesktop.DBus.Properties.PropertiesChanged for `interface` at `path`.
void sendPropertiesChanged(QDBusConnection &bus, const QString &path, const QString &interface,
                           const QVariantMap &changed)
{
    QDBusMessage signal = QDBusMessage::createSignal(path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << interface << changed << QStringList();
    bus.send(signal);
}

class NetworkManagerAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.NetworkManager")
    Q_PROPERTY(uint State MEMBER state)
    Q_PROPERTY(uint Connectivity MEMBER connectivity)
    Q_PROPERTY(QDBusObjectPath PrimaryConnection MEMBER primaryConnection)
    Q_PROPERTY(bool NetworkingEnabled READ networkingEnabled)
public:
    explicit NetworkManagerAdaptor(QObject *object) : QDBusAbstractAdaptor(object) {}

    bool networkingEnabled() const { return true; }

    uint state = stateConnectedGlobal;
    uint connectivity = connectivityFull;
    QDBusObjectPath primaryConnection;

Q_SIGNALS:
    void StateChanged(uint state);
};

class ActiveConnectionAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.NetworkManager.Connection.Active")
    Q_PROPERTY(QList<QDBusObjectPath> Devices MEMBER devices)
    Q_PROPERTY(QString Type MEMBER type)
    Q_PROPERTY(uint State READ state)
public:
    explicit ActiveConnectionAdaptor(QObject *object) : QDBusAbstractAdaptor(object) {}

    uint state() const { return 2; } // NM_ACTIVE_CONNECTION_STATE_ACTIVATED

    QList<QDBusObjectPath> devices;
    QString type;
};

class DeviceAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.NetworkManager.Device")
    Q_PROPERTY(uint DeviceType MEMBER deviceType)
    Q_PROPERTY(uint Metered MEMBER metered)
    Q_PROPERTY(QString Interface MEMBER interfaceName)
public:
    explicit DeviceAdaptor(QObject *object) : QDBusAbstractAdaptor(object) {}

    uint deviceType = 0;
    uint metered = meteredGuessNo;
    QString interfaceName;
};

class Login1ManagerAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
    Q_PROPERTY(bool PreparingForSleep MEMBER preparingForSleep)
public:
    explicit Login1ManagerAdaptor(QObject *object) : QDBusAbstractAdaptor(object) {}

    bool preparingForSleep = false;

Q_SIGNALS:
    void PrepareForSleep(bool start);
};

// One network path: an active connection over one device.
struct Path {
    QObject connectionObject;
    QObject deviceObject;
    ActiveConnectionAdaptor *connection = nullptr;
    DeviceAdaptor *device = nullptr;
    QDBusObjectPath connectionPath;
    QString devicePath;
};

class StandIn
{
public:
    explicit StandIn(const QDBusConnection &bus)
        : m_bus(bus), m_manager(new NetworkManagerAdaptor(&m_managerObject)),
          m_login1(new Login1ManagerAdaptor(&m_login1Object))
    {
        setUpPath(m_paths[0], 1, deviceWifi, QStringLiteral("wlan0"), QStringLiteral("802-11-wireless"));
        setUpPath(m_paths[1], 2, deviceEthernet, QStringLiteral("eth0"), QStringLiteral("802-3-ethernet"));
        m_manager->primaryConnection = m_paths[m_current].connectionPath;
    }

    bool start()
    {
        if (!m_bus.isConnected())
            return false;
        if (!m_bus.registerObject(networkManagerPath, &m_managerObject, QDBusConnection::ExportAdaptors) ||
            !m_bus.registerObject(login1Path, &m_login1Object, QDBusConnection::ExportAdaptors))
            return false;
        for (Path &path : m_paths) {
            if (!m_bus.registerObject(path.connectionPath.path(), &path.connectionObject,
                                      QDBusConnection::ExportAdaptors) ||
                !m_bus.registerObject(path.devicePath, &path.deviceObject, QDBusConnection::ExportAdaptors))
                return false;
        }
        return m_bus.registerService(networkManagerService) && m_bus.registerService(login1Service);
    }

    // Runs one command line: the answer to print.
    const char *run(const QByteArray &line)
    {
        if (line == "network offline") {
            // As NetworkManager does it: the state first, then the primary connection goes.
            setManager(
                {{QStringLiteral("State"), stateDisconnected}, {QStringLiteral("Connectivity"), connectivityNone}});
            setManager(
                {{QStringLiteral("PrimaryConnection"), QVariant::fromValue(QDBusObjectPath(QStringLiteral("/")))}});
        } else if (line == "network online") {
            setManager({{QStringLiteral("PrimaryConnection"), QVariant::fromValue(m_paths[m_current].connectionPath)}});
            setManager(
                {{QStringLiteral("State"), stateConnectedGlobal}, {QStringLiteral("Connectivity"), connectivityFull}});
        } else if (line == "network roam") {
            if (m_manager->state != stateConnectedGlobal)
                return "error roaming needs the network online";
            m_current = 1 - m_current;
            setManager({{QStringLiteral("PrimaryConnection"), QVariant::fromValue(m_paths[m_current].connectionPath)}});
        } else if (line == "sleep" || line == "resume") {
            const bool start = line == "sleep";
            // logind announces the change of PreparingForSleep after the signal.
            Q_EMIT m_login1->PrepareForSleep(start);
            m_login1->preparingForSleep = start;
            sendPropertiesChanged(m_bus, login1Path, QStringLiteral("org.freedesktop.login1.Manager"),
                                  {{QStringLiteral("PreparingForSleep"), start}});
        } else {
            return "error unknown command";
        }
        return "ok";
    }

private:
    void setUpPath(Path &path, int index, uint deviceType, const QString &interfaceName, const QString &type)
    {
        path.connection = new ActiveConnectionAdaptor(&path.connectionObject);
        path.device = new DeviceAdaptor(&path.deviceObject);
        path.device->deviceType = deviceType;
        path.device->interfaceName = interfaceName;
        path.connection->type = type;
        path.devicePath = QStringLiteral("/org/freedesktop/NetworkManager/Devices/%1").arg(index);
        path.connection->devices = {QDBusObjectPath(path.devicePath)};
        path.connectionPath =
            QDBusObjectPath(QStringLiteral("/org/freedesktop/NetworkManager/ActiveConnection/%1").arg(index));
    }

    // Sets the manager's properties and announces them in one
    // PropertiesChanged (plus StateChanged when the state is among them).
    void setManager(const QVariantMap &changed)
    {
        for (auto it = changed.cbegin(); it != changed.cend(); ++it)
            m_manager->setProperty(it.key().toUtf8().constData(), it.value());
        sendPropertiesChanged(m_bus, networkManagerPath, networkManagerService, changed);
        if (changed.contains(QStringLiteral("State")))
            Q_EMIT m_manager->StateChanged(m_manager->state);
    }

    QDBusConnection m_bus;
    QObject m_managerObject;
    QObject m_login1Object;
    NetworkManagerAdaptor *m_manager;
    Login1ManagerAdaptor *m_login1;
    Path m_paths[2];
    int m_current = 0;
};

// Reads standard input in lines of at most maxLineLength bytes; a longer
// line is answered with an error and skipped.
class CommandReader : public QObject
{
    Q_OBJECT
public:
    explicit CommandReader(StandIn &standIn) : m_standIn(standIn), m_notifier(STDIN_FILENO, QSocketNotifier::Read)
    {
        connect(&m_notifier, &QSocketNotifier::activated, this, &CommandReader::readInput);
    }

private:
    void readInput()
    {
        char chunk[512];
        const ssize_t count = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (count <= 0) {
            m_notifier.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        for (ssize_t i = 0; i < count; ++i) {
            const char c = chunk[i];
            if (c != '\n') {
                if (m_line.size() < maxLineLength)
                    m_line.append(c);
                else
                    m_overlong = true;
                continue;
            }
            if (m_overlong)
                say("error line too long");
            else
                say(m_standIn.run(m_line.trimmed()));
            m_line.clear();
            m_overlong = false;
        }
    }

    StandIn &m_standIn;
    QSocketNotifier m_notifier;
    QByteArray m_line;
    bool m_overlong = false;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const qsizetype busIndex = arguments.indexOf(QStringLiteral("--bus"));
    if (busIndex < 0 || busIndex + 1 >= arguments.size()) {
        std::fputs("usage: desktop_bus_stand_in --bus ADDRESS\n", stderr);
        return 2;
    }
    const QDBusConnection bus = QDBusConnection::connectToBus(arguments.at(busIndex + 1), QStringLiteral("stand-in"));
    StandIn standIn(bus);
    if (!standIn.start()) {
        std::fprintf(stderr, "desktop_bus_stand_in: cannot serve on the bus: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    CommandReader reader(standIn);
    say("ready");
    return app.exec();
}

#include "desktop_bus_stand_in.moc"
