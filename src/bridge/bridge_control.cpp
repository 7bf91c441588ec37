#include "bridge/bridge_control.h"

#include "account/bridge_requests.h"
#include "bridge/bridge_manager.h"
#include "platform/logging.h"
#include "platform/session/process_runner.h"
#include "platform/session/single_instance.h"

#include <QJsonDocument>

namespace halvex {

namespace {

void answer(InstanceReply *reply, const QJsonObject &object)
{
    if (reply)
        reply->send(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QJsonObject refusal(const QString &text)
{
    return QJsonObject{{QStringLiteral("error"), text}};
}

} // namespace

BridgeControl::BridgeControl(BridgeManager *bridge, QString mode, QObject *parent)
    : QObject(parent), m_bridge(bridge), m_mode(std::move(mode)), m_status(bridge, m_mode)
{
    connect(&m_status, &BridgeStatus::changed, this, &BridgeControl::sendStatusToWatchers);
}

void BridgeControl::handle(const QByteArray &request, InstanceReply *reply)
{
    const ParsedBridgeRequest parsed = parseBridgeRequest(request);
    const QByteArray &name = parsed.name;
    if (name == BridgeRequest::show) {
        qCInfo(lcApp, "Another launch asked to show Halvex Bridge");
        if (m_mode == QLatin1String("tray"))
            Q_EMIT showRequested();
        else
            qCInfo(lcApp, "Running as the headless bridge — there is no window to show");
    } else if (name == BridgeRequest::reloadCredentials) {
        qCInfo(lcApp, "Another launch stored new credentials — reloading them");
        m_bridge->reloadCredentials();
    } else if (name == BridgeRequest::status) {
        answer(reply, m_status.document());
    } else if (name == BridgeRequest::watchStatus) {
        m_watchers.removeIf([](const QPointer<InstanceReply> &watcher) { return watcher.isNull(); });
        if (reply && !m_watchers.contains(reply)) {
            if (m_watchers.size() >= maxWatchers) {
                answer(reply, refusal(QStringLiteral("%1 terminals already watch the status; end one of them first")
                                          .arg(maxWatchers)));
                return;
            }
            m_watchers.append(reply);
        }
        answer(reply, m_status.document());
    } else if (name == BridgeRequest::setBridgeName) {
        qCInfo(lcApp, "The bridge name was set from the terminal");
        m_bridge->setBridgeName(parsed.argument);
        answer(reply, QJsonObject{{QStringLiteral("bridgeName"), m_bridge->bridgeName()}});
    } else if (name == BridgeRequest::setEnabled) {
        if (parsed.argument != QLatin1String("on") && parsed.argument != QLatin1String("off")) {
            answer(reply, refusal(QStringLiteral("setEnabled takes on or off")));
            return;
        }
        qCInfo(lcApp, "The bridge was switched %s from the terminal", qUtf8Printable(parsed.argument));
        m_bridge->setEnabled(parsed.argument == QLatin1String("on"));
        answer(reply, QJsonObject{{QStringLiteral("enabled"), m_bridge->isEnabled()}});
    } else {
        qCInfo(lcApp, "Ignoring a request from another launch: %s",
               qUtf8Printable(quotedForLog(QString::fromUtf8(name))));
        answer(reply, refusal(QStringLiteral("Unknown request")));
    }
}

void BridgeControl::sendStatusToWatchers()
{
    m_watchers.removeIf([](const QPointer<InstanceReply> &watcher) { return watcher.isNull(); });
    if (m_watchers.isEmpty())
        return;
    const QJsonObject document = m_status.document();
    for (const QPointer<InstanceReply> &watcher : std::as_const(m_watchers))
        answer(watcher, document);
}

} // namespace halvex
