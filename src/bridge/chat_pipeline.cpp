// The road of one chat request: relay "chat_message" in, gateway call over
// the WebSocket (when usable) or HTTP, streamed chunks and one closing
// message back to the relay.
#include "bridge/chat_pipeline.h"

#include "bridge/bridge_manager.h"
#include "platform/characters.h"
#include "platform/logging.h"

#include <algorithm>
#include <optional>

namespace halvex {

namespace {
const QString roleKey = QStringLiteral("role");
const QString contentKey = QStringLiteral("content");
const QString userRole = QStringLiteral("user");
} // namespace

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

void BridgeManager::sendChatFailure(const QString &replyTo, const QString &appUserId, const QString &description)
{
    RelayResponse response;
    response.replyTo = replyTo;
    response.content = bridgeErrorPrefix() + description;
    response.appUserId = appUserId;
    m_relayWebSocket->send(response);
}

QCoro::Task<> BridgeManager::handleChatMessage(RelayMessage message)
{
    // The manager may be gone whenever this task resumes; after every wait
    // it is reached only through `self`.
    const QPointer<BridgeManager> self(this);
    const QString replyTo = message.id.value_or(QString());
    const QString appUserId = message.appUserId.value_or(QString());
    const ChatRequest request = prepareChatRequest(message);

    if (request.lastUserText.isEmpty()) {
        qCCritical(lcBridge, "No user message found in chat_message %s", qUtf8Printable(replyTo));
        sendChatFailure(replyTo, appUserId, QStringLiteral("No user message found"));
        co_return;
    }

    qCInfo(lcBridge, "Processing chat %s — %ld messages", qUtf8Printable(replyTo),
           static_cast<long>(request.messages.size()));
    // Decided once; a request never switches path midway.
    const bool webSocketUsable = m_openClawWebSocket->isUsableForChat();
    qCInfo(lcBridge, "OpenClaw WS connected: %s", boolText(webSocketUsable));

    // One gateway fragment is one relay chunk: nothing is buffered or merged,
    // and the gateway's values pass through unchanged.
    const auto makeForwarder = [self, replyTo, appUserId](bool logChunks) -> DeltaHandler {
        return [self, replyTo, appUserId, logChunks](const QString &delta, const QString &accumulated) {
            if (logChunks) {
                qCInfo(lcBridge, "Forwarding chunk: reply_to=%s delta_len=%ld accumulated_len=%ld",
                       qUtf8Printable(replyTo), long(characterCount(delta)), long(characterCount(accumulated)));
            }
            if (self)
                self->m_relayWebSocket->sendJSON(RelayOutbound::streamChunk(replyTo, delta, accumulated, appUserId));
        };
    };

    std::optional<Result<QString>> outcome;
    if (webSocketUsable) {
        qCInfo(lcBridge, "Using OpenClaw WebSocket for %s", qUtf8Printable(replyTo));
        // Each chat gets its own fragment handler; the socket serialises chats.
        outcome = co_await m_openClawWebSocket->sendChat(request.lastUserText, m_openClawClient->agentId(),
                                                         makeForwarder(true));
    } else {
        qCInfo(lcBridge, "Using HTTP fallback for %s", qUtf8Printable(replyTo));
        outcome = co_await m_openClawClient->sendChatStreaming(request.messages, makeForwarder(false));
    }
    if (!self)
        co_return;

    if (outcome->ok()) {
        self->m_relayWebSocket->sendJSON(RelayOutbound::streamEnd(replyTo, outcome->value(), appUserId));
        qCInfo(lcBridge, "Sent streamed response for %s", qUtf8Printable(replyTo));
        if (self->m_memorySyncService)
            self->m_memorySyncService->recordActivity();
    } else {
        const QString description = outcome->error().description();
        qCCritical(lcBridge, "Chat failed for %s: %s", qUtf8Printable(replyTo), qUtf8Printable(description));
        self->sendChatFailure(replyTo, appUserId, description);
    }
}

} // namespace halvex
