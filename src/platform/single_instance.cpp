#include "platform/single_instance.h"

#include "platform/deployment.h"
#include "platform/logging.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QStandardPaths>

#include <unistd.h>

namespace halvex {

namespace {
constexpr qsizetype maxRequestLength = 256;
} // namespace

SingleInstance::SingleInstance(QString serverName, QObject *parent)
    : QObject(parent), m_serverName(serverName.isEmpty() ? defaultServerName() : std::move(serverName))
{
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultServerName()
{
    QString directory = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (directory.isEmpty())
        directory = QDir::tempPath();
    return directory + QLatin1Char('/') + appId() + QLatin1Char('.') + QString::number(::getuid()) +
           QStringLiteral(".instance");
}

bool SingleInstance::notifyRunning(const QByteArray &request, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(m_serverName);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(request + '\n');
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(timeoutMs);
    return true;
}

bool SingleInstance::isListening() const
{
    return m_server && m_server->isListening();
}

bool SingleInstance::listen()
{
    if (isListening())
        return true;
    if (!m_server) {
        // No socket options: with them Qt binds elsewhere and renames the
        // socket into place, silently taking the name from a running
        // instance. The runtime folder is private to the user anyway.
        m_server = new QLocalServer(this);
        QObject::connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::acceptConnections);
    }
    if (m_server->listen(m_serverName))
        return true;

    if (m_server->serverError() == QAbstractSocket::AddressInUseError) {
        // Either another instance runs, or a crashed one left its socket file.
        QLocalSocket probe;
        probe.connectToServer(m_serverName);
        if (probe.waitForConnected(1000)) {
            probe.abort();
            return false;
        }
        qCInfo(lcApp, "Removing a stale instance socket: %s", qUtf8Printable(m_serverName));
        QLocalServer::removeServer(m_serverName);
        if (m_server->listen(m_serverName))
            return true;
    }
    qCCritical(lcApp, "Cannot listen for other launches on %s: %s", qUtf8Printable(m_serverName),
               qUtf8Printable(m_server->errorString()));
    return false;
}

void SingleInstance::acceptConnections()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            while (socket->canReadLine()) {
                const QByteArray line = socket->readLine(maxRequestLength).trimmed();
                if (!line.isEmpty())
                    Q_EMIT requestReceived(line);
            }
            // A peer that never ends its line is not a launch of ours.
            if (socket->bytesAvailable() > maxRequestLength)
                socket->abort();
        });
    }
}

} // namespace halvex
