#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QString>

namespace halvex {

class BridgeManager;

// What the running bridge says about itself when a terminal asks
// (`halvex-bridge status`): its links, since when they are in their state
// and their last errors, the chats since start, Memory Sync, and the
// bridge's name, version and uptime. Kept from the manager's signals from
// construction on; holds no secret.
class BridgeStatus : public QObject
{
    Q_OBJECT
public:
    // The "schema" member: raised when a member changes meaning or goes.
    // New members may come without it.
    static constexpr int schemaVersion = 1;

    // `mode`: "headless" or "tray", as the document names it.
    BridgeStatus(BridgeManager *bridge, QString mode, QObject *parent = nullptr);

    // The status document (README, "Live status"): one JSON object.
    QJsonObject document() const;

Q_SIGNALS:
    // Something in the document changed (apart from the uptime); once per
    // turn of the event loop at most.
    void changed();

private:
    void relayStateChanged();
    void gatewayChanged();
    void scheduleChanged();

    BridgeManager *m_bridge;
    QString m_mode;
    QDateTime m_startedAt;
    QElapsedTimer m_uptime;
    QDateTime m_relaySince;
    QString m_relayLastError;
    QString m_gatewayLink; // "webSocket", "http" or "none"
    QString m_gatewayState;
    QDateTime m_gatewaySince;
    QString m_gatewayLastError;
    int m_answered = 0;
    int m_closed = 0; // answered or failed
    bool m_changePending = false;
};

} // namespace halvex
