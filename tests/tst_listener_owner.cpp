// Whose loopback port a credential may go to, against real listeners: this
// process's own, and ones run as "nobody" through setpriv (those rows need
// root and skip otherwise). Both sources of the lookup must agree on every
// listener's owner. And a squatter run as "nobody" on the gateway's port,
// posing as the gateway, receives no token, device token or chat from the
// gateway link, the HTTP chat path or the probe.
#include "gateway/device_tokens.h"
#include "gateway/gateway_probe.h"
#include "gateway/gateway_target.h"
#include "gateway/gateway_web_socket.h"
#include "gateway_timings.h"
#include "loopback.h"
#include "platform/net/http_stream.h"
#include "platform/net/listener_owner.h"
#include "platform/secrets/credential_store.h"
#include "platform/secrets/secret_backend.h"
#include "wait_for_result.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>

#include <memory>
#include <vector>

#include <unistd.h>

using namespace halvex;
using namespace halvex::test;

namespace {

constexpr int kWait = 30000;
constexpr uint kNobody = 65534;

// A listener on `address`; the first of a row takes any free port, the
// others share it.
struct Listen {
    bool nobody = false;
    QString address;
    bool v6Only = false;
};

// Binds, listens, prints its port and stays until its input closes.
const QString kListenerScript = QStringLiteral("import socket, sys\n"
                                               "host, port, v6only = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])\n"
                                               "s = socket.socket(socket.AF_INET6 if ':' in host else socket.AF_INET)\n"
                                               "if ':' in host:\n"
                                               "    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, v6only)\n"
                                               "s.bind((host, port))\n"
                                               "s.listen()\n"
                                               "print(s.getsockname()[1], flush=True)\n"
                                               "sys.stdin.read()\n");

// Takes every connection on a loopback port and writes what it receives,
// hex-encoded, one line per piece; to a WebSocket upgrade it answers like
// the gateway, with a connect challenge, and writes each frame unmasked; a
// GET (the health probe) gets 200.
const QString kSquatterScript = QStringLiteral(
    "import base64, hashlib, socket, sys, threading\n"
    "s = socket.socket()\n"
    "s.bind(('127.0.0.1', 0))\n"
    "s.listen()\n"
    "print(s.getsockname()[1], flush=True)\n"
    "out = threading.Lock()\n"
    "def note(data):\n"
    "    with out:\n"
    "        sys.stdout.write(data.hex() + '\\n')\n"
    "        sys.stdout.flush()\n"
    "def exactly(c, n):\n"
    "    data = b''\n"
    "    while len(data) < n:\n"
    "        more = c.recv(n - len(data))\n"
    "        if not more:\n"
    "            raise EOFError\n"
    "        data += more\n"
    "    return data\n"
    "def serve(c):\n"
    "    c.settimeout(20)\n"
    "    try:\n"
    "        head = b''\n"
    "        while b'\\r\\n\\r\\n' not in head and len(head) < 65536:\n"
    "            more = c.recv(65536)\n"
    "            if not more:\n"
    "                break\n"
    "            head += more\n"
    "        note(head)\n"
    "        keys = [l.split(b':', 1)[1].strip() for l in head.split(b'\\r\\n') if "
    "l.lower().startswith(b'sec-websocket-key:')]\n"
    "        if not keys and head.startswith(b'GET '):\n"
    "            c.sendall(b'HTTP/1.1 200 OK\\r\\nContent-Length: 2\\r\\nConnection: close\\r\\n\\r\\n{}')\n"
    "            return\n"
    "        if not keys:\n"
    "            while True:\n"
    "                more = c.recv(65536)\n"
    "                if not more:\n"
    "                    break\n"
    "                note(more)\n"
    "            return\n"
    "        accept = base64.b64encode(hashlib.sha1(keys[0] + b'258EAFA5-E914-47DA-95CA-C5AB0DC85B11').digest())\n"
    "        c.sendall(b'HTTP/1.1 101 Switching Protocols\\r\\nUpgrade: websocket\\r\\nConnection: Upgrade\\r\\n'\n"
    "                  b'Sec-WebSocket-Accept: ' + accept + b'\\r\\n\\r\\n')\n"
    "        challenge = "
    "b'{\"type\":\"event\",\"event\":\"connect.challenge\",\"payload\":{\"nonce\":\"n-1\",\"ts\":1}}'\n"
    "        c.sendall(bytes([0x81, len(challenge)]) + challenge)\n"
    "        while True:\n"
    "            h = exactly(c, 2)\n"
    "            n = h[1] & 0x7f\n"
    "            if n == 126:\n"
    "                n = int.from_bytes(exactly(c, 2), 'big')\n"
    "            elif n == 127:\n"
    "                n = int.from_bytes(exactly(c, 8), 'big')\n"
    "            mask = exactly(c, 4) if h[1] & 0x80 else bytes(4)\n"
    "            payload = exactly(c, n)\n"
    "            note(bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))\n"
    "    except Exception:\n"
    "        pass\n"
    "    finally:\n"
    "        c.close()\n"
    "while True:\n"
    "    c, _ = s.accept()\n"
    "    threading.Thread(target=serve, args=(c,), daemon=True).start()\n");

const QString kHeld = QStringLiteral(
    "The gateway address %2:%1 is held by the user \"nobody\" (uid 65534), not by you: nothing secret is sent there. "
    "If that account runs your gateway, trust it with: halvex-bridge gateway owner nobody");
const QString kNothing =
    QStringLiteral("Cannot tell who listens on %2:%1 (nothing listens there): nothing secret is sent there.");

Listen mine(const char *address)
{
    return {false, QLatin1String(address)};
}
Listen nobodys(const char *address, bool v6Only = false)
{
    return {true, QLatin1String(address), v6Only};
}

} // namespace

