#pragma once

#include "gateway/chat_call.h"
#include "gateway/gateway_protocol.h"
#include "gateway/limits.h"

#include <QHash>
#include <QSet>
#include <QString>

#include <deque>
#include <memory>
#include <optional>
#include <vector>

namespace halvex {

// Which chat each gateway event belongs to, and when the next chat may go.
// Pure bookkeeping, no socket: the gateway WebSocket feeds it responses and
// events and sends what it hands out.
//
// The rule, measured on OpenClaw 2026.5.7 and 2026.9.6: a chat sent to a
// session whose previous run has not settled ("chat" state "final") is
// refused (2026.5.x: "chat" state "error") or acknowledged and then run
// later under another run id (2026.9.x); and 2026.5.x fails runs of two
// sessions of one agent at once (they share the agent's workspace). So the
// chats of one agent go one at a time: the next is sent only once the
// previous run has settled (or a short settle limit passed); different
// agents run side by side. Both lines name the run after the idempotency
// key, and every event carries its run id and session key: an event counts
// for a chat only when it is of the chat's run and session. Events that
// arrive while a chat waits for its acknowledgement are held and replayed
// once the run is known.
class ChatRunRouter
{
public:
    struct Limits {
        // Chats queued or running at once; beyond that "Bridge is busy".
        int maxChats = limits::maxChatsInFlight;
        // Events held while a chat waits for its acknowledgement.
        int maxHeldEvents = 512;
    };

    // A chat whose outcome is decided; the caller resolves it (after its
    // own bookkeeping, since resolving resumes the waiting coroutine).
    struct Finished {
        std::shared_ptr<ChatCall> call;
        Result<QString> outcome;
    };

    explicit ChatRunRouter(Limits limits) : m_limits(limits) {}

    // False when the limit is reached.
    bool admit(const std::shared_ptr<ChatCall> &call);
    // The queued chats whose session is free, in arrival order; each is
    // counted as on the wire from now on.
    std::vector<std::shared_ptr<ChatCall>> takeSendable();

    // The gateway acknowledged `frameId` with `runId`; held events of that
    // run are replayed.
    std::vector<Finished> acknowledge(const QString &frameId, const QString &runId);
    // The request failed (error response or send failure): nothing runs.
    std::vector<Finished> reject(const QString &frameId, const Error &error);
    std::vector<Finished> onEvent(const GatewayProtocol::AgentEvent &event);
    // The chat's deadline passed: it fails; a session it holds stays busy
    // until its run settles or settleExpired() frees it.
    std::vector<Finished> expire(const std::shared_ptr<ChatCall> &call, const Error &error);
    // The chat's answer is decided but its run has not settled: the owner
    // frees its session after its settle limit.
    bool isUnsettled(const std::shared_ptr<ChatCall> &call) const;
    void settleExpired(const std::shared_ptr<ChatCall> &call);
    // The unresolved chat of a relay request id.
    std::shared_ptr<ChatCall> findByRequestId(const QString &requestId) const;
    // Everything fails (a drop, a disconnect).
    std::vector<Finished> failAll(const Error &error);

private:
    void apply(const std::shared_ptr<ChatCall> &call, const GatewayProtocol::AgentEvent &event,
               std::vector<Finished> &finished);
    void release(const std::shared_ptr<ChatCall> &call);
    bool anyUnacknowledged() const;

    Limits m_limits;
    std::deque<std::shared_ptr<ChatCall>> m_queued;
    // On the wire, by frame id, until their run settles.
    QHash<QString, std::shared_ptr<ChatCall>> m_running;
    // Lanes (agents) with a run on the wire.
    QSet<QString> m_busySessions;
    std::deque<GatewayProtocol::AgentEvent> m_held;
};

} // namespace halvex
