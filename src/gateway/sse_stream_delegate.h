#pragma once

#include "platform/chat_message.h"
#include "platform/error.h"

#include <QByteArray>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>

class QNetworkReply;

namespace halvex {


// Strict UTF-8 decoding: nullopt when the bytes are not valid UTF-8 (no
// replacement characters are invented). A leading byte-order mark is kept.
std::optional<QString> decodeUtf8Strict(const QByteArray &bytes);

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
class SSEStreamDelegate
{
public:
    using CompletionHandler = std::function<void(Result<QString>)>;

    SSEStreamDelegate(DeltaHandler onDelta, CompletionHandler onCompletion);
    SSEStreamDelegate(const SSEStreamDelegate &) = delete;
    SSEStreamDelegate &operator=(const SSEStreamDelegate &) = delete;

    // The transfer to cancel after "[DONE]"; held weakly.
    void setTask(QNetworkReply *task) { m_task = task; }

    // The HTTP status, once the response head arrived (nullopt: not HTTP).
    void didReceiveResponse(std::optional<int> httpStatusCode);
    void didReceiveData(const QByteArray &data);
    // The transfer ended; `transportError` holds the platform's description
    // of a transport failure, nullopt when it ended normally.
    void didFinish(const std::optional<QString> &transportError);

    bool didComplete() const { return m_didComplete; }
    const QString &accumulated() const { return m_accumulated; }

private:
    bool statusAllowsEvents() const { return !m_httpStatusCode || *m_httpStatusCode == 200; }
    void splitLines();
    void handleLine(const QString &line);
    void complete(Result<QString> result);

    DeltaHandler m_onDelta;
    CompletionHandler m_onCompletion;
    QByteArray m_buffer;
    QString m_accumulated;
    bool m_didComplete = false;
    std::optional<int> m_httpStatusCode;
    QPointer<QNetworkReply> m_task;
};

} // namespace halvex