Q_DECLARE_METATYPE(Listen)

class TestListenerOwner : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanup()
    {
        for (const std::unique_ptr<QProcess> &process : m_others) {
            process->kill();
            process->waitForFinished(kWait);
        }
        m_others.clear();
        m_mine.clear();
    }

    void credentialsGoOnlyToTrustedListeners_data()
    {
        QTest::addColumn<QList<Listen>>("listeners");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QStringList>("confirmed");
        QTest::addColumn<QString>("refusal"); // %1: the port; empty when allowed

        const QString v4 = QStringLiteral("127.0.0.1");
        const QString held = kHeld.arg(QStringLiteral("%1"), v4);
        QTest::newRow("this user's") << QList{mine("127.0.0.1")} << v4 << QStringList() << QString();
        QTest::newRow("another account's") << QList{nobodys("127.0.0.1")} << v4 << QStringList() << held;
        QTest::newRow("another account's, by its IPv4-mapped address")
            << QList{nobodys("127.0.0.1")} << QStringLiteral("::ffff:127.0.0.1") << QStringList() << held;
        QTest::newRow("confirmed by name")
            << QList{nobodys("127.0.0.1")} << v4 << QStringList{QStringLiteral("nobody")} << QString();
        QTest::newRow("confirmed by uid")
            << QList{nobodys("127.0.0.1")} << v4 << QStringList{QStringLiteral("65534")} << QString();
        QTest::newRow("other accounts confirmed")
            << QList{nobodys("127.0.0.1")} << v4
            << QStringList{QStringLiteral("daemon"), QStringLiteral("no-such-account"), QStringLiteral("1")} << held;
        QTest::newRow("an IPv6 wildcard taking IPv4") << QList{nobodys("::")} << v4 << QStringList() << held;
        QTest::newRow("an IPv6-only wildcard does not take IPv4")
            << QList{nobodys("::", true)} << v4 << QStringList() << kNothing.arg(QStringLiteral("%1"), v4);
        // The procNet source cannot see IPV6_V6ONLY: there the more specific
        // bind must win.
        QTest::newRow("an IPv6-only wildcard leaves IPv4 alone")
            << QList{nobodys("::", true), mine("127.0.0.1")} << v4 << QStringList() << QString();
        QTest::newRow("localhost: another account on ::1")
            << QList{nobodys("::1", true), mine("127.0.0.1")} << QStringLiteral("localhost") << QStringList()
            << kHeld.arg(QStringLiteral("%1"), QStringLiteral("[::1]"));
        QTest::newRow("localhost: this user on 127.0.0.1 alone")
            << QList{mine("127.0.0.1")} << QStringLiteral("localhost") << QStringList() << QString();
        QTest::newRow("nothing listens") << QList<Listen>() << v4 << QStringList()
                                         << kNothing.arg(QStringLiteral("%1"), v4);
        QTest::newRow("localhost: nothing listens") << QList<Listen>() << QStringLiteral("localhost") << QStringList()
                                                    << kNothing.arg(QStringLiteral("%1"), QStringLiteral("localhost"));
        QTest::newRow("not a loopback host")
            << QList<Listen>() << QStringLiteral("192.0.2.1") << QStringList() << QString();
    }

    void credentialsGoOnlyToTrustedListeners()
    {
        QFETCH(QList<Listen>, listeners);
        QFETCH(QString, host);
        QFETCH(QStringList, confirmed);
        QFETCH(QString, refusal);

        quint16 port = listeners.isEmpty() ? closedLoopbackPort() : 0;
        for (const Listen &listen : std::as_const(listeners)) {
            const QHostAddress address(listen.address);
            if (listen.nobody) {
                port = startNobodysListener(listen, port);
                if (QTest::currentTestFailed() || port == 0)
                    return; // failed or skipped
            } else {
                auto &server = m_mine.emplace_back(std::make_unique<QTcpServer>());
                QVERIFY2(server->listen(address, port), qPrintable(server->errorString()));
                port = server->serverPort();
            }
            // Both sources know whose socket it is.
            const uint owner = listen.nobody ? kNobody : ::getuid();
            QTRY_COMPARE_WITH_TIMEOUT(listenerOwnerUid(address, port).valueOr(~0u), owner, kWait);
            QCOMPARE(listenerOwnerUid(address, port, ListenerSource::socketDiag).valueOr(~0u), owner);
            QCOMPARE(listenerOwnerUid(address, port, ListenerSource::procNet).valueOr(~0u), owner);
        }

        QUrl endpoint;
        endpoint.setScheme(QStringLiteral("ws"));
        endpoint.setHost(host);
        endpoint.setPort(port);
        const std::optional<QString> got = loopbackCredentialRefusal(endpoint, confirmed);
        if (refusal.isEmpty())
            QVERIFY2(!got, qPrintable(got.value_or(QString())));
        else
            QCOMPARE(got.value_or(QStringLiteral("(allowed)")), refusal.arg(port));
        if (listeners.isEmpty()) // and the lookup fails rather than name anyone
            QVERIFY(!listenerOwnerUid(QHostAddress(QHostAddress::LocalHost), port).ok());
    }

    void aSquatterGetsNoSecret()
    {
        const quint16 port = startNobodysProcess({QStringLiteral("-c"), kSquatterScript});
        if (QTest::currentTestFailed() || port == 0)
            return;
        QProcess &squatter = *m_others.back();
        const QString gatewayToken = QStringLiteral("gw-master-secret");
        const QString deviceToken = QStringLiteral("device-secret");
        const QByteArray chat = "{\"messages\":[{\"role\":\"user\",\"content\":\"my private words\"}]}";
        GatewayTarget target;
        target.endpoint = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port));
        target.token = gatewayToken;
        CredentialStore credentials(std::make_unique<MemorySecretBackend>());
        // As if the real gateway had granted a device token on this port.
        QVERIFY(DeviceTokens(&credentials).save(target.credentialOrigin(), deviceToken));

        // The gateway link: challenged, it answers nothing and says whose port it is.
        GatewayWebSocket link(&credentials, fastGatewayTimings());
        link.connect(target.endpoint, target.token);
        QTRY_VERIFY_WITH_TIMEOUT(link.state().errorText().contains(QLatin1String("\"nobody\" (uid 65534)")), kWait);
        link.disconnect();

        // The HTTP chat path: refused before a byte of the request is written.
        HttpStream post(target.endpoint.resolved(QUrl(QStringLiteral("/v1/chat/completions"))), "POST",
                        {{"Authorization", "Bearer " + gatewayToken.toUtf8()}}, chat,
                        HttpStream::Limits{std::chrono::milliseconds(kWait)});
        post.start();
        QTRY_VERIFY_WITH_TIMEOUT(post.isFinished(), kWait);
        QVERIFY(post.failure().value_or(QString()).contains(QLatin1String("\"nobody\"")));

        // The probe: it answers (GET /healthz carries nothing), but is not ours.
        GatewayProbeOptions options;
        options.timeout = std::chrono::seconds(3);
        options.handshake = true;
        options.credentials = &credentials;
        const GatewayProbe probe = waitForResult(probeGateway(target, options));
        QVERIFY(probe.listenerRefusal.contains(QLatin1String("\"nobody\"")));
        QCOMPARE(probe.listenerOwner, QStringLiteral("nobody"));

        // What the squatter got, all of it: no secret, no chat.
        QByteArray received;
        for (const QByteArray &line : squatter.readAllStandardOutput().split('\n'))
            received += QByteArray::fromHex(line) + '\n';
        QVERIFY(!received.isEmpty()); // it was asked: the test is not empty
        for (const QByteArray &secret : {gatewayToken.toUtf8(), deviceToken.toUtf8(), QByteArray("my private words")})
            QVERIFY2(!received.contains(secret), received.constData());
    }

