#pragma once

#include "bridge/agent_card.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>

class QTimer;

namespace halvex {

// One local model as the agent card lists it.
struct LocalModel {
    QString name;
    double sizeGB = 0.0;
    QString parameterSize;
};

// Finds the local models to announce in the agent card.
using LocalModelDetector = std::function<QCoro::Task<QList<LocalModel>>()>;

// Announces the bridge to the relay with its agent card: at once when asked
// (the relay link connected, the name changed), at most once per interval
// when the gateway's reachability changes, and again once local models are
// found. The card lists the models of the last detection.
class AgentCardPublisher : public QObject
{
    Q_OBJECT
public:
    struct Links {
        // The card's content apart from the local models.
        std::function<AgentCardInput()> describe;
        // Hands the message to the relay link.
        std::function<void(const QJsonObject &message)> send;
        // Whether the relay link is connected now.
        std::function<bool()> relayConnected;
        // None: no local models.
        LocalModelDetector localModelDetector;
    };

    // Cards go out at most once per `interval`.
    AgentCardPublisher(Links links, std::chrono::milliseconds interval, QObject *parent = nullptr);

    // Sends the card now (even while the link is down; the link then drops
    // it with its own line).
    void sendNow();
    // Sends it once the interval since the last card has passed, if the
    // relay link is still connected then.
    void schedule();
    // Forgets a card scheduled for later.
    void cancelScheduled();
    // Detects the local models; a connected link gets a new card when there
    // are any.
    QCoro::Task<> refreshLocalModels();

    // {"name", "size_gb", "params"} per detected model.
    QList<QVariantMap> cachedLocalModels() const { return m_cachedLocalModels; }

private:
    Links m_links;
    std::chrono::milliseconds m_interval;
    QTimer *m_timer;
    QElapsedTimer m_lastSent;
    QList<QVariantMap> m_cachedLocalModels;
};

} // namespace halvex
