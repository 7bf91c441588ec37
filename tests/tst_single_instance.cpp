// Where the single-instance socket lives: a folder only this user can
// enter, never a shared one where another user could take the name first.
#include "platform/deployment.h"
#include "platform/session/single_instance.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <functional>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace halvex;

namespace {

constexpr QFile::Permissions kOwnerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
constexpr QFile::Permissions kEveryone = kOwnerOnly | QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                         QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;

QFile::Permissions accessBits(const QString &path)
{
    return QFile::permissions(path) & kEveryone;
}

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv
{
public:
    ScopedEnv(const char *name, const QByteArray &value)
        : m_name(name), m_old(qgetenv(name)), m_had(qEnvironmentVariableIsSet(name))
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    ~ScopedEnv()
    {
        if (m_had)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }

private:
    const char *m_name;
    QByteArray m_old;
    bool m_had;
};

QString ownFolderIn(const QString &temp)
{
    return temp + QLatin1Char('/') + appId() + QLatin1Char('-') + QString::number(::getuid());
}

} // namespace

class TstSingleInstance : public QObject
{
    Q_OBJECT

    // A running instance on a thread of its own (ask() blocks this one),
    // answering with `handler`; none when it cannot listen.
    static SingleInstance *runOnThread(QThread &thread, const QString &name,
                                       std::function<void(const QByteArray &, InstanceReply *)> handler)
    {
        thread.start();
        auto *running = new SingleInstance(name);
        running->moveToThread(&thread);
        bool listening = false;
        QMetaObject::invokeMethod(
            running,
            [&] {
                listening = bool(running->listen());
                connect(running, &SingleInstance::requestReceived, running, handler);
            },
            Qt::BlockingQueuedConnection);
        if (listening)
            return running;
        QMetaObject::invokeMethod(
            running, [running] { delete running; }, Qt::BlockingQueuedConnection);
        return nullptr;
    }
private Q_SLOTS:
    void withoutARuntimeFolderAPrivateOneIsMade_data()
    {
        QTest::addColumn<bool>("runtimeSet");
        QTest::newRow("XDG_RUNTIME_DIR unset") << false;
        QTest::newRow("XDG_RUNTIME_DIR open to everyone") << true;
    }
    void withoutARuntimeFolderAPrivateOneIsMade()
    {
        QFETCH(bool, runtimeSet);
        QTemporaryDir temp;
        QTemporaryDir shared;
        QVERIFY(QFile::setPermissions(temp.path(), kEveryone));
        QVERIFY(QFile::setPermissions(shared.path(), kEveryone));
        ScopedEnv tmpdir("TMPDIR", temp.path().toUtf8());
        ScopedEnv runtime("XDG_RUNTIME_DIR", runtimeSet ? shared.path().toUtf8() : QByteArray());

        const Result<QString> folder = SingleInstance::privateRuntimeDirectory();
        QVERIFY2(folder, qPrintable(folder ? QString() : folder.error().description()));
        QCOMPARE(*folder, ownFolderIn(temp.path()));
        QCOMPARE(accessBits(*folder), kOwnerOnly);

        // The instance lives there and works.
        const QString name = SingleInstance::defaultServerName();
        QVERIFY(name.startsWith(*folder + QLatin1Char('/')));
        SingleInstance first;
        QVERIFY(first.listen());
        QSignalSpy requests(&first, &SingleInstance::requestReceived);
        SingleInstance second;
        QVERIFY(second.notifyRunning("show"));
        QVERIFY(requests.wait(15000));
        QVERIFY(!second.listen());
    }

    // A launch that asks gets the first answer line; silence, an endless
    // line and no instance at all are no answer.
    void askWaitsForOneAnswerLine()
    {
        QTemporaryDir dir;
        const QString name = dir.filePath(QStringLiteral("instance"));
        QThread thread;
        SingleInstance *running = runOnThread(thread, name, [](const QByteArray &request, InstanceReply *reply) {
            if (request == "status")
                reply->send(R"({"ok":true})");
            else if (request == "endless")
                reply->send(QByteArray(SingleInstance::maxAnswerLength + 10, 'x'));
        });
        QVERIFY(running);

        SingleInstance launch(name);
        QCOMPARE(launch.ask("status"), std::optional<QByteArray>(R"({"ok":true})"));
        QCOMPARE(launch.ask("status"), std::optional<QByteArray>(R"({"ok":true})")); // one connection each
        QCOMPARE(launch.ask("show", std::chrono::milliseconds(500)), std::nullopt);
        QCOMPARE(launch.ask("endless"), std::nullopt);

        QMetaObject::invokeMethod(
            running, [running] { delete running; }, Qt::BlockingQueuedConnection);
        thread.quit();
        QVERIFY(thread.wait(15000));
        QCOMPARE(launch.ask("status"), std::nullopt);
    }

