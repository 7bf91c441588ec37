#include "bridge/agent_card.h"

#include <QJsonArray>

namespace halvex {

QString agentCardOperatingSystem()
{
    return QStringLiteral("linux");
}

QJsonObject buildAgentCard(const AgentCardInput &input)
{
    const QJsonObject agent{
        {QStringLiteral("name"), input.name},
        {QStringLiteral("description"), QStringLiteral("Halvex Bridge — OpenClaw gateway relay")},
        {QStringLiteral("version"), input.version},
        {QStringLiteral("author"), QStringLiteral("Halvex, LLC")},
    };

    QJsonObject device{
        {QStringLiteral("type"), input.device.deviceType()},
        {QStringLiteral("os"), agentCardOperatingSystem()},
        {QStringLiteral("os_version"), input.device.osVersion},
        {QStringLiteral("model"), input.device.model},
        {QStringLiteral("hostname"), input.device.computerName},
        {QStringLiteral("platform"), QStringLiteral("openclaw")},
    };
    // Left out entirely (not an empty array) when no local model was found.
    if (!input.localModels.isEmpty()) {
        QJsonArray models;
        for (const QVariantMap &model : input.localModels)
            models.append(QJsonObject::fromVariantMap(model));
        device.insert(QStringLiteral("local_models"), models);
    }

    const QJsonObject capabilities{
        {QStringLiteral("streaming"), true},
        {QStringLiteral("emotions"),
         QJsonArray{QStringLiteral("neutral"), QStringLiteral("happy"), QStringLiteral("sad"), QStringLiteral("angry"),
                    QStringLiteral("surprised"), QStringLiteral("relaxed"), QStringLiteral("thinking"),
                    QStringLiteral("excited"), QStringLiteral("confused"), QStringLiteral("love"),
                    QStringLiteral("fear")}},
        {QStringLiteral("memory"), QJsonObject{{QStringLiteral("read"), true}, {QStringLiteral("write"), true}}},
        {QStringLiteral("voice"), QJsonObject{{QStringLiteral("tts_provider"), QStringLiteral("client")},
                                              {QStringLiteral("stt_provider"), QStringLiteral("client")}}},
        {QStringLiteral("input_accepts"), QJsonArray{QStringLiteral("text")}},
        {QStringLiteral("output_modalities"), QJsonArray{QStringLiteral("text")}},
        {QStringLiteral("artifacts"), false},
        {QStringLiteral("tools"), QJsonArray{}},
        {QStringLiteral("openclaw"), QJsonObject{{QStringLiteral("connected"), input.openClawConnected}}},
    };

    const QJsonObject card{
        {QStringLiteral("halvex_connect"), QStringLiteral("0.1")},
        {QStringLiteral("agent"), agent},
        {QStringLiteral("device"), device},
        {QStringLiteral("capabilities"), capabilities},
        {QStringLiteral("auth"), QJsonObject{{QStringLiteral("methods"), QJsonArray{QStringLiteral("bridge_token")}}}},
    };
    return QJsonObject{{QStringLiteral("type"), QStringLiteral("agent_card")}, {QStringLiteral("card"), card}};
}

} // namespace halvex
