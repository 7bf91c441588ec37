// Relay frames: decoding (a decoded frame re-encodes and decodes to the same
// message), the chat request made from it (the relay's messages kept in
// order, at most the content added, the last user text found), and the
// relay URL built around a bridge token (the token comes back unchanged,
// never sent unencrypted off this machine).

#include "fuzz_support.h"

#include "bridge/chat_pipeline.h"
#include "platform/deployment.h"
#include "relay/relay_message.h"
#include "relay/relay_url.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QUrlQuery>

using namespace halvex;

namespace {

QJsonObject encode(const RelayMessage &message)
{
    QJsonObject object{{QStringLiteral("type"), message.type}};
    if (message.id)
        object.insert(QStringLiteral("id"), *message.id);
    if (message.content)
        object.insert(QStringLiteral("content"), *message.content);
    if (message.appUserId)
        object.insert(QStringLiteral("appUserId"), *message.appUserId);
    if (message.messages) {
        QJsonArray array;
        for (const ChatMessage &entry : *message.messages) {
            QJsonObject o;
            for (auto it = entry.cbegin(); it != entry.cend(); ++it)
                o.insert(it.key(), it.value());
            array.append(o);
        }
        object.insert(QStringLiteral("messages"), array);
    }
    return object;
}

bool sameMessage(const RelayMessage &a, const RelayMessage &b)
{
    return a.type == b.type && a.id == b.id && a.content == b.content && a.messages == b.messages &&
           a.appUserId == b.appUserId;
}

void checkChatRequest(const RelayMessage &message)
{
    const ChatRequest request = prepareChatRequest(message);
    const ChatMessages original = message.messages.value_or(ChatMessages{});
    FUZZ_CHECK(request.messages.size() == original.size() || request.messages.size() == original.size() + 1);
    FUZZ_CHECK(request.messages.first(original.size()) == original);
    const QString user = QStringLiteral("user");
    if (request.messages.size() > original.size()) {
        FUZZ_CHECK(message.content && !message.content->isEmpty());
        FUZZ_CHECK(request.messages.last().value(QStringLiteral("content")) == *message.content);
        FUZZ_CHECK(request.messages.last().value(QStringLiteral("role")) == user);
    }
    QString lastUser;
    for (const ChatMessage &entry : request.messages) {
        if (entry.value(QStringLiteral("role")) == user)
            lastUser = entry.value(QStringLiteral("content"));
    }
    FUZZ_CHECK(request.lastUserText == lastUser);
}

void checkRelayUrl(const QByteArray &originBytes, const QString &token)
{
    const QUrl origin(QString::fromUtf8(originBytes));
    const Result<QUrl> url = relayConnectionUrl(origin, token);
    if (!url)
        return;
    FUZZ_CHECK(url->isValid());
    FUZZ_CHECK(url->scheme() == origin.scheme());
    FUZZ_CHECK(url->host() == origin.host());
    FUZZ_CHECK(url->scheme() == QLatin1String("wss") || isLoopbackHost(url->host()));
    FUZZ_CHECK(url->path().endsWith(QLatin1String("/ws/bridge")));
    FUZZ_CHECK(QUrlQuery(*url).queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded) == token);
    // What goes on the wire is read back the same by the relay.
    const QUrl reread(url->toString(QUrl::FullyEncoded), QUrl::StrictMode);
    FUZZ_CHECK(QUrlQuery(reread).queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded) == token);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray frame = fuzz::bytes(data, size);
    const Result<RelayMessage> decoded = RelayMessage::decode(frame);
    if (decoded) {
        const QByteArray again = QJsonDocument(encode(*decoded)).toJson(QJsonDocument::Compact);
        const Result<RelayMessage> redecoded = RelayMessage::decode(again);
        FUZZ_CHECK(redecoded.ok());
        FUZZ_CHECK(sameMessage(*decoded, *redecoded));
        checkChatRequest(*decoded);
    } else {
        FUZZ_CHECK(!decoded.error().description().isEmpty());
    }

    // The first line is the origin, the rest the token.
    const qsizetype newline = frame.indexOf('\n');
    if (newline >= 0 && newline < 200)
        checkRelayUrl(frame.first(newline), QString::fromUtf8(frame.mid(newline + 1)));
    return 0;
}
