#include "desktop_bus/avahi_gateway_browser.h"

#include "platform/logging.h"
#include "platform/net/tls_pin.h"
#include "platform/session/process_runner.h" // quotedForLog

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>

#include <qcoro/qcorodbuspendingcall.h>

#include <algorithm>

namespace halvex {

namespace {

const QString avahiService = QStringLiteral("org.freedesktop.Avahi");
const QString browserInterface = QStringLiteral("org.freedesktop.Avahi.ServiceBrowser");
constexpr int unspecified = -1; // AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC
constexpr int inet = 0;         // AVAHI_PROTO_INET
constexpr int callTimeoutMs = 10000;
const char *const browserSignals[] = {"ItemNew", "ItemRemove", "Failure"};

QDBusMessage serverCall(const QString &method)
{
    return QDBusMessage::createMethodCall(avahiService, QStringLiteral("/"),
                                          QStringLiteral("org.freedesktop.Avahi.Server"), method);
}

} // namespace

AvahiGatewayBrowser::AvahiGatewayBrowser(QDBusConnection bus, QString serviceType, QObject *parent)
    : QObject(parent), m_bus(std::move(bus)), m_serviceType(std::move(serviceType))
{
}

AvahiGatewayBrowser::~AvahiGatewayBrowser()
{
    *m_alive = false;
    stop();
}

int AvahiGatewayBrowser::gatewayPort(const QList<QByteArray> &txt, int advertisedPort)
{
    for (const QByteArray &entry : txt) {
        if (!entry.startsWith("gatewayPort="))
            continue;
        const QByteArray value = entry.mid(int(qstrlen("gatewayPort=")));
        bool ok = false;
        const int port = value.toInt(&ok);
        const bool digitsOnly = std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (ok && digitsOnly && port >= 1 && port <= 65535)
            return port;
    }
    return advertisedPort;
}

void AvahiGatewayBrowser::start()
{
    if (m_running)
        return;
    m_running = true;
    // Subscribed before the browser exists (for every path, filtered in
    // handle()): Avahi may announce the first items before the call that
    // creates the browser has returned.
    for (const char *name : browserSignals)
        m_bus.connect(avahiService, QString(), browserInterface, QLatin1String(name), this,
                      SLOT(onBrowserSignal(QDBusMessage)));
    createBrowser();
}

void AvahiGatewayBrowser::stop()
{
    if (!m_running)
        return;
    m_running = false;
    for (const char *name : browserSignals)
        m_bus.disconnect(avahiService, QString(), browserInterface, QLatin1String(name), this,
                         SLOT(onBrowserSignal(QDBusMessage)));
    if (!m_browserPath.isEmpty())
        m_bus.send(
            QDBusMessage::createMethodCall(avahiService, m_browserPath, browserInterface, QStringLiteral("Free")));
    m_browserPath.clear();
    m_early.clear();
}

DiscoveredGateways AvahiGatewayBrowser::gateways() const
{
    DiscoveredGateways list;
    for (const Instance &instance : m_instances) {
        if (!instance.host.isEmpty())
            list.append(DiscoveredGateway{QUuid::createUuid(), instance.name, instance.host, instance.port,
                                          instance.txtGatewayPort, instance.txtTls, instance.txtTlsSha256});
    }
    std::sort(list.begin(), list.end(),
              [](const DiscoveredGateway &a, const DiscoveredGateway &b) { return a.name < b.name; });
    return list;
}

QCoro::Task<> AvahiGatewayBrowser::createBrowser()
{
    const std::shared_ptr<bool> alive = m_alive;
    QDBusMessage call = serverCall(QStringLiteral("ServiceBrowserNew"));
    call << unspecified << unspecified << m_serviceType << QString() << 0u;
    const QDBusMessage reply = co_await m_bus.asyncCall(call, callTimeoutMs);
    if (!*alive || !m_running)
        co_return;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        const QString reason = QStringLiteral("Avahi is not available: %1").arg(reply.errorMessage());
        qCInfo(lcDetector, "Local-network discovery unavailable: %s", qUtf8Printable(quotedForLog(reason)));
        stop();
        Q_EMIT failed(reason);
        co_return;
    }
    m_browserPath = qvariant_cast<QDBusObjectPath>(reply.arguments().constFirst()).path();
    const QList<QDBusMessage> early = std::exchange(m_early, {});
    for (const QDBusMessage &message : early)
        handle(message);
}

