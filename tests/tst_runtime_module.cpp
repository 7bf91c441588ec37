// Loading a runtime module: its build note is read from the file first, and
// a module of another build, one without a note or a file that is no module
// is refused before any of its code runs (its constructor leaves a mark).
#include "platform/session/runtime_module.h"

#include <QFile>
#include <QLibrary>
#include <QTemporaryDir>
#include <QTest>

using namespace halvex;

class TstRuntimeModule : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void onlyAModuleOfThisBuildRuns_data()
    {
        QTest::addColumn<QString>("source"); // the file put in place as the module
        QTest::addColumn<qint64>("keep");    // its first bytes only; -1: all
        QTest::addColumn<bool>("loads");
        QTest::addColumn<QString>("problem");
        QTest::newRow("this build") << QStringLiteral(HALVEX_PROBE_THIS) << qint64(-1) << true << QString();
        QTest::newRow("another build") << QStringLiteral(HALVEX_PROBE_OTHER) << qint64(-1) << false
                                       << QStringLiteral("belongs to build another-build, not ");
        QTest::newRow("no build note") << QStringLiteral(HALVEX_PROBE_NONE) << qint64(-1) << false
                                       << QStringLiteral("carries no build note");
        QTest::newRow("cut short") << QStringLiteral(HALVEX_PROBE_THIS) << qint64(200) << false
                                   << QStringLiteral("is not a shared object");
        QTest::newRow("not a module") << QString() << qint64(-1) << false << QStringLiteral("is not a shared object");
    }

    void onlyAModuleOfThisBuildRuns()
    {
        QFETCH(QString, source);
        QFETCH(qint64, keep);
        QFETCH(bool, loads);
        QFETCH(QString, problem);
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QString marker = folder.filePath(QStringLiteral("marker"));
        qputenv("HALVEX_PROBE_MARKER", QFile::encodeName(marker));
        qputenv("HALVEX_MODULE_DIR", QFile::encodeName(folder.path()));

        QByteArray bytes = "#!/bin/sh\necho not a module\n";
        if (!source.isEmpty()) {
            QFile built(source);
            QVERIFY(built.open(QIODevice::ReadOnly));
            bytes = keep < 0 ? built.readAll() : built.read(keep);
        }
        QFile module(folder.filePath(QStringLiteral("halvex-probe.so")));
        QVERIFY(module.open(QIODevice::WriteOnly));
        QCOMPARE(module.write(bytes), bytes.size());
        module.close();

        const RuntimeModule::Loaded loaded = RuntimeModule::load("halvex-probe.so", "halvex_probe_version", {});
        QCOMPARE(loaded.library != nullptr, loads);
        QCOMPARE(QFile::exists(marker), loads);
        if (loads) {
            QVERIFY(loaded.problem.isEmpty());
            QVERIFY(loaded.resolve("halvex_probe_version"));
        } else {
            QVERIFY2(loaded.problem.contains(problem), qPrintable(loaded.problem));
            QVERIFY2(loaded.problem.contains(module.fileName()), qPrintable(loaded.problem));
        }
        delete loaded.library; // stays loaded: only the handle goes
    }
};

QTEST_GUILESS_MAIN(TstRuntimeModule)
#include "tst_runtime_module.moc"
