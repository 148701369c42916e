// kestrune-collect --recursive end to end: a tree of IIS-style listing pages
// on nginx (one folder per site, as IIS writes its logs), collected into
// sub-folders of the save folder.

#include "E2eSupport.h"
#include "NginxFixture.h"
#include "TestHttpServer.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include <unistd.h>

using namespace kestrune;
using namespace e2e;

namespace {

// The files of the tree, by their path under the save folder.
struct TreeFile {
    QString path;
    QByteArray bytes;
};

} // namespace

class TestE2eTree : public QObject {
    Q_OBJECT

    NginxFixture m_nginx;
    QList<TreeFile> m_files;

    // A page of folder /tree/<folder> with files and sub-folders, and extra
    // links (raw anchors) after them.
    void page(const QString &folder, const QList<QPair<QString, QByteArray>> &files,
              const QStringList &folders, const QString &extra = QString())
    {
        QList<IisEntry> entries;
        for (const QString &f : folders)
            entries.append({f, -1});
        for (const auto &[name, bytes] : files) {
            entries.append({name, bytes.size()});
            m_nginx.writeFile(QStringLiteral("tree/") + folder + name, bytes);
            m_files.append({folder + name, bytes});
        }
        QByteArray html = iisPage(QStringLiteral("/tree/") + folder, entries);
        html.replace("</pre>", extra.toUtf8() + "</pre>");
        m_nginx.writeFile(QStringLiteral("tree/") + folder + QStringLiteral("index.html"), html);
    }

