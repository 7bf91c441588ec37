#include "models/local_model_test.h"

#include "platform/duration_text.h"
#include "platform/net/http_client.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

namespace halvex {

QCoro::Task<Result<int>> LocalModelTest::run(QString ollamaHost, QString modelName, Timings timings)
{
    QElapsedTimer clock;
    clock.start();
    const QUrl url(ollamaHost + QStringLiteral("/v1/chat/completions"), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        co_return Error::plain(QStringLiteral("Invalid URL"));
    const QJsonObject body{
        {QStringLiteral("model"), modelName},
        {QStringLiteral("messages"), QJsonArray{QJsonObject{{QStringLiteral("role"), QStringLiteral("user")},
                                                            {QStringLiteral("content"), QStringLiteral("Hi")}}}},
        {QStringLiteral("max_tokens"), 1},
        {QStringLiteral("stream"), false},
    };
    FetchRequest request;
    request.url = url;
    request.method = QByteArrayLiteral("POST");
    request.headers = {{QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/json")}};
    request.body = QJsonDocument(body).toJson(QJsonDocument::Compact);
    request.deadline = timings.timeout;
    // One token needs no more than this; a server that sends more is cut off.
    request.maxBodyBytes = 1024 * 1024;
    // The request has a body, so a loopback port must be held by a known
    // account: this user, root, or the account Ollama's installer makes for
    // its service.
    request.listenerOwners = {QStringLiteral("ollama")};
    const Result<HttpAnswer> answer = co_await fetch(std::move(request));
    if (!answer && httpFailure(answer.error()) == HttpFailure::timedOut)
        co_return Error::plain(QStringLiteral("The model did not answer within %1 s").arg(inSeconds(timings.timeout)));
    if (!answer)
        co_return answer.error();
    if (answer->status != 200)
        co_return BridgeError::apiError(QStringLiteral("HTTP %1").arg(answer->status), answer->status);
    co_return int(clock.elapsed());
}

} // namespace halvex
