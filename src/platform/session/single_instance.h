#pragma once

#include "platform/error.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <chrono>
#include <optional>

class QLocalServer;
class QLocalSocket;

namespace halvex {

// The way back to the launch that sent a request: answer lines go to it
// for as long as it stays connected. Lives as long as that connection.
class InstanceReply : public QObject
{
    Q_OBJECT
public:
    explicit InstanceReply(QLocalSocket *socket);
    // One answer line (a line end is added; `line` holds none). When more
    // than maxUnreadAnswerBytes already wait for the peer, it is not reading:
    // the connection is dropped instead (and this reply goes with it).
    void send(const QByteArray &line);

    static constexpr qint64 maxUnreadAnswerBytes = 1024 * 1024;
};

// One running program per user session. The first instance listens on a
// local socket named after the application and the user; a later launch
// finds it there, passes on a short request ("show") and leaves, or waits
// for the answer (ask()).
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    // `serverName` empty: defaultServerName().
    explicit SingleInstance(QString serverName = {}, QObject *parent = nullptr);
    ~SingleInstance() override;

    // <runtime dir>/<app id>.<user id>.instance: private to the user and, with
    // XDG_RUNTIME_DIR, to the login session. Empty when no private folder
    // can be had (then listen() says why).
    static QString defaultServerName();

    // XDG_RUNTIME_DIR when it is a folder only its owner (this user) can
    // enter; without one, "<temp>/<app id>-<user id>", made 0700 and checked
    // to be the user's own real folder. Never a folder others can write to,
    // where anyone could take the socket's name first.
    static Result<QString> privateRuntimeDirectory();
    QString serverName() const { return m_serverName; }

    // Sends `request` to a running instance. True when one took it.
    bool notifyRunning(const QByteArray &request, std::chrono::milliseconds timeout = std::chrono::seconds(2));
    // Sends `request` and waits for the first answer line (without its end,
    // at most maxAnswerLength bytes). Nothing when no instance runs or none
    // answered in time.
    std::optional<QByteArray> ask(const QByteArray &request,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // The longest request line taken (without its end); a longer one is
    // answered with an error line and the connection ends.
    static constexpr qsizetype maxRequestLength = 256;
    static constexpr qsizetype maxAnswerLength = 64 * 1024;

    // Becomes the running instance. A socket file left behind by a crashed
    // instance is removed first. Fails when another instance answers there
    // or the socket cannot be created (the reason is logged too).
    Result<Done> listen();
    bool isListening() const;

Q_SIGNALS:
    // One request line from a later launch, e.g. "show"; `reply` reaches
    // that launch while it stays connected.
    void requestReceived(const QByteArray &request, halvex::InstanceReply *reply);

private:
    void acceptConnections();

    QString m_serverName;
    QLocalServer *m_server = nullptr;
};

} // namespace halvex
