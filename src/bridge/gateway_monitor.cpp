#include "bridge/gateway_monitor.h"

#include "gateway/gateway_health.h"
#include "gateway/openclaw_client.h"
#include "gateway/openclaw_web_socket.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QTimer>

namespace halvex {

GatewayMonitor::GatewayMonitor(OpenClawWebSocket *socket, OpenClawClient *client, Timings timings, QObject *parent)
    : QObject(parent), m_socket(socket), m_client(client), m_timings(timings), m_timer(new QTimer(this)),
      m_network(new QNetworkAccessManager, [](QNetworkAccessManager *network) { network->deleteLater(); })
{
    m_timer->setInterval(std::chrono::milliseconds(qRound64(m_timings.healthCheckInterval * 1000.0)));
    QObject::connect(m_timer, &QTimer::timeout, this, [this] { runProbe(); });
    QObject::connect(m_socket, &OpenClawWebSocket::stateChanged, this, &GatewayMonitor::socketStateChanged);
}

GatewayMonitor::~GatewayMonitor()
{
    ++m_run;
    QObject::disconnect(m_socket, nullptr, this, nullptr);
    const QList<QNetworkReply *> probes = m_network->findChildren<QNetworkReply *>();
    for (QNetworkReply *probe : probes)
        probe->abort();
}

bool GatewayMonitor::socketConnected() const
{
    return m_socket->isUsableForChat();
}

void GatewayMonitor::start()
{
    ++m_run; // results of probes still out are stale from now on
    if (!m_running)
        m_socketEverConnected = socketConnected();
    m_running = true;
    runProbe();
    m_timer->start();
}

void GatewayMonitor::stop()
{
    ++m_run;
    m_timer->stop();
    m_running = false;
    m_probeReachable = false;
    m_socketEverConnected = false;
    Q_EMIT reachabilityUpdated(false);
}

bool GatewayMonitor::isSocketExpected() const
{
    if (!m_running)
        return false;
    const OpenClawWSState::Kind kind = m_socket->state().kind();
    if (kind == OpenClawWSState::Kind::connecting || kind == OpenClawWSState::Kind::authenticating)
        return true;
    return m_lastContact.isValid() && m_lastContact.elapsed() < qRound64(m_timings.recentWindow * 1000.0);
}

void GatewayMonitor::socketStateChanged()
{
    // Connected until now counts as contact, too.
    const bool connected = m_socket->state() == OpenClawWSState::connected();
    m_socketEverConnected = m_socketEverConnected || connected;
    if (connected || m_socketWasConnected)
        m_lastContact.start();
    m_socketWasConnected = connected;
    Q_EMIT socketChanged();
    if (m_running)
        Q_EMIT reachabilityUpdated(isReachable());
}

QCoro::Task<> GatewayMonitor::runProbe()
{
    const QPointer<GatewayMonitor> self(this);
    const quint64 run = m_run;
    const quint64 probe = ++m_probeSequence;
    // The probe keeps its network access manager alive to its end.
    const std::shared_ptr<QNetworkAccessManager> network = m_network;
    GatewayHealthTimings limits;
    limits.timeoutMs = m_timings.probeTimeoutMs;
    const GatewayHealth health =
        co_await checkGatewayHealth(network.get(), m_client->endpointURL(), m_client->gatewayToken(), limits);
    if (!self || run != self->m_run || probe < self->m_lastAppliedProbe)
        co_return;
    self->m_lastAppliedProbe = probe;
    self->m_probeReachable = health.reachable;
    // A gateway whose socket worked in this run and that answers now is
    // expected back on the socket (it is restarting, or between attempts).
    if (health.reachable && self->m_socketEverConnected)
        self->m_lastContact.start();
    // The gateway answers again after the socket gave up: a fresh round.
    if (health.reachable)
        self->m_socket->reconnectIfGivenUp();
    Q_EMIT self->reachabilityUpdated(self->isReachable());
}

} // namespace halvex