    QStringList requested(const QString &prefix) const
    {
        QStringList lines;
        for (const QString &line : m_nginx.requestLines()) {
            if (line.contains(QLatin1Char(' ') + prefix))
                lines.append(line);
        }
        return lines;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFileInfo(collectProgram()).isExecutable());
        // A folder that sends the walk back to one it has walked.
        m_nginx.addServerConfig(
            QStringLiteral("location = /tree/W3SVC2/deep/loop/ { return 301 /tree/W3SVC2/; }"));
        if (!m_nginx.start())
            QSKIP(qPrintable(m_nginx.errorString()));
        page(QString(), {{QStringLiteral("top.log"), logBytes(1, 500)}},
             {QStringLiteral("W3SVC1"), QStringLiteral("W3SVC2"), QStringLiteral("HTTPERR"),
              QStringLiteral("linked")},
             QStringLiteral("<A HREF=\"/tree/a%5Cb/\">a\\b</A><br>"
                            "<A HREF=\"/tree/%01x/\">x</A><br>"
                            "<A HREF=\"/tree/gone/\">gone</A><br>"
                            "<A HREF=\"http://localhost:")
                 + QString::number(m_nginx.port()) + QStringLiteral("/tree/far/\">far</A><br>"));
        // W3SVC1 links back up and to a site beside it.
        page(QStringLiteral("W3SVC1/"),
             {{QStringLiteral("u_ex261201.log"), logBytes(2, 3000)},
              {QStringLiteral("u_ex261202.log"), logBytes(3, 70000)}},
             {},
             QStringLiteral("<A HREF=\"/tree/\">up</A><br><A HREF=\"/tree/W3SVC2/\">2</A><br>"));
        page(QStringLiteral("W3SVC2/"), {{QStringLiteral("u_ex261201.log"), logBytes(4, 1200)}},
             {QStringLiteral("deep")});
        page(QStringLiteral("W3SVC2/deep/"), {{QStringLiteral("d.log"), logBytes(5, 800)}},
             {QStringLiteral("loop")});
        page(QStringLiteral("HTTPERR/"), {{QStringLiteral("httperr1.log"), logBytes(6, 900)}}, {});
        page(QStringLiteral("linked/"), {{QStringLiteral("l.log"), logBytes(7, 100)}}, {});
    }

    void tree_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("levels"); // folder levels below the listing collected
        QTest::newRow("--recursive") << QStringList{"--recursive"} << 2;
        QTest::newRow("-r --depth 1") << QStringList{"-r", "--depth", "1"} << 1;
        QTest::newRow("-r --depth=0") << QStringList{"-r", "--depth=0"} << 0;
        QTest::newRow("no --recursive") << QStringList{} << 0;
        QTest::newRow("-rj1") << QStringList{"-rj1"} << 2;
    }

    void tree()
    {
        QFETCH(QStringList, options);
        QFETCH(int, levels);
        QTemporaryDir cwd;
        QTemporaryDir save;
        QTemporaryDir elsewhere;
        // The sub-folder "linked" is a link here: nothing goes through it.
        QVERIFY(QFile::link(elsewhere.path(), save.filePath(QStringLiteral("linked"))));
        const QString url = m_nginx.url(QStringLiteral("/tree/"));
        const bool walks = levels > 0;
        m_nginx.clearAccessLog();

        CollectResult r = runCollect(options + QStringList{url, save.path()}, cwd.path());
        QVERIFY(!r.crashed);
        // Under the link, l.log fails; the unsafe names are refused.
        QVERIFY2(r.exitCode == (walks ? 1 : 0), r.err.constData());
        QStringList expected;
        for (const TreeFile &f : std::as_const(m_files)) {
            const int level = int(f.path.count(QLatin1Char('/')));
            if (level <= levels && !f.path.startsWith(QLatin1String("linked/"))) {
                expected.append(f.path);
                QVERIFY2(readFile(save.filePath(f.path)) == f.bytes, qPrintable(f.path));
            }
        }
        QStringList stored;
        QDirIterator it(save.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            stored.append(QDir(save.path()).relativeFilePath(it.next()));
        stored.removeIf([](const QString &p) { return p.startsWith(QLatin1String(".kestrune")); });
        stored.sort();
        expected.sort();
        QCOMPARE(stored, expected);
        QCOMPARE(QDir(elsewhere.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList());
        QVERIFY(QFileInfo(save.filePath(QStringLiteral("linked"))).isSymLink());
        // Each page once, the loop's target and the other host never;
        // nothing asked below a refused name.
        if (walks) {
            // The loop's redirect lands on W3SVC2 once more: its rows are not
            // taken again (the stored files above).
            QCOMPARE(requested(QStringLiteral("/tree/W3SVC2/ ")).size(), levels >= 2 ? 2 : 1);
            QCOMPARE(requested(QStringLiteral("/tree/W3SVC2/deep/loop/")).size(),
                     levels >= 2 ? 1 : 0);
            QCOMPARE(requested(QStringLiteral("/tree/W3SVC1/ ")).size(), 1);
            QCOMPARE(requested(QStringLiteral("/tree/ ")).size(), 1);
            QCOMPARE(requested(QStringLiteral("/tree/W3SVC2/deep/ ")).size(), levels >= 2 ? 1 : 0);
            QCOMPARE(requested(QStringLiteral("/tree/a")), QStringList());
            QCOMPARE(requested(QStringLiteral("/tree/%01")), QStringList());
            QVERIFY2(r.errText().contains(
                         QStringLiteral("not collected, unsafe folder name: \"a\\b\"")),
                     r.err.constData());
            QVERIFY2(r.errText().contains(QStringLiteral("unsafe folder name: \"\\x01x\"")),
                     r.err.constData());
            QVERIFY2(r.errText().contains(m_nginx.url(QStringLiteral("/tree/gone/"))
                                          + QStringLiteral(" (HTTP 404 Not Found)")),
                     r.err.constData());
            QVERIFY2(r.errText().contains(
                         QStringLiteral("kestrune-collect: linked/l.log: cannot store the file: ")),
                     r.err.constData());
        } else {
            QCOMPARE(requested(QStringLiteral("/tree/W3SVC")), QStringList());
        }
        // One run-log line per file, with its URL.
        const QStringList log = logMessages(cwd.filePath(QStringLiteral("Kestrune.log")));
        for (const QString &path : std::as_const(expected))
            QVERIFY2(log.contains(QStringLiteral("○ ")
                                  + m_nginx.url(QStringLiteral("/tree/") + path)),
                     qPrintable(path + QLatin1Char('\n') + log.join(QLatin1Char('\n'))));
        const int failed = walks ? 4 : 0; // l.log, a\b, ^Ax, gone/ (not found)
        QVERIFY2(r.errLines().last().startsWith(
                     QStringLiteral("kestrune-collect: %1 downloaded, 0 unchanged, %2 failed, ")
                         .arg(expected.size())
                         .arg(failed)),
                 r.err.constData());

        // Second run: the whole tree unchanged.
        r = runCollect(options + QStringList{url, save.path()}, cwd.path());
        QVERIFY2(r.exitCode == (walks ? 1 : 0), r.err.constData());
        QVERIFY2(r.errLines().last().startsWith(
                     QStringLiteral("kestrune-collect: 0 downloaded, %1 unchanged, %2 failed, ")
                         .arg(expected.size())
                         .arg(failed)),
                 r.err.constData());
    }

    // A sub-folder's page that never comes: an interrupt ends the walk at
    // once, nothing is collected, not even the first page's file.
    void interruptDuringTheWalk()
    {
        TestHttpServerThread serverThread;
        QVERIFY(serverThread.start());
        TestHttpServer *server = serverThread.server();
        TestResponse listing;
        listing.contentType = "text/html";
        listing.body =
            "<html><body><pre><a href=\"/logs/a.log\">a.log</a> "
            "<a href=\"/logs/W3SVC1/\">W3SVC1</a></pre></body></html>";
        TestResponse stall;
        stall.stallBeforeHeaders = true;
        server->setRoute(QStringLiteral("/logs/"), listing);
        server->setRoute(QStringLiteral("/logs/W3SVC1/"), stall);
        QTemporaryDir cwd;
        QTemporaryDir save;
        QProcess p;
        QVERIFY(startCollect(p,
                             {"-r", "--timeout", "60", server->url(QStringLiteral("/logs/")),
                              save.path()},
                             cwd.path()));
        QTRY_VERIFY_WITH_TIMEOUT(server->requests().size() >= 2, 30000);
        QCOMPARE(::kill(pid_t(p.processId()), SIGINT), 0);
        const CollectResult r = finish(p, 30000);
        QVERIFY(!r.crashed);
        QCOMPARE(r.exitCode, 130);
        QVERIFY2(r.errLines().last().startsWith(QStringLiteral(
                     "kestrune-collect: 0 downloaded, 0 unchanged, 0 failed, 0 bytes in ")),
                 r.err.constData());
        QCOMPARE(server->requests().size(), 2);
        QCOMPARE(QDir(save.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList());
    }
};

QTEST_GUILESS_MAIN(TestE2eTree)
#include "tst_e2e_tree.moc"
