#include "bridge/gateway_monitor.h"

#include "gateway/gateway_web_socket.h"

#include <QPointer>
#include <QTimer>

namespace halvex {

GatewayMonitor::GatewayMonitor(GatewayWebSocket *socket, Timings timings, QObject *parent)
    : QObject(parent), m_socket(socket), m_timings(timings), m_timer(new QTimer(this))
{
    m_timer->setInterval(m_timings.healthCheckInterval);
    QObject::connect(m_timer, &QTimer::timeout, this, [this] { runProbe(); });
    QObject::connect(m_socket, &GatewayWebSocket::stateChanged, this, &GatewayMonitor::socketStateChanged);
}

GatewayMonitor::~GatewayMonitor()
{
    ++m_run;
    QObject::disconnect(m_socket, nullptr, this, nullptr);
}

bool GatewayMonitor::socketConnected() const
{
    return m_socket->isUsableForChat();
}

void GatewayMonitor::start()
{
    ++m_run; // results of probes still out are stale from now on
    m_running = true;
    runProbe();
    m_timer->start();
}

void GatewayMonitor::probeNow()
{
    if (!m_running)
        return;
    runProbe();
    m_timer->start();
}

void GatewayMonitor::stop()
{
    ++m_run;
    m_timer->stop();
    m_running = false;
    m_lastProbe = GatewayProbe();
    m_lastContact.invalidate();
    Q_EMIT reachabilityUpdated(false);
}

bool GatewayMonitor::isSocketExpected() const
{
    if (!m_running)
        return false;
    const GatewayLinkState::Kind kind = m_socket->state().kind();
    if (kind == GatewayLinkState::Kind::connecting || kind == GatewayLinkState::Kind::authenticating)
        return true;
    // The socket itself was connected a moment ago, or the probe found the
    // gateway answering after the socket had worked.
    const std::optional<std::chrono::milliseconds> since = m_socket->sinceConnected();
    if (since && *since < m_timings.recentWindow)
        return true;
    return m_lastContact.isValid() && m_lastContact.elapsed() < m_timings.recentWindow.count();
}

void GatewayMonitor::socketStateChanged()
{
    if (m_running)
        Q_EMIT reachabilityUpdated(isReachable());
}

QCoro::Task<> GatewayMonitor::runProbe()
{
    const QPointer<GatewayMonitor> self(this);
    const quint64 run = m_run;
    const quint64 probe = ++m_probeSequence;
    GatewayProbeOptions options;
    options.timeout = m_timings.probeTimeout;
    options.context = this;
    // Reachability is all the running bridge needs each minute; the chat
    // endpoint is asked by those who show it (and memory sync, before it
    // uses it).
    options.chatEndpoint = false;
    // The probe owns its connections: a monitor that goes meanwhile only
    // drops the result.
    const GatewayProbe health = co_await probeGateway(m_target, options);
    if (!self || run != self->m_run || probe < self->m_lastAppliedProbe)
        co_return;
    self->m_lastAppliedProbe = probe;
    self->m_lastProbe = health;
    // A gateway whose socket worked in this run and that answers now is
    // expected back on the socket (it is restarting, or between attempts).
    if (health.reachable && self->m_socket->sinceConnected())
        self->m_lastContact.start();
    // The gateway answers while its socket is down (waiting for its next
    // attempt, or given up): it is back, so the socket tries now.
    if (health.reachable && !self->socketConnected())
        self->m_socket->wake();
    Q_EMIT self->reachabilityUpdated(self->isReachable());
}

} // namespace halvex
