#include "account/relay_auth_service.h"

#include "platform/characters.h"
#include "platform/logging.h"
#include "platform/net/http_client.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

#include <algorithm>

namespace halvex {

namespace {

bool isMadeOf(const QString &text, qsizetype maxLength, QLatin1StringView extra)
{
    if (text.isEmpty() || text.size() > maxLength)
        return false;
    return std::all_of(text.begin(), text.end(), [extra](QChar c) {
        const char16_t u = c.unicode();
        return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') || extra.contains(c);
    });
}

Error decodingError(const QString &what)
{
    return Error::plain(QStringLiteral("The relay's answer could not be read: %1.").arg(what));
}

Result<QJsonObject> parseObject(const QByteArray &json)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return decodingError(QStringLiteral("%1 at offset %2").arg(parseError.errorString()).arg(parseError.offset));
    if (!document.isObject())
        return decodingError(QStringLiteral("it is not a JSON object"));
    return document.object();
}

Result<QString> requiredString(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull())
        return decodingError(QStringLiteral("\"%1\" is missing").arg(QLatin1String(key)));
    if (!value.isString())
        return decodingError(QStringLiteral("\"%1\" is not a string").arg(QLatin1String(key)));
    return value.toString();
}

// Absent or null: none. Present with another type: a decoding failure.
Result<std::optional<QString>> optionalString(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull())
        return std::optional<QString>();
    if (!value.isString())
        return decodingError(QStringLiteral("\"%1\" is not a string").arg(QLatin1String(key)));
    return std::optional<QString>(value.toString());
}

} // namespace

bool isBridgeId(const QString &text)
{
    return isMadeOf(text, 64, QLatin1StringView("-_"));
}

bool isPairingCode(const QString &text)
{
    return isMadeOf(text, 32, QLatin1StringView("-"));
}

Result<AuthResponse> AuthResponse::decode(const QByteArray &json)
{
    const Result<QJsonObject> object = parseObject(json);
    if (!object)
        return object.error();
    const Result<QString> token = requiredString(*object, "token");
    if (!token)
        return token.error();
    const Result<std::optional<QString>> userId = optionalString(*object, "userId");
    if (!userId)
        return userId.error();
    return AuthResponse{*token, *userId};
}

Result<PairResponse> PairResponse::decode(const QByteArray &json)
{
    const Result<QJsonObject> object = parseObject(json);
    if (!object)
        return object.error();
    const Result<QString> code = requiredString(*object, "code");
    if (!code)
        return code.error();
    if (!isPairingCode(*code))
        return decodingError(QStringLiteral("\"code\" is no pairing code (%1)").arg(quotedForLog(*code, 40)));
    const Result<std::optional<QString>> expiresAt = optionalString(*object, "expiresAt");
    if (!expiresAt)
        return expiresAt.error();
    return PairResponse{*code, *expiresAt};
}

Result<PairVerifyResponse> PairVerifyResponse::decode(const QByteArray &json)
{
    const Result<QJsonObject> object = parseObject(json);
    if (!object)
        return object.error();
    const Result<QString> bridgeToken = requiredString(*object, "bridgeToken");
    if (!bridgeToken)
        return bridgeToken.error();
    const Result<QString> bridgeId = requiredString(*object, "bridgeId");
    if (!bridgeId)
        return bridgeId.error();
    if (!isBridgeId(*bridgeId))
        return decodingError(QStringLiteral("\"bridgeId\" is no bridge id (%1)").arg(quotedForLog(*bridgeId, 80)));
    return PairVerifyResponse{*bridgeToken, *bridgeId};
}

Result<MessageResponse> MessageResponse::decode(const QByteArray &json)
{
    const Result<QJsonObject> object = parseObject(json);
    if (!object)
        return object.error();
    const Result<QString> message = requiredString(*object, "message");
    if (!message)
        return message.error();
    return MessageResponse{*message};
}

RelayAuthService::RelayAuthService(QUrl baseURL, Timings timings) : m_baseURL(std::move(baseURL)), m_timings(timings)
{
}

// Requests still out end with their streams, children of m_requests.
RelayAuthService::~RelayAuthService() = default;

