#pragma once

#include "gateway/chat_backend.h"
#include "gateway/gateway_protocol.h"

#include <QDeadlineTimer>
#include <QString>

#include <coroutine>
#include <optional>

namespace halvex {

// One chat on the gateway WebSocket, from the caller's request to its single
// outcome: the frame id, the run the gateway acknowledged it with, what of
// the answer has been passed on (kept as a position, so each event costs
// only its new text) and the deadline, which runs from when it was queued.
// The caller's coroutine awaits it; the first outcome wins and resumes it.
class ChatCall
{
public:
    ChatCall(QString frameId, ChatCallRequest request, DeltaHandler onDelta, QDeadlineTimer deadline);

    const QString &frameId() const { return m_frameId; }
    const QString &requestId() const { return m_request.requestId; }
    // The relay request id (or a fresh one when there is none): the same
    // chat redelivered never runs the agent twice.
    const QString &idempotencyKey() const { return m_idempotencyKey; }
    const QString &sessionKey() const { return m_sessionKey; }
    // What runs one at a time: the agent ("agent:<id>") of the session, whose
    // workspace all its sessions share.
    const QString &lane() const { return m_lane; }
    const QString &message() const { return m_request.lastUserText; }
    QDeadlineTimer deadline() const { return m_deadline; }

    // The run, once the gateway acknowledged the request.
    const QString &runId() const { return m_runId; }
    bool isAcknowledged() const { return !m_runId.isEmpty(); }
    void acknowledge(const QString &runId) { m_runId = runId; }
    // Whether an event of the chat's own run has shown it running.
    bool hasStarted() const { return m_started; }
    void markStarted() { m_started = true; }
    // The gateway settled the acknowledged run before it ran: it queued the
    // message as a follow-up that runs under a run id of its own.
    bool awaitsFollowUp() const { return m_awaitsFollowUp; }
    void setAwaitsFollowUp(bool awaits) { m_awaitsFollowUp = awaits; }
    // An event of `runId` belongs to this chat: its acknowledged run, or
    // (before the acknowledgement) the run the gateway names after our
    // idempotency key, as both release lines do.
    bool ownsRun(const QString &runId) const;

    // A cumulative text of the answer. Returns the fragment passed to the
    // caller's handler, or nothing when the text adds nothing new. Only the
    // part beyond what was already sent is looked at.
    std::optional<QString> applyText(const QString &text);
    // The same for a text read in place: only what lies beyond the text
    // already sent is decoded, and the answer grows by exactly that.
    std::optional<QString> applyText(const GatewayProtocol::AssistantText &text);
    // The answer so far, and its length in characters.
    const QString &text() const { return m_text; }
    qsizetype characterCount() const { return m_sentCharacters; }
    bool hasHandler() const { return bool(m_onDelta); }

    // The lifecycle ended: the answer is complete (the session may still be
    // busy until the run settles).
    bool hasEnded() const { return m_ended; }
    void markEnded() { m_ended = true; }

    bool isResolved() const { return m_outcome.has_value(); }
    void resolve(Result<QString> outcome);

    struct Awaiter {
        std::shared_ptr<ChatCall> call;
        bool await_ready() const noexcept { return call->m_outcome.has_value(); }
        void await_suspend(std::coroutine_handle<> handle) noexcept { call->m_waiting = handle; }
        Result<QString> await_resume() { return std::move(*call->m_outcome); }
    };

private:
    QString m_frameId;
    ChatCallRequest m_request;
    QString m_idempotencyKey;
    QString m_sessionKey;
    QString m_lane;
    DeltaHandler m_onDelta;
    QDeadlineTimer m_deadline;
    QString m_runId;
    QString m_text;
    qsizetype m_sentCharacters = 0;
    bool m_ended = false;
    bool m_started = false;
    bool m_awaitsFollowUp = false;
    std::optional<Result<QString>> m_outcome;
    std::coroutine_handle<> m_waiting;
};

} // namespace halvex
