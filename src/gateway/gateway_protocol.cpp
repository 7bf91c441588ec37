#include "gateway/gateway_protocol.h"

#include "gateway/json_scanner.h"
#include "platform/json5.h"

#include <QJsonDocument>
#include <QRegularExpression>

#include <algorithm>

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

QString AssistantText::decodedFrom(qsizetype from) const
{
    return unescapeJsonString(QByteArrayView(frame).sliced(begin, size), std::clamp<qsizetype>(from, 0, length));
}

std::optional<AgentEvent> readAssistantEvent(const QByteArray &frame)
{
    JsonScanner scanner(frame);
    using Span = JsonScanner::StringSpan;
    std::optional<Span> type, name, runId, sessionKey, stream, state, text;
    bool payloadSeen = false, dataSeen = false;
    // A string member read once; a second one sends the frame to the full reader.
    auto once = [&scanner](std::optional<Span> &slot) {
        if (slot)
            return false;
        Span span;
        if (!scanner.peek('"') || !scanner.string(&span))
            return false;
        slot = span;
        return true;
    };
    const bool wellFormed = scanner.object([&](const Span &key) {
        if (scanner.is(key, QLatin1StringView("type")))
            return once(type);
        if (scanner.is(key, QLatin1StringView("event")))
            return once(name);
        if (!scanner.is(key, QLatin1StringView("payload")))
            return scanner.skipValue();
        if (payloadSeen)
            return false;
        payloadSeen = true;
        return scanner.object([&](const Span &key) {
            if (scanner.is(key, QLatin1StringView("runId")))
                return once(runId);
            if (scanner.is(key, QLatin1StringView("sessionKey")))
                return once(sessionKey);
            if (scanner.is(key, QLatin1StringView("stream")))
                return once(stream);
            if (scanner.is(key, QLatin1StringView("state")))
                return once(state);
            if (!scanner.is(key, QLatin1StringView("data")))
                return scanner.skipValue();
            if (dataSeen)
                return false;
            dataSeen = true;
            return scanner.object([&](const Span &key) {
                if (scanner.is(key, QLatin1StringView("text")))
                    return once(text);
                return scanner.skipValue();
            });
        });
    });
    if (!wellFormed || !scanner.atEnd())
        return std::nullopt;
    auto plain = [&scanner](const std::optional<Span> &span, QLatin1StringView value) {
        return span && scanner.is(*span, value);
    };
    auto decoded = [&scanner](const std::optional<Span> &span) {
        return span ? unescapeJsonString(scanner.raw(*span), 0) : QString();
    };
    if (!plain(type, QLatin1StringView("event")) || !payloadSeen)
        return std::nullopt;
    // The chat window's copy of each fragment: nothing for a chat.
    if (plain(name, QLatin1StringView("chat")) && plain(state, QLatin1StringView("delta")) &&
        (!stream || !stream->hasEscapes)) {
        AgentEvent event;
        event.runId = decoded(runId);
        event.sessionKey = decoded(sessionKey);
        event.stream = decoded(stream);
        event.phase = QStringLiteral("delta");
        return event;
    }
    if (!plain(name, QLatin1StringView("agent")) || !plain(stream, QLatin1StringView("assistant")) || !text ||
        text->length == 0)
        return std::nullopt;
    AgentEvent event;
    event.kind = AgentEvent::Kind::text;
    event.runId = decoded(runId);
    event.sessionKey = decoded(sessionKey);
    event.stream = QStringLiteral("assistant");
    auto assistant = std::make_shared<AssistantText>();
    assistant->frame = frame;
    assistant->begin = text->begin;
    assistant->size = text->size;
    assistant->length = text->length;
    event.assistantText = std::move(assistant);
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
