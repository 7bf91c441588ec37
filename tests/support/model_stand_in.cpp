#include "model_stand_in.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace halvex::test {

ModelStandIn::ModelStandIn(QObject *parent) : QObject(parent)
{
    m_server.setHandler([this](const HttpRequest &request) { return answer(request); });
}

bool ModelStandIn::listen(quint16 port, const QHostAddress &address)
{
    return m_server.listen(address, port);
}

QString ModelStandIn::baseUrl() const
{
    return QStringLiteral("http://%1:%2/v1").arg(m_server.address().toString()).arg(m_server.port());
}

QString ModelStandIn::newestMatch(const QJsonObject &body, const QRegularExpression &pattern)
{
    const QJsonArray messages = body.value(QLatin1String("messages")).toArray();
    for (qsizetype i = messages.size() - 1; i >= 0; --i) {
        const QJsonObject message = messages.at(i).toObject();
        if (message.value(QLatin1String("role")).toString() != QLatin1String("user"))
            continue;
        const QString text = QString::fromUtf8(
            QJsonDocument(QJsonArray{message.value(QLatin1String("content"))}).toJson(QJsonDocument::Compact));
        QString newest;
        QRegularExpressionMatchIterator it = pattern.globalMatch(text);
        while (it.hasNext())
            newest = it.next().captured(0);
        if (!newest.isEmpty())
            return newest;
    }
    return {};
}

QString ModelStandIn::lastUserText(const QJsonObject &body)
{
    const QJsonArray messages = body.value(QLatin1String("messages")).toArray();
    for (qsizetype i = messages.size() - 1; i >= 0; --i) {
        const QJsonObject message = messages.at(i).toObject();
        if (message.value(QLatin1String("role")).toString() != QLatin1String("user"))
            continue;
        const QJsonValue content = message.value(QLatin1String("content"));
        if (content.isString())
            return content.toString();
        QStringList parts;
        for (const QJsonArray elements = content.toArray(); const QJsonValue &part : elements) {
            if (part.toObject().value(QLatin1String("type")).toString() == QLatin1String("text"))
                parts.append(part.toObject().value(QLatin1String("text")).toString());
        }
        return parts.join(QLatin1Char('\n'));
    }
    return {};
}

QStringList ModelStandIn::fragmentsOf(const QString &text)
{
    QStringList fragments;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) == QLatin1Char(' ')) {
            fragments.append(text.mid(start, i + 1 - start));
            start = i + 1;
        }
    }
    if (start < text.size())
        fragments.append(text.mid(start));
    return fragments;
}

std::optional<ScriptedResponse> ModelStandIn::answer(const HttpRequest &request)
{
    const QByteArray path = request.path();
    if (request.method == "GET" && path == "/v1/models") {
        const QJsonObject model{{QStringLiteral("id"), modelId()},
                                {QStringLiteral("object"), QStringLiteral("model")},
                                {QStringLiteral("created"), 0},
                                {QStringLiteral("owned_by"), QStringLiteral("halvex-test")}};
        return ScriptedResponse::json(200, QJsonObject{{QStringLiteral("object"), QStringLiteral("list")},
                                                       {QStringLiteral("data"), QJsonArray{model}}});
    }
    if (request.method != "POST" || path != "/v1/chat/completions")
        return std::nullopt; // the server's queue, defaults or 404

    Q_EMIT chatRequestReceived(request);
    const QJsonObject body = request.json();
    const QString text = m_echoPattern.isValid() && !m_echoPattern.pattern().isEmpty()
                             ? QStringLiteral("Answer to ") + newestMatch(body, m_echoPattern)
                         : m_echo ? lastUserText(body)
                                  : m_answer;

    if (!body.value(QLatin1String("stream")).toBool()) {
        const QJsonObject message{{QStringLiteral("role"), QStringLiteral("assistant")},
                                  {QStringLiteral("content"), text}};
        const QJsonObject choice{{QStringLiteral("index"), 0},
                                 {QStringLiteral("message"), message},
                                 {QStringLiteral("finish_reason"), QStringLiteral("stop")}};
        return ScriptedResponse::json(
            200, QJsonObject{{QStringLiteral("id"), QStringLiteral("chatcmpl-model-stand-in")},
                             {QStringLiteral("object"), QStringLiteral("chat.completion")},
                             {QStringLiteral("created"), 1700000000},
                             {QStringLiteral("model"), modelId()},
                             {QStringLiteral("choices"), QJsonArray{choice}},
                             {QStringLiteral("usage"), QJsonObject{{QStringLiteral("prompt_tokens"), 1},
                                                                   {QStringLiteral("completion_tokens"), 1},
                                                                   {QStringLiteral("total_tokens"), 2}}}});
    }

    const QStringList fragments = !m_fragments.isEmpty() ? m_fragments : fragmentsOf(text);
    QList<QByteArray> pieces = sse::chatStream(fragments, false);
    const bool wantsUsage =
        body.value(QLatin1String("stream_options")).toObject().value(QLatin1String("include_usage")).toBool();
    if (wantsUsage) {
        const QJsonObject usage{
            {QStringLiteral("id"), QStringLiteral("chatcmpl-standin")},
            {QStringLiteral("object"), QStringLiteral("chat.completion.chunk")},
            {QStringLiteral("created"), 1700000000},
            {QStringLiteral("model"), modelId()},
            {QStringLiteral("choices"), QJsonArray{}},
            {QStringLiteral("usage"), QJsonObject{{QStringLiteral("prompt_tokens"), 1},
                                                  {QStringLiteral("completion_tokens"), int(fragments.size())},
                                                  {QStringLiteral("total_tokens"), int(fragments.size()) + 1}}}};
        pieces.append(sse::data(QJsonDocument(usage).toJson(QJsonDocument::Compact)));
    }
    pieces.append(sse::done());
    return ScriptedResponse::eventStream(pieces, m_chunkDelayMs);
}

} // namespace halvex::test
