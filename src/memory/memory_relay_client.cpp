#include "memory/memory_relay_client.h"

#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <qcoro/qcorosignal.h>

namespace halvex {

namespace {

// A fetch's "updated_at" as an HTTP entity tag; nothing when it holds a
// character an entity tag cannot (then the write goes without condition).
std::optional<QByteArray> entityTag(const QString &updatedAt)
{
    if (updatedAt.isEmpty() || updatedAt.size() > 256)
        return std::nullopt;
    for (const QChar c : updatedAt) {
        if (c.unicode() < 0x21 || c.unicode() > 0x7e || c == QLatin1Char('"'))
            return std::nullopt;
    }
    return '"' + updatedAt.toLatin1() + '"';
}

} // namespace

QString MemorySyncError::description() const
{
    switch (m_kind) {
    case Kind::relayError:
        return QStringLiteral("Relay error (HTTP %1)").arg(m_status);
    case Kind::noRelayAuth:
        return QStringLiteral("No relay authentication token");
    case Kind::networkError:
        return QStringLiteral("Network error");
    case Kind::changedMeanwhile:
        return QStringLiteral("The soul file changed on the relay while it was written (HTTP %1)").arg(m_status);
    }
    return {};
}

MemoryRelayClient::MemoryRelayClient(QNetworkAccessManager *network, CredentialStore *credentials, QUrl relayOrigin,
                                     QString avatarId, Timings timings)
    : m_network(network), m_credentials(credentials), m_relayOrigin(std::move(relayOrigin)),
      m_avatarId(std::move(avatarId)), m_timings(timings)
{
}

MemoryRelayClient::~MemoryRelayClient()
{
    *m_alive = false;
    const QList<QPointer<QNetworkReply>> inFlight = std::exchange(m_inFlight, {});
    for (const QPointer<QNetworkReply> &reply : inFlight) {
        if (reply && !reply->isFinished())
            reply->abort();
    }
}

QUrl MemoryRelayClient::memoryURL() const
{
    QUrl url = m_relayOrigin;
    url.setPath(QStringLiteral("/api/memory/") + m_avatarId);
    return url;
}

std::optional<QNetworkRequest> MemoryRelayClient::request() const
{
    const std::optional<QString> token = m_credentials->load(CredentialService::relay()).valueOr(std::nullopt);
    if (!token || token->isEmpty())
        return std::nullopt;
    QNetworkRequest request(memoryURL());
    request.setRawHeader("Authorization", "Bearer " + token->toUtf8());
    request.setTransferTimeout(m_timings.requestTimeoutMs);
    // The session token never follows a redirect to another origin.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    return request;
}

QCoro::Task<MemoryRelayClient::Answer> MemoryRelayClient::run(QNetworkReply *reply)
{
    m_inFlight.append(reply);
    const std::shared_ptr<bool> alive = m_alive;
    auto answer = std::make_shared<Answer>();
    // The body is read as it arrives so that an oversized answer is cut off
    // before it fills memory.
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, answer] {
        if (answer->tooLarge)
            return;
        answer->body += reply->read(kMaxAnswerBytes + 1 - answer->body.size());
        if (answer->body.size() > kMaxAnswerBytes) {
            answer->tooLarge = true;
            answer->body.clear();
            reply->abort();
        }
    });
    if (!reply->isFinished())
        co_await qCoro(reply, &QNetworkReply::finished);
    reply->deleteLater();
    if (!*alive)
        co_return Answer{};
    m_inFlight.removeAll(reply);
    if (!answer->tooLarge && reply->isOpen())
        answer->body += reply->read(kMaxAnswerBytes + 1 - answer->body.size());
    if (answer->body.size() > kMaxAnswerBytes) {
        answer->tooLarge = true;
        answer->body.clear();
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && !answer->tooLarge)
        answer->status = status.toInt();
    co_return *answer;
}

QCoro::Task<Result<SoulFileResponse>> MemoryRelayClient::fetchSoulFile()
{
    const std::optional<QNetworkRequest> fetch = request();
    if (!fetch)
        co_return Error(MemorySyncError::noRelayAuth());
    const Answer answer = co_await run(m_network->get(*fetch));
    if (answer.tooLarge)
        co_return Error::plain(QStringLiteral("The relay's answer is larger than %1 MiB.").arg(kMaxAnswerBytes >> 20));
    if (answer.status != 200)
        co_return Error(MemorySyncError::relayError(answer.status));
    co_return SoulFileResponse::decode(answer.body);
}

QCoro::Task<Result<Done>> MemoryRelayClient::pushSoulFile(SoulFile soulFile, SoulFileResponse basis)
{
    std::optional<QNetworkRequest> write = request();
    if (!write)
        co_return Error(MemorySyncError::noRelayAuth());
    write->setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (!basis.data)
        write->setRawHeader("If-None-Match", "*");
    else if (const std::optional<QByteArray> tag = entityTag(basis.updatedAt.value_or(QString())))
        write->setRawHeader("If-Match", *tag);
    const QByteArray body =
        QJsonDocument(QJsonObject{{QStringLiteral("data"), soulFile.toJson()}}).toJson(QJsonDocument::Compact);
    const Answer answer = co_await run(m_network->put(*write, body));
    if (answer.status == 412 || answer.status == 409)
        co_return Error(MemorySyncError::changedMeanwhile(answer.status));
    if (answer.status != 200)
        co_return Error(MemorySyncError::relayError(answer.status));
    co_return Done{};
}

} // namespace halvex
