// socket_floor: what a bare Qt process pays per message for the traffic
// pattern of the chat path, with no bridge at all. A child process (pinned to
// CPU 1, like the bridge in chat_path) reads each message from one loopback
// TCP connection and writes it unchanged to another; this process (CPU 0)
// feeds and drains it. Its CPU time per message is the floor under
// chat_path's CPU per fragment on this machine: the event loop's wake-up,
// poll, read and write, with nothing decoded or encoded.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <sched.h>
#include <unistd.h>

namespace {

constexpr int kMessageBytes = 180; // about one short relay chunk
constexpr int kMessages = 5000;

void pinToCpu(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof(set), &set);
}

qint64 processCpuNs(qint64 pid)
{
    qint64 total = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &id : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(tasks.filePath(id + QStringLiteral("/schedstat")));
        if (file.open(QIODevice::ReadOnly))
            total += file.readAll().split(' ').value(0).toLongLong();
    }
    return total;
}

// Waits (up to a second) until no thread of the process is running: the CPU
// time of a slice still in progress is not in schedstat yet.
void waitUntilIdle(qint64 pid)
{
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 1000) {
        bool running = false;
        const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
        for (const QString &id : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile file(tasks.filePath(id + QStringLiteral("/stat")));
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const QByteArray stat = file.readAll();
            const qsizetype end = stat.lastIndexOf(')'); // the state follows the command name
            if (end >= 0 && end + 2 < stat.size() && stat.at(end + 2) == 'R')
                running = true;
        }
        if (!running)
            return;
        QThread::usleep(200);
    }
}

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
    return 0;
}
