#pragma once

#include "gateway/chat_backend.h"
#include "gateway/limits.h"
#include "relay/relay_message.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>

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

// Every delay and limit of the chat road. (Outside the class so that it can
// be a default argument there.)
struct ChatPipelineTimings {
    // How long a chat waits for a gateway socket that is on its way up
    // before it takes the HTTP endpoint instead.
    std::chrono::milliseconds gatewaySocketWait = std::chrono::seconds(10);
    // A chat ends by then, counted from its arrival, however the gateway
    // trickles.
    std::chrono::milliseconds chatDeadline = limits::chatDeadline;
    // Chats running or waiting at once; one more is refused at once.
    int maxChatsInFlight = limits::maxChatsInFlight;
};

// The road of relay chat requests: each "chat_message" is validated, sent to
// the gateway's agent over the gateway WebSocket (waiting a bounded time for
// one that is connecting) or over the HTTP endpoint, and its answer streamed
// back to the relay with exactly one closing message.
class ChatPipeline : public QObject
{
    Q_OBJECT
public:
    using Timings = ChatPipelineTimings;

    // Where the replies go: the relay link's send operations.
    struct Replies {
        std::function<void(const QJsonObject &)> sendJSON;
        // Sends a frame already written as compact JSON in UTF-8 (with its
        // type); when empty, chunks go through sendJSON.
        std::function<void(QByteArrayView json, QLatin1StringView type)> sendJSONText;
        std::function<void(const RelayResponse &)> send;
    };

    // What the pipeline uses; the backends are not owned and must outlive
    // the chats (both resolve their callers when they go).
    struct Links {
        ChatBackend *webSocket = nullptr;
        ChatBackend *http = nullptr;
        // The socket is not usable now but is on its way (connecting, or
        // reconnecting to a gateway that answered recently): worth a wait.
        std::function<bool()> webSocketExpected;
        // Asks a socket that gave up reconnecting for a fresh round (a chat
        // wants it); may be empty.
        std::function<void()> wakeWebSocket;
        Replies replies;
    };

    ChatPipeline(Links links, Timings timings = {}, QObject *parent = nullptr);
    ~ChatPipeline() override;

    // Starts the road of one request that carries "id" and "appUserId";
    // runs on by itself. A request whose id is already running is ignored.
    void handleChatMessage(const RelayMessage &message);

    // Chats running or waiting for a backend.
    int chatsInFlight() const { return int(m_running.size()); }

    // The gateway socket's state changed: chats waiting for it look again.
    void webSocketStateChanged();

    // The relay link stopped taking data (congested) or took it again
    // (drained). While it is congested a chat's chunks are held, merged into
    // one per chat (its deltas joined, the newest accumulated text), so what
    // waits for the relay is bounded by the answers themselves, not by how
    // finely the gateway streams them; they go out when it drains, or just
    // before their chat's closing message.
    void setRelayCongested(bool congested);
    bool isRelayCongested() const { return m_relayCongested; }
    // Chats whose chunks are held for a congested relay.
    int heldChunkCount() const { return int(m_heldOrder.size()); }

    // The text a relay user reads when the HTTP fallback found the endpoint
    // switched off.
    static QString endpointOffText();

Q_SIGNALS:
    // One chat went to the gateway (chatClosed follows).
    void chatStarted(const QString &replyTo);
    // One chat was answered in full (memory sync counts these).
    void chatAnswered(const QString &replyTo);
    // One chat got its closing message (answer or failure).
    void chatClosed(const QString &replyTo);

private:
    class Gate;

    QCoro::Task<> run(QString replyTo, QString appUserId, ChatRequest request);
    // True when the socket is usable or becomes so within the wait.
    QCoro::Task<bool> waitForWebSocket(QDeadlineTimer deadline);
    void sendFailure(const QString &replyTo, const QString &appUserId, const QString &description);
    void forwardChunk(const QString &replyTo, const QString &appUserId, const QString &delta,
                      const QString &accumulated);
    // Sends the chunk held for one chat, if any.
    void flushHeldChunk(const QString &replyTo);
    void sendChunk(const QString &replyTo, const QString &appUserId, const QString &delta, const QString &accumulated);

    // One chat's chunks merged while the relay is congested.
    struct HeldChunk {
        QString appUserId;
        QString delta;
        QString accumulated;
    };

    Links m_links;
    Timings m_timings;
    QSet<QString> m_running;
    std::shared_ptr<Gate> m_gate;
    bool m_relayCongested = false;
    QHash<QString, HeldChunk> m_heldChunks;
    QStringList m_heldOrder; // chats with a held chunk, oldest first
    // Each streaming chat's chunk writer (its text's escaping so far).
    QHash<QString, RelayOutbound::StreamChunkWriter> m_chunkWriters;
};

} // namespace halvex
