// The temporary files of the copies: a body in work has no name in the save
// folder where the file system allows it, and a run removes the temporary
// files a killed run left, never one another writer still holds.

#include "base/transfer/LocalFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace kestrune::transfer;

class TestLocalFile : public QObject {
    Q_OBJECT

    static QStringList entries(const QString &folder)
    {
        return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                          | QDir::NoDotAndDotDot,
                                      QDir::Name);
    }

    static bool put(const QString &path, const QByteArray &bytes)
    {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    }

private slots:
    void staleTemporaryFiles_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind"); // file, held, link, folder
        QTest::addColumn<bool>("removed");
        const QString ours = QStringLiteral(".kestrune-0123456789abcdef.part");
        QTest::newRow("left by a killed run") << ours << "file" << true;
        QTest::newRow("held by its writer") << ours << "held" << false;
        QTest::newRow("a link of that name") << ours << "link" << false;
        QTest::newRow("a folder of that name") << ours << "folder" << false;
        QTest::newRow("capital digits") << ".kestrune-0123456789ABCDEF.part"
                                        << "file" << false;
        QTest::newRow("short") << ".kestrune-0123456789abcde.part"
                               << "file" << false;
        QTest::newRow("no dot") << "kestrune-0123456789abcdef.part"
                                << "file" << false;
        QTest::newRow("longer") << ".kestrune-0123456789abcdef.part.bak"
                                << "file" << false;
        QTest::newRow("a copy") << "u_ex261201.log"
                                << "file" << false;
    }

    void staleTemporaryFiles()
    {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(bool, removed);
        QTemporaryDir folder;
        QTemporaryDir outside;
        const QString path = folder.filePath(name);
        const QString target = outside.filePath("target.log");
        QVERIFY(put(target, "outside"));
        int held = -1;
        if (kind == "link") {
            QVERIFY(QFile::link(target, path));
        } else if (kind == "folder") {
            QVERIFY(QDir(folder.path()).mkdir(name));
        } else {
            QVERIFY(put(path, "part of a body"));
            if (kind == "held") {
                // Another writer: an open file of its own, locked.
                held = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
                QVERIFY(held >= 0);
                QCOMPARE(::flock(held, LOCK_EX | LOCK_NB), 0);
            }
        }
        QVERIFY(put(folder.filePath("kept.log"), "a copy"));

        RemoveStaleTemporaryFiles(folder.path());
        if (held >= 0)
            ::close(held);

        QStringList expected = removed ? QStringList{"kept.log"} : QStringList{name, "kept.log"};
        expected.sort();
        QCOMPARE(entries(folder.path()), expected);
        QCOMPARE(entries(outside.path()), QStringList{"target.log"});
    }

    // A body in work leaves no name in the folder (this file system makes
    // files without one), a run starting meanwhile leaves it alone, and the
    // commit puts the whole body in place under its own name only.
    void bodyInWorkHasNoName_data()
    {
        QTest::addColumn<bool>("replacing");
        QTest::newRow("new copy") << false;
        QTest::newRow("replacing a copy") << true;
    }

    void bodyInWorkHasNoName()
    {
        QFETCH(bool, replacing);
        QTemporaryDir folder;
        if (replacing)
            QVERIFY(put(folder.filePath("a.log"), "yesterday"));
        const QStringList before = entries(folder.path());
        LocalCopyWriter writer;
        QVERIFY2(writer.open(folder.path(), QStringLiteral("a.log")),
                 qPrintable(writer.errorString()));
        const QByteArray body = QByteArray(600 * 1024, 'x') + "end";
        QCOMPARE(writer.write(body), qint64(body.size()));
        QCOMPARE(entries(folder.path()), before);
        RemoveStaleTemporaryFiles(folder.path());
        QVERIFY2(writer.commit(), qPrintable(writer.errorString()));
        QCOMPARE(entries(folder.path()), QStringList{"a.log"});
        QFile copy(folder.filePath("a.log"));
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), body);
    }

    void cancelledBodyLeavesNothing()
    {
        QTemporaryDir folder;
        {
            LocalCopyWriter writer;
            QVERIFY(writer.open(folder.path(), QStringLiteral("a.log")));
            QCOMPARE(writer.write(QByteArray(300 * 1024, 'y')), qint64(300 * 1024));
            writer.cancel();
        }
        {
            LocalCopyWriter writer; // dropped without a word
            QVERIFY(writer.open(folder.path(), QStringLiteral("b.log")));
            QCOMPARE(writer.write(QByteArray(300 * 1024, 'z')), qint64(300 * 1024));
        }
        QCOMPARE(entries(folder.path()), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestLocalFile)
#include "tst_localfile.moc"
