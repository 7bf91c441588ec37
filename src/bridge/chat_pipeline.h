#pragma once

#include "relay/relay_message.h"

#include <QString>

namespace halvex {

// What the gateway gets from one relay chat request.
struct ChatRequest {
    // The request's "messages", with "content" appended as a user entry
    // when no entry has the role "user".
    ChatMessages messages;
    // "content" of the last user entry; empty when there is none.
    QString lastUserText;
};

ChatRequest prepareChatRequest(const RelayMessage &message);

} // namespace halvex
