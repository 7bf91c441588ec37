#include "gateway_ws_stand_in.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUuid>
#include <QWebSocket>
#include <QWebSocketServer>

#include <sodium.h>

namespace halvex::test {

namespace {

// OpenClaw's tickIntervalMs.
constexpr std::chrono::milliseconds kTickInterval = std::chrono::seconds(30);

// The least a chat client needs (measured on OpenClaw 2026.5.7 and 2026.9.6).
const QStringList kExpectedScopes = {QStringLiteral("operator.write")};

QString uuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

bool isInteger(const QJsonValue &value)
{
    return value.isDouble() && value.toDouble() == double(value.toInteger());
}

} // namespace

GatewayWsStandIn::GatewayWsStandIn(QObject *parent)
    : QObject(parent), m_front(new QTcpServer(this)),
      m_server(new QWebSocketServer(QStringLiteral("gateway-stand-in"), QWebSocketServer::NonSecureMode, this)),
      m_tick(new QTimer(this))
{
    if (sodium_init() < 0)
        qFatal("libsodium could not be initialised");
    connect(m_tick, &QTimer::timeout, this, &GatewayWsStandIn::sendTicks);
    m_tick->start(kTickInterval);
    connect(m_server, &QWebSocketServer::newConnection, this, &GatewayWsStandIn::onNewConnection);
    connect(m_front, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_front->nextPendingConnection()) {
            // Events go out as they are written, as OpenClaw's own sockets
            // do (no Nagle wait behind an unacknowledged segment).
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            auto sorted = std::make_shared<bool>(false);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, sorted] {
                if (*sorted)
                    return;
                const QByteArray head = socket->peek(8192);
                if (!head.contains("\r\n\r\n") && head.size() < 8192)
                    return; // the rest of the head is on its way
                *sorted = true;
                socket->disconnect(this);
                if (head.startsWith("GET /healthz ") && !head.toLower().contains("upgrade: websocket")) {
                    socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 30\r\n"
                                  "Connection: close\r\n\r\n{\"ok\":true,\"status\":\"live\"}   ");
                    socket->disconnectFromHost();
                    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                    return;
                }
                m_server->handleConnection(socket);
            });
        }
    });
}

GatewayWsStandIn::~GatewayWsStandIn()
{
    for (QWebSocket *client : std::as_const(m_clients)) {
        client->disconnect(this);
        client->abort();
    }
}

bool GatewayWsStandIn::listen(quint16 port)
{
    if (!m_front->listen(QHostAddress::LocalHost, port))
        return false;
    m_port = m_front->serverPort();
    return true;
}

QUrl GatewayWsStandIn::httpUrl() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_port));
}

void GatewayWsStandIn::setRefuseConnections(bool refuse)
{
    if (refuse)
        m_front->close();
    else if (!m_front->isListening())
        m_front->listen(QHostAddress::LocalHost, m_port);
}

void GatewayWsStandIn::dropConnections()
{
    const QList<QWebSocket *> clients = m_clients;
    for (QWebSocket *client : clients)
        client->abort();
}

void GatewayWsStandIn::setRefusal(QString code, QString message, QJsonObject details)
{
    m_refusalCode = std::move(code);
    m_refusalMessage = std::move(message);
    m_refusalDetails = std::move(details);
}

QList<QJsonObject> GatewayWsStandIn::framesWithMethod(const QString &method) const
{
    QList<QJsonObject> matching;
    for (const QJsonObject &frame : m_frames) {
        if (frame.value(QLatin1String("method")).toString() == method)
            matching.append(frame);
    }
    return matching;
}

QString GatewayWsStandIn::deviceIdForPublicKey(const QByteArray &publicKey)
{
    return QString::fromLatin1(QCryptographicHash::hash(publicKey, QCryptographicHash::Sha256).toHex());
}

std::optional<QByteArray> GatewayWsStandIn::decodeBase64Url(const QString &text)
{
    static const QRegularExpression alphabet(QStringLiteral("^[A-Za-z0-9_-]*$"));
    if (!alphabet.match(text).hasMatch() || text.size() % 4 == 1)
        return std::nullopt;
    const auto decoded = QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::Base64UrlEncoding |
                                                                             QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    return decoded.decoded;
}

