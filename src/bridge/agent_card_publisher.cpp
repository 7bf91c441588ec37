#include "bridge/agent_card_publisher.h"

#include "platform/characters.h"
#include "platform/logging.h"

#include <QPointer>
#include <QTimer>

#include <algorithm>

namespace halvex {

AgentCardPublisher::AgentCardPublisher(Links links, std::chrono::milliseconds interval, QObject *parent)
    : QObject(parent), m_links(std::move(links)), m_interval(interval), m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    QObject::connect(m_timer, &QTimer::timeout, this, [this] {
        if (m_links.relayConnected())
            sendNow();
    });
}

void AgentCardPublisher::sendNow()
{
    AgentCardInput input = m_links.describe();
    input.localModels = m_cachedLocalModels;
    m_timer->stop();
    m_lastSent.start();
    m_links.send(buildAgentCard(input));
    qCInfo(lcBridge, "Agent card sent: %s v%s", qUtf8Printable(quotedForLog(input.name, 80)),
           qUtf8Printable(quotedForLog(input.version, 40)));
}

void AgentCardPublisher::schedule()
{
    if (m_timer->isActive())
        return; // the card due then carries the newest state
    const qint64 interval = m_interval.count();
    const qint64 since = m_lastSent.isValid() ? m_lastSent.elapsed() : interval;
    m_timer->start(int(std::max<qint64>(0, interval - since)));
}

void AgentCardPublisher::cancelScheduled()
{
    m_timer->stop();
}

QCoro::Task<> AgentCardPublisher::refreshLocalModels()
{
    const QPointer<AgentCardPublisher> self(this);
    QList<LocalModel> models;
    if (m_links.localModelDetector) {
        // Keep the detector (and whatever it captured) alive for the wait.
        const LocalModelDetector detector = m_links.localModelDetector;
        models = co_await detector();
        if (!self)
            co_return;
    }

    QList<QVariantMap> cached;
    cached.reserve(models.size());
    for (const LocalModel &model : models) {
        cached.append(QVariantMap{
            {QStringLiteral("name"), model.name},
            {QStringLiteral("size_gb"), model.sizeGB},
            {QStringLiteral("params"), model.parameterSize},
        });
    }
    m_cachedLocalModels = cached;

    if (!cached.isEmpty()) {
        qCInfo(lcBridge, "Detected %ld local Ollama model(s) for agent card", static_cast<long>(cached.size()));
        if (m_links.relayConnected())
            sendNow();
    }
}

} // namespace halvex
