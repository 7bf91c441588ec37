#include "platform/session/single_instance.h"

#include "platform/deployment.h"
#include "platform/logging.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace halvex {

InstanceReply::InstanceReply(QLocalSocket *socket) : QObject(socket)
{
}

void InstanceReply::send(const QByteArray &line)
{
    auto *socket = static_cast<QLocalSocket *>(parent());
    if (socket->state() != QLocalSocket::ConnectedState)
        return;
    // A peer that stopped reading (a watcher whose terminal hangs, a stopped
    // process) is let go rather than kept in memory: its connection ends,
    // which frees whatever it held.
    if (socket->bytesToWrite() > maxUnreadAnswerBytes) {
        qCWarning(lcApp, "Dropping a local client that stopped reading its answers");
        socket->abort();
        return;
    }
    socket->write(line + '\n');
}

SingleInstance::SingleInstance(QString serverName, QObject *parent)
    : QObject(parent), m_serverName(serverName.isEmpty() ? defaultServerName() : std::move(serverName))
{
}

SingleInstance::~SingleInstance() = default;

namespace {

// A real folder (not a link to one) owned by this user that nobody else may
// enter or write to.
Result<Done> checkPrivateFolder(const QString &path)
{
    struct stat info {
    };
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return Error::plain(QStringLiteral("%1 cannot be examined").arg(path), errno);
    if (!S_ISDIR(info.st_mode))
        return Error::plain(QStringLiteral("%1 is not a folder").arg(path));
    if (info.st_uid != ::getuid())
        return Error::plain(QStringLiteral("%1 belongs to another user").arg(path));
    if (info.st_mode & (S_IRWXG | S_IRWXO))
        return Error::plain(QStringLiteral("%1 is open to other users").arg(path));
    return Done{};
}

} // namespace

Result<QString> SingleInstance::privateRuntimeDirectory()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && checkPrivateFolder(runtime))
        return runtime;
    const QString own = QDir::tempPath() + QLatin1Char('/') + appId() + QLatin1Char('-') + QString::number(::getuid());
    // mkdir with the mode in one step: there is no moment where the folder
    // exists open to others. An existing one must pass the same check.
    if (::mkdir(QFile::encodeName(own).constData(), S_IRWXU) != 0 && errno != EEXIST)
        return Error::plain(QStringLiteral("%1 cannot be created").arg(own), errno);
    const Result<Done> checked = checkPrivateFolder(own);
    if (!checked)
        return checked.error();
    return own;
}

QString SingleInstance::defaultServerName()
{
    const Result<QString> directory = privateRuntimeDirectory();
    if (!directory) {
        qCCritical(lcApp, "No private folder for the instance socket: %s",
                   qUtf8Printable(directory.error().description()));
        return {};
    }
    return *directory + QLatin1Char('/') + appId() + QLatin1Char('.') + QString::number(::getuid()) +
           QStringLiteral(".instance");
}

bool SingleInstance::notifyRunning(const QByteArray &request, std::chrono::milliseconds timeout)
{
    if (m_serverName.isEmpty())
        return false;
    QLocalSocket socket;
    socket.connectToServer(m_serverName);
    if (!socket.waitForConnected(int(timeout.count())))
        return false;
    socket.write(request + '\n');
    if (!socket.waitForBytesWritten(int(timeout.count())))
        return false;
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(int(timeout.count()));
    return true;
}

std::optional<QByteArray> SingleInstance::ask(const QByteArray &request, std::chrono::milliseconds timeout)
{
    if (m_serverName.isEmpty())
        return std::nullopt;
    QDeadlineTimer deadline(timeout);
    QLocalSocket socket;
    socket.connectToServer(m_serverName);
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return std::nullopt;
    socket.write(request + '\n');
    while (!socket.canReadLine()) {
        if (socket.bytesAvailable() > maxAnswerLength || deadline.hasExpired() ||
            !socket.waitForReadyRead(int(deadline.remainingTime())))
            return std::nullopt;
    }
    QByteArray line = socket.readLine(maxAnswerLength + 1);
    socket.abort();
    if (!line.endsWith('\n'))
        return std::nullopt;
    line.chop(1);
    return line;
}

bool SingleInstance::isListening() const
{
    return m_server && m_server->isListening();
}

Result<Done> SingleInstance::listen()
{
    if (isListening())
        return Done{};
    if (m_serverName.isEmpty())
        return Error::plain(QStringLiteral("No private folder for the instance socket"));
    if (!m_server) {
        // No socket options: with them Qt binds elsewhere and renames the
        // socket into place, silently taking the name from a running
        // instance. The runtime folder is private to the user anyway.
        m_server = new QLocalServer(this);
        QObject::connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::acceptConnections);
    }
    if (m_server->listen(m_serverName))
        return Done{};

    if (m_server->serverError() == QAbstractSocket::AddressInUseError) {
        // Either another instance runs, or a crashed one left its socket file.
        QLocalSocket probe;
        probe.connectToServer(m_serverName);
        if (probe.waitForConnected(1000)) {
            probe.abort();
            return Error::plain(QStringLiteral("Another instance is running"));
        }
        qCInfo(lcApp, "Removing a stale instance socket: %s", qUtf8Printable(m_serverName));
        QLocalServer::removeServer(m_serverName);
        if (m_server->listen(m_serverName))
            return Done{};
    }
    qCCritical(lcApp, "Cannot listen for other launches on %s: %s", qUtf8Printable(m_serverName),
               qUtf8Printable(m_server->errorString()));
    return Error::plain(m_server->errorString(), int(m_server->serverError()));
}

void SingleInstance::acceptConnections()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        auto *reply = new InstanceReply(socket);
        QObject::connect(socket, &QLocalSocket::readyRead, this, [this, socket, reply] {
            // A request's handler may run events (a keyring prompt) in which
            // the peer hangs up and its socket goes.
            const QPointer<QLocalSocket> alive(socket);
            while (alive && socket->state() == QLocalSocket::ConnectedState) {
                // Only whole lines are acted on: one over the limit is
                // refused and the connection ends, no part of it taken.
                const QByteArray head = socket->peek(maxRequestLength + 1);
                const qsizetype end = head.indexOf('\n');
                if (end < 0) {
                    if (head.size() > maxRequestLength) {
                        QObject::disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
                        reply->send(QByteArrayLiteral("{\"error\":\"The request is over ") +
                                    QByteArray::number(maxRequestLength) + QByteArrayLiteral(" bytes\"}"));
                        socket->disconnectFromServer();
                    }
                    return;
                }
                const QByteArray line = socket->read(end + 1).trimmed();
                if (!line.isEmpty())
                    Q_EMIT requestReceived(line, reply);
            }
        });
    }
}

} // namespace halvex
