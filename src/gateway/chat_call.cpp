#include "gateway/chat_call.h"

#include "platform/characters.h"

#include <QUuid>

#include <utility>

namespace halvex {

ChatCall::ChatCall(QString frameId, ChatCallRequest request, DeltaHandler onDelta, QDeadlineTimer deadline)
    : m_frameId(std::move(frameId)), m_request(std::move(request)), m_onDelta(std::move(onDelta)), m_deadline(deadline)
{
    m_idempotencyKey = m_request.requestId.isEmpty() ? QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()
                                                     : m_request.requestId;
    m_sessionKey = m_request.sessionKey.isEmpty()
                       ? QStringLiteral("agent:") + m_request.agentId + QStringLiteral(":main")
                       : m_request.sessionKey;
    // "agent:<id>:<rest>" -> "agent:<id>"; any other key is its own lane.
    const QStringList parts = m_sessionKey.split(QLatin1Char(':'));
    m_lane = parts.size() >= 3 && parts.first() == QLatin1String("agent") ? parts.at(0) + QLatin1Char(':') + parts.at(1)
                                                                          : m_sessionKey;
}

bool ChatCall::ownsRun(const QString &runId) const
{
    if (runId.isEmpty())
        return false;
    return isAcknowledged() ? runId == m_runId : runId == m_idempotencyKey;
}

std::optional<QString> ChatCall::applyText(const QString &text)
{
    // The text is cumulative: what lies beyond what was sent is new. A text
    // that is not longer (a repeat, or a shorter rewrite) adds nothing.
    // Fragments hold whole characters only, since half a surrogate pair has
    // no UTF-8 form for the relay: a text that ends in the first half of a
    // pair (a gateway cutting UTF-16 units) keeps it for the next text, and a
    // rewritten text whose pair straddles the old length starts the
    // fragment with the whole pair.
    qsizetype end = text.size();
    if (end > 0 && text.at(end - 1).isHighSurrogate())
        --end;
    if (end <= m_text.size())
        return std::nullopt;
    qsizetype from = m_text.size();
    if (from > 0 && text.at(from).isLowSurrogate() && text.at(from - 1).isHighSurrogate())
        --from;
    QString fragment = text.sliced(from, end - from);
    m_sentCharacters += halvex::characterCount(fragment);
    m_text = end == text.size() ? text : text.first(end);
    if (m_onDelta)
        m_onDelta(fragment, m_text);
    return fragment;
}

std::optional<QString> ChatCall::applyText(const GatewayProtocol::AssistantText &text)
{
    if (text.length <= m_text.size())
        return std::nullopt;
    QString fragment = text.decodedFrom(m_text.size());
    // Half a surrogate pair at either end: the rule above decides, on the
    // whole text (rare; the common case decodes only what is new).
    if (fragment.front().isLowSurrogate() || fragment.back().isHighSurrogate())
        return applyText(text.decodedFrom(0));
    m_sentCharacters += halvex::characterCount(fragment);
    m_text += fragment;
    if (m_onDelta)
        m_onDelta(fragment, m_text);
    return fragment;
}

void ChatCall::resolve(Result<QString> outcome)
{
    if (m_outcome)
        return;
    m_outcome.emplace(std::move(outcome));
    if (auto handle = std::exchange(m_waiting, {}))
        handle.resume();
}

} // namespace halvex
