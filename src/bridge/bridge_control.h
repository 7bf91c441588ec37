#pragma once

#include "bridge/bridge_status.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>

#include <functional>

namespace halvex {

class BridgeManager;
class InstanceReply;

// The running bridge's side of the requests a terminal sends over the
// single-instance socket (account/bridge_requests.h): its status, once or
// on every change, its name, the on/off switch and new credentials. The
// tray and the headless bridge answer alike.
class BridgeControl : public QObject
{
    Q_OBJECT
public:
    // `mode` is "headless" or "tray"; only the tray has windows to show.
    BridgeControl(BridgeManager *bridge, QString mode, QObject *parent = nullptr);

    // One request line; `reply` (may be null) takes the answer.
    void handle(const QByteArray &request, InstanceReply *reply);

    BridgeStatus *status() { return &m_status; }

Q_SIGNALS:
    // A later launch asked the tray to show itself.
    void showRequested();

private:
    void sendStatusToWatchers();

    BridgeManager *m_bridge;
    QString m_mode;
    BridgeStatus m_status;
    QList<QPointer<InstanceReply>> m_watchers;
};

} // namespace halvex
