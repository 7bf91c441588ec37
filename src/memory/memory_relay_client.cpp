#include "memory/memory_relay_client.h"

#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"

#include <QJsonDocument>
#include <QJsonObject>

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

MemoryRelayClient::MemoryRelayClient(CredentialStore *credentials, QUrl relayOrigin, QString avatarId, Timings timings)
    : m_credentials(credentials), m_relayOrigin(std::move(relayOrigin)), m_avatarId(std::move(avatarId)),
      m_timings(timings)
{
}

// Requests in flight end with their streams, children of m_requests.
MemoryRelayClient::~MemoryRelayClient() = default;

QUrl MemoryRelayClient::memoryURL() const
{
    QUrl url = m_relayOrigin;
    url.setPath(QStringLiteral("/api/memory/") + m_avatarId);
    return url;
}

std::optional<FetchRequest> MemoryRelayClient::request() const
{
    const std::optional<QString> token = m_credentials->load(CredentialService::relay()).valueOr(std::nullopt);
    if (!token || token->isEmpty())
        return std::nullopt;
    FetchRequest request;
    request.url = memoryURL();
    // The session token goes to this origin only: no redirect is followed.
    request.bearerToken = *token;
    request.deadline = m_timings.requestTimeout;
    request.maxBodyBytes = kMaxAnswerBytes;
    return request;
}

QCoro::Task<MemoryRelayClient::Answer> MemoryRelayClient::run(FetchRequest request)
{
    const Result<HttpAnswer> answer = co_await fetch(std::move(request), m_requests.get());
    if (!answer)
        co_return Answer{-1, {}, httpFailure(answer.error()) == HttpFailure::tooLarge};
    co_return Answer{answer->status, answer->body, false};
}

QCoro::Task<Result<SoulFileResponse>> MemoryRelayClient::fetchSoulFile()
{
    std::optional<FetchRequest> read = request();
    if (!read)
        co_return Error(MemorySyncError::noRelayAuth());
    const Answer answer = co_await run(std::move(*read));
    if (answer.tooLarge)
        co_return Error::plain(QStringLiteral("The relay's answer is larger than %1 MiB.").arg(kMaxAnswerBytes >> 20));
    if (answer.status != 200)
        co_return Error(MemorySyncError::relayError(answer.status));
    co_return SoulFileResponse::decode(answer.body);
}

QCoro::Task<Result<Done>> MemoryRelayClient::pushSoulFile(SoulFile soulFile, SoulFileResponse basis)
{
    std::optional<FetchRequest> write = request();
    if (!write)
        co_return Error(MemorySyncError::noRelayAuth());
    write->method = QByteArrayLiteral("PUT");
    write->headers.append({QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/json")});
    if (!basis.data)
        write->headers.append({QByteArrayLiteral("If-None-Match"), QByteArrayLiteral("*")});
    else if (const std::optional<QByteArray> tag = entityTag(basis.updatedAt.value_or(QString())))
        write->headers.append({QByteArrayLiteral("If-Match"), *tag});
    write->body =
        QJsonDocument(QJsonObject{{QStringLiteral("data"), soulFile.toJson()}}).toJson(QJsonDocument::Compact);
    const Answer answer = co_await run(std::move(*write));
    if (answer.status == 412 || answer.status == 409)
        co_return Error(MemorySyncError::changedMeanwhile(answer.status));
    if (answer.status != 200)
        co_return Error(MemorySyncError::relayError(answer.status));
    co_return Done{};
}

} // namespace halvex