private:
    // Starts a listener run as "nobody"; its port, or 0 after QSKIP/QVERIFY.
    quint16 startNobodysListener(const Listen &listen, quint16 port)
    {
        return startNobodysProcess({QStringLiteral("-c"), kListenerScript, listen.address, QString::number(port),
                                    listen.v6Only ? QStringLiteral("1") : QStringLiteral("0")});
    }

    // Runs the system python3 as "nobody" with `arguments`; the port it
    // prints first, or 0 after QSKIP/QVERIFY.
    quint16 startNobodysProcess(const QStringList &arguments)
    {
        if (::geteuid() != 0) {
            QTest::qSkip("a listener of another account needs root to start it", __FILE__, __LINE__);
            return 0;
        }
        // The system's own interpreter: one under root's home is out of
        // nobody's reach.
        const QString python = QStandardPaths::findExecutable(
            QStringLiteral("python3"),
            {QStringLiteral("/usr/bin"), QStringLiteral("/bin"), QStringLiteral("/usr/local/bin")});
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (python.isEmpty() || setpriv.isEmpty()) {
            QTest::qSkip("setpriv and a system python3 are needed to listen as another account", __FILE__, __LINE__);
            return 0;
        }
        auto &process = m_others.emplace_back(std::make_unique<QProcess>());
        process->setWorkingDirectory(QStringLiteral("/"));
        process->start(setpriv, QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                            QStringLiteral("--clear-groups"), python} +
                                    arguments);
        [&] { QTRY_VERIFY_WITH_TIMEOUT(process->canReadLine() || process->state() == QProcess::NotRunning, kWait); }();
        if (QTest::currentTestFailed())
            return 0;
        const quint16 listening = process->readLine().trimmed().toUShort();
        if (listening == 0)
            QTest::qFail(qPrintable(QStringLiteral("the listener did not start: ") +
                                    QString::fromLocal8Bit(process->readAllStandardError())),
                         __FILE__, __LINE__);
        return listening;
    }

    std::vector<std::unique_ptr<QTcpServer>> m_mine;
    std::vector<std::unique_ptr<QProcess>> m_others;
};

QTEST_GUILESS_MAIN(TestListenerOwner)
#include "tst_listener_owner.moc"
