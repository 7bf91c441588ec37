#pragma once

#include "platform/error.h"
#include "platform/net/link_keeper.h"
#include "relay/relay_message.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <optional>

namespace halvex {

class WebSocketClient;

// The bridge's one WebSocket to the relay: opens it with the bridge token
// (offering permessage-deflate), decodes every frame, and keeps it up with
// a LinkKeeper (a heartbeat that notices a silent path, reconnects with a
// doubling delay, wake-ups) until disconnect() is called.
//
// Its one state (its keeper's course) moves idle → opening → open, and after any drop that
// disconnect() did not ask for to waitingToRetry and back to opening;
// disconnect() returns it to idle. Everything it reports is a signal.
class RelayWebSocket : public QObject
{
    Q_OBJECT
public:
    enum class State {
        idle,           // never connected, or disconnect() was called
        opening,        // a socket is opening (the WebSocket handshake runs)
        open,           // the link is up
        waitingToRetry, // the last socket ended; the next opens after a delay
    };
    Q_ENUM(State)

    // Every delay and every limit; tests shrink them.
    struct Timings {
        // Reconnects after 1, 2, 4 ... 60 s, for ever; a ping after 10 s of
        // silence, answered within 5 s.
        LinkKeeper::Timings link = {.initialDelay = std::chrono::seconds(1), .maxDelay = std::chrono::minutes(1)};
        // An opening whose handshake has not finished by then is a failed
        // attempt: it is dropped and retried after the reconnect delay.
        std::chrono::milliseconds openingTimeout = std::chrono::seconds(15);
        // Larger incoming messages are refused (the relay is told with close
        // code 1009) and the link reconnects; memory stays bounded.
        qint64 maxIncomingMessageBytes = 16 * 1024 * 1024;
        // Outbound bytes queued but not yet written to the network above
        // which the link reports congested(), and below which (once
        // congested) it reports drained().
        qint64 highWatermarkBytes = 1024 * 1024;
        qint64 lowWatermarkBytes = 256 * 1024;
    };

    // `relayOrigin` is scheme + host[:port], e.g. "wss://relay.halvex.com".
    // An unencrypted "ws://" origin is used only when its host is this
    // machine (a loopback stand-in): the token never crosses a network in
    // plain text.
    explicit RelayWebSocket(QUrl relayOrigin, Timings timings, QObject *parent = nullptr);
    explicit RelayWebSocket(QUrl relayOrigin, QObject *parent = nullptr)
        : RelayWebSocket(std::move(relayOrigin), Timings{}, parent)
    {
    }
    ~RelayWebSocket() override;

    // The keeper's course, as this link names it.
    State state() const;

    // Starts (or restarts) the connection with a bridge token. Skipped with a
    // log line while a connection is opening or open.
    void connect(const QString &token);
    // Closes the connection and stops reconnecting.
    void disconnect();

    // Sends one compact JSON text frame; dropped (with a log line) when there
    // is no connection.
    void sendJSON(const QJsonObject &message);
    // The same for a frame already written as compact JSON in UTF-8 (its
    // "type" named for the log): the once-per-fragment path, with no JSON
    // document.
    void sendJSONText(QByteArrayView json, QLatin1StringView type);
    // Sends a failure reply; dropped silently when there is no connection.
    void send(const RelayResponse &response);

    // True while a socket exists and is opening or open.
    bool isRunning() const;
    // The delay the next reconnect waits.
    std::chrono::milliseconds reconnectDelay() const { return m_keeper->nextDelay(); }
    // How many reconnects in a row the link has scheduled since it was last
    // connected (or connect() was called): 0 while connected and on the
    // first attempt.
    int reconnectAttempt() const { return m_keeper->attempt(); }

    // The network changed or the machine woke up: an open link must answer
    // at once (within a short deadline) or is replaced straight away; a link
    // waiting to reconnect does so now, from the shortest delay.
    void wake() { m_keeper->wake(); }

    // Bytes handed to the current socket that it has not yet written to the
    // network. Sends never wait for it: it only tells producers to slow down.
    qint64 pendingBytes() const { return m_pendingBytes; }
    // True between congested() and drained().
    bool isCongested() const { return m_isCongested; }

Q_SIGNALS:
    // The link is open. Reported from the event loop after the fact, like
    // disconnected().
    void connected();
    // A socket of this link ended, with why when that is known. The end of
    // the socket disconnect() closed is reported too, once.
    void disconnected(const std::optional<halvex::Error> &error);
    // One decoded message from the relay, as it arrives.
    void messageReceived(const halvex::RelayMessage &message);
    void stateChanged(halvex::RelayWebSocket::State state);
    // The next socket opens after `delay`.
    void reconnectScheduled(std::chrono::milliseconds delay);
    // The outbound queue rose above the high watermark.
    void congested();
    // The outbound queue fell back below the low watermark, or its socket
    // went away with everything it held.
    void drained();

private:
    void open();
    void handleText(const QByteArray &utf8);
    void handleDisconnect(WebSocketClient *socket, const std::optional<Error> &error);
    // Logs a socket's end, silences and frees it, and reports (queued) that
    // it is gone.
    void retireSocket(WebSocketClient *socket, const std::optional<Error> &error);
    // Takes the current socket's queued bytes (after a send or a write to
    // the network) and reports crossing a watermark.
    void updatePendingBytes();
    // Forgets the queued bytes: their socket is gone or new.
    void resetPendingBytes();

    // Socket signal handlers; each checks which socket it comes from, so a
    // replaced socket never touches the current one.
    void onSocketConnected(WebSocketClient *socket);
    void onSocketError(WebSocketClient *socket);
    void onSocketEnded(WebSocketClient *socket);
    void sendPing();
    void retry();
    // Ends the current socket as a failure of its own (a stalled opening,
    // a relay that stopped answering) and goes on as after any drop.
    void dropCurrent(const QString &reason);
    // Reports the end of the socket closed by disconnect() (once).
    void reportClosingSocket(WebSocketClient *socket, const Error &error);

    QUrl m_relayOrigin;
    Timings m_timings;
    WebSocketClient *m_webSocketTask = nullptr;
    LinkKeeper *m_keeper; // child
    std::optional<QString> m_bridgeToken;

    // Every socket whose end is not reported yet, with the error recorded
    // for it (the client's, which comes before its end, or our own reason).
    QHash<const WebSocketClient *, QString> m_sockets;
    // The socket that disconnect() closed and whose end is not reported yet.
    QPointer<WebSocketClient> m_closingSocket;
    qint64 m_pendingBytes = 0;
    bool m_isCongested = false;
};

} // namespace halvex
