#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QUrl>

#include <memory>
#include <vector>

class QTcpSocket;

namespace halvex::test {

// A loopback TCP proxy in front of `targetHost:targetPort`, for a network
// path that dies without a word. Until freeze() it forwards every accepted
// connection both ways. freeze() stops every connection open at that moment
// for good: nothing is read from or written to either side again and
// neither side is closed, so both peers keep a connected socket whose bytes
// go nowhere (as over Wi-Fi that has gone away: no FIN, no reset).
// Connections accepted afterwards are forwarded as before (the new path).
// Each direction holds at most `bufferLimit` bytes in the proxy; beyond that
// it stops reading and TCP holds the sender back.
class FrozenPathProxy : public QObject
{
    Q_OBJECT
public:
    FrozenPathProxy(QString targetHost, quint16 targetPort, QObject *parent = nullptr);
    ~FrozenPathProxy() override;

    // Listens on a free loopback port.
    bool listen();
    quint16 port() const { return m_server.serverPort(); }
    // "<scheme>://127.0.0.1:<port><path>".
    QUrl url(const QString &scheme = QStringLiteral("ws"), const QString &path = {}) const;

    void freeze();

    // Connections being forwarded now, and those frozen so far.
    int openConnections() const;
    int frozenConnections() const { return int(m_frozen.size()); }
    // Every connection accepted so far, frozen or not.
    int acceptedConnections() const { return m_accepted; }
    // Bytes passed on towards the target and back towards the clients.
    qint64 bytesToTarget() const { return m_bytesToTarget; }
    qint64 bytesFromTarget() const { return m_bytesFromTarget; }

    static constexpr qint64 bufferLimit = 256 * 1024;

Q_SIGNALS:
    void connectionAccepted();

private:
    struct Link;
    // A frozen connection's two sockets, held open and never read.
    struct FrozenLink {
        int clientDescriptor = -1;
        int targetDescriptor = -1;
    };

    void accept();
    void pump(Link &link, bool toTarget);
    void closeLink(Link &link);
    void removeLink(const Link *link);

    QString m_targetHost;
    quint16 m_targetPort;
    QTcpServer m_server;
    std::vector<std::unique_ptr<Link>> m_links;
    std::vector<FrozenLink> m_frozen;
    int m_accepted = 0;
    qint64 m_bytesToTarget = 0;
    qint64 m_bytesFromTarget = 0;
};

} // namespace halvex::test