void AvahiGatewayBrowser::onBrowserSignal(const QDBusMessage &message)
{
    if (!m_running)
        return;
    if (m_browserPath.isEmpty())
        m_early.append(message);
    else
        handle(message);
}

void AvahiGatewayBrowser::handle(const QDBusMessage &message)
{
    if (message.path() != m_browserPath)
        return;
    const QList<QVariant> args = message.arguments();
    if (message.member() == QLatin1String("Failure")) {
        const QString reason = args.isEmpty() ? QString() : args.constFirst().toString();
        qCInfo(lcDetector, "Local-network discovery failed: %s", qUtf8Printable(quotedForLog(reason)));
        Q_EMIT failed(reason);
        return;
    }
    if (args.size() < 5)
        return;
    const int interface = args.at(0).toInt();
    const int protocol = args.at(1).toInt();
    const QString name = args.at(2).toString();
    const QString type = args.at(3).toString();
    const QString domain = args.at(4).toString();
    const QString key = name + QChar(0x1f) + domain;
    const QString sighting = QStringLiteral("%1/%2").arg(interface).arg(protocol);

    if (message.member() == QLatin1String("ItemNew")) {
        const bool known = m_instances.contains(key);
        Instance &instance = m_instances[key];
        instance.name = name;
        instance.sightings.insert(sighting);
        if (!known)
            resolve(key, interface, protocol, name, type, domain);
    } else if (message.member() == QLatin1String("ItemRemove")) {
        auto it = m_instances.find(key);
        if (it == m_instances.end())
            return;
        it->sightings.remove(sighting);
        if (!it->sightings.isEmpty())
            return;
        const bool wasListed = !it->host.isEmpty();
        m_instances.remove(key);
        if (wasListed)
            Q_EMIT gatewaysChanged(gateways());
    }
}

QCoro::Task<> AvahiGatewayBrowser::resolve(QString key, int interface, int protocol, QString name, QString type,
                                           QString domain)
{
    const std::shared_ptr<bool> alive = m_alive;
    QDBusMessage call = serverCall(QStringLiteral("ResolveService"));
    call << interface << protocol << name << type << domain << inet << 0u;
    const QDBusMessage reply = co_await m_bus.asyncCall(call, callTimeoutMs);
    if (!*alive)
        co_return;
    auto it = m_instances.find(key);
    if (it == m_instances.end())
        co_return; // gone while it was being resolved
    const QList<QVariant> args = reply.arguments();
    if (reply.type() != QDBusMessage::ReplyMessage || args.size() < 10) {
        qCInfo(lcDetector, "Could not resolve gateway %s: %s", qUtf8Printable(quotedForLog(name)),
               qUtf8Printable(quotedForLog(reply.errorMessage())));
        co_return;
    }
    const QString address = args.at(7).toString();
    const int advertisedPort = int(args.at(8).toUInt());
    const QList<QByteArray> txt = qdbus_cast<QList<QByteArray>>(args.at(9));
    it->host = address;
    it->port = advertisedPort;
    it->txtGatewayPort = gatewayPort(txt, 0);
    it->txtTls = false;
    it->txtTlsSha256.clear();
    for (const QByteArray &entry : txt) {
        if (entry == "gatewayTls=1" || entry == "gatewayTls=true")
            it->txtTls = true;
        else if (entry.startsWith("gatewayTlsSha256="))
            it->txtTlsSha256 =
                parseSha256(QString::fromLatin1(entry.mid(int(qstrlen("gatewayTlsSha256="))))).value_or(QByteArray());
    }
    qCInfo(lcDetector, "Gateway on the network: %s at %s:%d", qUtf8Printable(quotedForLog(name)),
           qUtf8Printable(quotedForLog(address)), it->port);
    Q_EMIT gatewaysChanged(gateways());
}

} // namespace halvex
