#include "gateway/event_stream_reader.h"

#include "gateway/json_scanner.h"
#include "platform/utf8.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace halvex {

namespace {

enum class ChunkRead {
    content, // the chunk's first choice carries this fragment
    nothing, // a well-formed chunk without a fragment
    unsure,  // not the common shape: the document reader decides
};

// Reads choices[0].delta.content of the common chunk shape in one pass,
// without building a document. Duplicate members, other value types and
// escaped surrogates are left to the document reader.
ChunkRead readChunkContent(QByteArrayView payload, QString *content)
{
    JsonScanner scanner(payload); // checked UTF-8
    using Span = JsonScanner::StringSpan;
    bool choicesSeen = false, deltaSeen = false;
    std::optional<Span> found;
    const bool wellFormed = scanner.object([&](const Span &key) {
        if (!scanner.is(key, QLatin1StringView("choices")))
            return scanner.skipValue();
        if (choicesSeen || !scanner.peek('['))
            return false;
        choicesSeen = true;
        return scanner.array([&](int index) {
            if (!scanner.peek('{'))
                return false;
            if (index > 0)
                return scanner.skipValue();
            return scanner.object([&](const Span &key) {
                if (!scanner.is(key, QLatin1StringView("delta")))
                    return scanner.skipValue();
                if (deltaSeen || !scanner.peek('{'))
                    return false;
                deltaSeen = true;
                return scanner.object([&](const Span &key) {
                    if (!scanner.is(key, QLatin1StringView("content")))
                        return scanner.skipValue();
                    Span span;
                    if (found || !scanner.peek('"') || !scanner.string(&span))
                        return false;
                    found = span;
                    return true;
                });
            });
        });
    });
    if (!wellFormed || !scanner.atEnd() || !deltaSeen)
        return ChunkRead::unsure;
    if (!found)
        return ChunkRead::nothing;
    *content = unescapeJsonString(scanner.raw(*found), 0);
    return ChunkRead::content;
}

} // namespace

BridgeError httpStatusFailure(int status, const QString &bodyText)
{
    return BridgeError::apiError(QStringLiteral("OpenClaw error (%1): %2").arg(status).arg(bodyText), status);
}

bool isHttpStatusFailure(const Error &error, int status)
{
    return error.httpStatus() == status;
}

EventStreamReader::EventStreamReader(DeltaHandler onDelta, CompletionHandler onCompletion)
    : m_onDelta(std::move(onDelta)), m_onCompletion(std::move(onCompletion))
{
}

void EventStreamReader::setStatus(std::optional<int> httpStatusCode)
{
    if (httpStatusCode)
        m_httpStatusCode = httpStatusCode;
}

void EventStreamReader::feed(QByteArrayView data)
{
    if (m_complete || data.isEmpty())
        return;
    m_buffer.append(data);
    // Bytes that arrive from inside a delta handler (reading resumed there)
    // wait for the line loop that is already running.
    if (m_splitting)
        return;
    // An error body is kept whole for the error message.
    if (statusAllowsEvents()) {
        splitLines();
    } else if (m_buffer.size() > m_maxErrorBodyBytes) {
        fail(BridgeError::apiError(QStringLiteral("OpenClaw error (%1): the error text is longer than %2 bytes")
                                       .arg(*m_httpStatusCode)
                                       .arg(m_maxErrorBodyBytes),
                                   *m_httpStatusCode));
    }
}

void EventStreamReader::finish(const std::optional<QString> &transportError)
{
    if (m_complete)
        return;
    if (transportError) {
        complete(BridgeError::networkError(*transportError));
        return;
    }
    if (statusAllowsEvents()) {
        // Bytes after the last LF are an unfinished line and are dropped.
        splitLines();
        if (!m_complete)
            complete(m_accumulated);
        return;
    }
    const QString text = strictUtf8(m_buffer).value_or(QStringLiteral("Unknown error"));
    complete(httpStatusFailure(*m_httpStatusCode, text));
}

void EventStreamReader::splitLines()
{
    m_splitting = true;
    qsizetype start = 0;
    bool lineTooLong = false;
    while (!m_complete) {
        const qsizetype lf = m_buffer.indexOf('\n', std::max(start, m_scanFrom));
        if (lf < 0)
            break;
        if (lf - start > m_maxLineBytes) {
            lineTooLong = true;
            break;
        }
        // A CR before the LF stays part of the line. The view is not used
        // after the line's delta handler ran (it may append to the buffer).
        const QByteArrayView line(m_buffer.constData() + start, lf - start);
        start = lf + 1;
        if (!line.isEmpty() && isStrictUtf8(line))
            handleLine(line);
    }
    m_splitting = false;
    if (m_complete)
        return;
    m_buffer.remove(0, start);
    // What is left holds no LF: the next search starts after it.
    m_scanFrom = m_buffer.size();
    if (lineTooLong || m_buffer.size() > m_maxLineBytes)
        fail(BridgeError::apiError(
            QStringLiteral("OpenClaw sent an event line longer than %1 bytes").arg(m_maxLineBytes)));
}

void EventStreamReader::handleLine(QByteArrayView line)
{
    if (!line.startsWith("data: "))
        return;
    const QByteArrayView payload = line.sliced(6);

    if (payload == "[DONE]") {
        complete(m_accumulated);
        // The server may keep the connection open; the outcome is known.
        if (m_cancel)
            m_cancel();
        return;
    }

    // The common shape is read without a document; anything else (or
    // anything the quick reader is unsure of) goes to the document reader.
    QString fragment;
    switch (readChunkContent(payload, &fragment)) {
    case ChunkRead::content:
        appendFragment(fragment);
        return;
    case ChunkRead::nothing:
        return;
    case ChunkRead::unsure:
        break;
    }

    // Parsed in place: the line is not copied.
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromRawData(payload.data(), payload.size()));
    if (!document.isObject())
        return;
    const QJsonValue choicesValue = document.object().value(QLatin1String("choices"));
    if (!choicesValue.isArray())
        return;
    const QJsonArray choices = choicesValue.toArray();
    if (choices.isEmpty())
        return;
    for (const QJsonValue &choice : choices) {
        if (!choice.isObject())
            return;
    }
    const QJsonValue delta = choices.first().toObject().value(QLatin1String("delta"));
    if (!delta.isObject())
        return;
    const QJsonValue content = delta.toObject().value(QLatin1String("content"));
    if (!content.isString())
        return;
    appendFragment(content.toString());
}

void EventStreamReader::appendFragment(const QString &fragment)
{
    if (fragment.isEmpty())
        return;
    m_accumulated += fragment;
    if (m_onDelta)
        m_onDelta(fragment, m_accumulated);
}

void EventStreamReader::fail(const Error &error)
{
    m_buffer.clear();
    complete(error);
    if (m_cancel)
        m_cancel();
}

void EventStreamReader::complete(Result<QString> result)
{
    if (m_complete)
        return;
    m_complete = true;
    if (m_onCompletion)
        m_onCompletion(std::move(result));
}

} // namespace halvex