QCoro::Task<Result<QByteArray>> RelayAuthService::post(QString path, QJsonObject body, QString bearerToken)
{
    FetchRequest request;
    request.url = withAppendedPath(m_baseURL, path);
    request.method = QByteArrayLiteral("POST");
    request.headers = {{QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/json")}};
    request.body = QJsonDocument(body).toJson(QJsonDocument::Compact);
    request.bearerToken = std::move(bearerToken);
    request.deadline = m_timings.requestTimeout;
    request.maxBodyBytes = maxResponseBytes;
    // Credentials never follow a redirect to another origin (and a request
    // with a token follows none).
    request.redirects = RedirectPolicy::sameOrigin;
    const Result<HttpAnswer> answer = co_await fetch(std::move(request), m_requests.get());
    // From here on `this` may be gone: only locals are used.
    if (!answer) {
        switch (httpFailure(answer.error())) {
        case HttpFailure::tooLarge:
            qCCritical(lcAuth, "Relay answer to %s exceeds %lld bytes", qUtf8Printable(path), maxResponseBytes);
            co_return BridgeError::networkError(QStringLiteral("The relay's answer is too large"));
        case HttpFailure::timedOut:
        case HttpFailure::cancelled:
            co_return answer.error();
        case HttpFailure::notHttp:
            co_return BridgeError::networkError(QStringLiteral("Invalid response"));
        default:
            qCCritical(lcAuth, "Relay request %s failed: %s", qUtf8Printable(path),
                       qUtf8Printable(quotedForLog(answer.error().description())));
            co_return Error::plain(quotedForLog(answer.error().description(), 500));
        }
    }
    const int status = answer->status;
    if (status == 200)
        co_return answer->body;

    qCInfo(lcAuth, "Relay answered %d to %s", status, qUtf8Printable(path));
    const Result<QJsonObject> object = parseObject(answer->body);
    if (object) {
        const QJsonValue text = object->value(QLatin1String("error"));
        if (text.isString())
            co_return BridgeError::apiError(quotedForLog(text.toString(), 500), status);
    }
    co_return BridgeError::apiError(QStringLiteral("HTTP %1").arg(status), status);
}

template <typename T>
QCoro::Task<Result<T>> RelayAuthService::request(QString path, QJsonObject body, QString bearerToken)
{
    const Result<QByteArray> answer = co_await post(std::move(path), std::move(body), std::move(bearerToken));
    if (!answer)
        co_return answer.error();
    co_return T::decode(*answer);
}

QCoro::Task<Result<AuthResponse>> RelayAuthService::registerAccount(QString email, QString password)
{
    return request<AuthResponse>(QStringLiteral("/api/register"),
                                 {{QStringLiteral("email"), email}, {QStringLiteral("password"), password}});
}

QCoro::Task<Result<AuthResponse>> RelayAuthService::login(QString email, QString password)
{
    return request<AuthResponse>(QStringLiteral("/api/login"),
                                 {{QStringLiteral("email"), email}, {QStringLiteral("password"), password}});
}

QCoro::Task<Result<MessageResponse>> RelayAuthService::forgotPassword(QString email)
{
    return request<MessageResponse>(QStringLiteral("/api/forgot-password"), {{QStringLiteral("email"), email}});
}

QCoro::Task<Result<MessageResponse>> RelayAuthService::resetPassword(QString email, QString code, QString newPassword)
{
    return request<MessageResponse>(QStringLiteral("/api/reset-password"),
                                    {{QStringLiteral("email"), email},
                                     {QStringLiteral("code"), code},
                                     {QStringLiteral("newPassword"), newPassword}});
}

QCoro::Task<Result<PairResponse>> RelayAuthService::createPairingCode(QString relayToken)
{
    return request<PairResponse>(QStringLiteral("/api/pair"), QJsonObject{}, relayToken);
}

QCoro::Task<Result<PairVerifyResponse>> RelayAuthService::verifyPairing(QString code, QString bridgeName)
{
    return request<PairVerifyResponse>(QStringLiteral("/api/pair/verify"),
                                       {{QStringLiteral("code"), code}, {QStringLiteral("bridgeName"), bridgeName}});
}

} // namespace halvex