void GatewayWsStandIn::onNewConnection()
{
    while (QWebSocket *client = m_server->nextPendingConnection()) {
        ++m_connectionCount;
        m_clients.append(client);
        client->setParent(this);
        connect(client, &QWebSocket::textMessageReceived, this,
                [this, client](const QString &text) { onText(client, text); });
        connect(client, &QWebSocket::disconnected, this, [this, client] {
            m_clients.removeAll(client);
            m_greeted.remove(client);
            m_nonces.remove(client);
            if (m_held && m_held->client == client)
                m_held.reset();
            client->deleteLater();
        });
        if (!m_sendChallenge)
            continue;
        QJsonObject payload;
        if (m_challengePayload) {
            payload = *m_challengePayload;
        } else {
            const QString nonce = uuid();
            payload = QJsonObject{{QStringLiteral("nonce"), nonce},
                                  {QStringLiteral("ts"), QDateTime::currentMSecsSinceEpoch()}};
        }
        m_nonces.insert(client, payload.value(QLatin1String("nonce")).toString());
        m_lastNonce = payload.value(QLatin1String("nonce")).toString();
        sendTo(client, QJsonObject{{QStringLiteral("type"), QStringLiteral("event")},
                                   {QStringLiteral("event"), QStringLiteral("connect.challenge")},
                                   {QStringLiteral("payload"), payload}});
    }
}

void GatewayWsStandIn::onText(QWebSocket *client, const QString &text)
{
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
    if (!doc.isObject())
        return;
    const QJsonObject frame = doc.object();
    m_frames.append(frame);
    Q_EMIT frameReceived(frame);
    if (frame.value(QLatin1String("type")).toString() != QLatin1String("req"))
        return;
    const QString method = frame.value(QLatin1String("method")).toString();
    if (method == QLatin1String("connect"))
        handleConnect(client, frame);
    else if (method == QLatin1String("chat.send"))
        handleChatSend(client, frame);
    else
        answer(client, frame.value(QLatin1String("id")).toString(), false,
               QJsonObject{{QStringLiteral("code"), QStringLiteral("INVALID_REQUEST")},
                           {QStringLiteral("message"), QStringLiteral("unknown method")}});
}

