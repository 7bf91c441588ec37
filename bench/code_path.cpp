// code_path: the bridge's own work per fragment, without sockets or an event
// loop. What chat_path measures per fragment also holds the kernel's share
// (poll, read, write, wake-ups) and Qt's socket layer; this takes the parts
// the bridge's code decides, on one thread, in a tight loop:
//
//   HTTP/SSE:  one event line as read from the socket -> the event-stream
//              reader -> the fragment handler -> the relay chunk as UTF-8
//              JSON -> the masked relay frame.
//   WebSocket: one gateway message as UTF-8 (cumulative assistant text) ->
//              the in-place event reader -> the chat's new part -> the relay
//              chunk as UTF-8 JSON -> the masked relay frame.
//
// For answers of 200, 4,000 and 20,000 characters in 6-character fragments,
// three ways: each chunk escaping the whole text anew into a plain frame
// (as the bridge did before it kept each chat's escaping), a chat's
// StreamChunkWriter into a plain frame (a relay without permessage-deflate),
// and the writer into a compressed frame (a relay that takes it).
// Printed: CPU time per fragment (the best of several rounds, in µs).

#include "gateway/chat_call.h"
#include "gateway/event_stream_reader.h"
#include "gateway/gateway_protocol.h"
#include "platform/net/web_socket_deflate.h"
#include "platform/net/web_socket_frames.h"
#include "relay/relay_message.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

using namespace halvex;

namespace {

constexpr int kFragmentChars = 6;
int rounds = 7; // best of these; the first argument, when given

QString fragmentText(int k)
{
    return QStringLiteral("w%1 ").arg(k % 10000, 4, 10, QLatin1Char('0'));
}

double threadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

enum class Mode { wholeEscape, keptEscape, deflate };

// The relay side of one chat: the chunk as UTF-8 JSON, then its frame,
// built in a buffer kept between frames as the relay link does.
class RelaySide
{
public:
    explicit RelaySide(Mode mode) : m_mode(mode), m_deflater(15, false) {}
    qint64 chunk(const QString &delta, const QString &accumulated)
    {
        const QString replyTo = QStringLiteral("chat-0");
        const QString user = QStringLiteral("user-1");
        const QByteArray json = m_mode == Mode::wholeEscape
                                    ? RelayOutbound::streamChunkJson(replyTo, delta, accumulated, user)
                                    : m_writer.write(replyTo, delta, accumulated, user);
        m_frame.resize(kWebSocketHeaderRoom);
        const bool compressed = m_mode == Mode::deflate && m_deflater.compress(json, m_frame);
        if (!compressed)
            m_frame.append(json);
        return sealWebSocketFrame(m_frame, WebSocketOpcode::text, 0x5a17c3e1, compressed).size();
    }

private:
    Mode m_mode;
    RelayOutbound::StreamChunkWriter m_writer;
    WebSocketDeflater m_deflater;
    QByteArray m_frame;
};

QList<QByteArray> sseLines(int fragments)
{
    QList<QByteArray> lines;
    for (int k = 0; k < fragments; ++k) {
        const QJsonObject chunk{{QStringLiteral("id"), QStringLiteral("chatcmpl-1")},
                                {QStringLiteral("object"), QStringLiteral("chat.completion.chunk")},
                                {QStringLiteral("choices"),
                                 QJsonArray{QJsonObject{{QStringLiteral("index"), 0},
                                                        {QStringLiteral("delta"),
                                                         QJsonObject{{QStringLiteral("content"), fragmentText(k)}}}}}}};
        lines << "data: " + QJsonDocument(chunk).toJson(QJsonDocument::Compact) + "\n\n";
    }
    return lines;
}

QList<QByteArray> gatewayFrames(int fragments)
{
    QList<QByteArray> frames;
    QString text;
    for (int k = 0; k < fragments; ++k) {
        const QString delta = fragmentText(k);
        text += delta;
        frames << QStringLiteral(R"({"type":"event","event":"agent","payload":{"runId":"run-1","sessionKey":)"
                                 R"("agent:mobile:bench","stream":"assistant","seq":%1,"ts":1765000000000,)"
                                 R"("data":{"text":"%2","delta":"%3"}}})")
                      .arg(k)
                      .arg(text, delta)
                      .toUtf8();
    }
    return frames;
}

// µs per fragment, best of the rounds; `sink` keeps the work observable.
template <typename Round>
double bestOf(int fragments, Round round, qint64 *sink)
{
    double best = 1e9;
    for (int r = 0; r < rounds; ++r) {
        const double start = threadCpuSeconds();
        *sink += round();
        best = std::min(best, (threadCpuSeconds() - start) * 1e6 / fragments);
    }
    return best;
}

double httpPath(int answerChars, Mode mode, qint64 *sink)
{
    const int fragments = answerChars / kFragmentChars;
    const QList<QByteArray> lines = sseLines(fragments);
    return bestOf(
        fragments,
        [&] {
            qint64 bytes = 0;
            RelaySide relay(mode);
            EventStreamReader delegate(
                [&](const QString &delta, const QString &accumulated) { bytes += relay.chunk(delta, accumulated); },
                [](Result<QString>) {});
            delegate.setStatus(200);
            for (const QByteArray &line : lines)
                delegate.feed(line);
            return bytes;
        },
        sink);
}

double webSocketPath(int answerChars, Mode mode, qint64 *sink)
{
    const int fragments = answerChars / kFragmentChars;
    const QList<QByteArray> frames = gatewayFrames(fragments);
    return bestOf(
        fragments,
        [&] {
            qint64 bytes = 0;
            RelaySide relay(mode);
            ChatCall call(
                QStringLiteral("frame-1"), ChatCallRequest{},
                [&](const QString &delta, const QString &accumulated) { bytes += relay.chunk(delta, accumulated); },
                QDeadlineTimer(QDeadlineTimer::Forever));
            for (const QByteArray &frame : frames) {
                // As the gateway link reads it: the checked UTF-8 of the message.
                const std::optional<GatewayProtocol::AgentEvent> event = GatewayProtocol::readAssistantEvent(frame);
                if (event && event->assistantText)
                    call.applyText(*event->assistantText);
            }
            return bytes;
        },
        sink);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc > 1)
        rounds = std::max(1, atoi(argv[1]));
    qint64 sink = 0;
    std::printf("code_path: the bridge's code per fragment, no sockets (CPU us, best of %d rounds)\n", rounds);
    std::printf("  %-44s %24s %24s\n", "", "HTTP/SSE", "WebSocket agent events");
    const std::pair<Mode, const char *> modes[] = {{Mode::wholeEscape, "whole text escaped, plain"},
                                                   {Mode::keptEscape, "kept escaping, plain"},
                                                   {Mode::deflate, "kept escaping, deflate"}};
    for (const auto &[mode, label] : modes) {
        double shortCost[2] = {0, 0};
        for (const int chars : {200, 4000, 20000}) {
            const double http = httpPath(chars, mode, &sink);
            const double ws = webSocketPath(chars, mode, &sink);
            if (chars == 200) {
                shortCost[0] = http;
                shortCost[1] = ws;
            }
            std::printf("  %-44s %16.2f (%4.2fx) %16.2f (%4.2fx)\n",
                        qPrintable(QStringLiteral("%1-char answers, %2").arg(chars).arg(QLatin1String(label))), http,
                        http / shortCost[0], ws, ws / shortCost[1]);
        }
    }
    std::printf("  (in brackets: against the 200-character answers of the same way)\n");
    std::printf("  (relay bytes produced: %lld)\n", static_cast<long long>(sink));
    return 0;
}
