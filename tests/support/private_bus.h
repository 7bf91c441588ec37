#pragma once
// A private D-Bus session bus with a gnome-keyring of its own, for tests that
// must meet the real Secret Service without touching the session's one (or
// that kill and restart the keyring daemon).

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTest>

#include <optional>

namespace halvex::test {

// A session bus of the test's own, without any activatable services; it can
// host a gnome-keyring that has no keyrings yet.
class PrivateBus
{
public:
    explicit PrivateBus(const QString &folder) : m_folder(folder) {}
    ~PrivateBus()
    {
        for (QProcess *process : {&m_keyring, &m_daemon}) {
            if (process->state() == QProcess::NotRunning)
                continue;
            process->terminate();
            if (!process->waitForFinished(10000))
                process->kill();
            process->waitForFinished(10000);
        }
    }

    bool start()
    {
        const QString config = m_folder + QStringLiteral("/bus.conf");
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        // No <servicedir>: nothing can be started on this bus by activation.
        file.write("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                   " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                   "<busconfig>\n"
                   "  <type>session</type>\n"
                   "  <listen>unix:tmpdir=" +
                   m_folder.toUtf8() +
                   "</listen>\n"
                   "  <auth>EXTERNAL</auth>\n"
                   "  <policy context=\"default\">\n"
                   "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                   "    <allow eavesdrop=\"true\"/>\n"
                   "    <allow own=\"*\"/>\n"
                   "  </policy>\n"
                   "</busconfig>\n");
        file.close();
        m_daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + config,
                                                       QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        if (!QTest::qWaitFor([&] { return m_daemon.canReadLine() || m_daemon.state() == QProcess::NotRunning; }, 30000))
            return false;
        m_address = QString::fromUtf8(m_daemon.readLine().trimmed());
        return !m_address.isEmpty();
    }

    QString address() const { return m_address; }

    // A gnome-keyring with an empty home: no keyring, so no default one.
    // Unlocked: a login keyring (the default one) opened with a password.
    bool startEmptyKeyring(bool unlocked = false)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QString home = m_folder + QStringLiteral("/keyring-home");
        const QString runtime = m_folder + QStringLiteral("/keyring-run");
        QDir().mkpath(home);
        QDir().mkpath(runtime);
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        env.insert(QStringLiteral("HOME"), home);
        env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
        m_keyring.setProcessEnvironment(env);
        QStringList arguments{QStringLiteral("--foreground"), QStringLiteral("--components=secrets")};
        if (unlocked)
            arguments << QStringLiteral("--unlock");
        m_keyring.start(QStringLiteral("gnome-keyring-daemon"), arguments);
        if (unlocked && m_keyring.waitForStarted(30000)) {
            m_keyring.write("halvex-test");
            m_keyring.closeWriteChannel();
        }
        return QTest::qWaitFor([&] { return secretsOwned(); }, 30000);
    }

    qint64 keyringPid() const { return m_keyring.processId(); }

    // Locks the login keyring (the default one), as a screen lock may.
    bool lockLoginKeyring()
    {
        return busCall({QStringLiteral("--dest=org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
                        QStringLiteral("org.freedesktop.Secret.Service.Lock"),
                        QStringLiteral("array:objpath:/org/freedesktop/secrets/collection/login")})
            .has_value();
    }
    void stopKeyring()
    {
        m_keyring.kill();
        m_keyring.waitForFinished(30000);
        (void)QTest::qWaitFor([&] { return !secretsOwned(); }, 30000);
    }

private:
    // One method call on this bus through dbus-send: its printed reply, or
    // nothing when the call failed.
    std::optional<QByteArray> busCall(const QStringList &call)
    {
        QProcess send;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
        send.setProcessEnvironment(env);
        send.start(QStringLiteral("dbus-send"),
                   QStringList{QStringLiteral("--session"), QStringLiteral("--print-reply")} + call);
        if (!send.waitForFinished(30000) || send.exitCode() != 0)
            return std::nullopt;
        return send.readAllStandardOutput();
    }

    bool secretsOwned()
    {
        return busCall({QStringLiteral("--dest=org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                        QStringLiteral("org.freedesktop.DBus.NameHasOwner"),
                        QStringLiteral("string:org.freedesktop.secrets")})
            .value_or(QByteArray())
            .contains("boolean true");
    }

    QString m_folder;
    QString m_address;
    QProcess m_daemon;
    QProcess m_keyring;
};

} // namespace halvex::test
