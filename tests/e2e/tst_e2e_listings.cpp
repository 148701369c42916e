// kestrune-collect against the listings real servers publish: Apache's
// mod_autoindex pages ("Parent Directory", the "?C=N;O=D" sort links,
// sub-folders), nginx's autoindex ("../") and IIS's directory browsing ("[To Parent Directory]",
// the
// "<dir>" rows), the latter written here as IIS writes it and served by nginx.

#include "ApacheFixture.h"
#include "E2eSupport.h"
#include "NginxFixture.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace e2e;

namespace {

enum class Server { Apache, Nginx };

const QString kStart = QStringLiteral("○ IISログダウンロード開始。\t");
const QString kEnd = QStringLiteral("○ IISログダウンロード終了。\t");
const QString kFolderNews = QStringLiteral("kestrune-collect: not collected, sub-folders: ");

QStringList savedEntries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                      | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

// The request lines that ask for anything but the given paths.
QStringList requestsBesides(const QStringList &lines, const QStringList &paths)
{
    static const QRegularExpression shape(QStringLiteral("^(?:GET|HEAD) (\\S+) HTTP/1\\.[01]$"));
    QStringList other;
    for (const QString &line : lines) {
        const auto m = shape.match(line);
        if (!m.hasMatch() || !paths.contains(m.captured(1)))
            other.append(line);
    }
    return other;
}

const QStringList kLogs{QStringLiteral("u_ex261201.log"), QStringLiteral("u_ex261202.log")};

} // namespace

Q_DECLARE_METATYPE(Server)

class TestE2eListings : public QObject {
    Q_OBJECT

    ApacheFixture m_apache;
    NginxFixture m_nginx;
    QString m_apacheDown;
    QString m_nginxDown;

    QString url(Server server, const QString &path) const
    {
        return server == Server::Apache ? m_apache.url(path) : m_nginx.url(path);
    }
    QStringList requestLines(Server server) const
    {
        return server == Server::Apache ? m_apache.requestLines() : m_nginx.requestLines();
    }
    void clearAccessLog(Server server) const
    {
        server == Server::Apache ? m_apache.clearAccessLog() : m_nginx.clearAccessLog();
    }
    QString served(Server server, const QString &path) const
    {
        return server == Server::Apache ? m_apache.path(path.mid(1)) : m_nginx.path(path.mid(1));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFileInfo(collectProgram()).isExecutable());

        // Apache: the same folder at the root, below another folder, and
        // with Debian's stock listing options (an HTML table with icons).
        m_apache.addConfig(QStringLiteral("<Directory \"%1/table\">\n"
                                          "  IndexOptions FancyIndexing VersionSort HTMLTable "
                                          "NameWidth=* DescriptionWidth=* Charset=UTF-8\n"
                                          "  AddIcon /icons/back.gif ..\n"
                                          "  AddIcon /icons/folder.gif ^^DIRECTORY^^\n"
                                          "  AddIconByType (TXT,/icons/text.gif) text/*\n"
                                          "  DefaultIcon /icons/unknown.gif\n"
                                          "</Directory>")
                               .arg(m_apache.www()));
        // Icons that are links of their own: every entry is linked twice.
        m_apache.addConfig(QStringLiteral("<Directory \"%1/linked\">\n"
                                          "  IndexOptions FancyIndexing IconsAreLinks\n"
                                          "  AddIcon /icons/folder.gif ^^DIRECTORY^^\n"
                                          "  DefaultIcon /icons/unknown.gif\n"
                                          "</Directory>")
                               .arg(m_apache.www()));
        if (m_apache.start()) {
            for (const QString &prefix :
                 {QStringLiteral("logs/"), QStringLiteral("site/logs/"),
                  QStringLiteral("table/logs/"), QStringLiteral("linked/logs/")}) {
                QVERIFY(m_apache.writeFile(prefix + kLogs[0], logBytes(1, 3000)));
                QVERIFY(m_apache.writeFile(prefix + kLogs[1], logBytes(2, 70000)));
                QVERIFY(m_apache.writeFile(prefix + QStringLiteral("W3SVC1/u_ex261130.log"),
                                           logBytes(3, 500)));
            }
        } else {
            m_apacheDown = m_apache.errorString();
        }

