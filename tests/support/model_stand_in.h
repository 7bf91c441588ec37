#pragma once

#include "http_stand_in.h"

#include <QObject>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

namespace halvex::test {

// A loopback model server that speaks the OpenAI chat-completions API, for a
// real OpenClaw gateway to use as its model provider ("api":
// "openai-completions", base URL baseUrl()):
//   GET  /v1/models            one model, modelId()
//   POST /v1/chat/completions  the answer whole, or streamed ("stream": true)
//                              as a role chunk, one chunk per fragment, a
//                              stop chunk, a usage chunk when asked for, and
//                              "data: [DONE]"
// The answer is "Hello from the model stand-in." unless set otherwise, or
// the last user message's text when echoing. Streamed answers are cut at
// spaces into several fragments unless fragments are set explicitly.
class ModelStandIn : public QObject
{
    Q_OBJECT
public:
    static QString defaultAnswer() { return QStringLiteral("Hello from the model stand-in."); }

    explicit ModelStandIn(QObject *parent = nullptr);

    // Listens on loopback (or the address given, for a gateway in another
    // network namespace), on a free port unless one is given.
    bool listen(quint16 port = 0, const QHostAddress &address = QHostAddress(QHostAddress::LocalHost));
    quint16 port() const { return m_server.port(); }
    // "http://<address>:<port>/v1"
    QString baseUrl() const;
    QString modelId() const { return QStringLiteral("fake"); }

    void setAnswer(const QString &answer) { m_answer = answer; }
    QString answer() const { return m_answer; }
    // Answer with the text of the last user message instead.
    void setEcho(bool echo) { m_echo = echo; }
    // Answer with the newest text in the user messages that the pattern
    // matches (the gateway wraps and follows the user's text with context of
    // its own); invalid pattern: off.
    void setEchoMatching(const QRegularExpression &pattern) { m_echoPattern = pattern; }
    // The newest match of the pattern in the request's user messages, or
    // empty.
    static QString newestMatch(const QJsonObject &body, const QRegularExpression &pattern);
    // Explicit pieces of the streamed answer (their concatenation is the
    // answer); empty: cut the answer at spaces.
    void setFragments(const QStringList &fragments) { m_fragments = fragments; }
    // Delay before each streamed chunk.
    void setChunkDelayMs(int delayMs) { m_chunkDelayMs = delayMs; }

    // Chat requests received so far, oldest first.
    QList<HttpRequest> chatRequests() const { return m_server.requestsTo(QByteArrayLiteral("/v1/chat/completions")); }
    // The underlying server, to script failures or inspect every request.
    HttpStandIn *server() { return &m_server; }

    // The text of the last "user" message of a chat request body: a string
    // content, or the "text" parts of an array content joined.
    static QString lastUserText(const QJsonObject &body);
    // Cuts text after each space: "a b c" -> "a ", "b ", "c".
    static QStringList fragmentsOf(const QString &text);

Q_SIGNALS:
    void chatRequestReceived(const halvex::test::HttpRequest &request);

private:
    std::optional<ScriptedResponse> answer(const HttpRequest &request);

    HttpStandIn m_server;
    QString m_answer = defaultAnswer();
    bool m_echo = false;
    QRegularExpression m_echoPattern;
    QStringList m_fragments;
    int m_chunkDelayMs = 0;
};

} // namespace halvex::test
