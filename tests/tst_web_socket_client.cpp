// The WebSocket client of both links: its framing against RFC 6455's and
// RFC 7692's own examples, then the client against Qt's WebSocket server
// (plain and TLS), against the npm `ws` server (permessage-deflate, as Node
// relays speak it) and against a raw TCP peer that answers the upgrade and
// then writes whatever a broken or hostile server might. tests/data/tls holds a test
// authority's certificate and a localhost certificate and key it signed
// (EC P-256, valid until 2126), made for this test alone.
#include "node_relay_peer.h"
#include "platform/net/web_socket_client.h"
#include "platform/net/web_socket_deflate.h"
#include "platform/net/web_socket_frames.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QSslKey>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtEndian>

#include <memory>

using namespace halvex;

namespace {

constexpr int kWait = 30000;

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// Every message and control frame the reader yields for `bytes`, fed in
// pieces of `step` bytes; a failure ends the list as "failed <code>".
// `deflate`: permessage-deflate is on.
QStringList readAll(const QByteArray &bytes, qsizetype step, qint64 limit = 1 << 20, bool deflate = false)
{
    WebSocketFrameReader reader(limit);
    if (deflate)
        reader.setInflater(std::make_unique<WebSocketInflater>(false));
    QStringList seen;
    for (qsizetype at = 0; at < bytes.size(); at += step) {
        reader.append(QByteArrayView(bytes).sliced(at, std::min(step, bytes.size() - at)));
        WebSocketFrameReader::Message message;
        WebSocketFrameReader::Failure failure;
        while (true) {
            const auto status = reader.next(message, failure);
            if (status == WebSocketFrameReader::Status::needMore)
                break;
            if (status == WebSocketFrameReader::Status::failed)
                return seen << QStringLiteral("failed %1").arg(failure.closeCode);
            static const char *kinds[] = {"text", "binary", "ping", "pong", "close"};
            seen << QStringLiteral("%1 %2").arg(QLatin1String(kinds[int(message.kind)]),
                                                QString::fromLatin1(message.payload.size() > 32
                                                                        ? QByteArray::number(message.payload.size())
                                                                        : message.payload));
        }
    }
    return seen;
}

// A server frame (unmasked) with an explicit first byte.
QByteArray serverFrame(quint8 first, const QByteArray &payload)
{
    QByteArray frame(1, char(first));
    if (payload.size() < 126) {
        frame += char(payload.size());
    } else if (payload.size() <= 0xFFFF) {
        frame += char(126);
        frame += char(payload.size() >> 8);
        frame += char(payload.size() & 0xFF);
    } else {
        frame += char(127);
        for (int shift = 56; shift >= 0; shift -= 8)
            frame += char((quint64(payload.size()) >> shift) & 0xFF);
    }
    return frame + payload;
}

// A server's compressed text frame holding `message` (a fresh deflate context).
QByteArray compressedFrame(const QByteArray &message)
{
    WebSocketDeflater deflater(15, false);
    QByteArray out;
    deflater.compress(message, out);
    return serverFrame(0xc1, out);
}

// A TCP peer that reads the upgrade request, answers it with `answer` (or a
// correct 101 when empty) and then writes what the test gives it.
class RawPeer : public QObject
{
public:
    QByteArray answer;
    QByteArray extensions; // the Sec-WebSocket-Extensions of a correct 101
    QByteArray request;
    QByteArray received; // everything after the request
    QPointer<QTcpSocket> client;

    RawPeer()
    {
        QVERIFY(m_server.listen(QHostAddress::LocalHost));
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            client = m_server.nextPendingConnection();
            QObject::connect(client, &QTcpSocket::readyRead, this, [this] { onRead(); });
        });
    }
    QUrl url() const { return QUrl(QStringLiteral("ws://127.0.0.1:%1/ws/path?x=1").arg(m_server.serverPort())); }
    void write(const QByteArray &bytes)
    {
        client->write(bytes);
        client->flush();
    }
    bool upgraded() const { return m_answered; }

private:
    void onRead()
    {
        if (m_answered) {
            received += client->readAll();
            return;
        }
        request += client->readAll();
        const qsizetype end = request.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        QByteArray reply = answer;
        if (reply.isEmpty()) {
            QByteArray key;
            for (const QByteArray &line : request.split('\n'))
                if (line.toLower().startsWith("sec-websocket-key:"))
                    key = line.mid(18).trimmed();
            const QByteArray accept =
                QCryptographicHash::hash(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11", QCryptographicHash::Sha1)
                    .toBase64();
            reply = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                    "Sec-WebSocket-Accept: " +
                    accept + "\r\n";
            if (!extensions.isEmpty())
                reply += "Sec-WebSocket-Extensions: " + extensions + "\r\n";
            reply += "\r\n";
        }
        m_answered = true;
        received = request.mid(end + 4);
        write(reply);
    }

    QTcpServer m_server;
    bool m_answered = false;
};

