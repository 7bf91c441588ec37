#include "gateway/gateway_http_client.h"

#include "platform/logging.h"
#include "platform/net/http_client.h"
#include "platform/net/next_emission.h"
#include "platform/net/tls_pin.h"
#include "platform/utf8.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTimer>

#include <qcoro/qcorosignal.h>

namespace halvex {

namespace {

// Waits until the streamed exchange is over; it reports that from the
// event loop.
QCoro::Task<> finished(HttpStream *stream)
{
    if (!stream->isFinished())
        co_await qCoro(stream, &HttpStream::finished);
}

// Hands the stream back for deletion when the request's coroutine ends,
// after its last use.
struct StreamRelease {
    HttpStream *stream;
    ~StreamRelease() { stream->deleteLater(); }
};

// How much of a streamed answer is buffered unread; once full, nothing more
// is read from the connection.
constexpr qint64 kStreamReadBufferSize = 64 * 1024;
// The longest answer head a gateway may send.
constexpr qint64 kMaxHeadBytes = 64 * 1024;

// Wakes a request's coroutine that waits for reading to resume.
class ResumeGate : public QObject
{
    Q_OBJECT
Q_SIGNALS:
    void opened();
};

} // namespace

struct GatewayHttpClient::ActiveStream {
    // Feeds what the reply has buffered to its parser, line by line, until
    // reading is paused.
    std::function<void()> read;
    ResumeGate gate;
    QPointer<HttpStream> http;
    bool cancelled = false;
};

GatewayHttpClient::GatewayHttpClient(QUrl endpointURL, QString gatewayToken, Timings timings, QObject *parent)
    : QObject(parent), m_endpointURL(std::move(endpointURL)), m_gatewayToken(std::move(gatewayToken)),
      m_timings(timings)
{
}

GatewayHttpClient::~GatewayHttpClient()
{
    *m_alive = false;
    // A stream still running ends now; one that waits for reading to
    // resume reads the rest and ends.
    const QList<ActiveStream *> streams = std::exchange(m_streams, {});
    for (ActiveStream *stream : streams) {
        if (stream->http && !stream->http->isFinished())
            stream->http->abort();
    }
    for (ActiveStream *stream : streams)
        Q_EMIT stream->gate.opened();
}

void GatewayHttpClient::setStreamReadingPaused(bool paused)
{
    if (m_streamReadingPaused == paused)
        return;
    m_streamReadingPaused = paused;
    qCDebug(lcOpenClaw, "Stream reading %s", paused ? "paused" : "resumed");
    if (paused)
        return;
    // What was forwarded while resuming may pause reading again (the rest
    // waits for the next resume), or a delta handler may destroy the client.
    const std::shared_ptr<bool> alive = m_alive;
    const QList<ActiveStream *> streams = m_streams;
    for (ActiveStream *stream : streams) {
        if (!*alive || m_streamReadingPaused)
            break;
        if (!m_streams.contains(stream))
            continue;
        stream->read();
        Q_EMIT stream->gate.opened();
    }
}

QByteArray GatewayHttpClient::chatBody(const ChatMessages &messages, const QString &agentId) const
{
    QJsonArray list;
    for (const ChatMessage &message : messages) {
        QJsonObject object;
        for (auto it = message.cbegin(); it != message.cend(); ++it)
            object.insert(it.key(), it.value());
        list.append(object);
    }
    // The gateway names its agents as models; a bare "default" is refused.
    const QString model = agentId.isEmpty() ? QStringLiteral("openclaw") : QStringLiteral("openclaw/") + agentId;
    const QJsonObject body{
        {QStringLiteral("messages"), list},
        {QStringLiteral("model"), model},
        {QStringLiteral("stream"), true},
    };
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

QCoro::Task<Result<QString>> GatewayHttpClient::sendChatStreaming(ChatMessages messages, DeltaHandler onDelta)
{
    return streamChat(std::move(messages), OpenClawConfig::mobileAgentId(), std::move(onDelta),
                      QDeadlineTimer(QDeadlineTimer::Forever), QString());
}

bool GatewayHttpClient::isUsableForChat() const
{
    return m_endpointURL.isValid() && !m_endpointURL.host().isEmpty();
}

QCoro::Task<Result<QString>> GatewayHttpClient::sendChat(ChatCallRequest request, DeltaHandler onDelta)
{
    return streamChat(std::move(request.messages), request.agentId, std::move(onDelta), request.deadline,
                      request.requestId);
}

void GatewayHttpClient::cancelChat(const QString &requestId)
{
    ActiveStream *stream = m_chatsById.value(requestId);
    if (!stream || !stream->http)
        return;
    stream->cancelled = true;
    stream->http->abort();
}

QCoro::Task<Result<QString>> GatewayHttpClient::streamChat(ChatMessages messages, QString agentId, DeltaHandler onDelta,
                                                           QDeadlineTimer deadline, QString requestId)
{
    std::optional<Result<QString>> outcome;
    EventStreamReader reader(std::move(onDelta), [&outcome](Result<QString> result) {
        if (!outcome)
            outcome.emplace(std::move(result));
    });
    reader.setLimits(m_timings.maxEventLineBytes, m_timings.maxBodyBytes);

    // A connection of its own, read on this thread: any number of chats
    // stream side by side, and no fragment crosses threads.
    HttpStream::Headers headers{{QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/json")},
                                {QByteArrayLiteral("Accept"), QByteArrayLiteral("text/event-stream")},
                                {QByteArrayLiteral("x-openclaw-agent-id"), agentId.toUtf8()}};
    if (!m_gatewayToken.isEmpty())
        headers.append({QByteArrayLiteral("Authorization"), "Bearer " + m_gatewayToken.toUtf8()});
    auto *http = new HttpStream(withAppendedPath(m_endpointURL, QStringLiteral("/v1/chat/completions")),
                                QByteArrayLiteral("POST"), std::move(headers), chatBody(messages, agentId),
                                HttpStream::Limits{m_timings.chatTimeout, kMaxHeadBytes, kStreamReadBufferSize});
    http->setPinnedCertificate(m_tlsPin);
    http->setListenerOwners(m_target.listenerOwners);
    const StreamRelease release{http};
    const std::shared_ptr<bool> alive = m_alive;
    reader.setCancel([http] { http->abort(); });

    ActiveStream stream;
    stream.http = http;
    stream.read = [this, alive, &reader, http] {
        // Line by line, so that a pause takes effect at once; "[DONE]"
        // aborts (and closes) the stream.
        while (http->isOpen() && http->bytesAvailable() > 0 && !reader.isComplete()) {
            if (*alive && m_streamReadingPaused)
                return;
            reader.feed(http->canReadLine() ? http->readLine() : http->readAll());
        }
    };
    m_streams.append(&stream);
    // A request id already streaming keeps its entry; this one cannot then
    // be cancelled by id.
    const bool byId = !requestId.isEmpty() && !m_chatsById.contains(requestId);
    if (byId)
        m_chatsById.insert(requestId, &stream);
    // However the frame ends, a living client forgets the stream.
    const auto forget = qScopeGuard([this, alive, &stream, byId, requestId] {
        if (!*alive)
            return;
        m_streams.removeAll(&stream);
        if (byId)
            m_chatsById.remove(requestId);
    });

    // The handlers live exactly as long as this frame.
    QObject context;
    QObject::connect(http, &HttpStream::headReceived, &context, [&reader, http] { reader.setStatus(http->status()); });
    QObject::connect(http, &HttpStream::readyRead, &context, [&stream] { stream.read(); });
    // The whole chat ends by its deadline, however slowly the answer trickles.
    if (!deadline.isForever())
        QTimer::singleShot(std::max<qint64>(0, deadline.remainingTime()), &context,
                           [http] { http->abort(QStringLiteral("The request timed out.")); });
    http->start();

    co_await finished(http);
    QObject::disconnect(http, nullptr, &context, nullptr);

    // Everything the stream still holds is read before its outcome; while
    // reading is paused that waits for the resume.
    for (;;) {
        stream.read();
        if (reader.isComplete() || !http->isOpen() || http->bytesAvailable() == 0)
            break;
        co_await nextEmission(&stream.gate, &ResumeGate::opened);
    }

    if (!reader.isComplete()) {
        reader.setStatus(http->status());
        if (http->isOpen()) // an aborted stream holds nothing
            reader.feed(http->readAll());
        reader.finish(stream.cancelled ? std::optional<QString>(QStringLiteral("The chat was cancelled."))
                                       : http->failure());
    }
    co_return std::move(*outcome);
}

} // namespace halvex

#include "gateway_http_client.moc"
