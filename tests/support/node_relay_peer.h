#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QUrl>

namespace halvex::test {

// A relay stand-in on the npm `ws` server (ws_relay_peer.js next to this
// file), run by the system's Node from the package scripts/install-openclaw
// caches: the one peer here that speaks permessage-deflate.
class NodeRelayPeer
{
public:
    // Why it cannot run here; empty when it can.
    static QString missingReason();
    // The directory whose node_modules holds ws.
    static QString wsDirectory();

    // `options` are those of ws's WebSocketServer.
    explicit NodeRelayPeer(const QJsonObject &options);
    ~NodeRelayPeer();
    NodeRelayPeer(const NodeRelayPeer &) = delete;
    NodeRelayPeer &operator=(const NodeRelayPeer &) = delete;

    // The next line it prints (a JSON object), or an empty object after 30 s.
    QJsonObject nextLine();
    // Where it listens (read from its first line).
    QUrl url();

private:
    QProcess m_process;
    int m_port = 0;
};

} // namespace halvex::test
