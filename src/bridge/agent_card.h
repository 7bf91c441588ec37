#pragma once

#include "platform/device_facts.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QVariantMap>

namespace halvex {

// What goes into the "agent_card" message besides its constants.
struct AgentCardInput {
    QString name;    // the user's bridge name
    QString version; // the application's short version
    DeviceFacts device;
    QList<QVariantMap> localModels; // {"name", "size_gb", "params"} per model, in detection order
    bool openClawConnected = false; // result of the last gateway health check
};

// The "os" value of the card: "macOS" on Apple builds, "linux" here.
QString agentCardOperatingSystem();

// The whole relay message: {"type": "agent_card", "card": {...}}.
QJsonObject buildAgentCard(const AgentCardInput &input);

} // namespace halvex
