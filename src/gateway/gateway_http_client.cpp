#include "gateway/gateway_http_client.h"

#include "gateway/http_stream.h"
#include "platform/logging.h"
#include "platform/net/next_emission.h"
#include "platform/net/tls_pin.h"
#include "platform/utf8.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QScopeGuard>
#include <QTimer>

#include <qcoro/qcorosignal.h>

namespace halvex {

namespace {

// Appends a path such as "/v1/models" to the endpoint's own path, keeping
// any base path and never doubling the slash between them.
QUrl appendingPathComponent(QUrl url, const QString &component)
{
    QString path = url.path(QUrl::FullyEncoded);
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    url.setPath(path + component, QUrl::TolerantMode);
    return url;
}

// The token goes to the gateway's own address alone: a redirect is an
// answer like any other, never followed with the header on it.
void setBearer(QNetworkRequest &request, const QString &token)
{
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
}

std::optional<int> httpStatus(const QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return std::nullopt;
    return status.toInt();
}

// Connection, TLS and proxy failures (Qt's codes below 200) as opposed to
// the codes Qt derives from an HTTP error status.
bool isConnectionError(QNetworkReply::NetworkError error)
{
    return error != QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied;
}

// The transport failure of a finished reply, if it had one: any error when
// no HTTP answer or a 200 answer arrived, only a connection failure when the
// server answered with another status (that status is reported instead).
std::optional<QString> transportFailure(const QNetworkReply *reply)
{
    if (reply->error() == QNetworkReply::NoError)
        return std::nullopt;
    const std::optional<int> status = httpStatus(reply);
    if (!status || *status == 200 || isConnectionError(reply->error()))
        return reply->errorString();
    return std::nullopt;
}

// The transport failure as the caller should read it. With the client alive,
// a cancelled reply can only be the transfer time-out, which Qt reports as a
// bare "Operation canceled".
std::optional<QString> transportFailure(const QNetworkReply *reply, bool clientAlive)
{
    std::optional<QString> failure = transportFailure(reply);
    if (failure && clientAlive && reply->error() == QNetworkReply::OperationCanceledError)
        failure = QStringLiteral("The request timed out.");
    return failure;
}

// Waits until the reply has finished. The caller resumes from the event loop,
// never from inside the reply's own signal emission, so the reply's handlers
// (which live in the caller's frame) have returned before the frame can end.
QCoro::Task<> finished(QNetworkReply *reply)
{
    if (!reply->isFinished())
        co_await qCoro(reply, &QNetworkReply::finished);
}

// Waits until the streamed exchange is over; it reports that from the
// event loop.
QCoro::Task<> finished(HttpStream *stream)
{
    if (!stream->isFinished())
        co_await qCoro(stream, &HttpStream::finished);
}

// Hands the reply (or stream) back for deletion when the request's
// coroutine ends, after its last use.
template <typename T>
struct Release {
    T *object;
    ~Release() { object->deleteLater(); }
};
using ReplyRelease = Release<QNetworkReply>;

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

constexpr double kMiB = 1024.0 * 1024.0;

QString tooLarge(qint64 limit)
{
    return QStringLiteral("OpenClaw's answer is larger than %1 MiB").arg(double(limit) / kMiB);
}

QString decodingFailure(const QString &what)
{
    return QStringLiteral("The chat completion from OpenClaw could not be read: %1.").arg(what);
}

} // namespace

struct GatewayHttpClient::ActiveStream {
    // Feeds what the reply has buffered to its parser, line by line, until
    // reading is paused.
    std::function<void()> read;
    ResumeGate gate;
    QPointer<HttpStream> http;
    bool cancelled = false;
};

Result<ChatResponse> ChatResponse::decode(const QByteArray &json)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return Error::plain(
            decodingFailure(QStringLiteral("%1 at offset %2").arg(parseError.errorString()).arg(parseError.offset)));
    if (!document.isObject())
        return Error::plain(decodingFailure(QStringLiteral("the answer is not a JSON object")));
    const QJsonValue choicesValue = document.object().value(QLatin1String("choices"));
    if (!choicesValue.isArray())
        return Error::plain(decodingFailure(QStringLiteral("\"choices\" is missing or not an array")));

    ChatResponse response;
    const QJsonArray choices = choicesValue.toArray();
    for (qsizetype i = 0; i < choices.size(); ++i) {
        const QJsonValue message = choices.at(i).toObject().value(QLatin1String("message"));
        const QJsonValue role = message.toObject().value(QLatin1String("role"));
        const QJsonValue content = message.toObject().value(QLatin1String("content"));
        if (!message.isObject() || !role.isString() || !content.isString())
            return Error::plain(
                decodingFailure(QStringLiteral("choice %1 has no message with a string role and content").arg(i)));
        response.choices.append(Choice{Message{role.toString(), content.toString()}});
    }
    return response;
}

