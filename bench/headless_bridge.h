#pragma once

// The real program (`halvex-bridge --headless`) as the benchmarks run it: in
// a scratch home with its tokens in the file store (no session bus, as on a
// server), pointed at a relay and an OpenClaw gateway on loopback.

#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"
#include "platform/secrets/file_secret_backend.h"
#include "platform/settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QUrl>

#include <functional>
#include <memory>

namespace bench {

// Runs the event loop for `ms`.
inline void pump(qint64 ms)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

// Runs the event loop until `done` or the time-out; whether it is done.
inline bool pumpUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return done();
}

class HeadlessBridge
{
public:
    HeadlessBridge() = default;
    HeadlessBridge(const HeadlessBridge &) = delete;
    HeadlessBridge &operator=(const HeadlessBridge &) = delete;
    ~HeadlessBridge() { stop(); }

    // Writes the scratch session: the bridge token, the gateway's endpoint
    // and (when given) its token, as the user's stores hold them.
    bool prepare(const QString &bridgeToken, const QUrl &gatewayEndpoint, const QString &gatewayToken = {})
    {
        if (!m_root.isValid())
            return false;
        for (const char *dir : {"home", "config", "run"})
            QDir().mkpath(m_root.filePath(QLatin1String(dir)));
        QFile::setPermissions(m_root.filePath(QStringLiteral("run")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QString store = m_root.filePath(QStringLiteral("config/") + halvex::appId());
        halvex::CredentialStore credentials(
            std::make_unique<halvex::FileSecretBackend>(store + QStringLiteral("/credentials.json")));
        if (!credentials.save(halvex::CredentialService::bridge(), bridgeToken))
            return false;
        if (!gatewayToken.isEmpty() && !credentials.save(halvex::CredentialService::openClaw(), gatewayToken))
            return false;
        halvex::Settings(store + QStringLiteral("/settings.conf"))
            .setString(halvex::SettingsKey::openClawEndpoint, gatewayEndpoint.toString());
        return true;
    }

    // Starts the program against the relay at `relayOrigin` ("ws://host:port").
    bool start(const QString &program, const QUrl &relayOrigin)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), m_root.filePath(QStringLiteral("home")));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_root.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_root.filePath(QStringLiteral("run")));
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS")); // a server: no session bus
        env.insert(QStringLiteral("HALVEX_RELAY_WS_ORIGIN"), relayOrigin.toString());
        m_process.setProcessEnvironment(env);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(logPath());
        m_process.start(program, {QStringLiteral("--headless")});
        return m_process.waitForStarted(30000);
    }

    qint64 pid() const { return m_process.processId(); }
    bool isRunning() const { return m_process.state() == QProcess::Running; }
    // Its standard error, kept with the scratch session.
    QString logPath() const { return m_root.filePath(QStringLiteral("bridge.log")); }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

private:
    QTemporaryDir m_root;
    QProcess m_process; // declared last: it ends before the scratch home goes
};

} // namespace bench
