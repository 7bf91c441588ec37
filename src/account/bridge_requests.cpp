#include "account/bridge_requests.h"

#include "platform/session/single_instance.h"

#include <QJsonDocument>

namespace halvex {

ParsedBridgeRequest parseBridgeRequest(const QByteArray &line)
{
    const qsizetype space = line.indexOf(' ');
    if (space < 0)
        return {line, {}};
    return {line.left(space), QString::fromUtf8(line.mid(space + 1))};
}

QByteArray bridgeRequestLine(const char *name, const QString &argument)
{
    QByteArray line(name);
    if (!argument.isEmpty())
        line += ' ' + argument.toUtf8();
    return line;
}

bool announceCredentialsChanged(SingleInstance &instance)
{
    return instance.notifyRunning(QByteArray(BridgeRequest::reloadCredentials));
}

std::optional<QJsonObject> askRunningBridge(SingleInstance &instance, const QByteArray &request)
{
    const std::optional<QByteArray> answer = instance.ask(request);
    if (!answer)
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(*answer);
    if (!document.isObject())
        return std::nullopt;
    return document.object();
}

} // namespace halvex