GatewayHttpClient::GatewayHttpClient(QNetworkAccessManager *network, QUrl endpointURL, QString gatewayToken,
                                     Timings timings, QObject *parent)
    : QObject(parent), m_network(network), m_endpointURL(std::move(endpointURL)),
      m_gatewayToken(std::move(gatewayToken)), m_timings(timings)
{
}

GatewayHttpClient::~GatewayHttpClient()
{
    *m_alive = false;
    // Each abort finishes its reply; the waiting coroutine resumes later from
    // the event loop and resolves its caller with the cancellation error.
    const QList<QPointer<QNetworkReply>> inFlight = std::exchange(m_inFlight, {});
    for (const QPointer<QNetworkReply> &reply : inFlight) {
        if (reply && !reply->isFinished())
            reply->abort();
    }
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

QNetworkRequest GatewayHttpClient::chatRequest(const QString &agentId) const
{
    QNetworkRequest request(appendingPathComponent(m_endpointURL, QStringLiteral("/v1/chat/completions")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    setBearer(request, m_gatewayToken);
    request.setRawHeader("x-openclaw-agent-id", agentId.toUtf8());
    request.setTransferTimeout(m_timings.chatTimeoutMs);
    // The token goes to this gateway only: a redirect is an answer, not a
    // place to send it.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    return request;
}

QByteArray GatewayHttpClient::chatBody(const ChatMessages &messages, const QString &agentId, bool stream) const
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
        {QStringLiteral("stream"), stream},
    };
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

QNetworkReply *GatewayHttpClient::track(QNetworkReply *reply)
{
    m_inFlight.removeAll(QPointer<QNetworkReply>());
    m_inFlight.append(reply);
    return reply;
}

QCoro::Task<Result<QString>> GatewayHttpClient::sendChat(ChatMessages messages)
{
    QNetworkReply *reply = track(m_network->post(chatRequest(m_agentId), chatBody(messages, m_agentId, false)));
    pinCertificate(reply, m_tlsPin);
    const ReplyRelease release{reply};
    const std::shared_ptr<bool> alive = m_alive;
    const qint64 maxBodyBytes = m_timings.maxBodyBytes;

    // The body is collected as it arrives, and only up to its limit.
    QByteArray body;
    bool overLimit = false;
    QObject context;
    QObject::connect(reply, &QNetworkReply::readyRead, &context, [&body, &overLimit, reply, maxBodyBytes] {
        body.append(reply->readAll());
        if (body.size() > maxBodyBytes && !overLimit) {
            overLimit = true;
            reply->abort();
        }
    });

    co_await finished(reply);
    // From here on `this` may be gone: only locals are used.
    if (*alive)
        m_inFlight.removeAll(reply);
    QObject::disconnect(reply, nullptr, &context, nullptr);
    if (overLimit)
        co_return BridgeError::apiError(tooLarge(maxBodyBytes));
    if (const std::optional<QString> failure = pinFailure(reply))
        co_return Error::plain(*failure);

    if (const std::optional<QString> failure = transportFailure(reply, *alive))
        co_return Error::plain(*failure);
    const std::optional<int> status = httpStatus(reply);
    if (!status)
        co_return BridgeError::networkError(QStringLiteral("Invalid response from OpenClaw"));
    if (reply->isOpen())
        body.append(reply->readAll());
    if (*status != 200) {
        const QString text = strictUtf8(body).value_or(QStringLiteral("Unknown error"));
        qCCritical(lcOpenClaw, "OpenClaw returned %ld: %s", long(*status), qUtf8Printable(text));
        co_return httpStatusFailure(*status, text);
    }
    Result<ChatResponse> response = ChatResponse::decode(body);
    if (!response)
        co_return response.error();
    if (response->choices.isEmpty())
        co_return BridgeError::apiError(QStringLiteral("Empty response from OpenClaw"));
    co_return response->choices.first().message.content;
}

QCoro::Task<Result<QString>> GatewayHttpClient::sendChatStreaming(ChatMessages messages, DeltaHandler onDelta)
{
    return streamChat(std::move(messages), m_agentId, std::move(onDelta), QDeadlineTimer(QDeadlineTimer::Forever),
                      QString());
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
    auto *http = new HttpStream(appendingPathComponent(m_endpointURL, QStringLiteral("/v1/chat/completions")),
                                QByteArrayLiteral("POST"), std::move(headers), chatBody(messages, agentId, true),
                                HttpStream::Limits{m_timings.chatTimeoutMs, kMaxHeadBytes, kStreamReadBufferSize});
    http->setPinnedCertificate(m_tlsPin);
    const Release<HttpStream> release{http};
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
