#pragma once

#include <QWidget>

#include <functional>

class QLabel;

namespace halvex {

class BridgeManager;

// Wizard step 6: starts the bridge on what the wizard stored and shows the
// relay link, the gateway and the pairing as three live status rows.
class CompletionStep : public QWidget
{
    Q_OBJECT
public:
    CompletionStep(BridgeManager *bridgeManager, QWidget *parent = nullptr);

    // When the step is shown: a bridge that is stopped, or stopped for want
    // of a bridge token, starts on the stored credentials.
    void activate();

    bool relayConnected() const;
    bool gatewayReachable() const;
    bool bridgePaired() const;

Q_SIGNALS:
    // The user finished the setup.
    void done();

private:
    void updateRows();

    BridgeManager *m_bridgeManager;
    QLabel *m_relay = nullptr;
    QLabel *m_gateway = nullptr;
    QLabel *m_paired = nullptr;
};

} // namespace halvex
