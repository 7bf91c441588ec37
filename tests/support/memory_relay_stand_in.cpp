#include "memory_relay_stand_in.h"

#include <QDateTime>
#include <QJsonDocument>

namespace halvex::test {

MemoryRelayStandIn::MemoryRelayStandIn(QObject *parent) : QObject(parent)
{
    m_server.setHandler([this](const HttpRequest &request) { return answer(request); });
}

bool MemoryRelayStandIn::listen()
{
    return m_server.listen();
}

void MemoryRelayStandIn::touch()
{
    // Distinct on every write, even two in the same millisecond.
    ++m_revision;
    m_updatedAt = QDateTime::currentDateTimeUtc().toString(Qt::ISODate) + QStringLiteral("#%1").arg(m_revision);
}

void MemoryRelayStandIn::store(const QJsonObject &data)
{
    m_stored = data;
    m_storedRaw.clear();
    touch();
}

void MemoryRelayStandIn::storeRaw(const QByteArray &data)
{
    m_stored.reset();
    m_storedRaw = data;
    touch();
}

void MemoryRelayStandIn::failNext(const QByteArray &method, int status)
{
    answerNext(method,
               ScriptedResponse::json(status, QJsonObject{{QStringLiteral("error"), QStringLiteral("Scripted")}}));
}

void MemoryRelayStandIn::answerNext(const QByteArray &method, const ScriptedResponse &response)
{
    m_scripted.append({method, response});
}

QList<HttpRequest> MemoryRelayStandIn::requestsWith(const QByteArray &method) const
{
    QList<HttpRequest> matching;
    for (const HttpRequest &request : m_server.requests()) {
        if (request.method == method)
            matching.append(request);
    }
    return matching;
}

std::optional<ScriptedResponse> MemoryRelayStandIn::answer(const HttpRequest &request)
{
    if (!request.path().startsWith("/api/memory/"))
        return ScriptedResponse::json(404, QJsonObject{{QStringLiteral("error"), QStringLiteral("Not found")}});
    if (request.header("Authorization") != "Bearer " + m_token.toUtf8())
        return ScriptedResponse::json(401, QJsonObject{{QStringLiteral("error"), QStringLiteral("Unauthorized")}});
    for (qsizetype i = 0; i < m_scripted.size(); ++i) {
        if (m_scripted.at(i).first == request.method)
            return m_scripted.takeAt(i).second;
    }

    if (request.method == "GET") {
        Q_EMIT fetched();
        if (!m_stored && m_storedRaw.isEmpty())
            return ScriptedResponse::json(200, QJsonObject{{QStringLiteral("found"), false}});
        const QByteArray data = m_stored ? QJsonDocument(*m_stored).toJson(QJsonDocument::Compact) : m_storedRaw;
        return ScriptedResponse::json(200, QByteArrayLiteral("{\"found\":true,\"data\":") + data +
                                               QByteArrayLiteral(",\"updated_at\":\"") + m_updatedAt.toUtf8() +
                                               QByteArrayLiteral("\"}"));
    }
    if (request.method == "PUT") {
        if (m_racingWrite)
            store(*std::exchange(m_racingWrite, std::nullopt));
        const bool stored = m_stored || !m_storedRaw.isEmpty();
        const QByteArray ifMatch = request.header("If-Match");
        if ((!ifMatch.isEmpty() && (!stored || ifMatch != '"' + m_updatedAt.toUtf8() + '"')) ||
            (request.header("If-None-Match") == "*" && stored))
            return ScriptedResponse::json(412, QJsonObject{{QStringLiteral("error"), QStringLiteral("Changed")}});
        const QJsonValue data = request.json().value(QLatin1String("data"));
        if (!data.isObject())
            return ScriptedResponse::json(400, QJsonObject{{QStringLiteral("error"), QStringLiteral("Bad body")}});
        store(data.toObject());
        Q_EMIT written(data.toObject());
        return ScriptedResponse::json(200, QJsonObject{{QStringLiteral("success"), true}});
    }
    return ScriptedResponse::json(405, QJsonObject{{QStringLiteral("error"), QStringLiteral("Method not allowed")}});
}

} // namespace halvex::test