GatewayWsStandIn::ConnectRecord GatewayWsStandIn::verify(QWebSocket *client, const QJsonObject &params,
                                                         QString *authToken, bool *usedDeviceToken) const
{
    ConnectRecord record;
    record.params = params;
    auto fail = [&record](const QString &why) {
        record.failure = why;
        return record;
    };

    const QJsonValue minProtocol = params.value(QLatin1String("minProtocol"));
    const QJsonValue maxProtocol = params.value(QLatin1String("maxProtocol"));
    if (!isInteger(minProtocol) || !isInteger(maxProtocol) || minProtocol.toInteger() > 4 ||
        maxProtocol.toInteger() < 4)
        return fail(QStringLiteral("protocol mismatch"));

    const QJsonObject expectedClient{{QStringLiteral("id"), QStringLiteral("openclaw-ios")},
                                     {QStringLiteral("version"), QStringLiteral("1.0.0")},
                                     {QStringLiteral("platform"), QStringLiteral("linux")},
                                     {QStringLiteral("mode"), QStringLiteral("ui")}};
    const QJsonObject clientInfo = params.value(QLatin1String("client")).toObject();
    if (clientInfo != expectedClient)
        return fail(QStringLiteral("unexpected client"));
    if (params.value(QLatin1String("role")).toString() != QLatin1String("operator"))
        return fail(QStringLiteral("unexpected role"));
    QStringList scopes;
    for (const QJsonArray elements = params.value(QLatin1String("scopes")).toArray();
         const QJsonValue &scope : elements)
        scopes.append(scope.toString());
    if (scopes != kExpectedScopes)
        return fail(QStringLiteral("unexpected scopes"));
    if (params.value(QLatin1String("caps")).toArray() != QJsonArray{QStringLiteral("voice")})
        return fail(QStringLiteral("unexpected caps"));
    if (!params.value(QLatin1String("commands")).isArray() ||
        !params.value(QLatin1String("commands")).toArray().isEmpty())
        return fail(QStringLiteral("unexpected commands"));
    if (!params.value(QLatin1String("permissions")).isObject() ||
        !params.value(QLatin1String("permissions")).toObject().isEmpty())
        return fail(QStringLiteral("unexpected permissions"));

    const QJsonObject auth = params.value(QLatin1String("auth")).toObject();
    if (auth.size() != 1)
        return fail(QStringLiteral("auth must hold one credential"));
    if (auth.value(QLatin1String("deviceToken")).isString()) {
        *usedDeviceToken = true;
        *authToken = auth.value(QLatin1String("deviceToken")).toString();
    } else if (auth.value(QLatin1String("token")).isString()) {
        *usedDeviceToken = false;
        *authToken = auth.value(QLatin1String("token")).toString();
    } else {
        return fail(QStringLiteral("auth must hold token or deviceToken"));
    }

    const QJsonObject device = params.value(QLatin1String("device")).toObject();
    const QString deviceId = device.value(QLatin1String("id")).toString();
    const auto publicKey = decodeBase64Url(device.value(QLatin1String("publicKey")).toString());
    const auto signature = decodeBase64Url(device.value(QLatin1String("signature")).toString());
    const QJsonValue signedAt = device.value(QLatin1String("signedAt"));
    const QString nonce = device.value(QLatin1String("nonce")).toString();
    if (!publicKey || publicKey->size() != crypto_sign_PUBLICKEYBYTES)
        return fail(QStringLiteral("bad public key"));
    if (!signature || signature->size() != crypto_sign_BYTES)
        return fail(QStringLiteral("bad signature encoding"));
    if (!isInteger(signedAt))
        return fail(QStringLiteral("signedAt must be an integer"));
    if (qAbs(QDateTime::currentMSecsSinceEpoch() - signedAt.toInteger()) > 10 * 60 * 1000)
        return fail(QStringLiteral("signedAt too far from now"));
    if (nonce != m_nonces.value(client))
        return fail(QStringLiteral("nonce does not match the challenge"));
    if (deviceId != deviceIdForPublicKey(*publicKey))
        return fail(QStringLiteral("device id does not match the public key"));

    record.signedPayload = QStringList{QStringLiteral("v2"),
                                       deviceId,
                                       clientInfo.value(QLatin1String("id")).toString(),
                                       clientInfo.value(QLatin1String("mode")).toString(),
                                       params.value(QLatin1String("role")).toString(),
                                       scopes.join(QLatin1Char(',')),
                                       QString::number(signedAt.toInteger()),
                                       *authToken,
                                       nonce}
                               .join(QLatin1Char('|'));
    const QByteArray message = record.signedPayload.toUtf8();
    record.signatureValid =
        crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(signature->constData()),
                                    reinterpret_cast<const unsigned char *>(message.constData()),
                                    static_cast<unsigned long long>(message.size()),
                                    reinterpret_cast<const unsigned char *>(publicKey->constData())) == 0;
    if (!record.signatureValid)
        return fail(QStringLiteral("device signature invalid"));
    return record;
}

