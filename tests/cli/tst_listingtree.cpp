// The walk of a listing's sub-folders: which links it follows, how it tells
// a folder reached twice, and the local folders it makes.

#include "cli/ListingTree.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

using namespace kestrune::cli;

class TestListingTree : public QObject {
    Q_OBJECT

private slots:
    void followsOnlyFoldersBelowTheListing_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("page");
        QTest::addColumn<bool>("below");
        const QString page = QStringLiteral("http://web01/LogFiles/");
        QTest::newRow("site") << "http://web01/LogFiles/W3SVC1/" << page << true;
        QTest::newRow("two down") << "http://web01/LogFiles/a/b/" << page << true;
        QTest::newRow("from the page's file name") << "http://web01/LogFiles/W3SVC1/"
                                                   << "http://web01/LogFiles/default.aspx" << true;
        QTest::newRow("the folder itself") << "http://web01/LogFiles/" << page << false;
        QTest::newRow("itself, dot segment") << "http://web01/LogFiles/a/../" << page << false;
        QTest::newRow("up") << "http://web01/" << page << false;
        QTest::newRow("beside") << "http://web01/Other/W3SVC1/" << page << false;
        QTest::newRow("name sharing the start") << "http://web01/LogFilesX/a/" << page << false;
        QTest::newRow("a file") << "http://web01/LogFiles/a.log" << page << false;
        QTest::newRow("other host") << "http://web02/LogFiles/a/" << page << false;
        QTest::newRow("other port") << "http://web01:8080/LogFiles/a/" << page << false;
        QTest::newRow("default port written") << "http://web01:80/LogFiles/a/" << page << true;
        QTest::newRow("other scheme") << "https://web01/LogFiles/a/" << page << false;
        QTest::newRow("host case") << "http://WEB01/LogFiles/a/" << page << true;
    }

    void followsOnlyFoldersBelowTheListing()
    {
        QFETCH(QString, link);
        QFETCH(QString, page);
        QFETCH(bool, below);
        QCOMPARE(isBelowFolderOf(QUrl(link), QUrl(page)), below);
    }

    void oneKeyForEverySpellingOfAFolder()
    {
        const QString key = folderKey(QUrl(QStringLiteral("http://web01/LogFiles/W3SVC1/")));
        for (const char *spelling :
             {"HTTP://Web01:80/LogFiles/W3SVC1/", "http://web01/LogFiles/%57%33SVC1/",
              "http://web01/LogFiles//W3SVC1/", "http://web01/LogFiles/x/../W3SVC1/",
              "http://web01/LogFiles/W3SVC1/?C=N;O=D", "http://web01/LogFiles/W3SVC1"})
            QCOMPARE(folderKey(QUrl(QString::fromLatin1(spelling))), key);
        QVERIFY(folderKey(QUrl(QStringLiteral("http://web01/LogFiles/W3SVC2/"))) != key);
        QVERIFY(folderKey(QUrl(QStringLiteral("https://web01/LogFiles/W3SVC1/"))) != key);
        QCOMPARE(subFolderName(QUrl(QStringLiteral("http://web01/LogFiles/%E6%97%A5/"))),
                 QStringLiteral("日"));
    }

    // Folders are made name by name; none that is a link is entered, and a
    // file of the name is no folder.
    void makesPlainFoldersOnly()
    {
        QTemporaryDir root;
        QTemporaryDir elsewhere;
        QCOMPARE(makeSubFolder(root.path(), QStringLiteral("W3SVC1/deep")), QString());
        QVERIFY(QFileInfo(root.filePath(QStringLiteral("W3SVC1/deep"))).isDir());
        QCOMPARE(makeSubFolder(root.path(), QStringLiteral("W3SVC1")), QString()); // again

        QVERIFY(QFile::link(elsewhere.path(), root.filePath(QStringLiteral("link"))));
        QVERIFY(QFile::link(root.filePath(QStringLiteral("gone")),
                            root.filePath(QStringLiteral("dangling"))));
        QVERIFY(QFile(root.filePath(QStringLiteral("file"))).open(QIODevice::WriteOnly));
        for (const char *sub : {"link", "link/x", "dangling", "dangling/x", "file", "file/x"}) {
            const QString why = makeSubFolder(root.path(), QString::fromLatin1(sub));
            QVERIFY2(!why.isEmpty(), sub);
        }
        QCOMPARE(QDir(elsewhere.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList());
        QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("gone"))));
        for (const char *sub : {"..", "a/../..", ".", "a\\b"})
            QVERIFY2(!makeSubFolder(root.path(), QString::fromLatin1(sub)).isEmpty(), sub);
        QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("a"))));
    }
};

QTEST_GUILESS_MAIN(TestListingTree)
#include "tst_listingtree.moc"
