#pragma once

#include "memory/memory_extraction.h"
#include "memory/memory_relay_client.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <optional>

class QTimer;

namespace halvex {

class ChatBackend;
class CredentialStore;

// Every delay of the memory sync. (Declared outside the class so that it
// can be a default argument there.)
struct MemorySyncTimings {
    std::chrono::milliseconds initialSyncDelay = std::chrono::seconds(30); // after start
    std::chrono::milliseconds baseInterval = std::chrono::minutes(15);
    std::chrono::milliseconds maxInterval = std::chrono::hours(4);
    std::chrono::milliseconds extractionTimeout = std::chrono::minutes(2); // for the agent's answer
    std::chrono::milliseconds relayTimeout = std::chrono::minutes(1);
};

// Asks the user's agent now and then what it has learnt about the user and
// merges the answer into the soul file the relay keeps. Syncs run 30 s after
// start, on a timer of 15 minutes that doubles up to 240 minutes while syncs
// find nothing new, and after every tenth reported chat exchange.
//
// The agent is reached through the gateway's HTTP chat endpoint when that is
// on; otherwise (OpenClaw's default) over the gateway WebSocket, in a session
// of its own so that the request never shows in the user's conversation.
class MemorySyncService : public QObject
{
    Q_OBJECT
public:
    using Timings = MemorySyncTimings;

    struct Gateway {
        ChatBackend *http = nullptr;      // the HTTP chat endpoint
        ChatBackend *webSocket = nullptr; // the gateway WebSocket
        // Whether the HTTP chat endpoint answers now (it is off in OpenClaw's
        // default configuration). Empty: the HTTP backend's isUsableForChat().
        std::function<QCoro::Task<bool>()> httpEndpointAvailable;
    };

    struct Dependencies {
        Gateway gateway;
        CredentialStore *credentials = nullptr;
        QUrl relayOrigin; // scheme + host[:port] of the relay's HTTPS API
        // The user's switch, read before every sync, so that switching it off
        // from the terminal quiets a running bridge. Empty: always on.
        std::function<bool()> isEnabled;
    };

    enum class SkipReason {
        alreadyInProgress,
        noActivitySinceLastSync,
        noActivityInBackoff,
        openClawUnreachable,
        switchedOff
    };
    Q_ENUM(SkipReason)
    enum class Outcome { pushed, nothingNew, failed };
    Q_ENUM(Outcome)
    // How the agent is asked.
    enum class Path { httpEndpoint, gatewayWebSocket };
    Q_ENUM(Path)

    static constexpr int exchangeThreshold = 10;
    // Writes of one sync that the relay may refuse because another device
    // wrote first; each merges into the newer file.
    static constexpr int maxWriteAttempts = 3;
    // The avatar id of the soul file kept in sync.
    static QString memoryAvatarId() { return QString::fromLatin1(kMemoryAvatarId); }
    // The gateway session the extraction runs in when it goes over the
    // WebSocket; never the user's "agent:mobile:main".
    static QString syncSessionKey() { return QStringLiteral("agent:mobile:halvex-memory-sync"); }

    explicit MemorySyncService(Dependencies deps, Timings timings = {}, QObject *parent = nullptr);
    ~MemorySyncService() override;

    void start();
    // Stops the timer; a sync already running finishes.
    void stop();
    // One successful chat exchange.
    void recordActivity();
    // One sync: "initial", "timer" or "exchange_threshold".
    void sync(const QString &reason);

    bool isRunning() const { return m_syncTimer != nullptr; }
    bool isExtracting() const { return m_isExtracting; }
    std::chrono::milliseconds currentInterval() const { return m_currentInterval; }
    int consecutiveEmptySyncs() const { return m_consecutiveEmptySyncs; }
    int exchangeCount() const { return m_exchangeCount; }
    std::optional<QDateTime> lastSyncTime() const { return m_lastSyncTime; }
    // When the next sync is due (the first one after start, else the timer);
    // nothing while stopped.
    std::optional<QDateTime> nextSyncTime() const;

    // What the user is told before switching Memory Sync on: what it does
    // and what it costs.
    static QString costNotice();

Q_SIGNALS:
    void syncStarted(const QString &reason);
    void syncSkipped(halvex::MemorySyncService::SkipReason reason);
    // The agent is being asked this way.
    void extracting(halvex::MemorySyncService::Path path);
    // A started sync ended; `error` is the failure's description.
    void syncFinished(halvex::MemorySyncService::Outcome outcome, const QString &error);

private:
    QCoro::Task<> performSync();
    QCoro::Task<ChatBackend *> chooseBackend();
    QCoro::Task<Result<std::optional<ExtractedFacts>>> extractFacts(ChatBackend *backend, QStringList existingFacts);
    // Fetches the file again, merges the facts into it and writes it.
    QCoro::Task<Result<Done>> mergeAndPush(ExtractedFacts facts, SoulFileResponse fetched);
    void finishSync(Outcome outcome, const QString &error = {});
    void failSync(const Error &error);
    void backOff();
    void resetBackoff();
    void reschedule();
    void scheduleTimer();
    quint64 tick() { return ++m_clock; }

    Dependencies m_deps;
    Timings m_timings;
    MemoryRelayClient m_relay;
    QTimer *m_syncTimer = nullptr;
    std::optional<QDateTime> m_initialSyncAt; // until the first sync after start ran
    int m_exchangeCount = 0;
    std::optional<QDateTime> m_lastSyncTime;
    bool m_isExtracting = false;
    std::chrono::milliseconds m_currentInterval;
    int m_consecutiveEmptySyncs = 0;
    // Activity and sync starts are ordered by a logical clock: two events in
    // the same millisecond still compare the way they happened.
    std::optional<quint64> m_lastActivityTime;
    std::optional<quint64> m_lastSyncCheckTime;
    quint64 m_clock = 0;
};

} // namespace halvex
