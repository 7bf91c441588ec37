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
    struct Options {
        QString mode; // "headless" or "tray"
        // "show" from a later launch; none: there is nothing to show.
        std::function<void()> show;
    };

    BridgeControl(BridgeManager *bridge, Options options, QObject *parent = nullptr);

    // One request line; `reply` (may be null) takes the answer.
    void handle(const QByteArray &request, InstanceReply *reply);

    BridgeStatus *status() { return &m_status; }

private:
    void sendStatusToWatchers();

    BridgeManager *m_bridge;
    Options m_options;
    BridgeStatus m_status;
    QList<QPointer<InstanceReply>> m_watchers;
};

} // namespace halvex
