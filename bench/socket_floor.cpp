// socket_floor: what a bare Qt process pays per message for the traffic
// pattern of the chat path, with no bridge at all. A child process (pinned to
// CPU 1, like the bridge in chat_path) reads each message from one loopback
// TCP connection and writes it unchanged to another; this process (CPU 0)
// feeds and drains it. Its CPU time per message is the floor under
// chat_path's CPU per fragment on this machine: the event loop's wake-up,
// poll, read and write, with nothing decoded or encoded.
//
// It also prints the resident memory of an idle bare Qt process with a
// network access manager, and with a QWebSocket besides (whose constructor
// loads Qt's TLS backend and OpenSSL): the floor under idle_rss's figures.

#include "process_probe.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

#include <cstdio>
#include <memory>
#include <unistd.h>

using namespace bench;

namespace {

constexpr int kMessageBytes = 180; // about one short relay chunk
constexpr int kMessages = 5000;

int runChild(quint16 inPort, quint16 outPort)
{
    QTcpSocket in, out;
    in.connectToHost(QStringLiteral("127.0.0.1"), inPort);
    out.connectToHost(QStringLiteral("127.0.0.1"), outPort);
    if (!in.waitForConnected(10000) || !out.waitForConnected(10000))
        return 1;
    in.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    out.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    QObject::connect(&in, &QTcpSocket::readyRead, [&] { out.write(in.readAll()); });
    QObject::connect(&in, &QTcpSocket::disconnected, qApp, &QCoreApplication::quit);
    return qApp->exec();
}

// An idle process holding what every network client of ours holds; says
// "ready" and waits to be ended.
int runIdle(bool withWebSocket)
{
    QNetworkAccessManager network;
    const std::unique_ptr<QWebSocket> socket(withWebSocket ? new QWebSocket : nullptr);
    std::puts("ready");
    std::fflush(stdout);
    return qApp->exec();
}

// VmRSS in MB of an idle child started with `arguments`, once it is ready
// and has settled.
double idleRssMb(const QStringList &arguments)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), arguments);
    if (!child.waitForStarted(10000) || !child.waitForReadyRead(10000))
        return -1;
    QEventLoop settle;
    QTimer::singleShot(1000, &settle, &QEventLoop::quit);
    settle.exec();
    const double mb = double(statusKb(child.processId(), "VmRSS")) / 1024.0;
    child.kill();
    child.waitForFinished(10000);
    return mb;
}

// Sends kMessages messages (every `paceMs`, or all at once for 0) and
// returns the child's CPU time per message in µs.
double measure(QTcpSocket *feed, QTcpSocket *drain, qint64 pid, int paceMs)
{
    const QByteArray message(kMessageBytes, 'x');
    const qint64 expected = qint64(kMessages) * kMessageBytes;
    qint64 received = 0;
    QEventLoop loop;
    const QMetaObject::Connection draining = QObject::connect(drain, &QTcpSocket::readyRead, [&] {
        received += drain->readAll().size();
        if (received >= expected)
            loop.quit();
    });
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    limit.start(120000);
    const qint64 before = processCpuNs(pid);
    int sent = 0;
    QTimer pace;
    QObject::connect(&pace, &QTimer::timeout, [&] {
        if (sent < kMessages) {
            feed->write(message);
            ++sent;
        }
    });
    if (paceMs > 0) {
        pace.start(paceMs);
    } else {
        for (; sent < kMessages; ++sent)
            feed->write(message);
    }
    loop.exec();
    QObject::disconnect(draining);
    pace.stop();
    waitUntilIdle(pid);
    return double(processCpuNs(pid) - before) / 1e3 / kMessages;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && QByteArray(argv[1]) == "--child") {
        QCoreApplication app(argc, argv);
        pinToCpu(1);
        return runChild(quint16(QByteArray(argv[2]).toUInt()), quint16(QByteArray(argv[3]).toUInt()));
    }
    if (argc >= 2 && QByteArray(argv[1]) == "--idle") {
        QCoreApplication app(argc, argv);
        return runIdle(argc == 3 && QByteArray(argv[2]) == "ws");
    }
    QCoreApplication app(argc, argv);
    pinToCpu(0);
    QTcpServer feedServer, drainServer;
    if (!feedServer.listen(QHostAddress::LocalHost) || !drainServer.listen(QHostAddress::LocalHost))
        return 1;
    QProcess child;
    child.setProgram(QCoreApplication::applicationFilePath());
    child.setArguments({QStringLiteral("--child"), QString::number(feedServer.serverPort()),
                        QString::number(drainServer.serverPort())});
    child.start();
    if (!child.waitForStarted(10000) || !feedServer.waitForNewConnection(10000) ||
        !drainServer.waitForNewConnection(10000))
        return 1;
    QTcpSocket *feed = feedServer.nextPendingConnection();
    QTcpSocket *drain = drainServer.nextPendingConnection();
    feed->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    const qint64 pid = child.processId();

    measure(feed, drain, pid, 0); // warm-up
    const double paced = measure(feed, drain, pid, 1);
    const double burst = measure(feed, drain, pid, 0);
    std::printf("socket_floor: a bare Qt process forwarding %d-byte messages between two loopback sockets\n",
                kMessageBytes);
    std::printf("  %-44s %10.2f\n", "CPU us per message, one every 1 ms", paced);
    std::printf("  %-44s %10.2f\n", "CPU us per message, burst", burst);
    feed->close();
    child.waitForFinished(10000);
    std::printf("  %-44s %10.1f\n", "idle MB, Qt Core + Network", idleRssMb({QStringLiteral("--idle")}));
    std::printf("  %-44s %10.1f\n", "idle MB, with one QWebSocket (TLS loaded)",
                idleRssMb({QStringLiteral("--idle"), QStringLiteral("ws")}));
    return 0;
}
