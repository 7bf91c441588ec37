#pragma once
// NetworkManager and logind for tests of how the bridge meets network
// changes and sleep: a private bus with desktop_bus_stand_in on it, to be
// the process's system bus. Point the process at it before anything in it
// touches the system bus (Qt connects to it once per process, and
// QNetworkInformation loads its backend once):
//
//     DesktopBusStandIn desktop;
//     QVERIFY(desktop.start());
//     qputenv("DBUS_SYSTEM_BUS_ADDRESS", desktop.address().toUtf8());
//     QVERIFY(QNetworkInformation::loadBackendByName(u"networkmanager"));
//     QVERIFY(desktop.command("network offline"));
//
// Commands: "network offline", "network online", "network roam" (the
// primary connection moves between Wi-Fi and Ethernet, online throughout),
// "sleep" and "resume" (logind's PrepareForSleep(true) / (false)). It starts
// online over Wi-Fi.

#include "private_bus.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>

namespace halvex::test {

class DesktopBusStandIn
{
public:
    DesktopBusStandIn() : m_bus(m_dir.path()) {}
    ~DesktopBusStandIn()
    {
        if (m_standIn.state() == QProcess::NotRunning)
            return;
        m_standIn.closeWriteChannel(); // it ends at the end of its input
        if (!m_standIn.waitForFinished(10000))
            m_standIn.kill();
        m_standIn.waitForFinished(10000);
    }
    DesktopBusStandIn(const DesktopBusStandIn &) = delete;
    DesktopBusStandIn &operator=(const DesktopBusStandIn &) = delete;

    // Starts the bus and the stand-in, and waits until both names are owned.
    bool start()
    {
        if (!m_dir.isValid() || !m_bus.start())
            return false;
        m_standIn.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_standIn.start(QStringLiteral(HALVEX_DESKTOP_BUS_STAND_IN), {QStringLiteral("--bus"), m_bus.address()});
        return answer() == "ready";
    }

    // The bus's address, for DBUS_SYSTEM_BUS_ADDRESS.
    QString address() const { return m_bus.address(); }

    // Runs one command and waits until its signals are on the bus.
    bool command(const QByteArray &line)
    {
        if (m_standIn.state() != QProcess::Running || line.contains('\n'))
            return false;
        m_standIn.write(line + '\n');
        return answer() == "ok";
    }

private:
    static constexpr std::chrono::milliseconds answerTimeout{30000};
    static constexpr qint64 maxAnswerLength = 256;

    // The stand-in's next line of output, or nothing when none comes.
    QByteArray answer()
    {
        if (!QTest::qWaitFor([this] { return m_standIn.canReadLine() || m_standIn.state() == QProcess::NotRunning; },
                             int(answerTimeout.count())))
            return {};
        return m_standIn.readLine(maxAnswerLength).trimmed();
    }

    QTemporaryDir m_dir;
    PrivateBus m_bus;
    QProcess m_standIn;
};

} // namespace halvex::test