    // A request line is taken whole up to the limit; a longer one is refused
    // with an error line, and no part of it reaches the handler.
    void requestsAreWholeLinesUpToTheLimit_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("taken");
        QTest::newRow("at the limit") << int(SingleInstance::maxRequestLength) << true;
        QTest::newRow("one byte over") << int(SingleInstance::maxRequestLength + 1) << false;
        QTest::newRow("far over") << int(SingleInstance::maxRequestLength * 40) << false;
    }
    void requestsAreWholeLinesUpToTheLimit()
    {
        QFETCH(int, length);
        QFETCH(bool, taken);
        QTemporaryDir dir;
        QThread thread;
        QList<QByteArray> received; // read once the thread's work is done
        SingleInstance *running = runOnThread(thread, dir.filePath(QStringLiteral("instance")),
                                              [&](const QByteArray &request, InstanceReply *reply) {
                                                  received << request;
                                                  reply->send(QByteArray::number(request.size()));
                                              });
        QVERIFY(running);

        const QByteArray request = QByteArray(length, 'r');
        const std::optional<QByteArray> answer = SingleInstance(running->serverName()).ask(request);
        QVERIFY(answer);
        QMetaObject::invokeMethod(
            running, [running] { delete running; }, Qt::BlockingQueuedConnection);
        thread.quit();
        QVERIFY(thread.wait(15000));
        if (taken) {
            QCOMPARE(*answer, QByteArray::number(length));
            QCOMPARE(received, QList<QByteArray>{request});
        } else {
            QVERIFY(answer->contains("error"));
            QCOMPARE(received, QList<QByteArray>());
        }
    }

    // A watcher that asks and then never reads (a stopped process) is let
    // go once its unread answers pass the cap, not held in memory.
    void aClientThatStopsReadingIsDropped()
    {
        QTemporaryDir dir;
        SingleInstance running(dir.filePath(QStringLiteral("instance")));
        QVERIFY(running.listen());
        QPointer<InstanceReply> watcher;
        connect(&running, &SingleInstance::requestReceived, &running,
                [&](const QByteArray &, InstanceReply *reply) { watcher = reply; });

        const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        QVERIFY(client >= 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray path = QFile::encodeName(running.serverName());
        QVERIFY(path.size() < qsizetype(sizeof(address.sun_path)));
        std::copy(path.cbegin(), path.cend(), address.sun_path);
        QCOMPARE(::connect(client, reinterpret_cast<const sockaddr *>(&address), sizeof(address)), 0);
        QCOMPARE(::write(client, "watch\n", 6), ssize_t(6));
        QTRY_VERIFY_WITH_TIMEOUT(watcher, 15000);

        const QByteArray update(16 * 1024, 'u');
        qint64 sent = 0;
        QVERIFY(QTest::qWaitFor(
            [&] {
                if (watcher) {
                    watcher->send(update);
                    sent += update.size();
                }
                return watcher.isNull() || sent > 64 * 1024 * 1024;
            },
            60000));
        ::close(client);
        QVERIFY(watcher.isNull());
        // The cap, the kernel's buffers and one update at most.
        QVERIFY2(sent < 16 * 1024 * 1024, qPrintable(QString::number(sent)));
    }

    void aPrivateRuntimeFolderIsUsedAsItIs()
    {
        QTemporaryDir runtimeDir;
        QVERIFY(QFile::setPermissions(runtimeDir.path(), kOwnerOnly));
        ScopedEnv runtime("XDG_RUNTIME_DIR", runtimeDir.path().toUtf8());
        QCOMPARE(SingleInstance::privateRuntimeDirectory().valueOr({}), runtimeDir.path());
    }

    void aFolderSomeoneElsePreparedIsRefused_data()
    {
        QTest::addColumn<QString>("planted");
        QTest::newRow("open to everyone") << QStringLiteral("open");
        QTest::newRow("a link to another folder") << QStringLiteral("link");
        QTest::newRow("a file") << QStringLiteral("file");
    }
    void aFolderSomeoneElsePreparedIsRefused()
    {
        QFETCH(QString, planted);
        QTemporaryDir temp;
        QTemporaryDir elsewhere;
        QVERIFY(QFile::setPermissions(elsewhere.path(), kOwnerOnly));
        const QString own = ownFolderIn(temp.path());
        if (planted == QLatin1String("open")) {
            QVERIFY(QDir().mkdir(own));
            QVERIFY(QFile::setPermissions(own, kEveryone));
        } else if (planted == QLatin1String("link")) {
            QVERIFY(QFile::link(elsewhere.path(), own));
        } else {
            QFile file(own);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        ScopedEnv tmpdir("TMPDIR", temp.path().toUtf8());
        ScopedEnv runtime("XDG_RUNTIME_DIR", QByteArray());

        QVERIFY(!SingleInstance::privateRuntimeDirectory());
        // No socket anywhere shared: the instance says why it cannot listen.
        QCOMPARE(SingleInstance::defaultServerName(), QString());
        SingleInstance instance;
        const Result<Done> listening = instance.listen();
        QVERIFY(!listening);
        QVERIFY(!instance.isListening());
        QVERIFY(!instance.notifyRunning("show"));
        QCOMPARE(QDir(elsewhere.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }
};

QTEST_GUILESS_MAIN(TstSingleInstance)
#include "tst_single_instance.moc"
