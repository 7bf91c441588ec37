#pragma once

#include "gateway/chat_backend.h"
#include "gateway/event_stream_reader.h"
#include "gateway/gateway_target.h"
#include "platform/chat_message.h"
#include "platform/error.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QList>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>

class QNetworkAccessManager;
class QNetworkRequest;

namespace halvex {

// The non-streaming answer: every choice must carry a message with a string
// role and content; other members are ignored.
struct ChatResponse {
    struct Message {
        QString role;
        QString content;
    };
    struct Choice {
        Message message;
    };
    QList<Choice> choices;

    // The error's description says what was wrong.
    static Result<ChatResponse> decode(const QByteArray &json);
};

// The HTTP side of the gateway link: chat completions (whole or streamed as
// server-sent events) and a cheap reachability probe. Fields are read when
// each request is built, so the owner may change them at any time.
class GatewayHttpClient : public QObject, public ChatBackend
{
    Q_OBJECT
public:
    // Time limits in milliseconds and size limits; tests shrink them.
    struct Timings {
        int chatTimeoutMs = 120000;
        int probeTimeoutMs = 5000;
        // A whole answer, or an error body, larger than this fails.
        qint64 maxBodyBytes = 4 * 1024 * 1024;
        // One event-stream line longer than this fails the stream.
        qint64 maxEventLineBytes = 1024 * 1024;
    };

    // The network access manager is not owned and must outlive the client.
    GatewayHttpClient(QNetworkAccessManager *network, QUrl endpointURL, QString gatewayToken, Timings timings,
                      QObject *parent = nullptr);
    GatewayHttpClient(QNetworkAccessManager *network, QUrl endpointURL, QString gatewayToken, QObject *parent = nullptr)
        : GatewayHttpClient(network, std::move(endpointURL), std::move(gatewayToken), Timings{}, parent)
    {
    }
    // Requests still in flight are aborted; their callers get an error.
    ~GatewayHttpClient() override;

    // The gateway's endpoint, token and certificate pin in one step; the
    // target stays readable for those who probe the same gateway.
    void setTarget(const GatewayTarget &target)
    {
        m_target = target;
        setEndpointURL(target.endpoint);
        setGatewayToken(target.token);
        setTlsPin(target.tlsPin);
    }
    // The target as this client reaches it now (the setters below win).
    GatewayTarget target() const
    {
        GatewayTarget current = m_target;
        current.endpoint = m_endpointURL;
        current.token = m_gatewayToken;
        current.tlsPin = m_tlsPin;
        current.tlsEnabled = m_endpointURL.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
        return current;
    }
    QUrl endpointURL() const { return m_endpointURL; }
    void setEndpointURL(const QUrl &url) { m_endpointURL = url; }
    QString gatewayToken() const { return m_gatewayToken; }
    void setGatewayToken(const QString &token) { m_gatewayToken = token; }
    QString agentId() const { return m_agentId; }
    void setAgentId(const QString &agentId) { m_agentId = agentId; }
    // The SHA-256 of the certificate an https gateway must show
    // (platform/tls_pin.h); empty for the ordinary verification. Another
    // certificate gets no request, and the call fails with the mismatch
    // sentence.
    QByteArray tlsPin() const { return m_tlsPin; }
    void setTlsPin(const QByteArray &sha256) { m_tlsPin = sha256; }

    // A whole chat completion: the first choice's content.
    QCoro::Task<Result<QString>> sendChat(ChatMessages messages);
    // A streamed chat completion: onDelta per fragment, then the full text.
    // Exactly one outcome per call.
    QCoro::Task<Result<QString>> sendChatStreaming(ChatMessages messages, DeltaHandler onDelta);

    // ChatBackend: a streamed chat of the request's whole message list to
    // its agent, ended by its deadline at the latest.
    bool isUsableForChat() const override;
    QCoro::Task<Result<QString>> sendChat(ChatCallRequest request, DeltaHandler onDelta) override;
    void cancelChat(const QString &requestId) override;

    // Pauses (and resumes) reading the streamed replies: while paused, what
    // the gateway sends stays in each reply's bounded buffer, so TCP slows
    // the gateway down. Resuming processes what was buffered at once. A
    // stream that ends while paused reports its outcome after resuming.
    void setStreamReadingPaused(bool paused);
    bool isStreamReadingPaused() const { return m_streamReadingPaused; }

private:
    QNetworkRequest chatRequest(const QString &agentId) const;
    QCoro::Task<Result<QString>> streamChat(ChatMessages messages, QString agentId, DeltaHandler onDelta,
                                            QDeadlineTimer deadline, QString requestId);
    QByteArray chatBody(const ChatMessages &messages, const QString &agentId, bool stream) const;
    QNetworkReply *track(QNetworkReply *reply);

    // One streamed reply being read; lives in its request's coroutine.
    struct ActiveStream;

    QNetworkAccessManager *m_network;
    GatewayTarget m_target;
    QUrl m_endpointURL;
    QString m_gatewayToken;
    QString m_agentId = OpenClawConfig::mobileAgentId();
    QByteArray m_tlsPin;
    Timings m_timings;
    // Requests in flight, aborted when the client goes away. `m_alive` tells
    // a request's coroutine whether the client still exists when it resumes.
    QList<QPointer<QNetworkReply>> m_inFlight;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    QList<ActiveStream *> m_streams;
    // Streamed chats by request id, for cancelChat().
    QHash<QString, ActiveStream *> m_chatsById;
    bool m_streamReadingPaused = false;
};

} // namespace halvex
