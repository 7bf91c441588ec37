#pragma once

#include "openclaw_gateway.h"
#include "relay_account_stand_in.h"
#include "relay_stand_in.h"

#include "platform/error.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class QProcess;
class QTextStream;

namespace halvex::demo {

// Everything the demonstration runs on this machine, started step by step
// and stopped in reverse order: the relay stand-in (bridge WebSocket and
// account API), a real OpenClaw gateway with the model stand-in behind it,
// an account made and a pairing done through the bridge's own commands,
// and the headless bridge. The bridge sees the gateway's scratch HOME (so it
// finds OpenClaw as a user's bridge does, through ~/.openclaw/openclaw.json)
// and the relay stand-in through HALVEX_RELAY_ORIGIN / HALVEX_RELAY_WS_ORIGIN;
// its settings and credentials go wherever the session's XDG folders and
// Secret Service are (a private session under scripts/demo).
class DemoSession : public QObject
{
    Q_OBJECT
public:
    // How long each step may take on a loaded machine.
    struct Timings {
        int commandTimeoutMs = 60000;        // halvex-bridge login / pair
        int gatewayReadyTimeoutMs = 90000;   // healthy until it takes WebSocket clients
        int bridgeConnectTimeoutMs = 120000; // until the relay has the bridge's agent card
        int gatewayReachTimeoutMs = 60000;   // until the card says the gateway is reachable
        int bridgeStopTimeoutMs = 15000;     // SIGTERM to SIGKILL
    };

    struct Config {
        QString bridgeProgram; // the halvex-bridge executable
        QString openClawVersion = test::OpenClawGateway::defaultVersion();
        QString answer = QStringLiteral(
            "Hello from the model stand-in, behind a real OpenClaw gateway. The bridge streamed this answer "
            "to you through the relay, piece by piece.");
        int chunkDelayMs = 60;
        bool verbose = false; // the bridge's and gateway's output on standard error
        Timings timings;
    };

    DemoSession(Config config, QTextStream &out, QTextStream &err, QObject *parent = nullptr);
    ~DemoSession() override;

    // Runs every step; on a failure says which step failed and why, and
    // returns false (stop() then ends what was started).
    bool start();
    // Ends the bridge, the gateway and the relay stand-in. Idempotent.
    void stop();
    // Ctrl-C: a step that is waiting gives up soon, and start() returns false.
    void interrupt();
    bool interrupted() const { return m_interrupted; }

    test::RelayStandIn *relay() { return &m_relay; }
    // Whether the bridge is still running (it may stop by itself).
    bool bridgeRunning() const;

Q_SIGNALS:
    // The bridge ended while the demo was still running.
    void bridgeExited(const QString &how);

private:
    Result<QString> startRelay();
    Result<QString> startGateway();
    Result<QString> createAccount();
    Result<QString> pairBridge();
    Result<QString> startBridge();
    Result<QString> runBridgeCommand(const QStringList &arguments, const QByteArray &input);
    QStringList bridgeEnvironment() const;
    QString bridgeOutputTail() const;
    void stopBridge();

    Config m_config;
    QTextStream &m_out;
    QTextStream &m_err;
    test::RelayStandIn m_relay;
    test::RelayAccountStandIn m_account;
    test::OpenClawGateway m_gateway;
    std::unique_ptr<QProcess> m_bridge;
    QByteArray m_bridgeOutput; // the tail of what the bridge printed
    QString m_email;
    bool m_interrupted = false;
    bool m_stopping = false;
};

} // namespace halvex::demo
