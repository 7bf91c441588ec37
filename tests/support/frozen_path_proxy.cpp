#include "frozen_path_proxy.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <algorithm>
#include <unistd.h>

namespace halvex::test {

namespace {
constexpr qint64 chunkSize = 64 * 1024;
} // namespace

struct FrozenPathProxy::Link {
    QTcpSocket *client = nullptr;
    QTcpSocket *target = nullptr;
};

FrozenPathProxy::FrozenPathProxy(QString targetHost, quint16 targetPort, QObject *parent)
    : QObject(parent), m_targetHost(std::move(targetHost)), m_targetPort(targetPort)
{
    connect(&m_server, &QTcpServer::newConnection, this, &FrozenPathProxy::accept);
}

FrozenPathProxy::~FrozenPathProxy()
{
    for (const FrozenLink &link : m_frozen) {
        for (const int descriptor : {link.clientDescriptor, link.targetDescriptor}) {
            if (descriptor >= 0)
                ::close(descriptor);
        }
    }
    for (const auto &link : m_links) {
        for (QTcpSocket *socket : {link->client, link->target}) {
            socket->disconnect();
            socket->abort();
        }
    }
}

bool FrozenPathProxy::listen()
{
    return m_server.listen(QHostAddress(QHostAddress::LocalHost), 0);
}

QUrl FrozenPathProxy::url(const QString &scheme, const QString &path) const
{
    QUrl url;
    url.setScheme(scheme);
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(port());
    url.setPath(path);
    return url;
}

int FrozenPathProxy::openConnections() const
{
    return int(m_links.size());
}

void FrozenPathProxy::freeze()
{
    for (const auto &link : m_links) {
        FrozenLink frozen;
        // A second descriptor keeps each connection open once its socket
        // object is gone; closing the first one sends nothing.
        for (auto [socket, descriptor] :
             {std::pair{link->client, &frozen.clientDescriptor}, std::pair{link->target, &frozen.targetDescriptor}}) {
            socket->disconnect();
            if (socket->socketDescriptor() >= 0)
                *descriptor = ::dup(int(socket->socketDescriptor()));
            socket->abort();
            socket->deleteLater();
        }
        m_frozen.push_back(frozen);
    }
    m_links.clear();
}

void FrozenPathProxy::accept()
{
    while (QTcpSocket *client = m_server.nextPendingConnection()) {
        ++m_accepted;
        auto link = std::make_unique<Link>();
        Link *raw = link.get();
        raw->client = client;
        raw->target = new QTcpSocket(this);
        client->setParent(this);
        for (QTcpSocket *socket : {raw->client, raw->target}) {
            socket->setReadBufferSize(bufferLimit);
            const bool fromClient = socket == raw->client;
            connect(socket, &QTcpSocket::readyRead, this, [this, raw, fromClient] { pump(*raw, fromClient); });
            // Room on this side lets the other one's bytes through.
            connect(socket, &QTcpSocket::bytesWritten, this, [this, raw, fromClient] { pump(*raw, !fromClient); });
            connect(socket, &QTcpSocket::stateChanged, this, [this, raw](QAbstractSocket::SocketState state) {
                if (state == QAbstractSocket::UnconnectedState)
                    closeLink(*raw);
            });
        }
        connect(raw->target, &QTcpSocket::connected, this, [this, raw] { pump(*raw, true); });
        m_links.push_back(std::move(link));
        raw->target->connectToHost(m_targetHost, m_targetPort);
        Q_EMIT connectionAccepted();
    }
}

void FrozenPathProxy::pump(Link &link, bool toTarget)
{
    QTcpSocket *from = toTarget ? link.client : link.target;
    QTcpSocket *to = toTarget ? link.target : link.client;
    if (to->state() != QAbstractSocket::ConnectedState)
        return;
    qint64 &count = toTarget ? m_bytesToTarget : m_bytesFromTarget;
    while (from->bytesAvailable() > 0) {
        const qint64 room = bufferLimit - to->bytesToWrite();
        if (room <= 0)
            break;
        const QByteArray chunk = from->read(std::min(room, chunkSize));
        if (chunk.isEmpty())
            break;
        to->write(chunk);
        count += chunk.size();
    }
    if (from->state() == QAbstractSocket::UnconnectedState && from->bytesAvailable() == 0)
        closeLink(link);
}

// One side has gone: what it sent is passed on, then the other side is
// closed once its bytes are out, and the link goes when both are closed.
void FrozenPathProxy::closeLink(Link &link)
{
    for (QTcpSocket *socket : {link.client, link.target}) {
        QTcpSocket *other = socket == link.client ? link.target : link.client;
        if (socket->state() == QAbstractSocket::UnconnectedState && socket->bytesAvailable() == 0 &&
            other->state() == QAbstractSocket::ConnectedState)
            other->disconnectFromHost(); // may come back here at once
    }
    if (link.client->state() == QAbstractSocket::UnconnectedState &&
        link.target->state() == QAbstractSocket::UnconnectedState)
        QMetaObject::invokeMethod(
            this, [this, raw = &link] { removeLink(raw); }, Qt::QueuedConnection);
}

void FrozenPathProxy::removeLink(const Link *link)
{
    const auto it = std::find_if(m_links.begin(), m_links.end(), [&](const auto &held) { return held.get() == link; });
    if (it == m_links.end())
        return; // removed already, or frozen
    for (QTcpSocket *socket : {link->client, link->target}) {
        socket->disconnect();
        socket->deleteLater();
    }
    m_links.erase(it);
}

} // namespace halvex::test
