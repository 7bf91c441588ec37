// ping_flood: the memory a WebSocket link holds while its peer floods it
// with pings and reads nothing back (a hostile relay, or a gateway on
// ws://). A loopback peer in this process answers the upgrade, then writes
// N MiB of 125-byte pings as fast as its kernel buffer takes them and
// never reads; the figures are this process's resident set (VmRSS) before
// and after, and what the client still has queued.
#include "memory_gauge.h"
#include "platform/net/web_socket_client.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cstdio>

using namespace halvex;
using namespace halvex::test;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 floodBytes = (argc > 1 ? QByteArray(argv[1]).toLongLong() : 200) << 20;

    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost))
        return 1;
    QTcpSocket *peer = nullptr;
    qint64 sent = 0;
    quint32 number = 0;
    const auto refill = [&] {
        if (!peer || peer->bytesToWrite() > 256 * 1024 || sent >= floodBytes)
            return;
        QByteArray batch;
        while (batch.size() < 64 * 1024) {
            batch += char(0x89);
            batch += char(125);
            batch += QByteArray::number(++number).leftJustified(125, '.');
        }
        sent += batch.size();
        peer->write(batch);
    };
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&] {
        peer = server.nextPendingConnection();
        peer->setReadBufferSize(64 * 1024); // it reads the upgrade, and then nothing
        QObject::connect(peer, &QTcpSocket::readyRead, peer, [&] {
            QByteArray request = peer->peek(64 * 1024);
            const qsizetype end = request.indexOf("\r\n\r\n");
            if (end < 0 || number > 0)
                return;
            peer->read(end + 4);
            QByteArray key;
            for (const QByteArray &line : request.left(end).split('\n'))
                if (line.toLower().startsWith("sec-websocket-key:"))
                    key = line.mid(18).trimmed();
            peer->write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                        "Sec-WebSocket-Accept: " +
                        QCryptographicHash::hash(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11", QCryptographicHash::Sha1)
                            .toBase64() +
                        "\r\n\r\n");
            QObject::connect(peer, &QTcpSocket::bytesWritten, peer, refill);
            refill();
        });
    });

    WebSocketClient client;
    const qint64 before = MemoryGauge::residentBytes();
    qint64 peakRss = before, peakQueued = 0;
    QElapsedTimer clock;
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout, &app, [&] {
        peakRss = std::max(peakRss, MemoryGauge::residentBytes());
        peakQueued = std::max(peakQueued, client.bytesToWrite());
        const bool done = sent >= floodBytes && peer && peer->bytesToWrite() == 0;
        if (done || clock.elapsed() > 120000 || (client.state() == QAbstractSocket::UnconnectedState && number > 0))
            app.quit();
    });
    QObject::connect(&client, &WebSocketClient::connected, &app, [&] {
        clock.start();
        sample.start(20);
    });
    client.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(server.serverPort())));
    app.exec();
    std::printf("ping flood: %lld MiB of 125-byte pings sent in %lld ms, link %s\n", sent >> 20,
                static_cast<long long>(clock.elapsed()), client.isOpen() ? "open" : "closed");
    std::printf("  RSS before %lld MiB, peak %lld MiB, after %lld MiB; client queue peak %lld KiB, now %lld KiB\n",
                before >> 20, peakRss >> 20, MemoryGauge::residentBytes() >> 20, peakQueued >> 10,
                client.bytesToWrite() >> 10);
    return 0;
}
