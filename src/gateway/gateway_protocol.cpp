#include "gateway/gateway_protocol.h"

#include <QJsonDocument>
#include <QRegularExpression>

namespace halvex::GatewayProtocol {

namespace {

QString stringAt(const QJsonObject &object, QLatin1String key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : QString();
}

} // namespace

std::optional<Frame> parseFrame(const QByteArray &utf8, QString *why)
{
    auto reject = [why](const char *reason) -> std::optional<Frame> {
        if (why)
            *why = QString::fromLatin1(reason);
        return std::nullopt;
    };
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(utf8, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject())
        return reject("not a JSON object");
    Frame frame;
    frame.object = doc.object();
    const QJsonValue type = frame.object.value(QLatin1String("type"));
    if (!type.isString())
        return reject("no string \"type\"");
    frame.type = type.toString();
    const QJsonValue payload = frame.object.value(QLatin1String("payload"));
    frame.hasPayload = payload.isObject();
    frame.payload = payload.toObject();

    if (frame.type == QLatin1String("res")) {
        const QJsonValue id = frame.object.value(QLatin1String("id"));
        if (!id.isString())
            return reject("a response without a string \"id\"");
        frame.kind = Frame::Kind::response;
        frame.id = id.toString();
        const QJsonValue ok = frame.object.value(QLatin1String("ok"));
        frame.ok = ok.isBool() && ok.toBool();
        const QJsonObject error = frame.object.value(QLatin1String("error")).toObject();
        frame.errorCode = stringAt(error, QLatin1String("code"));
        frame.errorMessage = error.value(QLatin1String("message")).isString()
                                 ? error.value(QLatin1String("message")).toString()
                                 : QStringLiteral("Unknown error");
        frame.errorDetails = error.value(QLatin1String("details")).toObject();
    } else if (frame.type == QLatin1String("event")) {
        frame.kind = Frame::Kind::event;
        const QJsonValue name = frame.object.value(QLatin1String("event"));
        frame.eventName = name.isString() ? name.toString() : QStringLiteral("-");
    }
    return frame;
}

AgentEvent readAgentEvent(const QString &eventName, const QJsonObject &payload)
{
    AgentEvent event;
    event.runId = stringAt(payload, QLatin1String("runId"));
    event.sessionKey = stringAt(payload, QLatin1String("sessionKey"));
    event.stream = stringAt(payload, QLatin1String("stream"));
    const QJsonValue dataValue = payload.value(QLatin1String("data"));
    const QJsonObject data = dataValue.toObject();

    if (eventName == QLatin1String("chat")) {
        // "chat" events mirror the run for chat windows: "delta" and
        // "status" repeat what the agent stream says; the final states tell
        // when the session has settled and may take the next message.
        event.phase = stringAt(payload, QLatin1String("state"));
        if (event.phase == QLatin1String("final") || event.phase == QLatin1String("aborted")) {
            event.kind = AgentEvent::Kind::settled;
            event.hasAnswer = payload.contains(QLatin1String("message"));
        } else if (event.phase == QLatin1String("error")) {
            event.kind = AgentEvent::Kind::failed;
            event.text = stringAt(payload, QLatin1String("errorMessage"));
            if (event.text.isEmpty())
                event.text = QStringLiteral("Unknown error");
        }
        return event;
    }
    if (event.stream == QLatin1String("assistant")) {
        const QJsonValue text = data.value(QLatin1String("text"));
        if (text.isString() && !text.toString().isEmpty()) {
            event.kind = AgentEvent::Kind::text;
            event.text = text.toString();
        }
        return event;
    }
    if (event.stream == QLatin1String("lifecycle")) {
        event.phase = stringAt(data, QLatin1String("phase"));
        if (event.phase == QLatin1String("end"))
            event.kind = AgentEvent::Kind::end;
        return event;
    }
    if (!event.stream.isEmpty() && event.stream != QLatin1String("text"))
        return event; // run_status, usage, tool streams...: no answer text
    // No stream: the first text-like member is taken as the cumulative text.
    for (const auto &[holder, key] : {std::pair{&payload, "text"}, std::pair{&data, "text"},
                                      std::pair{&data, "content"}, std::pair{&data, "delta"}}) {
        const QJsonValue value = holder->value(QLatin1String(key));
        if (!holder->contains(QLatin1String(key)))
            continue;
        if (value.isString() && !value.toString().isEmpty()) {
            event.kind = AgentEvent::Kind::text;
            event.text = value.toString();
            event.defaultRule = true;
        }
        break;
    }
    return event;
}

std::optional<QUrl> webSocketUrl(const QUrl &gatewayUrl)
{
    if (!gatewayUrl.isValid() || gatewayUrl.host().isEmpty())
        return std::nullopt;
    const QString scheme = gatewayUrl.scheme().toLower();
    QUrl url;
    if (scheme == QLatin1String("https") || scheme == QLatin1String("wss"))
        url.setScheme(QStringLiteral("wss"));
    else if (scheme == QLatin1String("http") || scheme == QLatin1String("ws"))
        url.setScheme(QStringLiteral("ws"));
    else
        return std::nullopt;
    url.setHost(gatewayUrl.host());
    url.setPort(gatewayUrl.port());
    url.setPath(gatewayUrl.path());
    // Credentials in the URL would travel in the clear on ws://; the token
    // goes in the signed handshake instead.
    return url;
}

bool isValidRequestId(const QString &id)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9._:][A-Za-z0-9._:-]{0,127}$"));
    return pattern.match(id).hasMatch();
}

bool isEncodable(const QString &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate()) {
            if (i + 1 >= text.size() || !text.at(i + 1).isLowSurrogate())
                return false;
            ++i;
        } else if (c.isLowSurrogate()) {
            return false;
        }
    }
    return true;
}

} // namespace halvex::GatewayProtocol
