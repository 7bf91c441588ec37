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

    // Terminals watching the status at once. Each is a person's open
    // `status --watch`, sent a document on every change; a few are real
    // use, and the limit keeps one change's fan-out (and the open local
    // sockets a stray script can pile up) small.
    static constexpr qsizetype maxWatchers = 16;

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
