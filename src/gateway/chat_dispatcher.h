#pragma once

#include "gateway/chat_backend.h"
#include "gateway/chat_run_router.h"
#include "gateway/gateway_protocol.h"
#include "gateway/limits.h"

#include <QObject>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <optional>

namespace halvex {

// The chats of the gateway WebSocket: queues them, sends each when its
// agent is free (ChatRunRouter), feeds them the gateway's answers and
// events, and ends each exactly once (answer, error, deadline, cancel, or
// the loss of the connection). The socket hands it frames and a way to send.
class ChatDispatcher : public QObject
{
    Q_OBJECT
public:
    struct Limits {
        std::chrono::milliseconds chatTimeout = limits::chatDeadline;
        std::chrono::milliseconds sessionSettleTimeout = std::chrono::seconds(5);
        int maxChats = limits::maxChatsInFlight;
    };
    // Sends one request frame; an error when it could not be sent.
    using Sender = std::function<std::optional<Error>(const QJsonObject &frame)>;

    ChatDispatcher(Limits limits, std::function<bool()> canSend, Sender send, QObject *parent = nullptr);
    ~ChatDispatcher() override;

    QCoro::Task<Result<QString>> send(ChatCallRequest request, DeltaHandler onDelta);
    void cancel(const QString &requestId);

    // A chat response (acknowledgement or refusal) and an agent event.
    void onResponse(const GatewayProtocol::Frame &frame);
    void onEvent(const GatewayProtocol::AgentEvent &event);
    // Sends what may go now (after the connection came up, for example).
    void sendReady();
    void failAll(const Error &error);

private:
    void settle(std::vector<ChatRunRouter::Finished> finished);

    Limits m_limits;
    std::function<bool()> m_canSend;
    Sender m_send;
    ChatRunRouter m_router;
};

} // namespace halvex
