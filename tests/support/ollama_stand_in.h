#pragma once

#include "http_stand_in.h"

#include <QList>
#include <QObject>
#include <QString>

namespace halvex::test {

// A loopback server that speaks the parts of Ollama's HTTP API that the
// bridge and OpenClaw use:
//   GET  /api/tags              the scripted models (name, size, parameter size)
//   POST /api/show              details of a served model (context length)
//   POST /api/chat              Ollama's native chat: NDJSON lines when
//                               streaming (the default), one object when not
//   POST /v1/chat/completions   the OpenAI-compatible chat, whole or streamed
// Chats for a model it does not serve answer 404 {"error": "model ... not found"}.
// The answer is answer() unless echoing the last user message. Answers
// queued on server() come before all of these.
class OllamaStandIn : public QObject
{
    Q_OBJECT
public:
    struct Model {
        QString name;          // "llama3.2:3b"
        qint64 size = -1;      // bytes; -1: no "size" member
        QString parameterSize; // "3.2B"; empty: no member
        int contextLength = 8192;
    };

    static QString defaultAnswer() { return QStringLiteral("Hello from the Ollama stand-in."); }

    explicit OllamaStandIn(QObject *parent = nullptr);

    bool listen(quint16 port = 0);
    quint16 port() const { return m_server.port(); }
    // "http://127.0.0.1:<port>" (no "/v1").
    QString baseUrl() const;

    void setModels(const QList<Model> &models) { m_models = models; }
    QList<Model> models() const { return m_models; }
    void setAnswer(const QString &answer) { m_answer = answer; }
    void setEcho(bool echo) { m_echo = echo; }

    // Chat requests of either API, oldest first.
    QList<HttpRequest> chatRequests() const;
    HttpStandIn *server() { return &m_server; }

private:
    std::optional<ScriptedResponse> answer(const HttpRequest &request);
    const Model *find(const QString &name) const;

    HttpStandIn m_server;
    QList<Model> m_models;
    QString m_answer = defaultAnswer();
    bool m_echo = false;
};

} // namespace halvex::test
