#pragma once

#include "platform/chat_message.h"
#include "platform/error.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <limits>
#include <optional>

namespace halvex {

// "OpenClaw error (<status>): <body text>", the failure of a chat answered
// with an HTTP status other than 200.
BridgeError httpStatusFailure(int status, const QString &bodyText);
// Whether the failure is httpStatusFailure() of that status.
bool isHttpStatusFailure(const Error &error, int status);

// Reads one streamed chat completion (server-sent events) and reports its
// outcome exactly once. Fed by the transport with the response status, the
// body bytes as they arrive, and the end of the transfer.
//
// Lines are cut from a byte buffer at LF, so a multi-byte character split
// across network packets is never decoded half. Only lines that begin with
// exactly "data: " count; their payload is either "[DONE]" (success with the
// text so far, then the transfer is cancelled) or a JSON chunk whose
// choices[0].delta.content is the next fragment. Anything else is ignored.
// A body with a status other than 200 is collected whole and becomes an
// apiError. Once the outcome is reported, later input changes nothing.
// Input is bounded: a line longer than the line limit, or an error body
// longer than the body limit, ends the stream with a failure at once.
class EventStreamReader
{
public:
    using CompletionHandler = std::function<void(Result<QString>)>;

    EventStreamReader(DeltaHandler onDelta, CompletionHandler onCompletion);
    EventStreamReader(const EventStreamReader &) = delete;
    EventStreamReader &operator=(const EventStreamReader &) = delete;

    // Size limits in bytes (defaults: unlimited).
    void setLimits(qint64 maxLineBytes, qint64 maxErrorBodyBytes)
    {
        m_maxLineBytes = maxLineBytes;
        m_maxErrorBodyBytes = maxErrorBodyBytes;
    }

    // Ends the transfer after "[DONE]" or a failure.
    void setCancel(std::function<void()> cancel) { m_cancel = std::move(cancel); }

    // The HTTP status, once the response head arrived (nullopt: not HTTP).
    void setStatus(std::optional<int> httpStatusCode);
    void feed(QByteArrayView data);
    // The transfer ended; `transportError` holds the platform's description
    // of a transport failure, nullopt when it ended normally.
    void finish(const std::optional<QString> &transportError);

    bool isComplete() const { return m_complete; }
    const QString &accumulated() const { return m_accumulated; }

private:
    bool statusAllowsEvents() const { return !m_httpStatusCode || *m_httpStatusCode == 200; }
    void splitLines();
    void handleLine(QByteArrayView line);
    void appendFragment(const QString &fragment);
    void complete(Result<QString> result);
    // Reports the failure and ends the transfer.
    void fail(const Error &error);

    DeltaHandler m_onDelta;
    CompletionHandler m_onCompletion;
    QByteArray m_buffer;
    // Where the search for the next LF goes on: the bytes before it in
    // m_buffer hold none, so a long line is never searched twice.
    qsizetype m_scanFrom = 0;
    bool m_splitting = false;
    qint64 m_maxLineBytes = std::numeric_limits<qint64>::max();
    qint64 m_maxErrorBodyBytes = std::numeric_limits<qint64>::max();
    QString m_accumulated;
    bool m_complete = false;
    std::optional<int> m_httpStatusCode;
    std::function<void()> m_cancel;
};

} // namespace halvex
