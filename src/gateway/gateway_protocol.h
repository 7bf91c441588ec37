#pragma once

#include <QJsonObject>
#include <QString>
#include <QUrl>

#include <memory>
#include <optional>

namespace halvex {

// The gateway's frame vocabulary as pure functions: nothing here touches a
// socket, so every rule can be tested (and fuzzed) on plain text.
namespace GatewayProtocol {

// One decoded frame. Requests go out only, so a frame is a response, an
// event, or some other type that is ignored.
struct Frame {
    enum class Kind { response, event, other };
    Kind kind = Kind::other;
    QString type;      // "res", "event", ...
    QString id;        // responses: the request's id
    bool ok = false;   // responses: absent or not a boolean counts as false
    QString eventName; // events: the name, "-" when absent
    QJsonObject payload;
    bool hasPayload = false;
    QString errorCode;    // responses: "error"."code", else empty
    QString errorMessage; // responses: "error"."message", else "Unknown error"
    QJsonObject errorDetails;
    QJsonObject object; // the whole frame
};

// A frame from one message: std::nullopt (with `why`) for text that is not a
// JSON object with a string "type", or a response without a string "id".
std::optional<Frame> parseFrame(const QByteArray &utf8, QString *why = nullptr);

// The cumulative text of an "assistant" event, read in place: the frame is
// kept (shared, not copied) and the text decoded only from where a chat has
// got to, so each event costs its new text rather than the whole answer.
struct AssistantText {
    QByteArray frame;    // the whole frame, UTF-8
    qsizetype begin = 0; // the text's escaped form: frame[begin, begin + size) (bytes)
    qsizetype size = 0;
    qsizetype length = 0; // UTF-16 units of the decoded text

    // The decoded text from unit `from` on.
    QString decodedFrom(qsizetype from) const;
};

// What one "agent"/"chat" event means for a chat. The gateway sends every
// operator the events of every run, so each carries the run and session it
// belongs to (either may be empty on old or odd frames).
struct AgentEvent {
    enum class Kind {
        text,    // cumulative answer text so far
        end,     // the run's lifecycle ended: the answer is complete
        settled, // "chat" state "final"/"aborted": the session may take the next chat
        failed,  // "chat" state "error": the run failed with `message`
        ignored, // anything else (status, usage, other phases)
    };
    Kind kind = Kind::ignored;
    QString runId;
    QString sessionKey;
    QString stream;           // "assistant", "lifecycle", ...; empty when absent
    QString phase;            // lifecycle phase or chat state
    QString text;             // kind text: the cumulative text; failed: the message
    bool defaultRule = false; // text found by the catch-all rule
    bool hasAnswer = false;   // settled: the "chat" event carries the answer message
    // Kind text read by readAssistantEvent(): the text is here, not in `text`.
    std::shared_ptr<const AssistantText> assistantText;
};
AgentEvent readAgentEvent(const QString &eventName, const QJsonObject &payload);

// The frames that come once per fragment, read without a JSON document: an
// "event" frame of event "agent" whose payload has stream "assistant" and a
// non-empty string "data"."text" (kind text), or of event "chat" with state
// "delta" (kind ignored). The whole frame is checked to be JSON; nullopt for
// anything else or anything unusual (duplicate members, escaped
// surrogates), which parseFrame() and readAgentEvent() then read, with the
// same outcome. The frame is checked UTF-8, as the socket delivers it.
std::optional<AgentEvent> readAssistantEvent(const QByteArray &frame);

// The WebSocket URL for the gateway's HTTP endpoint: https becomes wss and
// http becomes ws, host, port and path kept (query and fragment dropped).
// std::nullopt when it is not an absolute http(s)/ws(s) URL with a host.
std::optional<QUrl> webSocketUrl(const QUrl &gatewayUrl);

// A pairing request id that may be handed to the tool: letters, digits,
// ".", "_", ":" and "-", 1 to 128 characters, not starting with "-".
bool isValidRequestId(const QString &id);

// False for text with lone surrogates, which has no UTF-8 form.
bool isEncodable(const QString &text);

} // namespace GatewayProtocol

} // namespace halvex
