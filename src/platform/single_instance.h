#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QLocalServer;

namespace halvex {

// One running program per user session. The first instance listens on a
// local socket named after the application and the user; a later launch
// finds it there, passes on a short request ("show") and leaves.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    // `serverName` empty: defaultServerName().
    explicit SingleInstance(QString serverName = {}, QObject *parent = nullptr);
    ~SingleInstance() override;

    // <runtime dir>/<app id>.<user id>.instance: private to the user and, with
    // XDG_RUNTIME_DIR, to the login session.
    static QString defaultServerName();
    QString serverName() const { return m_serverName; }

    // Sends `request` to a running instance. True when one took it.
    bool notifyRunning(const QByteArray &request, int timeoutMs = 2000);

    // Becomes the running instance. A socket file left behind by a crashed
    // instance is removed first. False when another instance answers there
    // or the socket cannot be created (the reason is logged).
    bool listen();
    bool isListening() const;

Q_SIGNALS:
    // One request line from a later launch, e.g. "show".
    void requestReceived(const QByteArray &request);

private:
    void acceptConnections();

    QString m_serverName;
    QLocalServer *m_server = nullptr;
};

} // namespace halvex
