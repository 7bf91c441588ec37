// Whose loopback port a credential may go to, against real listeners: this
// process's own, and ones run as "nobody" through setpriv (those rows need
// root and skip otherwise). Both sources of the lookup must agree on every
// listener's owner.
#include "loopback.h"
#include "platform/net/listener_owner.h"

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

private:
    // Starts a listener run as "nobody"; its port, or 0 after QSKIP/QVERIFY.
    quint16 startNobodysListener(const Listen &listen, quint16 port)
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
        process->start(setpriv,
                       {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                        QStringLiteral("--clear-groups"), python, QStringLiteral("-c"), kListenerScript, listen.address,
                        QString::number(port), listen.v6Only ? QStringLiteral("1") : QStringLiteral("0")});
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
