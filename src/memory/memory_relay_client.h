#pragma once

#include "memory/soul_file.h"
#include "platform/error.h"
#include "platform/net/http_client.h"

#include <QObject>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <memory>

namespace halvex {

class CredentialStore;

// The failures of a memory sync's relay calls; description() is the
// sentence that the sync's failure log line carries.
class MemorySyncError
{
public:
    enum class Kind { relayError, noRelayAuth, networkError, changedMeanwhile };

    // -1: the answer was not an HTTP response.
    static MemorySyncError relayError(int status) { return {Kind::relayError, status}; }
    static MemorySyncError noRelayAuth() { return {Kind::noRelayAuth, 0}; }
    static MemorySyncError networkError() { return {Kind::networkError, 0}; }
    // The write's precondition failed: another device wrote the file after
    // it was fetched.
    static MemorySyncError changedMeanwhile(int status) { return {Kind::changedMeanwhile, status}; }

    Kind kind() const { return m_kind; }
    int status() const { return m_status; }
    QString description() const;
    // The HTTP status, if any, is the error's code.
    operator Error() const { return Error::plain(description(), m_status); } // NOLINT: implicit by design
    // Whether `error` came from changedMeanwhile().
    static bool isChangedMeanwhile(const Error &error) { return error.code() == 412 || error.code() == 409; }

private:
    MemorySyncError(Kind kind, int status) : m_kind(kind), m_status(status) {}
    Kind m_kind;
    int m_status;
};

// Time limit of each memory store request. (Declared outside the class so
// that it can be a default argument there.)
struct MemoryRelayTimings {
    // The whole exchange.
    std::chrono::milliseconds requestTimeout{60000};
};

// The relay's memory store for one avatar: GET fetches the soul file, PUT
// writes it, both with the account's relay token as bearer.
class MemoryRelayClient
{
public:
    using Timings = MemoryRelayTimings;
    // The most of an answer body that is read; a larger answer fails.
    static constexpr qint64 kMaxAnswerBytes = 8 * 1024 * 1024;

    // The credential store is not owned.
    MemoryRelayClient(CredentialStore *credentials, QUrl relayOrigin, QString avatarId, Timings timings = {});
    // Requests in flight are aborted; their callers get an error.
    ~MemoryRelayClient();
    MemoryRelayClient(const MemoryRelayClient &) = delete;
    MemoryRelayClient &operator=(const MemoryRelayClient &) = delete;

    // origin + "/api/memory/" + avatar id
    QUrl memoryURL() const;

    QCoro::Task<Result<SoulFileResponse>> fetchSoulFile();
    // Writes `soulFile`, merged into what the fetch `basis` gave, on the
    // condition that the relay still holds that: "If-Match" with the
    // fetch's "updated_at" as entity tag, or "If-None-Match: *" when none
    // was stored. A relay that honours them answers 412 (or 409) when
    // another write came first: changedMeanwhile. One that does not know
    // them ignores them, and the last write wins.
    QCoro::Task<Result<Done>> pushSoulFile(SoulFile soulFile, SoulFileResponse basis);

private:
    struct Answer {
        int status = -1; // -1: no HTTP answer
        QByteArray body;
        bool tooLarge = false;
    };
    std::optional<FetchRequest> request() const;
    QCoro::Task<Answer> run(FetchRequest request);

    CredentialStore *m_credentials;
    QUrl m_relayOrigin;
    QString m_avatarId;
    Timings m_timings;
    // The parent of the requests in flight.
    std::unique_ptr<QObject> m_requests = std::make_unique<QObject>();
};

} // namespace halvex
