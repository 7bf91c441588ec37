#pragma once

#include "gateway/chat_backend.h"
#include "gateway/event_stream_reader.h"
#include "gateway/gateway_target.h"
#include "gateway/limits.h"
#include "platform/chat_message.h"
#include "platform/error.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>

namespace halvex {

// The HTTP side of the gateway link: chat completions streamed as
// server-sent events. Fields are read when
// each request is built, so the owner may change them at any time.
class GatewayHttpClient : public QObject, public ChatBackend
{
    Q_OBJECT
public:
    // Time limits in milliseconds and size limits; tests shrink them.
    struct Timings {
        std::chrono::milliseconds chatTimeout = limits::chatDeadline;
        // A whole answer, or an error body, larger than this fails.
        qint64 maxBodyBytes = 4 * 1024 * 1024;
        // One event-stream line longer than this fails the stream.
        qint64 maxEventLineBytes = 1024 * 1024;
    };

    GatewayHttpClient(QUrl endpointURL, QString gatewayToken, Timings timings, QObject *parent = nullptr);
    GatewayHttpClient(QUrl endpointURL, QString gatewayToken, QObject *parent = nullptr)
        : GatewayHttpClient(std::move(endpointURL), std::move(gatewayToken), Timings{}, parent)
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
    // The SHA-256 of the certificate an https gateway must show
    // (platform/tls_pin.h); empty for the ordinary verification. Another
    // certificate gets no request, and the call fails with the mismatch
    // sentence.
    QByteArray tlsPin() const { return m_tlsPin; }
    void setTlsPin(const QByteArray &sha256) { m_tlsPin = sha256; }

    // A streamed chat completion to the mobile agent: onDelta per fragment,
    // then the full text.
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
    QCoro::Task<Result<QString>> streamChat(ChatMessages messages, QString agentId, DeltaHandler onDelta,
                                            QDeadlineTimer deadline, QString requestId);
    QByteArray chatBody(const ChatMessages &messages, const QString &agentId) const;

    // One streamed reply being read; lives in its request's coroutine.
    struct ActiveStream;

    GatewayTarget m_target;
    QUrl m_endpointURL;
    QString m_gatewayToken;
    QByteArray m_tlsPin;
    Timings m_timings;
    // Tells a request's coroutine whether the client still exists when it
    // resumes.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    QList<ActiveStream *> m_streams;
    // Streamed chats by request id, for cancelChat().
    QHash<QString, ActiveStream *> m_chatsById;
    bool m_streamReadingPaused = false;
};

} // namespace halvex
