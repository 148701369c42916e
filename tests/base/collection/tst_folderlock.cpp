// The save folder's lock: one holder at a time, within one process as
// between processes, and nothing left behind in the folder.

#include "base/collection/FolderLock.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using kestrune::FolderLock;

class TestFolderLock : public QObject {
    Q_OBJECT

private slots:
    void oneHolderAtATime()
    {
        QTemporaryDir dir;
        FolderLock first;
        QCOMPARE(first.lock(dir.path()), FolderLock::Outcome::Locked);
        QVERIFY(first.isLocked());
        {
            // A second run of the same process: the folder is taken.
            FolderLock second;
            QCOMPARE(second.lock(dir.path()), FolderLock::Outcome::InUse);
            QVERIFY(!second.isLocked());
            // Another spelling of the same folder is the same folder.
            QCOMPARE(second.lock(dir.path() + QStringLiteral("/./")), FolderLock::Outcome::InUse);
        }
        // Locking again what the object holds is no conflict with itself.
        QCOMPARE(first.lock(dir.path()), FolderLock::Outcome::Locked);
        first.unlock();
        QVERIFY(!first.isLocked());
        {
            FolderLock second;
            QCOMPARE(second.lock(dir.path()), FolderLock::Outcome::Locked);
        } // released by the destructor
        QCOMPARE(first.lock(dir.path()), FolderLock::Outcome::Locked);
        // The lock leaves nothing in the folder.
        QCOMPARE(QDir(dir.path())
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                | QDir::NoDotAndDotDot),
                 QStringList());
    }

    void aFolderThatCannotBeLocked_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << QStringLiteral("no-such-folder")
                                 << QStringLiteral("No such file or directory");
        QTest::newRow("a file") << QStringLiteral("plain.txt") << QStringLiteral("Not a directory");
    }

    void aFolderThatCannotBeLocked()
    {
        QFETCH(QString, name);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("plain.txt")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        FolderLock lock;
        QCOMPARE(lock.lock(dir.filePath(name)), FolderLock::Outcome::NotLocked);
        QVERIFY(!lock.isLocked());
        QCOMPARE(lock.errorText(), reason);
        // A failed attempt gives up what the object held before.
        QCOMPARE(lock.lock(dir.path()), FolderLock::Outcome::Locked);
        QCOMPARE(lock.lock(dir.filePath(name)), FolderLock::Outcome::NotLocked);
        FolderLock other;
        QCOMPARE(other.lock(dir.path()), FolderLock::Outcome::Locked);
    }
};

QTEST_GUILESS_MAIN(TestFolderLock)
#include "tst_folderlock.moc"
