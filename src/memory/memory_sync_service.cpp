#include "memory/memory_sync_service.h"

#include "gateway/chat_backend.h"
#include "platform/logging.h"
#include "platform/session/process_runner.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <QTimer>
#include <QUuid>

#include <cmath>

namespace halvex {

namespace {

long minutes(std::chrono::milliseconds duration)
{
    return long(std::llround(double(duration.count()) / 60000.0));
}

} // namespace

MemorySyncService::MemorySyncService(Dependencies deps, Timings timings, QObject *parent)
    : QObject(parent), m_deps(std::move(deps)), m_timings(timings),
      m_relay(m_deps.credentials, m_deps.relayOrigin, memoryAvatarId(),
              MemoryRelayClient::Timings{timings.relayTimeout}),
      m_currentInterval(timings.baseInterval)
{
}

MemorySyncService::~MemorySyncService() = default;

void MemorySyncService::start()
{
    if (m_syncTimer)
        return;
    m_currentInterval = m_timings.baseInterval;
    m_consecutiveEmptySyncs = 0;
    m_lastActivityTime.reset();
    m_lastSyncCheckTime.reset();
    m_initialSyncAt = QDateTime::currentDateTimeUtc().addMSecs(m_timings.initialSyncDelay.count());
    QTimer::singleShot(m_timings.initialSyncDelay, this, [this] {
        m_initialSyncAt.reset();
        // A service stopped in the meantime stays quiet.
        if (m_syncTimer)
            sync(QStringLiteral("initial"));
    });
    scheduleTimer();
    qCInfo(lcMemorySync, "Sync started (base: %ldmin, max backoff: %ldmin)", minutes(m_timings.baseInterval),
           minutes(m_timings.maxInterval));
}

std::optional<QDateTime> MemorySyncService::nextSyncTime() const
{
    if (!m_syncTimer)
        return std::nullopt;
    const QDateTime timer = QDateTime::currentDateTimeUtc().addMSecs(std::max(0, m_syncTimer->remainingTime()));
    return m_initialSyncAt ? std::min(*m_initialSyncAt, timer) : timer;
}

QString MemorySyncService::costNotice()
{
    return QStringLiteral(
        "Memory Sync periodically asks your OpenClaw agent what it knows about you and syncs those facts to your "
        "Halvex companions.\n\nThis uses your OpenClaw API key to make periodic LLM calls. Cost is typically a few "
        "cents per day during active use, and near-zero when idle.\n\nYou can disable this at any time from the "
        "menu bar.");
}

void MemorySyncService::stop()
{
    delete m_syncTimer;
    m_syncTimer = nullptr;
    qCInfo(lcMemorySync, "Periodic sync stopped");
}

void MemorySyncService::recordActivity()
{
    if (!m_syncTimer)
        return;
    m_lastActivityTime = tick();
    m_exchangeCount += 1;
    if (m_consecutiveEmptySyncs >= 1) {
        m_consecutiveEmptySyncs = 0;
        m_currentInterval = m_timings.baseInterval;
        reschedule();
        qCInfo(lcMemorySync, "Reset to %ldmin interval (bridge activity)", minutes(m_timings.baseInterval));
    }
    if (m_exchangeCount >= exchangeThreshold) {
        m_exchangeCount = 0;
        sync(QStringLiteral("exchange_threshold"));
    }
}

void MemorySyncService::backOff()
{
    m_consecutiveEmptySyncs += 1;
    const int n = m_consecutiveEmptySyncs;
    const std::chrono::milliseconds interval =
        std::min(std::chrono::milliseconds(std::llround(double(m_timings.baseInterval.count()) * std::pow(2.0, n))),
                 m_timings.maxInterval);
    if (interval == m_currentInterval)
        return;
    m_currentInterval = interval;
    reschedule();
    qCInfo(lcMemorySync, "Backed off to %ldmin interval (%ld empty syncs)", minutes(interval), long(n));
}

void MemorySyncService::resetBackoff()
{
    if (m_consecutiveEmptySyncs < 1)
        return;
    m_consecutiveEmptySyncs = 0;
    m_currentInterval = m_timings.baseInterval;
    reschedule();
    qCInfo(lcMemorySync, "Reset to %ldmin interval (new facts found)", minutes(m_timings.baseInterval));
}

void MemorySyncService::reschedule()
{
    // A stopped service gets no new timer from a sync that ends late.
    if (!m_syncTimer)
        return;
    delete m_syncTimer;
    m_syncTimer = nullptr;
    scheduleTimer();
}

void MemorySyncService::scheduleTimer()
{
    m_syncTimer = new QTimer(this);
    m_syncTimer->setInterval(m_currentInterval);
    connect(m_syncTimer, &QTimer::timeout, this, [this] { sync(QStringLiteral("timer")); });
    m_syncTimer->start();
}

void MemorySyncService::sync(const QString &reason)
{
    if (m_deps.isEnabled && !m_deps.isEnabled()) {
        qCDebug(lcMemorySync, "Sync skipped (Memory Sync is switched off)");
        Q_EMIT syncSkipped(SkipReason::switchedOff);
        return;
    }
    if (m_isExtracting) {
        qCInfo(lcMemorySync, "Sync skipped (already in progress)");
        Q_EMIT syncSkipped(SkipReason::alreadyInProgress);
        return;
    }
    if (reason == QLatin1String("timer") && m_lastSyncCheckTime) {
        if (m_lastActivityTime && *m_lastActivityTime < *m_lastSyncCheckTime) {
            qCInfo(lcMemorySync, "Sync skipped (no activity since last sync)");
            Q_EMIT syncSkipped(SkipReason::noActivitySinceLastSync);
            return;
        }
        if (!m_lastActivityTime && m_consecutiveEmptySyncs >= 1) {
            qCInfo(lcMemorySync, "Sync skipped (no bridge activity, in backoff)");
            Q_EMIT syncSkipped(SkipReason::noActivityInBackoff);
            return;
        }
    }
    m_lastSyncCheckTime = tick();
    m_isExtracting = true;
    qCInfo(lcMemorySync, "Starting sync (reason: %s)", qUtf8Printable(reason));
    Q_EMIT syncStarted(reason);
    performSync(); // runs on by itself
}

void MemorySyncService::finishSync(Outcome outcome, const QString &error)
{
    m_isExtracting = false;
    Q_EMIT syncFinished(outcome, error);
}

void MemorySyncService::failSync(const Error &error)
{
    // No backoff: the interval stays as it was.
    qCCritical(lcMemorySync, "Sync failed: %s", qUtf8Printable(quotedForLog(error.description(), 320)));
    finishSync(Outcome::failed, error.description());
}

// The HTTP chat endpoint first, the gateway socket only when it is off: an
// extraction wants one whole answer, not a stream, and over HTTP its prompt
// stands alone, where chat.send adds it to a gateway session's history. No
// waiting for a socket on its way either: without a path the sync is skipped
// and the next one tries again.
// Phone chats choose the other way round (ChatPipeline::run()).
QCoro::Task<ChatBackend *> MemorySyncService::chooseBackend()
{
    const QPointer<MemorySyncService> self(this);
    const Gateway gateway = m_deps.gateway;
    if (gateway.http) {
        const bool httpAvailable =
            gateway.httpEndpointAvailable ? co_await gateway.httpEndpointAvailable() : gateway.http->isUsableForChat();
        if (!self)
            co_return nullptr;
        if (httpAvailable) {
            qCDebug(lcMemorySync, "Extracting through the gateway's HTTP chat endpoint");
            co_return gateway.http;
        }
    }
    if (gateway.webSocket && gateway.webSocket->isUsableForChat()) {
        qCDebug(lcMemorySync, "Extracting over the gateway WebSocket in session %s", qUtf8Printable(syncSessionKey()));
        co_return gateway.webSocket;
    }
    co_return nullptr;
}

QCoro::Task<Result<std::optional<ExtractedFacts>>> MemorySyncService::extractFacts(ChatBackend *backend,
                                                                                   QStringList existingFacts)
{
    const QString prompt = memorySyncPrompt(existingFacts);
    ChatCallRequest request;
    request.requestId = QStringLiteral("memory-sync-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    request.messages = {
        ChatMessage{{QStringLiteral("role"), QStringLiteral("user")}, {QStringLiteral("content"), prompt}}};
    request.lastUserText = prompt;
    request.sessionKey = syncSessionKey();
    request.deadline = QDeadlineTimer(m_timings.extractionTimeout);

    const Result<QString> answer = co_await backend->sendChat(std::move(request), {});
    if (!answer)
        co_return answer.error();
    std::optional<ExtractedFacts> facts = parseExtractionAnswer(*answer);
    // Outside text: control characters escaped before it reaches the log.
    if (!facts)
        qCInfo(lcMemorySync, "Failed to parse response as JSON: %s", qUtf8Printable(quotedForLog(*answer, 200)));
    co_return facts;
}

QCoro::Task<> MemorySyncService::performSync()
{
    const QPointer<MemorySyncService> self(this);

    ChatBackend *backend = co_await chooseBackend();
    if (!self)
        co_return;
    if (!backend) {
        qCInfo(lcMemorySync, "Sync skipped (OpenClaw unreachable)");
        Q_EMIT syncSkipped(SkipReason::openClawUnreachable);
        m_isExtracting = false;
        co_return;
    }

    Result<SoulFileResponse> fetched = co_await m_relay.fetchSoulFile();
    if (!self)
        co_return;
    if (!fetched)
        co_return failSync(fetched.error());

    const QStringList existingFacts = fetched->data ? fetched->data->relationship.facts : QStringList();
    Q_EMIT extracting(backend == m_deps.gateway.http ? Path::httpEndpoint : Path::gatewayWebSocket);
    const Result<std::optional<ExtractedFacts>> extracted = co_await extractFacts(backend, existingFacts);
    if (!self)
        co_return;
    if (!extracted)
        co_return failSync(extracted.error());

    const ExtractedFacts facts = extracted->value_or(ExtractedFacts{});
    if (facts.isEmpty()) {
        qCInfo(lcMemorySync, "No new facts, skipping relay push");
        backOff();
        co_return finishSync(Outcome::nothingNew);
    }

    const Result<Done> pushed = co_await mergeAndPush(facts, std::move(fetched).value());
    if (!self)
        co_return;
    if (!pushed)
        co_return failSync(pushed.error());

    m_lastSyncTime = QDateTime::currentDateTimeUtc();
    resetBackoff();
    qCInfo(lcMemorySync, "Sync complete \u2014 %ld facts, %ld preferences", long(facts.newFacts.size()),
           long(facts.newPreferences.size()));
    finishSync(Outcome::pushed);
}

QCoro::Task<Result<Done>> MemorySyncService::mergeAndPush(ExtractedFacts facts, SoulFileResponse fetched)
{
    const QPointer<MemorySyncService> self(this);
    // The agent's answer took a while: another device may have written the
    // file since our fetch. Merge into what the relay holds now, so that its
    // facts are kept; a write that still loses the race (the relay refuses
    // its precondition) merges into the newer file again.
    for (int attempt = 1;; ++attempt) {
        Result<SoulFileResponse> latest = co_await m_relay.fetchSoulFile();
        if (!self)
            co_return Error::plain(QStringLiteral("The memory sync was stopped."));
        if (!latest)
            co_return latest.error();
        if (latest->updatedAt != fetched.updatedAt)
            qCDebug(lcMemorySync, "The soul file changed on the relay during the sync; merging into the newer one");
        const SoulFile merged = mergeSoulFile(latest->data, facts.newFacts, facts.newPreferences, facts.recentActivity,
                                              QDateTime::currentDateTimeUtc());
        fetched = *latest;
        Result<Done> pushed = co_await m_relay.pushSoulFile(merged, std::move(latest).value());
        if (!self)
            co_return Error::plain(QStringLiteral("The memory sync was stopped."));
        if (pushed || !MemorySyncError::isChangedMeanwhile(pushed.error()) || attempt == maxWriteAttempts)
            co_return pushed;
        qCInfo(lcMemorySync, "The soul file changed on the relay while it was written; merging again");
    }
}

} // namespace halvex
