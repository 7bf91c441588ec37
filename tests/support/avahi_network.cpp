#include "avahi_network.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QStandardPaths>

#include <unistd.h>

namespace halvex::test {

namespace {

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

const QByteArray busConfig = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=@SOCKET@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
  </policy>
</busconfig>
)";

const QByteArray avahiConfig = R"([server]
host-name=halvex-test
use-ipv4=yes
use-ipv6=no
allow-interfaces=br0
enable-dbus=yes
ratelimit-interval-usec=0
[publish]
publish-hinfo=no
publish-workstation=no
)";

} // namespace

AvahiNetwork::AvahiNetwork()
{
    m_namespace = QStringLiteral("halvex-avahi-%1").arg(QCoreApplication::applicationPid());
    m_busName = QStringLiteral("halvex-avahi-bus-%1").arg(QCoreApplication::applicationPid());
}

AvahiNetwork::~AvahiNetwork()
{
    stop();
}

bool AvahiNetwork::run(const QStringList &arguments, QString *output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(arguments.first(), arguments.mid(1));
    const bool finished = process.waitForFinished(30000);
    if (output)
        *output = QString::fromUtf8(process.readAll());
    return finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

std::unique_ptr<QProcess> AvahiNetwork::background(const QStringList &arguments, const QByteArray &readyText,
                                                   QString *error)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_busAddress);
    process->setProcessEnvironment(env);
    process->start(arguments.first(), arguments.mid(1));
    QByteArray seen;
    const QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired()) {
        if (process->waitForReadyRead(200))
            seen += process->readAll();
        if (seen.contains(readyText))
            return process;
        if (process->state() == QProcess::NotRunning)
            break;
    }
    seen += process->readAll();
    *error = QStringLiteral("%1 did not come up: %2").arg(arguments.join(QLatin1Char(' ')), QString::fromUtf8(seen));
    process->kill();
    process->waitForFinished(5000);
    return nullptr;
}

QString AvahiNetwork::start()
{
    if (::geteuid() != 0)
        return QStringLiteral("needs root for a network namespace and a private avahi-daemon");
    for (const char *tool : {"ip", "dbus-daemon", "avahi-daemon", "avahi-publish"}) {
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty() &&
            QStandardPaths::findExecutable(QLatin1String(tool), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")})
                .isEmpty())
            return QStringLiteral("%1 is not installed").arg(QLatin1String(tool));
    }
    if (!m_dir.isValid())
        return QStringLiteral("no scratch folder");

    const QString socket = m_dir.filePath(QStringLiteral("system_bus_socket"));
    QByteArray config = busConfig;
    config.replace("@SOCKET@", socket.toUtf8());
    if (!writeFile(m_dir.filePath(QStringLiteral("bus.conf")), config) ||
        !writeFile(m_dir.filePath(QStringLiteral("avahi.conf")), avahiConfig))
        return QStringLiteral("cannot write the configuration files");
    m_busAddress = QStringLiteral("unix:path=") + socket;

    QString error;
    m_dbus = background({QStringLiteral("dbus-daemon"),
                         QStringLiteral("--config-file=") + m_dir.filePath(QStringLiteral("bus.conf")),
                         QStringLiteral("--nofork"), QStringLiteral("--print-address")},
                        "unix:path=", &error);
    if (!m_dbus)
        return error;

    run({QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("del"), m_namespace}); // a stale one
    QString output;
    if (!run({QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("add"), m_namespace}, &output))
        return QStringLiteral("cannot make a network namespace: ") + output.trimmed();
    m_namespaceMade = true;
    const QString setup = QStringLiteral("ip link set lo up && ip link add br0 type bridge && "
                                         "ip addr add %1/24 dev br0 && ip link set br0 up")
                              .arg(address());
    if (!run({QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("exec"), m_namespace, QStringLiteral("sh"),
              QStringLiteral("-c"), setup},
             &output))
        return QStringLiteral("cannot set up the namespace's network: ") + output.trimmed();

    // Its own /run (in the namespace's mount namespace), so its pid file
    // never meets another avahi-daemon's.
    const QString daemon = QStringLiteral("mount -t tmpfs tmpfs /run && mkdir -p /run/avahi-daemon && "
                                          "exec avahi-daemon --no-drop-root --no-chroot --no-rlimits -f \"$0\"");
    m_avahi =
        background({QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("exec"), m_namespace,
                    QStringLiteral("sh"), QStringLiteral("-c"), daemon, m_dir.filePath(QStringLiteral("avahi.conf"))},
                   "Server startup complete", &error);
    if (!m_avahi)
        return error;
    if (!bus().isConnected())
        return QStringLiteral("cannot connect to the private system bus");
    return {};
}

QDBusConnection AvahiNetwork::bus() const
{
    QDBusConnection connection(m_busName);
    if (connection.isConnected())
        return connection;
    return QDBusConnection::connectToBus(m_busAddress, m_busName);
}

int AvahiNetwork::publish(const QString &name, const QString &type, int port, const QStringList &txt)
{
    QString error;
    QStringList arguments{QStringLiteral("ip"),
                          QStringLiteral("netns"),
                          QStringLiteral("exec"),
                          m_namespace,
                          QStringLiteral("avahi-publish"),
                          QStringLiteral("-s"),
                          name,
                          type,
                          QString::number(port)};
    std::unique_ptr<QProcess> process = background(arguments + txt, "Established under name", &error);
    if (!process) {
        qWarning("%s", qPrintable(error));
        return -1;
    }
    m_publishers.append(std::shared_ptr<QProcess>(process.release()));
    return int(m_publishers.size() - 1);
}

void AvahiNetwork::withdraw(int index)
{
    if (index < 0 || index >= m_publishers.size() || !m_publishers.at(index))
        return;
    const std::shared_ptr<QProcess> process = m_publishers.at(index);
    process->terminate();
    if (!process->waitForFinished(10000)) {
        process->kill();
        process->waitForFinished(5000);
    }
    m_publishers[index].reset();
}

void AvahiNetwork::stop()
{
    for (int i = 0; i < m_publishers.size(); ++i)
        withdraw(i);
    m_publishers.clear();
    QDBusConnection::disconnectFromBus(m_busName);
    for (std::unique_ptr<QProcess> *process : {&m_avahi, &m_dbus}) {
        if (!*process)
            continue;
        (*process)->terminate();
        if (!(*process)->waitForFinished(10000)) {
            (*process)->kill();
            (*process)->waitForFinished(5000);
        }
        process->reset();
    }
    if (std::exchange(m_namespaceMade, false))
        run({QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("del"), m_namespace});
}

} // namespace halvex::test
