#pragma once

#include "http_stand_in.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUrl>

#include <optional>

namespace halvex::test {

// A loopback stand-in for the relay's memory store, "/api/memory/<avatar id>"
// with a bearer token:
//   GET  {"found": false} while nothing is stored, else
//        {"found": true, "data": <file>, "updated_at": <time>}
//   PUT  {"data": <object>} stores the object (a new updated_at each time)
//        and answers {"success": true}
// A wrong or missing token gets 401, a PUT body without an object "data"
// gets 400, another path 404. Statuses can be scripted per method. A PUT
// whose "If-Match" is not the quoted updated_at, or with "If-None-Match: *"
// while a file is stored, gets 412 (the relay's documented interface has
// no precondition; this is what the bridge sends should it offer one).
class MemoryRelayStandIn : public QObject
{
    Q_OBJECT
public:
    explicit MemoryRelayStandIn(QObject *parent = nullptr);

    bool listen();
    // "http://127.0.0.1:<port>", the relay origin to hand to the client.
    QUrl origin() const { return m_server.url(); }

    void setToken(const QString &token) { m_token = token; }
    // The file as another device would have written it.
    void store(const QJsonObject &data);
    void storeRaw(const QByteArray &data); // any bytes as the "data" member
    std::optional<QJsonObject> stored() const { return m_stored; }
    QString updatedAt() const { return m_updatedAt; }

    // The next request with this method is answered with the status (and a
    // small JSON error body) instead; queued in order.
    void failNext(const QByteArray &method, int status);
    // Another device's write, landing just before the next PUT is handled.
    void storeBeforeNextWrite(const QJsonObject &data) { m_racingWrite = data; }
    // The next request with this method gets this answer instead.
    void answerNext(const QByteArray &method, const ScriptedResponse &response);

    QList<HttpRequest> fetches() const { return requestsWith(QByteArrayLiteral("GET")); }
    QList<HttpRequest> writes() const { return requestsWith(QByteArrayLiteral("PUT")); }
    HttpStandIn *server() { return &m_server; }

Q_SIGNALS:
    void fetched();
    void written(const QJsonObject &data);

private:
    std::optional<ScriptedResponse> answer(const HttpRequest &request);
    QList<HttpRequest> requestsWith(const QByteArray &method) const;
    void touch();

    HttpStandIn m_server;
    QString m_token;
    std::optional<QJsonObject> m_stored;
    QByteArray m_storedRaw;
    QString m_updatedAt;
    int m_revision = 0;
    QList<std::pair<QByteArray, ScriptedResponse>> m_scripted;
    std::optional<QJsonObject> m_racingWrite;
};

} // namespace halvex::test