void GatewayWsStandIn::handleConnect(QWebSocket *client, const QJsonObject &frame)
{
    const QString id = frame.value(QLatin1String("id")).toString();
    const QJsonObject params = frame.value(QLatin1String("params")).toObject();
    QString token;
    bool usedDeviceToken = false;
    const ConnectRecord record = verify(client, params, &token, &usedDeviceToken);
    m_connectRecords.append(record);
    Q_EMIT connectChecked(record);

    auto refuse = [&](const QString &code, const QString &message, const QJsonObject &details) {
        QJsonObject error{{QStringLiteral("code"), code}, {QStringLiteral("message"), message}};
        if (!details.isEmpty())
            error.insert(QStringLiteral("details"), details);
        answer(client, id, false, error);
        if (m_closeAfterRefusal != 0)
            client->close(QWebSocketProtocol::CloseCode(m_closeAfterRefusal), message);
    };

    switch (m_connectMode) {
    case ConnectMode::silent:
        return;
    case ConnectMode::raw: {
        QJsonObject raw = m_rawConnectAnswer;
        raw.insert(QStringLiteral("id"), id);
        sendTo(client, raw);
        return;
    }
    case ConnectMode::refuse:
        refuse(m_refusalCode, m_refusalMessage, m_refusalDetails);
        return;
    case ConnectMode::accept:
        break;
    }

    if (!record.failure.isEmpty()) {
        refuse(QStringLiteral("INVALID_REQUEST"), record.failure, {});
        return;
    }
    if (usedDeviceToken && !m_issuedTokens.contains(token)) {
        refuse(QStringLiteral("AUTH_DEVICE_TOKEN_MISMATCH"), QStringLiteral("unauthorized: device token mismatch"), {});
        return;
    }
    if (!usedDeviceToken && m_gatewayToken && token != *m_gatewayToken) {
        refuse(QStringLiteral("AUTH_TOKEN_MISMATCH"), QStringLiteral("unauthorized: gateway token mismatch"), {});
        return;
    }
    const QString deviceId = params.value(QLatin1String("device")).toObject().value(QLatin1String("id")).toString();
    if (m_isPaired && !m_isPaired(deviceId)) {
        QJsonObject details{{QStringLiteral("code"), QStringLiteral("PAIRING_REQUIRED")},
                            {QStringLiteral("deviceId"), deviceId}};
        if (!m_pairingRequestId.isEmpty())
            details.insert(QStringLiteral("requestId"), m_pairingRequestId);
        refuse(QStringLiteral("NOT_PAIRED"), QStringLiteral("pairing required: device is not approved yet"), details);
        return;
    }

    QJsonObject authAnswer{{QStringLiteral("role"), QStringLiteral("operator")},
                           {QStringLiteral("scopes"), QJsonArray::fromStringList(kExpectedScopes)}};
    if (m_issueDeviceTokens) {
        const QString deviceToken = QStringLiteral("dtok-") + uuid();
        m_issuedTokens.append(deviceToken);
        authAnswer.insert(QStringLiteral("deviceToken"), deviceToken);
    }
    QJsonObject hello{{QStringLiteral("type"), QStringLiteral("hello-ok")},
                      {QStringLiteral("protocol"), 4},
                      {QStringLiteral("auth"), authAnswer}};
    if (m_tick->isActive())
        hello.insert(QStringLiteral("policy"),
                     QJsonObject{{QStringLiteral("tickIntervalMs"), qint64(m_tick->intervalAsDuration().count())}});
    answer(client, id, true, hello);
    m_greeted.insert(client);
}

void GatewayWsStandIn::handleChatSend(QWebSocket *client, const QJsonObject &frame)
{
    const QString id = frame.value(QLatin1String("id")).toString();
    const QJsonObject params = frame.value(QLatin1String("params")).toObject();
    const QString message = params.value(QLatin1String("message")).toString();
    Q_EMIT chatSendReceived(id, message);

    ChatScript script;
    if (!m_chatScripts.empty()) {
        script = m_chatScripts.front();
        m_chatScripts.pop_front();
    } else {
        script.texts = {QStringLiteral("Hel"), QStringLiteral("Hello"), QStringLiteral("Hello!")};
    }
    if (script.silent)
        return;
    if (!params.value(QLatin1String("sessionKey")).isString() ||
        !params.value(QLatin1String("idempotencyKey")).isString() ||
        !params.value(QLatin1String("message")).isString()) {
        answer(client, id, false,
               QJsonObject{{QStringLiteral("code"), QStringLiteral("INVALID_REQUEST")},
                           {QStringLiteral("message"), QStringLiteral("invalid chat.send params")}});
        return;
    }
    if (!script.errorCode.isEmpty()) {
        QJsonObject error{{QStringLiteral("code"), script.errorCode}};
        if (!script.errorMessage.isNull())
            error.insert(QStringLiteral("message"), script.errorMessage);
        answer(client, id, false, error);
        return;
    }
    const QString runId = uuid();
    m_runSessions.insert(runId, params.value(QLatin1String("sessionKey")).toString());
    answer(client, id, true,
           QJsonObject{{QStringLiteral("runId"), runId}, {QStringLiteral("status"), QStringLiteral("started")}});

    QString previous;
    qsizetype sentTexts = 0;
    for (const QString &text : std::as_const(script.texts)) {
        sendAssistant(client, runId, text, previous);
        previous = text;
        ++sentTexts;
        if (script.hold)
            break;
    }
    if (script.hold) {
        script.texts = script.texts.mid(sentTexts);
        m_held = Held{client, runId, script};
        return;
    }
    if (script.end)
        sendEnd(client, runId);
}

void GatewayWsStandIn::releaseHeldChat()
{
    if (!m_held)
        return;
    Held held = *m_held;
    m_held.reset();
    QString previous;
    for (const QString &text : std::as_const(held.script.texts)) {
        sendAssistant(held.client, held.runId, text, previous);
        previous = text;
    }
    if (held.script.end)
        sendEnd(held.client, held.runId);
}

