// kestrune-collect against nginx's own directory listing (its "../" and
// sub-folder links), and the server's time of a file on its local copy.

#include "E2eSupport.h"
#include "NginxFixture.h"

#include <QDateTime>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace e2e;

namespace {

const QString kStart = QStringLiteral("○ IISログダウンロード開始。\t");
const QString kEnd = QStringLiteral("○ IISログダウンロード終了。\t");

// Sets a served file's modification time the way an operator would.
bool touchServed(const NginxFixture &nginx, const QString &relative, const QString &date)
{
    QProcess touch;
    touch.start(QStringLiteral("touch"), {QStringLiteral("-d"), date, nginx.path(relative)});
    return touch.waitForFinished(10000) && touch.exitStatus() == QProcess::NormalExit
           && touch.exitCode() == 0;
}

QDateTime modified(const QString &path)
{
    return QFileInfo(path).lastModified().toUTC();
}

} // namespace

class TestE2eLinks : public QObject {
    Q_OBJECT

    NginxFixture m_nginx;

private slots:
    void initTestCase()
    {
        QVERIFY(QFileInfo(collectProgram()).isExecutable());
        m_nginx.addServerConfig(QStringLiteral("location /auto/ { autoindex on; }"));
        if (!m_nginx.start())
            QSKIP(qPrintable(m_nginx.errorString()));
        QVERIFY(m_nginx.writeFile(QStringLiteral("auto/u_ex261201.log"), logBytes(1, 3000)));
        QVERIFY(m_nginx.writeFile(QStringLiteral("auto/u_ex261202.log"), logBytes(2, 5000)));
        QVERIFY(m_nginx.writeFile(QStringLiteral("auto/W3SVC1/u_ex261201.log"), logBytes(3, 700)));
        QVERIFY(m_nginx.writeFile(QStringLiteral("auto/W3SVC2/u_ex261201.log"), logBytes(4, 900)));
    }

    void autoindexListing_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("quiet");
        QTest::newRow("folder address") << QStringLiteral("/auto/") << false;
        // nginx sends "/auto" on to "/auto/"; "../" there is still the way up.
        QTest::newRow("redirected to the folder") << QStringLiteral("/auto") << false;
        QTest::newRow("quiet") << QStringLiteral("/auto/") << true;
    }

    void autoindexListing()
    {
        QFETCH(QString, path);
        QFETCH(bool, quiet);
        QTemporaryDir cwd;
        QTemporaryDir save;
        m_nginx.clearAccessLog();
        QStringList arguments{m_nginx.url(path), save.path()};
        if (quiet)
            arguments.prepend(QStringLiteral("--quiet"));
        const CollectResult r = runCollect(arguments, cwd.path());
        QVERIFY(!r.crashed);
        QVERIFY2(r.exitCode == 0, r.err.constData());

        // The files only, byte for byte; nothing for "../" or the sub-folders.
        const QStringList names{QStringLiteral("u_ex261201.log"), QStringLiteral("u_ex261202.log")};
        QCOMPARE(QDir(save.path())
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                    | QDir::NoDotAndDotDot,
                                QDir::Name),
                 names);
        for (const QString &name : names)
            QCOMPARE(readFile(save.filePath(name)),
                     readFile(m_nginx.path(QStringLiteral("auto/") + name)));
        const QString base = m_nginx.url(QStringLiteral("/auto/"));
        QCOMPARE(logMessages(cwd.filePath(QStringLiteral("Kestrune.log"))),
                 (QStringList{kStart, QStringLiteral("○ ") + base + names[0],
                              QStringLiteral("○ ") + base + names[1], kEnd + base + names[1]}));

        // The sub-folders are named once, and are no failure.
        const QStringList err = r.errLines();
        if (quiet) {
            QCOMPARE(err, QStringList());
        } else {
            QCOMPARE(err.size(), 2);
            QCOMPARE(err[0], QStringLiteral(
                                 "kestrune-collect: not collected, sub-folders: W3SVC1/, W3SVC2/"));
            QVERIFY2(err[1].startsWith(
                         QStringLiteral("kestrune-collect: 2 downloaded, 0 unchanged, 0 failed")),
                     qPrintable(err[1]));
        }
        // Nothing was asked below the listing but its files.
        QTRY_VERIFY(m_nginx.requestLines().size() >= 5);
        for (const QString &line : m_nginx.requestLines())
            QVERIFY2(!line.contains(QStringLiteral("W3SVC"))
                         && line != QStringLiteral("GET / HTTP/1.1"),
                     qPrintable(line));
    }

    void copiesTakeTheServersTime()
    {
        const QString served = QStringLiteral("dated/u_ex261203.log");
        const QByteArray first = logBytes(5, 200000);
        QVERIFY(m_nginx.writeFile(served, first));
        QVERIFY(m_nginx.writeFile(QStringLiteral("dated/index.html"),
                                  listingPage(QStringLiteral("/dated/"), QString(),
                                              {{QStringLiteral("u_ex261203.log"),
                                                QStringLiteral("/dated/u_ex261203.log"),
                                                first.size()}})));
        QVERIFY(touchServed(m_nginx, served, QStringLiteral("2024-03-05 06:07:08 UTC")));
        QTemporaryDir cwd;
        QTemporaryDir save;
        const QString local = save.filePath(QStringLiteral("u_ex261203.log"));

        // A new copy.
        CollectResult r = runCollect({m_nginx.url(QStringLiteral("/dated/")), save.path()},
                                     cwd.path());
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(readFile(local), first);
        QCOMPARE(modified(local), QDateTime::fromSecsSinceEpoch(1709618828, Qt::UTC));
        QCOMPARE(modified(local), modified(m_nginx.path(served)));

        // The log grows and the run appends what it grew by.
        const QByteArray more = logBytes(6, 50000);
        QVERIFY(m_nginx.appendFile(served, more));
        QVERIFY(touchServed(m_nginx, served, QStringLiteral("2024-04-01 23:59:58 UTC")));
        m_nginx.clearAccessLog();
        r = runCollect({m_nginx.url(QStringLiteral("/dated/")), save.path()}, cwd.path());
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(readFile(local), first + more);
        QList<NginxFixture::AccessEntry> gets;
        QTRY_VERIFY((gets = m_nginx.accessEntries()).size() >= 3);
        QCOMPARE(gets.last().status, 206); // appended, not fetched whole
        QCOMPARE(modified(local), modified(m_nginx.path(served)));
        QCOMPARE(modified(local), QDateTime::fromSecsSinceEpoch(1712015998, Qt::UTC));
    }
};

QTEST_GUILESS_MAIN(TestE2eLinks)
#include "tst_e2e_links.moc"
