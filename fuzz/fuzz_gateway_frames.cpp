// Gateway frames as the gateway WebSocket hands them on: each line of the
// input is one frame (or a command of the harness: "+agent:session" queues a
// chat, "-N" cancels chat N, "!" drops the connection). Every chat resolves
// exactly once, whatever the frames say; every request sent is encodable;
// the fragments a chat passes on are encodable when its text is; and the
// WebSocket URL keeps the scheme's security, host, port and path.

#include "fuzz_support.h"

#include "gateway/chat_dispatcher.h"
#include "gateway/gateway_protocol.h"
#include "platform/utf8.h"

#include <QCoreApplication>
#include <QJsonDocument>

#include <memory>
#include <vector>

using namespace halvex;
using GatewayProtocol::Frame;

namespace {

struct Outcome {
    int resumed = 0;
};

QCoro::Task<> chat(ChatDispatcher *dispatcher, ChatCallRequest request, std::shared_ptr<Outcome> outcome)
{
    const Result<QString> result =
        co_await dispatcher->send(std::move(request), [](const QString &fragment, const QString &accumulated) {
            if (GatewayProtocol::isEncodable(accumulated))
                FUZZ_CHECK(GatewayProtocol::isEncodable(fragment));
            FUZZ_CHECK(accumulated.endsWith(fragment));
        });
    (void)result;
    ++outcome->resumed;
}

void checkWebSocketUrl(const QByteArray &text)
{
    const QUrl http(QString::fromUtf8(text));
    const std::optional<QUrl> ws = GatewayProtocol::webSocketUrl(http);
    if (!ws)
        return;
    const QString scheme = http.scheme().toLower();
    const bool secure = scheme == QLatin1String("https") || scheme == QLatin1String("wss");
    FUZZ_CHECK(ws->scheme() == (secure ? QLatin1String("wss") : QLatin1String("ws")));
    FUZZ_CHECK(ws->host() == http.host());
    FUZZ_CHECK(ws->port() == http.port());
    FUZZ_CHECK(ws->path() == http.path());
    FUZZ_CHECK(ws->userInfo().isEmpty() && !ws->hasQuery() && !ws->hasFragment());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzz::quietLogging();
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = fuzz::bytes(data, size);

    std::vector<QJsonObject> sent;
    auto dispatcher = std::make_unique<ChatDispatcher>(
        ChatDispatcher::Limits{std::chrono::minutes(2), std::chrono::seconds(5), 4}, [] { return true; },
        [&sent](const QJsonObject &frame) -> std::optional<Error> {
            const QJsonObject params = frame.value(QLatin1String("params")).toObject();
            for (const QString &key :
                 {QStringLiteral("sessionKey"), QStringLiteral("idempotencyKey"), QStringLiteral("message")})
                FUZZ_CHECK(GatewayProtocol::isEncodable(params.value(key).toString()));
            sent.push_back(frame);
            return std::nullopt;
        });

    std::vector<std::shared_ptr<Outcome>> outcomes;
    std::vector<QCoro::Task<>> tasks;
    for (const QByteArray &line : input.split('\n')) {
        if (line.startsWith('+')) {
            if (outcomes.size() >= 16)
                continue;
            // "+agent" or "+agent|session|message": request ids are "r0", "r1", ...
            const QList<QByteArray> parts = line.mid(1).split('|');
            ChatCallRequest request;
            request.requestId = QStringLiteral("r%1").arg(outcomes.size());
            request.agentId = QString::fromUtf8(parts.value(0));
            request.sessionKey = QString::fromUtf8(parts.value(1));
            request.lastUserText = QString::fromUtf8(parts.value(2));
            outcomes.push_back(std::make_shared<Outcome>());
            tasks.push_back(chat(dispatcher.get(), request, outcomes.back()));
        } else if (line.startsWith('-')) {
            dispatcher->cancel(QStringLiteral("r") + QString::fromUtf8(line.mid(1)));
        } else if (line == "!") {
            dispatcher->failAll(BridgeError::networkError(QStringLiteral("OpenClaw WebSocket disconnected")));
        } else if (line.startsWith("url ")) {
            checkWebSocketUrl(line.mid(4));
        } else {
            // As the socket reads them: fragment frames in place, which must
            // mean what the whole document means, the rest as documents.
            std::optional<Frame> frame = GatewayProtocol::parseFrame(line);
            if (const auto fast = isStrictUtf8(line) ? GatewayProtocol::readAssistantEvent(line) : std::nullopt) {
                FUZZ_CHECK(frame && frame->kind == Frame::Kind::event && frame->hasPayload);
                const GatewayProtocol::AgentEvent full =
                    GatewayProtocol::readAgentEvent(frame->eventName, frame->payload);
                FUZZ_CHECK(fast->kind == full.kind && fast->runId == full.runId &&
                           fast->sessionKey == full.sessionKey && fast->stream == full.stream);
                FUZZ_CHECK((fast->assistantText ? fast->assistantText->decodedFrom(0) : fast->text) ==
                           (full.assistantText ? full.assistantText->decodedFrom(0) : full.text));
                // Decoding from further in is the rest of the whole text.
                if (fast->assistantText) {
                    const qsizetype length = full.text.size();
                    FUZZ_CHECK(fast->assistantText->length == length);
                    for (const qsizetype from : {length / 3, length / 2, length - 1})
                        FUZZ_CHECK(fast->assistantText->decodedFrom(from) == full.text.mid(from));
                }
                dispatcher->onEvent(*fast);
                continue;
            }
            if (!frame)
                continue;
            if (frame->kind == Frame::Kind::response) {
                // "f0", "f1", ...: the frame id of the n-th request sent.
                bool isIndex = false;
                const int index = frame->id.mid(1).toInt(&isIndex);
                if (frame->id.startsWith(QLatin1Char('f')) && isIndex && index >= 0 && size_t(index) < sent.size())
                    frame->id = sent[size_t(index)].value(QLatin1String("id")).toString();
                dispatcher->onResponse(*frame);
            } else if (frame->kind == Frame::Kind::event && frame->hasPayload) {
                dispatcher->onEvent(GatewayProtocol::readAgentEvent(frame->eventName, frame->payload));
            }
        }
        for (const auto &outcome : outcomes)
            FUZZ_CHECK(outcome->resumed <= 1);
    }
    // The link goes: every caller still waiting resumes, once.
    dispatcher.reset();
    for (const auto &outcome : outcomes)
        FUZZ_CHECK(outcome->resumed == 1);
    for (const auto &task : tasks)
        FUZZ_CHECK(task.isReady());
    return 0;
}
