// The headless bridge's application object: Qt's own Unix event loop unless
// the user chose otherwise, and nothing of that choice passed on to the
// processes the bridge starts.
#include "platform/session/headless_application.h"

#include <QAbstractEventDispatcher>
#include <QProcess>
#include <QTest>

#include <cstdio>
#include <cstring>

using namespace halvex;

namespace {

QByteArray dispatcherName()
{
    return QAbstractEventDispatcher::instance()->metaObject()->className();
}

} // namespace

class TstHeadlessApplication : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void runsOnQtsOwnEventLoopAndPassesNothingOn()
    {
        QCOMPARE(dispatcherName(), QByteArray("QEventDispatcherUNIX"));
        QVERIFY(!qEnvironmentVariableIsSet("QT_NO_GLIB"));
        QProcess child;
        child.start(QStringLiteral("/usr/bin/env"), {});
        QVERIFY(child.waitForFinished(60000));
        QVERIFY(!child.readAllStandardOutput().contains("QT_NO_GLIB"));
    }

    void theUsersChoiceStands()
    {
        for (const QByteArray &choice : {QByteArray(""), QByteArray("1")}) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("QT_NO_GLIB"), QString::fromLatin1(choice));
            QProcess child;
            child.setProcessEnvironment(env);
            child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--report")});
            QVERIFY(child.waitForFinished(60000));
            const QByteArray report = child.readAllStandardOutput();
            // An empty QT_NO_GLIB keeps GLib's loop, as Qt reads it; and the
            // choice stays in the environment for the processes it starts.
            QCOMPARE(report, (choice.isEmpty() ? QByteArray("QEventDispatcherGlib set")
                                               : QByteArray("QEventDispatcherUNIX set")));
        }
    }
};

int main(int argc, char **argv)
{
    const std::unique_ptr<QCoreApplication> app = makeHeadlessApplication(argc, argv);
    if (argc == 2 && std::strcmp(argv[1], "--report") == 0) {
        std::printf("%s %s", dispatcherName().constData(), qEnvironmentVariableIsSet("QT_NO_GLIB") ? "set" : "unset");
        return 0;
    }
    TstHeadlessApplication test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_headless_application.moc"