void GatewayWsStandIn::sendAssistant(QWebSocket *client, const QString &runId, const QString &text,
                                     const QString &previous)
{
    const QString delta = text.startsWith(previous) ? text.mid(previous.size()) : text;
    sendTo(client, QJsonObject{{QStringLiteral("type"), QStringLiteral("event")},
                               {QStringLiteral("event"), QStringLiteral("agent")},
                               {QStringLiteral("payload"),
                                QJsonObject{{QStringLiteral("runId"), runId},
                                            {QStringLiteral("sessionKey"), m_runSessions.value(runId)},
                                            {QStringLiteral("stream"), QStringLiteral("assistant")},
                                            {QStringLiteral("data"), QJsonObject{{QStringLiteral("text"), text},
                                                                                 {QStringLiteral("delta"), delta}}}}}});
}

void GatewayWsStandIn::sendEnd(QWebSocket *client, const QString &runId)
{
    sendTo(client, QJsonObject{{QStringLiteral("type"), QStringLiteral("event")},
                               {QStringLiteral("event"), QStringLiteral("agent")},
                               {QStringLiteral("payload"),
                                QJsonObject{{QStringLiteral("runId"), runId},
                                            {QStringLiteral("sessionKey"), m_runSessions.value(runId)},
                                            {QStringLiteral("stream"), QStringLiteral("lifecycle")},
                                            {QStringLiteral("data"),
                                             QJsonObject{{QStringLiteral("phase"), QStringLiteral("end")}}}}}});
    // As both OpenClaw lines do, the session then settles.
    sendTo(client, QJsonObject{{QStringLiteral("type"), QStringLiteral("event")},
                               {QStringLiteral("event"), QStringLiteral("chat")},
                               {QStringLiteral("payload"),
                                QJsonObject{{QStringLiteral("runId"), runId},
                                            {QStringLiteral("sessionKey"), m_runSessions.take(runId)},
                                            {QStringLiteral("state"), QStringLiteral("final")}}}});
}

void GatewayWsStandIn::setTickInterval(std::chrono::milliseconds interval)
{
    if (interval.count() > 0)
        m_tick->start(interval);
    else
        m_tick->stop();
}

void GatewayWsStandIn::sendTicks()
{
    for (QWebSocket *client : std::as_const(m_clients)) {
        if (!m_greeted.contains(client))
            continue;
        sendTo(client, QJsonObject{{QStringLiteral("type"), QStringLiteral("event")},
                                   {QStringLiteral("event"), QStringLiteral("tick")},
                                   {QStringLiteral("payload"),
                                    QJsonObject{{QStringLiteral("ts"), QDateTime::currentMSecsSinceEpoch()}}},
                                   {QStringLiteral("seq"), ++m_eventSeq}});
        ++m_ticksSent;
    }
}

void GatewayWsStandIn::sendEvent(const QString &name, const QJsonObject &payload)
{
    sendFrame(QJsonObject{{QStringLiteral("type"), QStringLiteral("event")},
                          {QStringLiteral("event"), name},
                          {QStringLiteral("payload"), payload}});
}

void GatewayWsStandIn::sendFrame(const QJsonObject &frame)
{
    for (QWebSocket *client : std::as_const(m_clients))
        sendTo(client, frame);
}

void GatewayWsStandIn::sendText(const QString &text)
{
    for (QWebSocket *client : std::as_const(m_clients)) {
        client->sendTextMessage(text);
        client->flush();
    }
}

void GatewayWsStandIn::answer(QWebSocket *client, const QString &id, bool ok, const QJsonObject &payloadOrError)
{
    QJsonObject frame{
        {QStringLiteral("type"), QStringLiteral("res")}, {QStringLiteral("id"), id}, {QStringLiteral("ok"), ok}};
    frame.insert(ok ? QStringLiteral("payload") : QStringLiteral("error"), payloadOrError);
    sendTo(client, frame);
}

void GatewayWsStandIn::sendTo(QWebSocket *client, const QJsonObject &frame)
{
    client->sendTextMessage(QString::fromUtf8(QJsonDocument(frame).toJson(QJsonDocument::Compact)));
}

} // namespace halvex::test
