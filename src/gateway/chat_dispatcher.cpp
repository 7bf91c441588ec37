#include "gateway/chat_dispatcher.h"

#include "platform/logging.h"
#include "platform/session/process_runner.h"

#include <QPointer>
#include <QTimer>
#include <QUuid>

#include <algorithm>
#include <chrono>

namespace halvex {

ChatDispatcher::ChatDispatcher(Limits limits, std::function<bool()> canSend, Sender send, QObject *parent)
    : QObject(parent), m_limits(limits), m_canSend(std::move(canSend)), m_send(std::move(send)),
      m_router(ChatRunRouter::Limits{limits.maxChats, 512})
{
}

ChatDispatcher::~ChatDispatcher()
{
    // Nobody may wait forever on a link that is gone. The callers resume
    // here; they must not use the link any more.
    for (auto &finished : m_router.failAll(BridgeError::networkError(QStringLiteral("Disconnected"))))
        finished.call->resolve(std::move(finished.outcome));
}

QCoro::Task<Result<QString>> ChatDispatcher::send(ChatCallRequest request, DeltaHandler onDelta)
{
    if (!m_canSend())
        co_return BridgeError::openClawWebSocketNotConnected();

    // The time limit counts from now, queued or not.
    QDeadlineTimer deadline(m_limits.chatTimeout);
    if (request.deadline < deadline)
        deadline = request.deadline;
    const QString frameId = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    auto call = std::make_shared<ChatCall>(frameId, std::move(request), std::move(onDelta), deadline);
    if (!m_router.admit(call)) {
        qCCritical(lcOcWs, "Refusing a chat: %d chats are already waiting or running", m_limits.maxChats);
        co_return BridgeError::apiError(QStringLiteral("Bridge is busy"));
    }
    QPointer<QTimer> timer = new QTimer(this);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, this, [this, weak = std::weak_ptr<ChatCall>(call)] {
        if (const auto call = weak.lock())
            settle(m_router.expire(call, BridgeError::apiError(QStringLiteral("OpenClaw WS request timed out"))));
    });
    timer->start(std::max<qint64>(0, deadline.remainingTime()));
    sendReady();
    // Only the call is touched from here on: this object may be gone when
    // the caller resumes. A named awaiter: GCC 12 destroys temporaries of a
    // co_await twice.
    ChatCall::Awaiter awaiter{call};
    Result<QString> outcome = co_await awaiter;
    if (timer)
        timer->deleteLater();
    co_return outcome;
}

void ChatDispatcher::cancel(const QString &requestId)
{
    if (const auto call = m_router.findByRequestId(requestId))
        settle(m_router.expire(call, BridgeError::networkError(QStringLiteral("Cancelled"))));
}

void ChatDispatcher::onResponse(const GatewayProtocol::Frame &frame)
{
    if (frame.ok) {
        qCInfo(lcOcWs, "chat.send ACK for %s", qUtf8Printable(quotedForLog(frame.id, 80)));
        settle(m_router.acknowledge(frame.id, frame.payload.value(QLatin1String("runId")).toString()));
        return;
    }
    qCCritical(lcOcWs, "Chat request %s failed: [%s] %s", qUtf8Printable(quotedForLog(frame.id, 80)),
               qUtf8Printable(quotedForLog(frame.errorCode, 80)), qUtf8Printable(quotedForLog(frame.errorMessage)));
    settle(m_router.reject(frame.id, BridgeError::apiError(frame.errorMessage)));
}

void ChatDispatcher::onEvent(const GatewayProtocol::AgentEvent &event)
{
    settle(m_router.onEvent(event));
}

void ChatDispatcher::sendReady()
{
    QPointer<ChatDispatcher> self(this);
    while (self && m_canSend()) {
        const auto sendable = m_router.takeSendable();
        if (sendable.empty())
            return;
        for (const auto &call : sendable) {
            if (!self || !m_canSend())
                return;
            if (!GatewayProtocol::isEncodable(call->message()) || !GatewayProtocol::isEncodable(call->sessionKey()) ||
                !GatewayProtocol::isEncodable(call->idempotencyKey())) {
                settle(m_router.reject(call->frameId(),
                                       BridgeError::networkError(QStringLiteral("Failed to encode request"))));
                continue;
            }
            const QJsonObject request{
                {QStringLiteral("type"), QStringLiteral("req")},
                {QStringLiteral("id"), call->frameId()},
                {QStringLiteral("method"), QStringLiteral("chat.send")},
                {QStringLiteral("params"), QJsonObject{{QStringLiteral("sessionKey"), call->sessionKey()},
                                                       {QStringLiteral("idempotencyKey"), call->idempotencyKey()},
                                                       {QStringLiteral("message"), call->message()}}}};
            if (const std::optional<Error> failure = m_send(request)) {
                settle(m_router.reject(call->frameId(), *failure));
                continue;
            }
            qCInfo(lcOcWs, "Sent chat.send %s", qUtf8Printable(call->frameId()));
        }
    }
}

void ChatDispatcher::settle(std::vector<ChatRunRouter::Finished> finished)
{
    QPointer<ChatDispatcher> self(this);
    for (auto &done : finished) {
        // A run whose answer is decided may still occupy its agent; free it
        // after the settle limit if the gateway never says it settled.
        if (self && m_router.isUnsettled(done.call)) {
            QTimer::singleShot(m_limits.sessionSettleTimeout, this, [this, weak = std::weak_ptr<ChatCall>(done.call)] {
                if (const auto call = weak.lock()) {
                    m_router.settleExpired(call);
                    sendReady();
                }
            });
        }
        done.call->resolve(std::move(done.outcome));
    }
    if (self)
        sendReady();
}

void ChatDispatcher::failAll(const Error &error)
{
    auto finished = m_router.failAll(error);
    for (auto &done : finished)
        done.call->resolve(std::move(done.outcome));
}

} // namespace halvex
