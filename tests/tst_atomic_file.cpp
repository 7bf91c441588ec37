// The atomic file writer: the mode each writer asks for (whatever the file
// had before), the old content whole when a write fails, and no staged file
// left behind either way.
#include "platform/atomic_file.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace halvex;

class AtomicFileTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void writesWithTheAskedModeOverAnyOldFile_data()
    {
        QTest::addColumn<int>("permissionBits");
        QTest::addColumn<bool>("existing");
        const QFileDevice::Permissions privateFile = QFile::ReadOwner | QFile::WriteOwner;
        const QFileDevice::Permissions sharedFile = privateFile | QFile::ReadGroup | QFile::ReadOther;
        QTest::newRow("private, new") << int(privateFile.toInt()) << false;
        QTest::newRow("private over a world-readable file") << int(privateFile.toInt()) << true;
        QTest::newRow("world-readable, new") << int(sharedFile.toInt()) << false;
    }
    void writesWithTheAskedModeOverAnyOldFile()
    {
        QFETCH(int, permissionBits);
        const auto permissions = QFileDevice::Permissions::fromInt(permissionBits);
        QFETCH(bool, existing);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("file.json"));
        if (existing) {
            QFile old(path);
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write("old");
            old.close();
            QVERIFY(old.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther |
                                       QFile::WriteOther));
        }
        QVERIFY(writeFileAtomically(path, "new", permissions).ok());
        QFile written(path);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), QByteArray("new"));
        QCOMPARE(written.permissions() & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser), permissions);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("file.json")});
    }

    void aFailedOrDroppedWriteLeavesTheOldFileAndNothingElse()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("file.json"));
        QVERIFY(writeFileAtomically(path, "old", QFile::ReadOwner | QFile::WriteOwner).ok());

        // Its folder is gone: an error, nothing written.
        const Result<Done> failed =
            writeFileAtomically(dir.filePath(QStringLiteral("missing/file.json")), "new", QFile::ReadOwner);
        QVERIFY(!failed.ok());
        QVERIFY(!failed.error().description().isEmpty());
        {
            StagedFile staged;
            QVERIFY(staged.write(path, "new", QFile::ReadOwner | QFile::WriteOwner).ok());
        } // never moved into place
        QFile kept(path);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("old"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("file.json")});
    }
};

QTEST_GUILESS_MAIN(AtomicFileTest)
#include "tst_atomic_file.moc"
