#include "ollama_stand_in.h"
#include "model_stand_in.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace halvex::test {

namespace {

QByteArray line(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

QJsonObject assistant(const QString &content)
{
    return {{QStringLiteral("role"), QStringLiteral("assistant")}, {QStringLiteral("content"), content}};
}

} // namespace

OllamaStandIn::OllamaStandIn(QObject *parent) : QObject(parent)
{
    m_server.setHandler([this](const HttpRequest &request) { return answer(request); });
}

bool OllamaStandIn::listen(quint16 port)
{
    return m_server.listen(QHostAddress(QHostAddress::LocalHost), port);
}

QString OllamaStandIn::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_server.port());
}

QList<HttpRequest> OllamaStandIn::chatRequests() const
{
    QList<HttpRequest> chats;
    for (const HttpRequest &request : m_server.requests()) {
        if (request.path() == "/api/chat" || request.path() == "/v1/chat/completions")
            chats.append(request);
    }
    return chats;
}

const OllamaStandIn::Model *OllamaStandIn::find(const QString &name) const
{
    for (const Model &model : m_models) {
        // Ollama takes "name" for "name:latest".
        if (model.name == name || model.name == name + QStringLiteral(":latest"))
            return &model;
    }
    return nullptr;
}

std::optional<ScriptedResponse> OllamaStandIn::answer(const HttpRequest &request)
{
    if (m_server.queuedCount() > 0)
        return std::nullopt; // a scripted answer comes first
    const QByteArray path = request.path();
    if (request.method == "GET" && path == "/api/tags") {
        QJsonArray models;
        for (const Model &model : std::as_const(m_models)) {
            QJsonObject entry{{QStringLiteral("name"), model.name}, {QStringLiteral("model"), model.name}};
            if (model.size >= 0)
                entry.insert(QStringLiteral("size"), model.size);
            QJsonObject details{{QStringLiteral("format"), QStringLiteral("gguf")}};
            if (!model.parameterSize.isEmpty())
                details.insert(QStringLiteral("parameter_size"), model.parameterSize);
            entry.insert(QStringLiteral("details"), details);
            models.append(entry);
        }
        return ScriptedResponse::json(200, QJsonObject{{QStringLiteral("models"), models}});
    }
    if (request.method != "POST")
        return std::nullopt;
    const QJsonObject body = request.json();
    QString name = body.value(QLatin1String("model")).toString();
    if (name.isEmpty())
        name = body.value(QLatin1String("name")).toString(); // older /api/show clients
    const Model *model = find(name);
    const bool known = path == "/api/show" || path == "/api/chat" || path == "/v1/chat/completions";
    if (!known)
        return std::nullopt;
    if (!model)
        return ScriptedResponse::json(
            404, QJsonObject{{QStringLiteral("error"), QStringLiteral("model '%1' not found").arg(name)}});

    if (path == "/api/show") {
        return ScriptedResponse::json(
            200, QJsonObject{
                     {QStringLiteral("details"), QJsonObject{{QStringLiteral("parameter_size"), model->parameterSize}}},
                     {QStringLiteral("model_info"),
                      QJsonObject{{QStringLiteral("general.architecture"), QStringLiteral("llama")},
                                  {QStringLiteral("llama.context_length"), model->contextLength}}},
                     {QStringLiteral("capabilities"), QJsonArray{QStringLiteral("completion")}}});
    }

    const QString text = m_echo ? ModelStandIn::lastUserText(body) : m_answer;
    const bool stream = body.value(QLatin1String("stream")).toBool(path == "/api/chat");
    if (path == "/api/chat") {
        const QJsonObject common{{QStringLiteral("model"), model->name},
                                 {QStringLiteral("created_at"), QStringLiteral("2026-01-01T00:00:00Z")}};
        QJsonObject last = common;
        last.insert(QStringLiteral("done"), true);
        last.insert(QStringLiteral("done_reason"), QStringLiteral("stop"));
        last.insert(QStringLiteral("prompt_eval_count"), 1);
        last.insert(QStringLiteral("eval_count"), 1);
        if (!stream) {
            last.insert(QStringLiteral("message"), assistant(text));
            return ScriptedResponse::json(200, line(last));
        }
        QList<QByteArray> pieces;
        for (const QString &fragment : ModelStandIn::fragmentsOf(text)) {
            QJsonObject piece = common;
            piece.insert(QStringLiteral("message"), assistant(fragment));
            piece.insert(QStringLiteral("done"), false);
            pieces.append(line(piece));
        }
        last.insert(QStringLiteral("message"), assistant(QString()));
        pieces.append(line(last));
        ScriptedResponse response = ScriptedResponse::eventStream(pieces);
        response.headers = {{QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/x-ndjson")}};
        return response;
    }

    if (stream)
        return ScriptedResponse::eventStream(sse::chatStream(ModelStandIn::fragmentsOf(text)));
    const QJsonObject choice{{QStringLiteral("index"), 0},
                             {QStringLiteral("message"), assistant(text)},
                             {QStringLiteral("finish_reason"), QStringLiteral("stop")}};
    return ScriptedResponse::json(200, QJsonObject{{QStringLiteral("id"), QStringLiteral("chatcmpl-ollama")},
                                                   {QStringLiteral("object"), QStringLiteral("chat.completion")},
                                                   {QStringLiteral("model"), model->name},
                                                   {QStringLiteral("choices"), QJsonArray{choice}}});
}

} // namespace halvex::test
