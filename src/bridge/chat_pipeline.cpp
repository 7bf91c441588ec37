// The road of one chat request: relay "chat_message" in, gateway call over
// the WebSocket (when usable, or soon) or HTTP, streamed chunks and one
// closing message back to the relay.
#include "bridge/chat_pipeline.h"

#include "gateway/gateway_http_client.h"
#include "platform/characters.h"
#include "platform/logging.h"
#include "platform/net/next_emission.h"

#include <QPointer>

#include <algorithm>
#include <chrono>
#include <optional>

namespace halvex {

namespace {
const QString roleKey = QStringLiteral("role");
const QString contentKey = QStringLiteral("content");
const QString userRole = QStringLiteral("user");

} // namespace

// Wakes the chats that wait for the gateway socket. Shared with the waiting
// coroutines, so it outlives the pipeline while they wait.
class ChatPipeline::Gate : public QObject
{
    Q_OBJECT
Q_SIGNALS:
    void changed();
};

ChatRequest prepareChatRequest(const RelayMessage &message)
{
    ChatRequest request;
    request.messages = message.messages.value_or(ChatMessages{});

    const bool hasUserEntry = std::any_of(request.messages.cbegin(), request.messages.cend(),
                                          [](const ChatMessage &m) { return m.value(roleKey) == userRole; });
    if (!hasUserEntry && message.content && !message.content->isEmpty())
        request.messages.append(ChatMessage{{roleKey, userRole}, {contentKey, *message.content}});

    for (auto it = request.messages.crbegin(); it != request.messages.crend(); ++it) {
        if (it->value(roleKey) == userRole) {
            request.lastUserText = it->value(contentKey);
            break;
        }
    }
    return request;
}

ChatPipeline::ChatPipeline(Links links, Timings timings, QObject *parent)
    : QObject(parent), m_links(std::move(links)), m_timings(timings), m_gate(std::make_shared<Gate>())
{
}

ChatPipeline::~ChatPipeline()
{
    // Waiting chats look once more, find the pipeline gone and end quietly.
    Q_EMIT m_gate->changed();
}

QString ChatPipeline::endpointOffText()
{
    return QStringLiteral("OpenClaw's HTTP chat endpoint is off and the gateway WebSocket is not connected");
}

void ChatPipeline::webSocketStateChanged()
{
    Q_EMIT m_gate->changed();
}

void ChatPipeline::setRelayCongested(bool congested)
{
    if (m_relayCongested == congested)
        return;
    m_relayCongested = congested;
    if (congested)
        return;
    // Oldest first; a send that congests the link again stops the round
    // (this runs again on the next drain).
    while (!m_relayCongested && !m_heldOrder.isEmpty())
        flushHeldChunk(m_heldOrder.constFirst());
}

void ChatPipeline::forwardChunk(const QString &replyTo, const QString &appUserId, const QString &delta,
                                const QString &accumulated)
{
    // A chat with a chunk still held keeps merging, so its chunks stay in order.
    if (m_relayCongested || m_heldChunks.contains(replyTo)) {
        auto it = m_heldChunks.find(replyTo);
        if (it == m_heldChunks.end()) {
            it = m_heldChunks.insert(replyTo, HeldChunk{appUserId, {}, {}});
            m_heldOrder.append(replyTo);
        }
        it->delta += delta;
        it->accumulated = accumulated;
        return;
    }
    sendChunk(replyTo, appUserId, delta, accumulated);
}

// Written straight to JSON text, once per fragment, where the relay link
// takes text: by the chat's own writer, which escapes only what is new.
void ChatPipeline::sendChunk(const QString &replyTo, const QString &appUserId, const QString &delta,
                             const QString &accumulated)
{
    const Replies &replies = m_links.replies;
    if (replies.sendJSONText)
        replies.sendJSONText(m_chunkWriters[replyTo].write(replyTo, delta, accumulated, appUserId),
                             QLatin1StringView("chat_stream_chunk"));
    else
        replies.sendJSON(RelayOutbound::streamChunk(replyTo, delta, accumulated, appUserId));
}

void ChatPipeline::flushHeldChunk(const QString &replyTo)
{
    const auto it = m_heldChunks.constFind(replyTo);
    if (it == m_heldChunks.cend())
        return;
    const HeldChunk held = *it;
    m_heldChunks.erase(it);
    m_heldOrder.removeOne(replyTo);
    sendChunk(replyTo, held.appUserId, held.delta, held.accumulated);
}

void ChatPipeline::sendFailure(const QString &replyTo, const QString &appUserId, const QString &description)
{
    RelayResponse response;
    response.replyTo = replyTo;
    response.content = bridgeErrorPrefix() + description;
    response.appUserId = appUserId;
    m_links.replies.send(response);
}

void ChatPipeline::handleChatMessage(const RelayMessage &message)
{
    const QString replyTo = message.id.value_or(QString());
    const QString appUserId = message.appUserId.value_or(QString());
    // A redelivered request must not run the agent a second time.
    if (m_running.contains(replyTo)) {
        qCInfo(lcBridge, "Ignoring chat %s: it is already in progress", qUtf8Printable(quotedForLog(replyTo, 80)));
        return;
    }
    ChatRequest request = prepareChatRequest(message);
    if (request.lastUserText.isEmpty()) {
        qCCritical(lcBridge, "No user message found in chat_message %s", qUtf8Printable(quotedForLog(replyTo, 80)));
        sendFailure(replyTo, appUserId, QStringLiteral("No user message found"));
        Q_EMIT chatClosed(replyTo);
        return;
    }
    if (m_running.size() >= m_timings.maxChatsInFlight) {
        qCCritical(lcBridge, "Chat failed for %s: %s", qUtf8Printable(quotedForLog(replyTo, 80)), "Bridge is busy");
        sendFailure(replyTo, appUserId, QStringLiteral("Bridge is busy"));
        Q_EMIT chatClosed(replyTo);
        return;
    }
    m_running.insert(replyTo);
    Q_EMIT chatStarted(replyTo);
    run(replyTo, appUserId, std::move(request)); // runs on by itself
}

QCoro::Task<bool> ChatPipeline::waitForWebSocket(QDeadlineTimer deadline)
{
    const QPointer<ChatPipeline> self(this);
    const std::shared_ptr<Gate> gate = m_gate;
    const QDeadlineTimer waitEnd(std::min<qint64>(m_timings.gatewaySocketWait.count(), deadline.remainingTime()));
    if (!m_links.webSocket->isUsableForChat() && m_links.wakeWebSocket)
        m_links.wakeWebSocket();
    for (;;) {
        if (m_links.webSocket->isUsableForChat())
            co_return true;
        if (!m_links.webSocketExpected || !m_links.webSocketExpected() || waitEnd.hasExpired())
            co_return false;
        co_await nextEmission(gate.get(), &Gate::changed, std::chrono::milliseconds(waitEnd.remainingTime()));
        if (!self)
            co_return false;
    }
}

QCoro::Task<> ChatPipeline::run(QString replyTo, QString appUserId, ChatRequest request)
{
    // The pipeline may be gone whenever this task resumes; after every wait
    // it is reached only through `self`.
    const QPointer<ChatPipeline> self(this);
    const QDeadlineTimer deadline(m_timings.chatDeadline);

    qCInfo(lcBridge, "Processing chat %s — %ld messages", qUtf8Printable(quotedForLog(replyTo, 80)),
           static_cast<long>(request.messages.size()));
    // Decided once; a request never switches path midway. A phone chat
    // prefers the gateway socket, even waiting for one on its way: a stock
    // gateway has its HTTP chat endpoint off, and the socket's agent events
    // stream each fragment as it comes. Memory sync chooses the other way
    // round (MemorySyncService::chooseBackend()).
    const bool webSocketUsable = co_await waitForWebSocket(deadline);
    if (!self)
        co_return;
    qCInfo(lcBridge, "OpenClaw WS connected: %s", boolText(webSocketUsable));

    ChatCallRequest call;
    call.requestId = replyTo;
    call.agentId = OpenClawConfig::mobileAgentId();
    call.messages = std::move(request.messages);
    call.lastUserText = std::move(request.lastUserText);
    call.deadline = deadline;

    // One gateway fragment is one relay chunk, and the gateway's values pass
    // through unchanged; only a congested relay makes chunks wait (merged).
    // The debug line counts characters only when it is on.
    const auto forwarder = [self, replyTo, appUserId, logChunks = webSocketUsable](const QString &delta,
                                                                                   const QString &accumulated) {
        if (logChunks) {
            qCDebug(lcBridge, "Forwarding chunk: reply_to=%s delta_len=%ld accumulated_len=%ld",
                    qUtf8Printable(quotedForLog(replyTo, 80)), long(characterCount(delta)),
                    long(characterCount(accumulated)));
        }
        if (self)
            self->forwardChunk(replyTo, appUserId, delta, accumulated);
    };

    ChatBackend *backend = webSocketUsable ? m_links.webSocket : m_links.http;
    if (webSocketUsable)
        qCInfo(lcBridge, "Using OpenClaw WebSocket for %s", qUtf8Printable(quotedForLog(replyTo, 80)));
    else
        qCInfo(lcBridge, "Using HTTP fallback for %s", qUtf8Printable(quotedForLog(replyTo, 80)));
    Result<QString> outcome = co_await backend->sendChat(std::move(call), forwarder);
    if (!self)
        co_return;
    self->m_running.remove(replyTo);
    // What the chat streamed goes before its closing message.
    self->flushHeldChunk(replyTo);
    self->m_chunkWriters.remove(replyTo);

    if (outcome.ok()) {
        self->m_links.replies.sendJSON(RelayOutbound::streamEnd(replyTo, outcome.value(), appUserId));
        qCInfo(lcBridge, "Sent streamed response for %s", qUtf8Printable(quotedForLog(replyTo, 80)));
        Q_EMIT self->chatAnswered(replyTo);
    } else {
        // A stock gateway has its HTTP endpoint off: say so in words a user
        // can act on rather than pass on a bare "Not Found".
        const QString description = !webSocketUsable && isHttpStatusFailure(outcome.error(), 404)
                                        ? endpointOffText()
                                        : outcome.error().description();
        qCCritical(lcBridge, "Chat failed for %s: %s", qUtf8Printable(quotedForLog(replyTo, 80)),
                   qUtf8Printable(quotedForLog(description, 320)));
        self->sendFailure(replyTo, appUserId, description);
    }
    Q_EMIT self->chatClosed(replyTo);
}

} // namespace halvex

#include "chat_pipeline.moc"
