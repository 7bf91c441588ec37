#pragma once

#include "platform/session/process_runner.h"

#include <chrono>
#include <memory>
#include <optional>

#include <QObject>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

namespace halvex {

// Approves this device's own pairing request with OpenClaw's command-line
// tool: lists the pending requests, picks the one of this device, approves
// it. The tool runs as a program with an argument list, never through a
// shell: when it cannot run as it is (its Node is only on the user's login
// PATH), it runs again with the login shell's PATH in its environment. A
// request id reaches the tool only when it matches the strict pattern, after
// "--".
class LoginEnvironment;

class PairingApprover : public QObject
{
    Q_OBJECT
public:
    enum class State { idle, listing, approving, done, failed };
    Q_ENUM(State)

    struct Timings {
        // Each run of the tool; killed and reaped beyond it.
        std::chrono::milliseconds processTimeout = std::chrono::seconds(30);
        // Output kept of each run; a tool that prints more is killed.
        qint64 outputCap = 1 << 20;
    };

    // An empty runner runs real processes; PairingApprover::Timings{} for the
    // usual limits. Without a login environment: one on the same runner when
    // a runner is given, else the process's own.
    PairingApprover(ProcessRunner runner, Timings timings, std::shared_ptr<LoginEnvironment> loginEnvironment = {},
                    QObject *parent = nullptr);

    // What the gateway link shows while this device waits for the user's
    // approval in OpenClaw.
    static QString notPairedText() { return QStringLiteral("Device not paired — approve in OpenClaw"); }

    State state() const { return m_state; }
    // After `failed`: the gateway socket's error text for it.
    QString failureText() const { return m_failureText; }
    // This device's request that the last listing found and that no
    // approval has taken yet: what the user approves by hand. Empty when
    // none was found, after an approval and after reset().
    QString pendingRequestId() const { return m_pendingRequestId; }
    // Back to idle (a new round of the socket).
    void reset();

    // Lists and approves; true when the tool approved a request of this
    // device. `hintedRequestId` (from the gateway's refusal) is used only
    // when the tool's own listing shows it pending for this device.
    QCoro::Task<bool> approve(QString toolPath, QString deviceId, QString hintedRequestId);
    // Only lists: pendingRequestId() afterwards, also returned. Approves nothing.
    QCoro::Task<QString> findPendingRequest(QString toolPath, QString deviceId);

    // What the user runs to approve this device by hand: the command with
    // the request id when one is known, else how to find it by the device
    // id. Never "--latest", which may approve someone else's request.
    static QString manualApprovalAdvice(const QString &requestId, const QString &deviceId);

Q_SIGNALS:
    void stateChanged(halvex::PairingApprover::State state);

private:
    // How the tool runs: as it is, or with the login shell's PATH.
    struct Launch {
        QString program;
        QStringList environment;
    };
    struct Listing {
        std::optional<Launch> usable; // none: the tool could not run
        QString requestId;            // this device's, or empty
    };
    QCoro::Task<Listing> list(QString toolPath, QString deviceId, QString hintedRequestId);
    ProcessRequest request(const QString &program, const QStringList &environment, const QStringList &arguments) const;
    void setState(State state);
    bool fail(const QString &text);

    ProcessRunner m_runner;
    Timings m_timings;
    std::shared_ptr<LoginEnvironment> m_loginEnvironment;
    State m_state = State::idle;
    QString m_failureText;
    QString m_pendingRequestId;
};

} // namespace halvex
