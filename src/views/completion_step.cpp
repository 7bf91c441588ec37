#include "views/completion_step.h"

#include "bridge/bridge_manager.h"
#include "views/view_support.h"

#include <QPushButton>
#include <QVBoxLayout>

namespace halvex {

CompletionStep::CompletionStep(BridgeManager *bridgeManager, QWidget *parent)
    : QWidget(parent), m_bridgeManager(bridgeManager)
{
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(makeTitle(QStringLiteral("Halvex Bridge is Ready!"), this));
    layout->addWidget(makeText(QStringLiteral("You can access Halvex Bridge anytime from your system tray."), this));
    m_relay = new QLabel(this);
    m_gateway = new QLabel(this);
    m_paired = new QLabel(this);
    for (QLabel *row : {m_relay, m_gateway, m_paired})
        layout->addWidget(row, 0, Qt::AlignHCenter);
    layout->addWidget(
        makeText(QStringLiteral("Memory Sync is disabled by default. Enable it in Bridge settings to periodically sync "
                                "conversation context to your Halvex companions using your OpenClaw API key."),
                 this));
    layout->addStretch();
    auto *finish = new QPushButton(QStringLiteral("Done"), this);
    makeDefault(finish);
    layout->addWidget(finish, 0, Qt::AlignHCenter);
    connect(finish, &QPushButton::clicked, this, &CompletionStep::done);
    connect(m_bridgeManager, &BridgeManager::connectionStateChanged, this, [this] { updateRows(); });
    connect(m_bridgeManager, &BridgeManager::openClawReachableChanged, this, [this] { updateRows(); });
    updateRows();
}

void CompletionStep::activate()
{
    // The pairing told the bridge of its token when it stored it; the rows
    // show how far the bridge got.
    updateRows();
}

bool CompletionStep::relayConnected() const
{
    return m_bridgeManager->connectionState() == BridgeConnectionState::connected();
}

bool CompletionStep::gatewayReachable() const
{
    return m_bridgeManager->openClawReachable();
}

bool CompletionStep::bridgePaired() const
{
    return m_bridgeManager->hasBridgeToken();
}

void CompletionStep::updateRows()
{
    setStatus(m_relay, relayConnected(), QStringLiteral("Relay connection"));
    setStatus(m_gateway, gatewayReachable(), QStringLiteral("OpenClaw reachable"));
    setStatus(m_paired, bridgePaired(), QStringLiteral("Bridge paired"));
}

} // namespace halvex
