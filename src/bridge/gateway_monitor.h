#pragma once

#include "gateway/gateway_probe.h"
#include "gateway/limits.h"

#include <QElapsedTimer>
#include <QObject>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <memory>

class QTimer;

namespace halvex {

class GatewayWebSocket;

// Every delay of the gateway monitor. (Outside the class so that it can be a
// default argument there.)
struct GatewayMonitorTimings {
    std::chrono::milliseconds healthCheckInterval = std::chrono::minutes(1);
    std::chrono::milliseconds probeTimeout = limits::probeTimeout; // for one whole health probe
    // A gateway that answered this recently is expected back on its socket.
    std::chrono::milliseconds recentWindow = std::chrono::seconds(30);
};

// Whether the gateway answers: its WebSocket is connected, or the gateway
// probe (every minute while running) says it answers. Also judges whether a
// socket that is not usable now is on its way.
class GatewayMonitor : public QObject
{
    Q_OBJECT
public:
    using Timings = GatewayMonitorTimings;

    // The socket is not owned.
    GatewayMonitor(GatewayWebSocket *socket, Timings timings, QObject *parent = nullptr);
    // Probes still out end now; their results are dropped.
    ~GatewayMonitor() override;

    // The gateway each probe asks; takes effect with the next probe.
    void setTarget(const GatewayTarget &target) { m_target = target; }
    // Starts the checks (one at once, then on the interval); again after a
    // change of endpoint or token.
    void start();
    // Stops them; the gateway then counts as unreachable.
    void stop();
    // While running: a probe now (after a wake-up), and the next one an
    // interval later.
    void probeNow();

    bool isReachable() const { return m_running && (socketConnected() || m_lastProbe.reachable); }
    // The socket is not usable now but is likely soon: it is connecting, or
    // the gateway answered a moment ago.
    bool isSocketExpected() const;

Q_SIGNALS:
    // After every probe result and socket state change, with isReachable().
    void reachabilityUpdated(bool reachable);

private:
    bool socketConnected() const;
    void socketStateChanged();
    QCoro::Task<> runProbe();

    GatewayWebSocket *m_socket;
    GatewayTarget m_target;
    Timings m_timings;
    QTimer *m_timer; // child
    bool m_running = false;
    GatewayProbe m_lastProbe;
    // When a probe last found the gateway answering after its socket had
    // worked (the socket is restarting, or between attempts).
    QElapsedTimer m_lastContact;
    // A result is applied only when it belongs to the current run and is
    // newer than the last one applied.
    quint64 m_run = 0;
    quint64 m_probeSequence = 0;
    quint64 m_lastAppliedProbe = 0;
};

} // namespace halvex