// Qt's WebSocket server, with the last client it accepted.
struct QtServer {
    QWebSocketServer server;
    QPointer<QWebSocket> peer;
    QStringList texts;
    QList<QByteArray> binaries;

    explicit QtServer(QWebSocketServer::SslMode mode = QWebSocketServer::NonSecureMode)
        : server(QStringLiteral("test"), mode)
    {
    }
    bool listen()
    {
        QObject::connect(&server, &QWebSocketServer::newConnection, &server, [this] {
            peer = server.nextPendingConnection();
            peer->setParent(&server); // the caller owns accepted sockets
            QObject::connect(peer, &QWebSocket::textMessageReceived, &server,
                             [this](const QString &text) { texts << text; });
            QObject::connect(peer, &QWebSocket::binaryMessageReceived, &server,
                             [this](const QByteArray &bytes) { binaries << bytes; });
        });
        return server.listen(QHostAddress::LocalHost);
    }
    QUrl url(const char *scheme = "ws", const char *host = "127.0.0.1") const
    {
        return QUrl(
            QStringLiteral("%1://%2:%3/").arg(QLatin1String(scheme), QLatin1String(host)).arg(server.serverPort()));
    }
};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestWebSocketClient : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // --- Framing ------------------------------------------------------------

    void framesAreBuiltAndMaskedAsTheStandardShows()
    {
        // RFC 6455, 5.7: "Hello" masked with 37 fa 21 3d.
        QCOMPARE(encodeWebSocketFrame(WebSocketOpcode::text, "Hello", 0x37fa213d), hex("818537fa213d7f9f4d5158"));
        // Lengths at the edges of the three encodings.
        for (const qsizetype size : {0, 125, 126, 65535, 65536, 100003}) {
            const QByteArray payload(size, 'a');
            const QByteArray frame = encodeWebSocketFrame(WebSocketOpcode::binary, payload, 0x01020304);
            const qsizetype header = size < 126 ? 2 : size <= 0xFFFF ? 4 : 10;
            QCOMPARE(frame.size(), header + 4 + size);
            QCOMPARE(quint8(frame.at(1)) & 0x80, 0x80);
            QByteArray body = frame.mid(header + 4);
            maskWebSocketPayload(body.data(), body.size(), 0x01020304);
            QCOMPARE(body, payload);
        }
        // Masking is the same whatever the start's alignment and length.
        QByteArray text = "0123456789abcdefXYZ";
        QByteArray bytewise = text;
        const unsigned char key[4] = {0xA1, 0x02, 0xF3, 0x44};
        for (qsizetype i = 0; i < bytewise.size(); ++i)
            bytewise[i] = char(quint8(bytewise.at(i)) ^ key[i % 4]);
        maskWebSocketPayload(text.data(), text.size(), 0xA102F344);
        QCOMPARE(text, bytewise);
    }

    void serverFramesAreReadWhateverTheirSplit()
    {
        // RFC 6455, 5.7: a text frame, a fragmented one, a ping, 256 and 65536 bytes.
        const QByteArray stream = hex("810548656c6c6f") + hex("010348656c") + hex("80026c6f") + hex("890548656c6c6f") +
                                  serverFrame(0x82, QByteArray(256, 'b')) + serverFrame(0x82, QByteArray(65536, 'c'));
        const QStringList expected{QStringLiteral("text Hello"), QStringLiteral("text Hello"),
                                   QStringLiteral("ping Hello"), QStringLiteral("binary 256"),
                                   QStringLiteral("binary 65536")};
        for (const qsizetype step : {qsizetype(1), qsizetype(3), qsizetype(7), stream.size()})
            QCOMPARE(readAll(stream, step), expected);

        // A control frame between two fragments; close with code and reason.
        QCOMPARE(readAll(hex("010101") + hex("8a00") + hex("800101") + hex("880503e8627965"), 1),
                 (QStringList{QStringLiteral("pong "), QStringLiteral("text \x01\x01"),
                              QStringLiteral("close \x03\xe8"
                                             "bye")}));
        const std::optional<WebSocketClose> close = readWebSocketClose(hex("0fa0") + "done");
        QCOMPARE(close->code, quint16(4000));
        QCOMPARE(close->reason, QStringLiteral("done"));
        QVERIFY(!readWebSocketClose(hex("03")));
        QVERIFY(!readWebSocketClose(hex("03e8ff")));
        // A reason over 123 bytes is cut on a character boundary.
        const QByteArray cut = encodeWebSocketClose(1000, QString(70, QChar(0x00e9)));
        QCOMPARE(cut.size(), 2 + 122);
        QVERIFY(readWebSocketClose(cut));
    }

    void compressedFramesAreReadWhateverTheirSplit()
    {
        // RFC 7692, 7.2.3: "Hello" compressed, then again with the first as
        // context, fragmented, after a stored block, and uncompressed.
        const QByteArray stream = hex("c107f248cdc9c90700") + hex("c105f200110000") + hex("4103f248cd") + hex("8a00") +
                                  hex("8004c9c90700") + hex("c10b000500faff48656c6c6f00") + hex("810548656c6c6f");
        const QStringList expected{QStringLiteral("text Hello"), QStringLiteral("text Hello"),
                                   QStringLiteral("pong "),      QStringLiteral("text Hello"),
                                   QStringLiteral("text Hello"), QStringLiteral("text Hello")};
        for (const qsizetype step : {qsizetype(1), qsizetype(5), stream.size()})
            QCOMPARE(readAll(stream, step, 1 << 20, true), expected);

        // Ours, against an inflater as the server keeps one: each message of
        // a growing answer costs about its new part, and reads back whole.
        for (const bool noContextTakeover : {false, true}) {
            WebSocketDeflater deflater(15, noContextTakeover);
            WebSocketInflater inflater(noContextTakeover);
            QString answer;
            qint64 compressed = 0;
            for (int i = 0; i < 300; ++i) {
                answer += QStringLiteral("word%1 ").arg(i % 17);
                const QByteArray message = "{\"accumulated\":\"" + answer.toUtf8() + "\",\"delta\":\"x\"}";
                QByteArray out, back;
                QVERIFY(deflater.compress(message, out));
                compressed += out.size();
                QCOMPARE(inflater.inflate(out, back, 1 << 20), WebSocketInflater::Outcome::ok);
                QCOMPARE(inflater.finish(back, 1 << 20), WebSocketInflater::Outcome::ok);
                QCOMPARE(back, message);
            }
            QVERIFY2(noContextTakeover || compressed < 300 * 40, qPrintable(QString::number(compressed)));
            QVERIFY(deflater.memory().current > 0 && inflater.memory().peak > 0);
        }
    }

    void deflateAnswersAreCheckedAsTheStandardSays_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("agreed"); // server NCT, client NCT, server bits, client bits; or "error"
        QTest::newRow("declined") << QByteArray() << QString();
        QTest::newRow("plain") << QByteArray("permessage-deflate") << QStringLiteral("0 0 15 15");
        QTest::newRow("all four") << QByteArray("Permessage-Deflate; server_no_context_takeover; "
                                                "client_no_context_takeover; server_max_window_bits=10; "
                                                "client_max_window_bits=\"9\"")
                                  << QStringLiteral("1 1 10 9");
        QTest::newRow("not offered") << QByteArray("x-webkit-deflate-frame") << QStringLiteral("error");
        QTest::newRow("twice") << QByteArray("permessage-deflate, permessage-deflate") << QStringLiteral("error");
        QTest::newRow("bits without value")
            << QByteArray("permessage-deflate; client_max_window_bits") << QStringLiteral("error");
        QTest::newRow("bits 16") << QByteArray("permessage-deflate; server_max_window_bits=16")
                                 << QStringLiteral("error");
        QTest::newRow("bits 08") << QByteArray("permessage-deflate; server_max_window_bits=08")
                                 << QStringLiteral("error");
        QTest::newRow("value on a flag") << QByteArray("permessage-deflate; server_no_context_takeover=1")
                                         << QStringLiteral("error");
        QTest::newRow("repeated") << QByteArray("permessage-deflate; client_no_context_takeover; "
                                                "client_no_context_takeover")
                                  << QStringLiteral("error");
        QTest::newRow("unknown") << QByteArray("permessage-deflate; mystery=1") << QStringLiteral("error");
    }
    void deflateAnswersAreCheckedAsTheStandardSays()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, agreed);
        const Result<std::optional<PerMessageDeflate>> read = readPerMessageDeflateAnswer(answer);
        QString seen = QStringLiteral("error");
        if (read && !*read)
            seen.clear();
        else if (read)
            seen = QStringLiteral("%1 %2 %3 %4")
                       .arg(int((*read)->serverNoContextTakeover))
                       .arg(int((*read)->clientNoContextTakeover))
                       .arg((*read)->serverMaxWindowBits)
                       .arg((*read)->clientMaxWindowBits);
        QCOMPARE(seen, agreed);
        if (agreed == QLatin1String("error")) {
            // The same answer from a server fails the link before it opens.
            RawPeer peer;
            peer.extensions = answer;
            WebSocketClient client;
            client.setPerMessageDeflate(true);
            QSignalSpy disconnected(&client, &WebSocketClient::disconnected);
            QSignalSpy connected(&client, &WebSocketClient::connected);
            client.open(peer.url());
            QVERIFY(disconnected.wait(kWait));
            QVERIFY(connected.isEmpty());
            QVERIFY(
                peer.request.contains("\r\nSec-WebSocket-Extensions: permessage-deflate; client_max_window_bits\r\n"));
        }
    }

    void brokenOrOversizedFramesFail_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("deflate");
        QTest::newRow("masked by the server") << hex("818100000000ff") << 1002 << false;
        QTest::newRow("reserved bit") << hex("c100") << 1002 << false;
        QTest::newRow("unknown opcode") << hex("8300") << 1002 << false;
        QTest::newRow("long ping") << serverFrame(0x89, QByteArray(126, 'p')) << 1002 << false;
        QTest::newRow("fragmented ping") << hex("0900") << 1002 << false;
        QTest::newRow("continuation first") << hex("8000") << 1002 << false;
        QTest::newRow("new message inside one") << hex("0100") + hex("8100") << 1002 << false;
        QTest::newRow("text not UTF-8") << hex("8102c328") << 1007 << false;
        QTest::newRow("text cut inside a character") << hex("0101e2") + hex("800182") << 1007 << false;
        // Announced sizes are refused before their bytes come.
        QTest::newRow("announced over the limit") << hex("827f0000000001000000") << 1009 << false;
        QTest::newRow("fragments over the limit")
            << serverFrame(0x02, QByteArray(600, 'x')) + serverFrame(0x80, QByteArray(600, 'x')) << 1009 << false;
        QTest::newRow("length over 2^63") << hex("827f8000000000000000") << 1002 << false;
        // With permessage-deflate on.
        QTest::newRow("compressed control frame") << hex("c900") << 1002 << true;
        QTest::newRow("RSV1 on a continuation") << hex("4103f248cd") + hex("c004c9c90700") << 1002 << true;
        QTest::newRow("RSV2") << hex("a100") << 1002 << true;
        QTest::newRow("broken stream") << hex("c101ff") << 1007 << true;
        QTest::newRow("compressed text not UTF-8") << compressedFrame("\xc3\x28") << 1007 << true;
        // 100,000 bytes that deflate to a few hundred: refused at the cap.
        QTest::newRow("inflates over the limit") << compressedFrame(QByteArray(100000, 'a')) << 1009 << true;
    }
    void brokenOrOversizedFramesFail()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, code);
        QFETCH(bool, deflate);
        const QStringList seen = readAll(bytes, 1, 1000, deflate);
        QCOMPARE(seen.value(seen.size() - 1), QStringLiteral("failed %1").arg(code));
    }

    // --- Against Qt's server -----------------------------------------------

    void talksWithAStandardServer()
    {
        QtServer server;
        QVERIFY(server.listen());
        WebSocketClient client;
        QSignalSpy connected(&client, &WebSocketClient::connected);
        QSignalSpy texts(&client, &WebSocketClient::textReceived);
        QSignalSpy binaries(&client, &WebSocketClient::binaryReceived);
        QSignalSpy pongs(&client, &WebSocketClient::pong);
        QSignalSpy disconnected(&client, &WebSocketClient::disconnected);
        client.open(server.url());
        QCOMPARE(client.state(), QAbstractSocket::ConnectingState);
        QVERIFY(connected.wait(kWait));
        QVERIFY(client.isOpen());

        // Ours, in every length encoding, UTF-8 included.
        const QStringList sent{QString(),
                               QStringLiteral("héllo ✓ 😀"),
                               QString(125, QLatin1Char('a')),
                               QString(126, QLatin1Char('b')),
                               QString(65536, QChar(0x00e9)),
                               QString(200000, QLatin1Char('z'))};
        for (const QString &text : sent)
            QCOMPARE(client.sendTextMessage(text), qint64(text.toUtf8().size()));
        QTRY_COMPARE_WITH_TIMEOUT(server.texts, sent, kWait);

        // Theirs.
        server.peer->sendTextMessage(QStringLiteral("to the bridge ✓"));
        server.peer->sendBinaryMessage(QByteArray("\x00\x01\xff", 3));
        QTRY_COMPARE_WITH_TIMEOUT(texts.size(), 1, kWait);
        QCOMPARE(texts.first().first().toByteArray(), QStringLiteral("to the bridge ✓").toUtf8());
        QTRY_COMPARE_WITH_TIMEOUT(binaries.size(), 1, kWait);
        QCOMPARE(binaries.first().first().toByteArray(), QByteArray("\x00\x01\xff", 3));

        // A burst far larger than one read: all of it, in order.
        texts.clear();
        for (int i = 0; i < 300; ++i)
            server.peer->sendTextMessage(QStringLiteral("%1:").arg(i) + QString(10000, QLatin1Char('m')));
        QTRY_COMPARE_WITH_TIMEOUT(texts.size(), 300, kWait);
        for (int i = 0; i < 300; ++i)
            QVERIFY(texts.at(i).first().toByteArray().startsWith(QByteArray::number(i) + ':'));

        // Pings both ways.
        QSignalSpy serverPongs(server.peer.data(), &QWebSocket::pong);
        server.peer->ping("from-server");
        QVERIFY(serverPongs.wait(kWait));
        QCOMPARE(serverPongs.first().at(1).toByteArray(), QByteArray("from-server"));
        QVERIFY(client.ping("from-client"));
        QTRY_COMPARE_WITH_TIMEOUT(pongs.size(), 1, kWait);
        QCOMPARE(pongs.first().at(1).toByteArray(), QByteArray("from-client"));

        // Our close: the server sees our code, and the link ends.
        QSignalSpy serverGone(server.peer.data(), &QWebSocket::disconnected);
        client.close(WebSocketCloseCode::goingAway, QStringLiteral("bye"));
        QCOMPARE(client.state(), QAbstractSocket::ClosingState);
        QCOMPARE(client.sendTextMessage(QStringLiteral("late")), qint64(-1));
        QTRY_COMPARE_WITH_TIMEOUT(disconnected.size(), 1, kWait);
        QTRY_VERIFY_WITH_TIMEOUT(!serverGone.isEmpty(), kWait);
        QCOMPARE(int(server.peer->closeCode()), 1001);
        QCOMPARE(server.peer->closeReason(), QStringLiteral("bye"));
        QCOMPARE(client.closeCode(), quint16(1001));
        QCOMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(client.error(), QAbstractSocket::UnknownSocketError);
        QCOMPARE(disconnected.size(), 1);
    }

    void theServerMayCloseFirstOrVanish()
    {
        QtServer server;
        QVERIFY(server.listen());
        {
            WebSocketClient client;
            QSignalSpy disconnected(&client, &WebSocketClient::disconnected);
            QSignalSpy errors(&client, &WebSocketClient::errorOccurred);
            client.open(server.url());
            QTRY_VERIFY_WITH_TIMEOUT(client.isOpen() && server.peer, kWait);
            server.peer->close(QWebSocketProtocol::CloseCode(4000), QStringLiteral("done"));
            QVERIFY(disconnected.wait(kWait));
            QCOMPARE(client.closeCode(), quint16(4000));
            QCOMPARE(client.closeReason(), QStringLiteral("done"));
            QVERIFY(errors.isEmpty());
        }
        {
            WebSocketClient client;
            QSignalSpy disconnected(&client, &WebSocketClient::disconnected);
            QSignalSpy errors(&client, &WebSocketClient::errorOccurred);
            client.open(server.url());
            QTRY_VERIFY_WITH_TIMEOUT(client.isOpen() && server.peer, kWait);
            server.peer->abort(); // TCP ends without a close frame
            QVERIFY(disconnected.wait(kWait));
            QCOMPARE(client.closeCode(), quint16(WebSocketCloseCode::abnormal));
            QCOMPARE(errors.size(), 1);
            QCOMPARE(disconnected.size(), 1);
        }
    }

    void wssChecksTheServerCertificate()
    {
        const QString dir = QStringLiteral(HALVEX_SOURCE_DIR "/tests/data/tls/");
        QSslConfiguration serverTls = QSslConfiguration::defaultConfiguration();
        serverTls.setLocalCertificate(QSslCertificate(readFile(dir + QStringLiteral("server.pem"))));
        serverTls.setPrivateKey(QSslKey(readFile(dir + QStringLiteral("server.key")), QSsl::Ec));
        QVERIFY(!serverTls.localCertificate().isNull() && !serverTls.privateKey().isNull());
        QtServer server(QWebSocketServer::SecureMode);
        server.server.setSslConfiguration(serverTls);
        QVERIFY(server.listen());

        // Trusted through the test authority: the link opens and works.
        QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
        trusting.setCaCertificates(QSslCertificate::fromData(readFile(dir + QStringLiteral("ca.pem"))));
        WebSocketClient client;
        client.setTlsConfiguration(trusting);
        QSignalSpy connected(&client, &WebSocketClient::connected);
        client.open(server.url("wss", "localhost"));
        QVERIFY(connected.wait(kWait));
        QCOMPARE(client.sendTextMessage(QStringLiteral("over TLS")), qint64(8));
        QTRY_COMPARE_WITH_TIMEOUT(server.texts, QStringList{QStringLiteral("over TLS")}, kWait);

        // The system's authorities do not know it: refused, never opened.
        WebSocketClient stranger;
        QSignalSpy refused(&stranger, &WebSocketClient::errorOccurred);
        QSignalSpy strangerConnected(&stranger, &WebSocketClient::connected);
        QSignalSpy strangerEnded(&stranger, &WebSocketClient::disconnected);
        stranger.open(server.url("wss", "localhost"));
        QVERIFY(refused.wait(kWait));
        QCOMPARE(refused.first().first().value<QAbstractSocket::SocketError>(),
                 QAbstractSocket::SslHandshakeFailedError);
        QTRY_COMPARE_WITH_TIMEOUT(strangerEnded.size(), 1, kWait);
        QVERIFY(strangerConnected.isEmpty());
    }

    // --- Against the npm ws server ---------------------------------------------

    void talksDeflateWithANodeRelay_data()
    {
        QTest::addColumn<QJsonObject>("deflate"); // ws's perMessageDeflate
        QTest::addColumn<QString>("agreed");      // as in deflateAnswersAreCheckedAsTheStandardSays
        QTest::addColumn<bool>("smaller");        // fewer bytes on the wire than in the messages
        QTest::newRow("as ws offers it") << QJsonObject{{QStringLiteral("threshold"), 0}} << QStringLiteral("0 0 15 15")
                                         << true;
        QTest::newRow("no context, small windows") << QJsonObject{{QStringLiteral("threshold"), 0},
                                                                  {QStringLiteral("clientNoContextTakeover"), true},
                                                                  {QStringLiteral("serverNoContextTakeover"), true},
                                                                  {QStringLiteral("clientMaxWindowBits"), 9},
                                                                  {QStringLiteral("serverMaxWindowBits"), 10}}
                                                   << QStringLiteral("1 1 10 9") << true;
        // zlib has no 256-byte window: ours go uncompressed, theirs inflate.
        QTest::newRow("8-bit window for us")
            << QJsonObject{{QStringLiteral("threshold"), 0}, {QStringLiteral("clientMaxWindowBits"), 8}}
            << QStringLiteral("0 0 15 8") << false;
        QTest::newRow("declined") << QJsonObject() << QString() << false;
    }
    void talksDeflateWithANodeRelay()
    {
        QFETCH(QJsonObject, deflate);
        QFETCH(QString, agreed);
        QFETCH(bool, smaller);
        if (const QString missing = test::NodeRelayPeer::missingReason(); !missing.isEmpty())
            QSKIP(qPrintable(missing));
        test::NodeRelayPeer peer(
            {{QStringLiteral("perMessageDeflate"), deflate.isEmpty() ? QJsonValue(false) : deflate}});
        WebSocketClient client;
        client.setPerMessageDeflate(true);
        client.setMaxIncomingMessageSize(100000);
        QSignalSpy texts(&client, &WebSocketClient::textReceived);
        QSignalSpy disconnected(&client, &WebSocketClient::disconnected);
        client.open(peer.url());
        QTRY_VERIFY_WITH_TIMEOUT(client.isOpen(), kWait);
        const std::optional<PerMessageDeflate> on = client.perMessageDeflate();
        QCOMPARE(on ? QStringLiteral("%1 %2 %3 %4")
                          .arg(int(on->serverNoContextTakeover))
                          .arg(int(on->clientNoContextTakeover))
                          .arg(on->serverMaxWindowBits)
                          .arg(on->clientMaxWindowBits)
                    : QString(),
                 agreed);

        // A streamed answer as the relay gets it, each message repeating the
        // text so far, with characters that take 2 to 4 bytes: every one
        // comes back as it went.
        QList<QByteArray> sent;
        qint64 sentBytes = 0;
        QString answer;
        for (int i = 0; i < 200; ++i) {
            answer += QStringLiteral("fragment %1 é ✓ 😀 ").arg(i);
            sent << ("{\"accumulated\":\"" + answer.toUtf8() + "\",\"type\":\"chat_stream_chunk\"}");
            sentBytes += sent.last().size();
            QCOMPARE(client.sendText(sent.last()), qint64(sent.last().size()));
        }
        QVERIFY(client.ping("still there"));
        QTRY_COMPARE_WITH_TIMEOUT(texts.size(), sent.size(), kWait);
        for (int i = 0; i < sent.size(); ++i)
            QCOMPARE(texts.at(i).first().toByteArray(), sent.at(i));

        // What crossed the wire (with the upgrade) against the messages' bytes.
        client.sendText("!stats");
        QTRY_COMPARE_WITH_TIMEOUT(texts.size(), sent.size() + 1, kWait);
        const QJsonObject stats = QJsonDocument::fromJson(texts.last().first().toByteArray()).object();
        const qint64 wire = stats.value(QLatin1String("wireBytes")).toInteger();
        QVERIFY2(smaller ? wire < sentBytes / 5 : wire > sentBytes,
                 qPrintable(QStringLiteral("%1 of %2").arg(wire).arg(sentBytes)));
        QCOMPARE(stats.value(QLatin1String("extensions")).toString(),
                 QStringLiteral("permessage-deflate; client_max_window_bits"));

        // A message over our limit (compressed: a small frame that inflates
        // past it) ends the link with 1009, and the relay hears that code.
        client.sendText("!big 300000");
        QVERIFY(disconnected.wait(kWait));
        QCOMPARE(client.closeCode(), quint16(WebSocketCloseCode::tooMuchData));
        QCOMPARE(peer.nextLine().value(QLatin1String("closed")).toInt(), 1009);
        QCOMPARE(texts.size(), sent.size() + 1);
    }

    // --- Against a raw peer ---------------------------------------------------

    void theUpgradeCarriesTheRequestAndIsChecked()
    {
        {
            RawPeer peer;
            WebSocketClient client;
            QSignalSpy connected(&client, &WebSocketClient::connected);
            QNetworkRequest request(peer.url());
            request.setRawHeader("Authorization", "Bearer abc");
            client.open(request);
            QVERIFY(connected.wait(kWait));
            QVERIFY(peer.request.startsWith("GET /ws/path?x=1 HTTP/1.1\r\n"));
            QVERIFY(peer.request.contains("\r\nAuthorization: Bearer abc\r\n"));
            QVERIFY(peer.request.contains("\r\nSec-WebSocket-Version: 13\r\n"));
            QVERIFY(
                peer.request.contains(QStringLiteral("\r\nHost: 127.0.0.1:%1\r\n").arg(peer.url().port()).toLatin1()));
        }
        const QList<QPair<QByteArray, QString>> refusals{
            {"HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n", QStringLiteral("HTTP 401 Unauthorized")},
            // A reason phrase that would put terminal controls into the log.
            {"HTTP/1.1 403 No\x1b[2Jway\r\n\r\n", QStringLiteral("HTTP 403 No?[2Jway")},
            {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
             "Sec-WebSocket-Accept: d3Jvbmc=\r\n\r\n",
             QStringLiteral("not a valid one")},
            {"HTTP/1.1 200 OK\r\nX: " + QByteArray(20000, 'x'), QStringLiteral("over 16384 bytes")},
        };
        for (const auto &[answer, why] : refusals) {
            RawPeer peer;
            peer.answer = answer;
            WebSocketClient client;
            QSignalSpy errors(&client, &WebSocketClient::errorOccurred);
            QSignalSpy connected(&client, &WebSocketClient::connected);
            QSignalSpy disconnected(&client, &WebSocketClient::disconnected);
            client.open(peer.url());
            QVERIFY(disconnected.wait(kWait));
            QCOMPARE(errors.size(), 1);
            QVERIFY2(client.errorString().contains(why), qPrintable(client.errorString()));
            QVERIFY(connected.isEmpty());
            QCOMPARE(client.state(), QAbstractSocket::UnconnectedState);
        }
        // Refused before any socket: not a WebSocket URL, or a header that
        // would smuggle lines into the request.
        for (const QNetworkRequest &request : {QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:1/"))), [] {
                                                   QNetworkRequest injected(QUrl(QStringLiteral("ws://127.0.0.1:1/")));
                                                   injected.setRawHeader("X-Token", "a\r\nEvil: yes");
                                                   return injected;
                                               }()}) {
            WebSocketClient client;
            QSignalSpy errors(&client, &WebSocketClient::errorOccurred);
            QSignalSpy disconnected(&client, &WebSocketClient::disconnected);
            client.open(request);
            QCOMPARE(errors.size(), 1);
            QCOMPARE(client.state(), QAbstractSocket::UnconnectedState);
            QVERIFY(disconnected.isEmpty());
        }
    }

    // A peer that floods pings and reads nothing back: the queue stays under
    // the cap, a flood leaves one pong queued (the latest ping's), and a
    // queue the peer never takes pauses reading and then fails the link.
    void aPeerThatSendsWithoutReadingCannotGrowTheQueue_data()
    {
        QTest::addColumn<qint64>("floodBytes");
        QTest::addColumn<qint64>("ownMessageBytes"); // sent by the client before the flood
        QTest::addColumn<bool>("fails");
        QTest::newRow("ping flood") << qint64(24 << 20) << qint64(0) << false;
        QTest::newRow("our messages never taken") << qint64(24 << 20) << qint64(24 << 20) << true;
    }
    void aPeerThatSendsWithoutReadingCannotGrowTheQueue()
    {
        QFETCH(qint64, floodBytes);
        QFETCH(qint64, ownMessageBytes);
        QFETCH(bool, fails);
        RawPeer peer;
        WebSocketClient client;
        WebSocketClient::Limits limits;
        limits.maxQueuedBytes = 256 * 1024;
        limits.resumeQueuedBytes = 64 * 1024;
        limits.stalledQueue = std::chrono::seconds(2);
        limits.maxMessageBytes = 32 << 20;
        client.setLimits(limits);
        QSignalSpy errors(&client, &WebSocketClient::errorOccurred);
        client.open(peer.url());
        QTRY_VERIFY_WITH_TIMEOUT(client.isOpen(), kWait);
        // From here the peer's socket takes at most 4 KiB off the kernel.
        peer.client->setReadBufferSize(4096);
        QObject::disconnect(peer.client, &QTcpSocket::readyRead, nullptr, nullptr);
        if (ownMessageBytes > 0)
            QCOMPARE(client.sendText(QByteArray(ownMessageBytes, 'm')), ownMessageBytes);

        // 125-byte pings, numbered, written as the peer's kernel takes them.
        qint64 sent = 0, mostQueued = 0;
        quint32 number = 0;
        bool pausedSeen = false;
        const auto refill = [&] {
            mostQueued = std::max(mostQueued, client.bytesToWrite() - ownMessageBytes);
            pausedSeen = pausedSeen || client.isReadingPaused();
            if (!peer.client || peer.client->bytesToWrite() > 256 * 1024 || sent >= floodBytes)
                return;
            QByteArray batch;
            while (batch.size() < 64 * 1024) {
                QByteArray payload = QByteArray::number(++number).leftJustified(125, '.');
                batch += serverFrame(0x89, payload);
            }
            sent += batch.size();
            peer.client->write(batch);
        };
        QObject::connect(peer.client, &QTcpSocket::bytesWritten, &client, refill);
        refill();
        if (fails) {
            // Reading stops, the peer's pings back up, and the link fails.
            QTRY_VERIFY_WITH_TIMEOUT(!errors.isEmpty(), kWait);
            QVERIFY(pausedSeen);
            QCOMPARE(client.error(), QAbstractSocket::SocketTimeoutError);
            QVERIFY(sent < floodBytes);
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(sent >= floodBytes && peer.client->bytesToWrite() == 0, 4 * kWait);
        QVERIFY2(mostQueued <= limits.maxQueuedBytes, QByteArray::number(mostQueued));
        QVERIFY(client.isOpen());
        QVERIFY(errors.isEmpty());
        // The peer reads at last: the last pong answers the last ping.
        peer.client->setReadBufferSize(0);
        const QByteArray last = QByteArray::number(number).leftJustified(125, '.');
        constexpr int kPongFrame = 2 + 4 + 125; // masked
        QByteArray received;
        const auto lastPong = [&] {
            received += peer.client->readAll();
            if (received.size() < kPongFrame || received.size() % kPongFrame != 0)
                return QByteArray();
            QByteArray frame = received.right(kPongFrame);
            maskWebSocketPayload(frame.data() + 6, 125, qFromBigEndian<quint32>(frame.constData() + 2));
            return quint8(frame.at(0)) == 0x8a ? frame.mid(6) : QByteArray();
        };
        QTRY_COMPARE_WITH_TIMEOUT(lastPong(), last, kWait);
        // Every frame the client sent was a pong, far fewer than the pings.
        QVERIFY2(received.size() / kPongFrame < number / 4, QByteArray::number(received.size()));
    }

    void aServerThatBreaksTheProtocolIsClosedWithTheRightCode_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("deflate");
        QTest::newRow("over the size limit") << hex("817f0000000001000000") << 1009 << false;
        QTest::newRow("text not UTF-8") << hex("8102c328") << 1007 << false;
        QTest::newRow("masked frame") << hex("818100000000ff") << 1002 << false;
        QTest::newRow("compressed without the extension") << hex("c107f248cdc9c90700") << 1002 << false;
        // A frame of a few hundred bytes that inflates to 100,000.
        QTest::newRow("inflates over the size limit") << compressedFrame(QByteArray(100000, 'a')) << 1009 << true;
        QTest::newRow("broken compressed stream") << hex("c101ff") << 1007 << true;
    }
    void aServerThatBreaksTheProtocolIsClosedWithTheRightCode()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, code);
        QFETCH(bool, deflate);
        RawPeer peer;
        peer.extensions = deflate ? "permessage-deflate" : "";
        WebSocketClient client;
        client.setPerMessageDeflate(deflate);
        client.setMaxIncomingMessageSize(4096);
        QSignalSpy texts(&client, &WebSocketClient::textReceived);
        QSignalSpy disconnected(&client, &WebSocketClient::disconnected);
        client.open(peer.url());
        QTRY_VERIFY_WITH_TIMEOUT(client.isOpen(), kWait);
        // A good message first, one byte at a time, then the fault.
        const QByteArray good = serverFrame(0x81, "fine");
        for (const char byte : good)
            peer.write(QByteArray(1, byte));
        QTRY_COMPARE_WITH_TIMEOUT(texts.size(), 1, kWait);
        peer.write(bytes);
        // Our close frame names the fault; the peer never answers it, so the
        // client ends the link itself (5 s).
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::ClosingState, kWait);
        // The only frame the client sent: its close, masked.
        QTRY_VERIFY_WITH_TIMEOUT(
            peer.received.size() >= 8 && peer.received.size() == 6 + (quint8(peer.received.at(1)) & 0x7F), kWait);
        QByteArray close = peer.received;
        QCOMPARE(quint8(close.at(0)), quint8(0x88));
        maskWebSocketPayload(close.data() + 6, close.size() - 6, qFromBigEndian<quint32>(close.constData() + 2));
        QCOMPARE(readWebSocketClose(close.mid(6))->code, quint16(code));
        QVERIFY(disconnected.wait(kWait));
        QCOMPARE(client.closeCode(), quint16(code));
        QCOMPARE(texts.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestWebSocketClient)
#include "tst_web_socket_client.moc"
