#include "gateway/chat_run_router.h"

#include "platform/characters.h"
#include "platform/logging.h"

#include <algorithm>

namespace halvex {

using GatewayProtocol::AgentEvent;

bool ChatRunRouter::admit(const std::shared_ptr<ChatCall> &call)
{
    int unresolved = int(m_queued.size());
    for (const auto &running : std::as_const(m_running))
        unresolved += running->isResolved() ? 0 : 1;
    if (unresolved >= m_limits.maxChats)
        return false;
    m_queued.push_back(call);
    return true;
}

std::vector<std::shared_ptr<ChatCall>> ChatRunRouter::takeSendable()
{
    std::vector<std::shared_ptr<ChatCall>> sendable;
    QSet<QString> claimed = m_busySessions;
    for (auto it = m_queued.begin(); it != m_queued.end();) {
        const QString &session = (*it)->lane();
        if (claimed.contains(session)) {
            ++it;
            continue;
        }
        claimed.insert(session);
        m_busySessions.insert(session);
        m_running.insert((*it)->frameId(), *it);
        sendable.push_back(*it);
        it = m_queued.erase(it);
    }
    return sendable;
}

std::vector<ChatRunRouter::Finished> ChatRunRouter::acknowledge(const QString &frameId, const QString &runId)
{
    std::vector<Finished> finished;
    const auto call = m_running.value(frameId);
    if (!call || runId.isEmpty())
        return finished;
    call->acknowledge(runId);
    // Replay what came before the acknowledgement, in order.
    std::deque<AgentEvent> rest;
    std::deque<AgentEvent> held = std::exchange(m_held, {});
    for (AgentEvent &event : held) {
        if (call->ownsRun(event.runId) && m_running.contains(frameId))
            apply(call, event, finished);
        else if (anyUnacknowledged())
            rest.push_back(std::move(event));
    }
    m_held = std::move(rest);
    return finished;
}

std::vector<ChatRunRouter::Finished> ChatRunRouter::reject(const QString &frameId, const Error &error)
{
    std::vector<Finished> finished;
    const auto call = m_running.value(frameId);
    if (!call)
        return finished;
    release(call);
    finished.push_back({call, error});
    return finished;
}

std::vector<ChatRunRouter::Finished> ChatRunRouter::onEvent(const AgentEvent &event)
{
    std::vector<Finished> finished;
    std::shared_ptr<ChatCall> owner;
    for (const auto &call : std::as_const(m_running)) {
        if (call->ownsRun(event.runId)) {
            owner = call;
            break;
        }
    }
    // A follow-up run of a session whose chat the gateway queued: the first
    // run of that session (ours alone, one chat per agent at a time) that
    // shows up answers it.
    if (!owner && !event.runId.isEmpty() && !event.sessionKey.isEmpty() && event.kind != AgentEvent::Kind::settled) {
        for (const auto &call : std::as_const(m_running)) {
            if (call->awaitsFollowUp() && call->sessionKey() == event.sessionKey) {
                qCInfo(lcOcWs, "Run %s answers the queued chat.send %s", qUtf8Printable(quotedForLog(event.runId)),
                       qUtf8Printable(quotedForLog(call->frameId())));
                call->acknowledge(event.runId);
                call->setAwaitsFollowUp(false);
                owner = call;
                break;
            }
        }
    }
    // An event without a run id (never seen from a real gateway) may only
    // add text, and only to the one acknowledged chat on the wire: it can
    // never end or fail a chat it cannot be proven to belong to.
    if (!owner && event.runId.isEmpty() && event.kind == AgentEvent::Kind::text && m_running.size() == 1 &&
        m_running.cbegin().value()->isAcknowledged())
        owner = *m_running.cbegin();
    if (!owner) {
        if (anyUnacknowledged() && !event.runId.isEmpty()) {
            if (int(m_held.size()) >= m_limits.maxHeldEvents)
                m_held.pop_front();
            m_held.push_back(event);
        } else if (event.kind != AgentEvent::Kind::ignored) {
            qCDebug(lcOcWs, "Ignoring event of run %s", qUtf8Printable(quotedForLog(event.runId)));
        }
        return finished;
    }
    if (!event.sessionKey.isEmpty() && event.sessionKey != owner->sessionKey()) {
        qCInfo(lcOcWs, "Ignoring event of session %s for run %s", qUtf8Printable(quotedForLog(event.sessionKey)),
               qUtf8Printable(quotedForLog(event.runId)));
        return finished;
    }
    if (event.stream == QLatin1String("lifecycle") && !event.phase.isEmpty())
        qCInfo(lcOcWs, "Agent lifecycle: %s, accumulated=%ld chars", qUtf8Printable(quotedForLog(event.phase)),
               long(owner->characterCount()));
    apply(owner, event, finished);
    return finished;
}

void ChatRunRouter::apply(const std::shared_ptr<ChatCall> &call, const AgentEvent &event,
                          std::vector<Finished> &finished)
{
    if (event.kind != AgentEvent::Kind::settled)
        call->markStarted();
    switch (event.kind) {
    case AgentEvent::Kind::text:
        if (call->isResolved() || call->hasEnded())
            return;
        if (const auto fragment =
                event.assistantText ? call->applyText(*event.assistantText) : call->applyText(event.text)) {
            // One line per fragment: debug only.
            if (event.defaultRule)
                qCDebug(lcOcWs, "Delta (default): +%ld chars, total %ld", long(characterCount(*fragment)),
                        long(call->characterCount()));
            else
                qCDebug(lcOcWs, "Delta: +%ld chars, total %ld, callback=%s", long(characterCount(*fragment)),
                        long(call->characterCount()), call->hasHandler() ? "true" : "false");
        }
        return;
    case AgentEvent::Kind::end:
        if (call->hasEnded())
            return;
        call->markEnded();
        qCInfo(lcOcWs, "Stream complete (%ld chars)", long(call->characterCount()));
        if (!call->isResolved())
            finished.push_back({call, call->text()});
        return;
    case AgentEvent::Kind::settled:
        // Settled before it ever ran, with no answer: the gateway queued the
        // message behind a run it considers unfinished (both 2026.5.x and
        // 2026.9.x do) and answers it in a follow-up run of the session.
        if (!call->hasStarted() && !event.hasAnswer && !call->isResolved()) {
            qCInfo(lcOcWs, "Run %s was queued by the gateway; waiting for the run that answers it",
                   qUtf8Printable(quotedForLog(event.runId)));
            call->setAwaitsFollowUp(true);
            return;
        }
        // A run that settles without a lifecycle end (aborted, or a gateway
        // that sends only chat events) still ends its chat.
        if (!call->hasEnded() && !call->isResolved()) {
            call->markEnded();
            qCInfo(lcOcWs, "Stream complete (%ld chars)", long(call->characterCount()));
            finished.push_back({call, call->text()});
        }
        release(call);
        return;
    case AgentEvent::Kind::failed:
        qCCritical(lcOcWs, "Chat run %s failed: %s", qUtf8Printable(quotedForLog(event.runId)),
                   qUtf8Printable(quotedForLog(event.text)));
        if (!call->isResolved() && !call->hasEnded())
            finished.push_back({call, BridgeError::apiError(event.text)});
        release(call);
        return;
    case AgentEvent::Kind::ignored:
        return;
    }
}

void ChatRunRouter::release(const std::shared_ptr<ChatCall> &call)
{
    m_running.remove(call->frameId());
    m_busySessions.remove(call->lane());
    if (!anyUnacknowledged())
        m_held.clear();
}

bool ChatRunRouter::anyUnacknowledged() const
{
    for (const auto &call : std::as_const(m_running)) {
        if (!call->isAcknowledged())
            return true;
    }
    return false;
}

std::vector<ChatRunRouter::Finished> ChatRunRouter::expire(const std::shared_ptr<ChatCall> &call, const Error &error)
{
    std::vector<Finished> finished;
    if (call->isResolved())
        return finished;
    const auto queued = std::find(m_queued.begin(), m_queued.end(), call);
    if (queued != m_queued.end())
        m_queued.erase(queued);
    else if (!call->isAcknowledged())
        release(call); // never acknowledged: nothing runs for it
    finished.push_back({call, error});
    return finished;
}

bool ChatRunRouter::isUnsettled(const std::shared_ptr<ChatCall> &call) const
{
    return m_running.value(call->frameId()) == call;
}

void ChatRunRouter::settleExpired(const std::shared_ptr<ChatCall> &call)
{
    if (isUnsettled(call))
        release(call);
}

std::shared_ptr<ChatCall> ChatRunRouter::findByRequestId(const QString &requestId) const
{
    for (const auto &call : m_queued) {
        if (call->requestId() == requestId)
            return call;
    }
    for (const auto &call : std::as_const(m_running)) {
        if (call->requestId() == requestId && !call->isResolved())
            return call;
    }
    return {};
}

std::vector<ChatRunRouter::Finished> ChatRunRouter::failAll(const Error &error)
{
    std::vector<Finished> finished;
    for (const auto &call : std::as_const(m_running)) {
        if (!call->isResolved())
            finished.push_back({call, error});
    }
    for (const auto &call : m_queued)
        finished.push_back({call, error});
    m_running.clear();
    m_queued.clear();
    m_busySessions.clear();
    m_held.clear();
    return finished;
}

} // namespace halvex
