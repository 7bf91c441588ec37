#pragma once

#include <QElapsedTimer>
#include <QObject>

#include <qcoro/qcorotask.h>

#include <memory>

class QNetworkAccessManager;
class QTimer;

namespace halvex {

class OpenClawClient;
class OpenClawWebSocket;

// Every delay of the gateway monitor. (Outside the class so that it can be a
// default argument there.)
struct GatewayMonitorTimings {
    double healthCheckInterval = 60.0; // seconds
    int probeTimeoutMs = 5000;         // for one whole health probe
    // A gateway that answered this recently is expected back on its socket
    // (seconds).
    double recentWindow = 30.0;
};

// Whether the gateway answers, by the health rule: its WebSocket is
// connected, or the HTTP health probe (every minute while running) says it
// runs. Also judges whether a socket that is not usable now is on its way.
class GatewayMonitor : public QObject
{
    Q_OBJECT
public:
    using Timings = GatewayMonitorTimings;

    // The client gives the endpoint and token of each probe; neither link is
    // owned.
    GatewayMonitor(OpenClawWebSocket *socket, OpenClawClient *client, Timings timings, QObject *parent = nullptr);
    // Probes still out end now; their results are dropped.
    ~GatewayMonitor() override;

    // Starts the checks (one at once, then on the interval); again after a
    // change of endpoint or token.
    void start();
    // Stops them; the gateway then counts as unreachable.
    void stop();

    bool isReachable() const { return m_running && (socketConnected() || m_probeReachable); }
    // The socket is not usable now but is likely soon: it is connecting, or
    // the gateway answered a moment ago.
    bool isSocketExpected() const;

Q_SIGNALS:
    // After every probe result and socket state change, with isReachable().
    void reachabilityUpdated(bool reachable);
    // The socket's state changed.
    void socketChanged();

private:
    bool socketConnected() const;
    void socketStateChanged();
    QCoro::Task<> runProbe();

    OpenClawWebSocket *m_socket;
    OpenClawClient *m_client;
    Timings m_timings;
    QTimer *m_timer; // child
    bool m_running = false;
    bool m_probeReachable = false;
    bool m_socketWasConnected = false;
    bool m_socketEverConnected = false; // since start()
    QElapsedTimer m_lastContact;
    // The probes' own, shared with the probes still out, so that they can be
    // ended when the monitor goes.
    std::shared_ptr<QNetworkAccessManager> m_network;
    // A result is applied only when it belongs to the current run and is
    // newer than the last one applied.
    quint64 m_run = 0;
    quint64 m_probeSequence = 0;
    quint64 m_lastAppliedProbe = 0;
};

} // namespace halvex
