#include "gateway/sse_stream_delegate.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QStringDecoder>

namespace halvex {

std::optional<QString> decodeUtf8Strict(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

SSEStreamDelegate::SSEStreamDelegate(DeltaHandler onDelta, CompletionHandler onCompletion)
    : m_onDelta(std::move(onDelta)), m_onCompletion(std::move(onCompletion))
{
}

void SSEStreamDelegate::didReceiveResponse(std::optional<int> httpStatusCode)
{
    if (httpStatusCode)
        m_httpStatusCode = httpStatusCode;
}

void SSEStreamDelegate::didReceiveData(const QByteArray &data)
{
    if (m_didComplete || data.isEmpty())
        return;
    m_buffer.append(data);
    // An error body is kept whole for the error message.
    if (statusAllowsEvents())
        splitLines();
}

void SSEStreamDelegate::didFinish(const std::optional<QString> &transportError)
{
    if (m_didComplete)
        return;
    if (transportError) {
        complete(BridgeError::networkError(*transportError));
        return;
    }
    if (statusAllowsEvents()) {
        // Bytes after the last LF are an unfinished line and are dropped.
        splitLines();
        if (!m_didComplete)
            complete(m_accumulated);
        return;
    }
    const QString text = decodeUtf8Strict(m_buffer).value_or(QStringLiteral("Unknown error"));
    complete(BridgeError::apiError(QStringLiteral("OpenClaw error (%1): %2").arg(*m_httpStatusCode).arg(text)));
}

void SSEStreamDelegate::splitLines()
{
    qsizetype start = 0;
    while (!m_didComplete) {
        const qsizetype lf = m_buffer.indexOf('\n', start);
        if (lf < 0)
            break;
        // A CR before the LF stays part of the line.
        const QByteArray line = m_buffer.sliced(start, lf - start);
        start = lf + 1;
        if (line.isEmpty())
            continue;
        if (const std::optional<QString> text = decodeUtf8Strict(line))
            handleLine(*text);
    }
    m_buffer.remove(0, start);
}

void SSEStreamDelegate::handleLine(const QString &line)
{
    static const QLatin1String dataPrefix("data: ");
    if (!line.startsWith(dataPrefix))
        return;
    const QString payload = line.sliced(dataPrefix.size());

    if (payload == QLatin1String("[DONE]")) {
        complete(m_accumulated);
        // The server may keep the connection open; the outcome is known.
        if (m_task)
            m_task->abort();
        return;
    }

    const QJsonDocument document = QJsonDocument::fromJson(payload.toUtf8());
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
    const QString fragment = content.toString();
    if (fragment.isEmpty())
        return;
    m_accumulated += fragment;
    if (m_onDelta)
        m_onDelta(fragment, m_accumulated);
}

void SSEStreamDelegate::complete(Result<QString> result)
{
    if (m_didComplete)
        return;
    m_didComplete = true;
    if (m_onCompletion)
        m_onCompletion(std::move(result));
}

} // namespace halvex
