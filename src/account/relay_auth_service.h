#pragma once

#include "platform/error.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <memory>
#include <optional>

namespace halvex {

// The relay's answers. Each decode() accepts a JSON object with the listed
// keys (others are ignored); a missing required key or a key of the wrong
// type fails with a description of what was wrong.
struct AuthResponse {
    QString token;
    std::optional<QString> userId;
    static Result<AuthResponse> decode(const QByteArray &json);
};

// What a bridge id looks like: letters, digits, '-' and '_', 1 to 64 of
// them. The id goes into the pairing payload, the settings and the log, so
// anything else from the relay (or found stored) is refused, not passed on.
bool isBridgeId(const QString &text);
// What a pairing code looks like: letters, digits and '-', 1 to 32 of them
// (the phone shows "XXXX-XXXX").
bool isPairingCode(const QString &text);

struct PairResponse {
    QString code;
    std::optional<QString> expiresAt;
    static Result<PairResponse> decode(const QByteArray &json);
};

struct PairVerifyResponse {
    QString bridgeToken;
    QString bridgeId;
    static Result<PairVerifyResponse> decode(const QByteArray &json);
};

struct MessageResponse {
    QString message;
    static Result<MessageResponse> decode(const QByteArray &json);
};

// Every delay of the relay account client. (Declared outside the class so
// that it can be a default argument there.)
struct RelayAuthServiceTimings {
    // The whole exchange, from sending to the last byte of the answer.
    std::chrono::milliseconds requestTimeout{15000};
};

// The client of the relay's HTTPS account interface: sign-up, sign-in, the
// two-step password reset, pairing codes and their verification. It keeps
// nothing: the callers store what comes back. Nothing is retried.
class RelayAuthService
{
public:
    using Timings = RelayAuthServiceTimings;
    // Answers longer than this are cut off and reported as a failure.
    static constexpr qint64 maxResponseBytes = 64 * 1024;

    // `baseURL`: the relay's origin ("https://" + relay host; "http://" for a
    // loopback stand-in).
    explicit RelayAuthService(QUrl baseURL, Timings timings = {});
    // Requests still out are aborted; their callers get an error.
    ~RelayAuthService();
    RelayAuthService(const RelayAuthService &) = delete;
    RelayAuthService &operator=(const RelayAuthService &) = delete;

    QUrl baseURL() const { return m_baseURL; }

    // `register` is a reserved word in C++, hence the longer name.
    QCoro::Task<Result<AuthResponse>> registerAccount(QString email, QString password);
    QCoro::Task<Result<AuthResponse>> login(QString email, QString password);
    QCoro::Task<Result<MessageResponse>> forgotPassword(QString email);
    QCoro::Task<Result<MessageResponse>> resetPassword(QString email, QString code, QString newPassword);
    // Authorised by the account's relay token; the body is exactly {}.
    QCoro::Task<Result<PairResponse>> createPairingCode(QString relayToken);
    // Authorised by the code alone: no Authorization header.
    QCoro::Task<Result<PairVerifyResponse>> verifyPairing(QString code, QString bridgeName);

    // The shared request routine: POSTs the JSON object to the path and
    // returns the body of a 200 answer. Any other status is an apiError with
    // the answer's "error" text, or "HTTP <status>" when it has none.
    QCoro::Task<Result<QByteArray>> post(QString path, QJsonObject body, QString bearerToken = {});

private:
    template <typename T>
    QCoro::Task<Result<T>> request(QString path, QJsonObject body, QString bearerToken = {});

    QUrl m_baseURL;
    Timings m_timings;
    // The parent of the requests in flight.
    std::unique_ptr<QObject> m_requests = std::make_unique<QObject>();
};

} // namespace halvex
