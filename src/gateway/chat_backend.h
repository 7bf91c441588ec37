#pragma once

#include "gateway/openclaw_config.h"
#include "platform/chat_message.h"
#include "platform/error.h"

#include <QDeadlineTimer>
#include <QString>

#include <qcoro/qcorotask.h>

namespace halvex {

// One chat for a gateway backend.
struct ChatCallRequest {
    // The relay request id; the gateway's idempotency key where it has one,
    // so a redelivered request never runs the agent twice.
    QString requestId;
    QString agentId = OpenClawConfig::mobileAgentId();
    // The whole conversation, oldest first (the HTTP endpoint takes it all).
    ChatMessages messages;
    // The last user text (the gateway WebSocket sends only this).
    QString lastUserText;
    // Empty: the agent's main session, "agent:<agentId>:main".
    QString sessionKey;
    // The whole chat ends by then, however the gateway trickles.
    QDeadlineTimer deadline{QDeadlineTimer::Forever};
};

// One way of reaching the gateway's agent. The chat pipeline picks one per
// request; each call resolves exactly once.
class ChatBackend
{
public:
    virtual ~ChatBackend() = default;
    // Can take a chat now.
    virtual bool isUsableForChat() const = 0;
    // The whole answer; each new piece goes to onDelta as it arrives.
    virtual QCoro::Task<Result<QString>> sendChat(ChatCallRequest request, DeltaHandler onDelta) = 0;
    // Ends the call for `requestId` early (its caller gets an error); no-op
    // when unknown.
    virtual void cancelChat(const QString &requestId) = 0;
};

} // namespace halvex