        // nginx's own listing of a folder, and IIS: a site's log folder, and
        // one of its sites' folders.
        m_nginx.addServerConfig(QStringLiteral("location /auto/ { autoindex on; }"));
        // A listing sent compressed to whoever takes it; the files would be
        // too, were they asked for so.
        m_nginx.addServerConfig(
            QStringLiteral("location /gz/ { autoindex on; gzip on; "
                           "gzip_min_length 1; gzip_types *; }"));
        if (m_nginx.start()) {
            QVERIFY(m_nginx.writeFile(QStringLiteral("auto/") + kLogs[0], logBytes(6, 3000)));
            QVERIFY(m_nginx.writeFile(QStringLiteral("auto/") + kLogs[1], logBytes(7, 5000)));
            QVERIFY(
                m_nginx.writeFile(QStringLiteral("auto/W3SVC1/u_ex261201.log"), logBytes(8, 700)));
            QVERIFY(m_nginx.writeFile(QStringLiteral("gz/") + kLogs[0], logBytes(10, 3000)));
            QVERIFY(m_nginx.writeFile(QStringLiteral("gz/") + kLogs[1], logBytes(11, 70000)));
            QVERIFY(
                m_nginx.writeFile(QStringLiteral("auto/W3SVC2/u_ex261201.log"), logBytes(9, 900)));
            QVERIFY(m_nginx.writeFile(QStringLiteral("LogFiles/index.html"),
                                      iisPage(QStringLiteral("/LogFiles/"),
                                              {{QStringLiteral("W3SVC1"), -1},
                                               {QStringLiteral("W3SVC2"), -1},
                                               {QStringLiteral("HTTPERR"), -1}})));
            const QByteArray first = logBytes(4, 123456);
            const QByteArray second = logBytes(5, 4000);
            QVERIFY(m_nginx.writeFile(QStringLiteral("LogFiles/W3SVC1/") + kLogs[0], first));
            QVERIFY(m_nginx.writeFile(QStringLiteral("LogFiles/W3SVC1/") + kLogs[1], second));
            QVERIFY(
                m_nginx.writeFile(QStringLiteral("LogFiles/W3SVC1/index.html"),
                                  iisPage(QStringLiteral("/LogFiles/W3SVC1/"),
                                          {{kLogs[0], first.size()}, {kLogs[1], second.size()}})));
            QVERIFY(m_nginx.writeFile(QStringLiteral("LogFiles/W3SVC2/u_ex261201.log"), "x"));
        } else {
            m_nginxDown = m_nginx.errorString();
        }
    }

    void collectsTheFilesOnly_data()
    {
        QTest::addColumn<Server>("server");
        QTest::addColumn<QString>("address"); // as given to kestrune-collect
        QTest::addColumn<QString>("folder");  // the listing's folder
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("subFolders"); // as named on stderr

        const QString w3svc1 = QStringLiteral("W3SVC1/");
        QTest::newRow("Apache, folder at the root") << Server::Apache << QStringLiteral("/logs/")
                                                    << QStringLiteral("/logs/") << kLogs << w3svc1;
        QTest::newRow("Apache, folder below another")
            << Server::Apache << QStringLiteral("/site/logs/") << QStringLiteral("/site/logs/")
            << kLogs << w3svc1;
        // Apache sends "/site/logs" on to "/site/logs/"; "Parent Directory"
        // there still leads up.
        QTest::newRow("Apache, redirected to the folder")
            << Server::Apache << QStringLiteral("/site/logs") << QStringLiteral("/site/logs/")
            << kLogs << w3svc1;
        QTest::newRow("Apache, HTML table with icons")
            << Server::Apache << QStringLiteral("/table/logs/") << QStringLiteral("/table/logs/")
            << kLogs << w3svc1;
        QTest::newRow("Apache, icons that are links")
            << Server::Apache << QStringLiteral("/linked/logs/") << QStringLiteral("/linked/logs/")
            << kLogs << w3svc1;
        QTest::newRow("nginx, autoindex")
            << Server::Nginx << QStringLiteral("/auto/") << QStringLiteral("/auto/") << kLogs
            << QStringLiteral("W3SVC1/, W3SVC2/");
        QTest::newRow("nginx, autoindex sent gzip-compressed")
            << Server::Nginx << QStringLiteral("/gz/") << QStringLiteral("/gz/") << kLogs
            << QString();
        // nginx sends "/auto" on to "/auto/"; "../" there is still the way up.
        QTest::newRow("nginx, redirected to the folder")
            << Server::Nginx << QStringLiteral("/auto") << QStringLiteral("/auto/") << kLogs
            << QStringLiteral("W3SVC1/, W3SVC2/");
        QTest::newRow("IIS, files below the parent link")
            << Server::Nginx << QStringLiteral("/LogFiles/W3SVC1/")
            << QStringLiteral("/LogFiles/W3SVC1/") << kLogs << QString();
        QTest::newRow("IIS, sub-folders only")
            << Server::Nginx << QStringLiteral("/LogFiles/") << QStringLiteral("/LogFiles/")
            << QStringList() << QStringLiteral("W3SVC1/, W3SVC2/, HTTPERR/");
    }

    void collectsTheFilesOnly()
    {
        QFETCH(Server, server);
        QFETCH(QString, address);
        QFETCH(QString, folder);
        QFETCH(QStringList, files);
        QFETCH(QString, subFolders);
        const QString down = server == Server::Apache ? m_apacheDown : m_nginxDown;
        if (!down.isEmpty())
            QSKIP(qPrintable(down));

        QTemporaryDir cwd;
        QTemporaryDir save;
        QStringList asked{address, folder};
        QStringList runLog;
        if (!files.isEmpty())
            runLog.append(kStart);
        for (const QString &name : files) {
            asked.append(folder + name);
            runLog.append(QStringLiteral("○ ") + url(server, folder + name));
        }
        if (!files.isEmpty())
            runLog.append(kEnd + url(server, folder + files.last()));
        const int count = int(files.size());

        for (const bool again : {false, true}) {
            const QString run = again ? QStringLiteral("second run") : QStringLiteral("first run");
            clearAccessLog(server);
            QFile::remove(cwd.filePath(QStringLiteral("Kestrune.log")));
            const CollectResult r = runCollect({url(server, address), save.path()}, cwd.path());
            QVERIFY2(!r.crashed, qPrintable(run));
            QVERIFY2(r.exitCode == 0, qPrintable(run + QStringLiteral(": ") + r.errText()));

            // The files, byte for byte, and nothing for the way up, the sort
            // links or the sub-folders.
            QCOMPARE(savedEntries(save.path()), files);
            for (const QString &name : files)
                QCOMPARE(readFile(save.filePath(name)), readFile(served(server, folder + name)));

            // The sub-folders are named once, as news; the summary follows.
            QStringList expectedErr;
            if (!subFolders.isEmpty())
                expectedErr.append(kFolderNews + subFolders);
            const QString summary =
                again ? QStringLiteral("kestrune-collect: 0 downloaded, %1 unchanged, 0 failed")
                      : QStringLiteral("kestrune-collect: %1 downloaded, 0 unchanged, 0 failed");
            QStringList err = r.errLines();
            QVERIFY2(!err.isEmpty() && err.last().startsWith(summary.arg(count)),
                     qPrintable(run + QStringLiteral(": ") + r.errText()));
            err.removeLast();
            QCOMPARE(err, expectedErr);
            if (!again)
                QCOMPARE(logMessages(cwd.filePath(QStringLiteral("Kestrune.log"))), runLog);

            // The server saw the listing and its files asked for, nothing else.
            QTRY_VERIFY2(requestLines(server)
                                 .filter(QStringLiteral("GET ") + folder + QLatin1Char(' '))
                                 .size()
                             == 1,
                         qPrintable(requestLines(server).join(QLatin1Char('\n'))));
            for (const QString &name : files)
                QTRY_VERIFY2(requestLines(server).contains(
                                 QStringLiteral("GET %1 HTTP/1.1").arg(folder + name)),
                             qPrintable(requestLines(server).join(QLatin1Char('\n'))));
            QCOMPARE(requestsBesides(requestLines(server), asked), QStringList());
        }

        // Quiet: not even the sub-folders are news.
        const CollectResult quiet = runCollect({QStringLiteral("--quiet"), url(server, address),
                                                save.path()},
                                               cwd.path());
        QVERIFY2(quiet.exitCode == 0, quiet.err.constData());
        QCOMPARE(quiet.errLines(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestE2eListings)
#include "tst_e2e_listings.moc"
