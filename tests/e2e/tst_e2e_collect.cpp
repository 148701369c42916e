// kestrune-collect end to end: the real program, run as a process, against
// nginx serving IIS-style listing pages and log files on loopback, directly
// and through tinyproxy.

#include "E2eSupport.h"
#include "NginxFixture.h"
#include "TestHttpServer.h"
#include "TinyproxyFixture.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHostAddress>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>
#include <QtTest>

#include <csignal>

using namespace e2e;

namespace {

const QString kStart = QStringLiteral("○ IISログダウンロード開始。\t");
const QString kEnd = QStringLiteral("○ IISログダウンロード終了。\t");
const QString kSame = QStringLiteral("× ファイルサイズが同じ ");

QString encodedUrl(const QString &url)
{
    return QString::fromLatin1(QUrl(url).toEncoded());
}

} // namespace

class TestE2eCollect : public QObject {
    Q_OBJECT

    NginxFixture m_nginx;
    Site m_utf8;
    Site m_sjis;

    Site publish(const QString &prefix, const QString &parentText, const QList<SiteFile> &files,
                 const QByteArray &encoding, bool declare, const QList<Entry> &extra = {})
    {
        return e2e::publish(m_nginx, prefix, parentText, files, encoding, declare, extra);
    }

    QString url(const Site &s) const { return m_nginx.url(s.pagePath); }

    static QStringList expectedDownloadLines(const Site &s)
    {
        QStringList lines{kStart};
        for (const QString &u : s.rowUrls)
            lines.append(QStringLiteral("○ ") + u);
        lines.append(kEnd + s.rowUrls.last());
        return lines;
    }

    // The row URLs exactly as the loader reports them are compared after
    // percent-encoding, so the test does not depend on how the page
    // wrote them.
    static QStringList encodedMessages(const QStringList &messages)
    {
        static const QRegularExpression urlTail(QStringLiteral("(http://\\S+)$"));
        QStringList out;
        for (QString m : messages) {
            const auto match = urlTail.match(m);
            if (match.hasMatch())
                m.replace(match.capturedStart(1), match.capturedLength(1),
                          encodedUrl(match.captured(1)));
            out.append(m);
        }
        return out;
    }
    static QStringList encodedAll(const QStringList &lines) { return encodedMessages(lines); }

    static void verifyHeader(const QString &logPath)
    {
        const QStringList lines = logLines(logPath);
        QVERIFY2(lines.size() >= 4, qPrintable(lines.join(QLatin1Char('|'))));
        QCOMPARE(lines[0], QStringLiteral("Kestrune"));
        QCOMPARE(lines[1], QString(58, QLatin1Char('=')));
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}年\\d\\d月\\d\\d日 \\d\\d時\\d\\d分\\d\\d秒に起動$"))
                     .match(lines[2]).hasMatch(), qPrintable(lines[2]));
        QCOMPARE(lines[3], QString(58, QLatin1Char('=')));
        const QRegularExpression stamp(QStringLiteral("^\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\t"));
        for (qsizetype i = 4; i < lines.size(); ++i)
            QVERIFY2(stamp.match(lines[i]).hasMatch(), qPrintable(lines[i]));
        // CR LF throughout, nothing after the last line end.
        const QByteArray raw = readFile(logPath);
        QVERIFY(raw.endsWith("\r\n"));
        QCOMPARE(raw.count("\r\n"), raw.count('\n'));
    }

    static void verifyFolder(const QString &folder, const Site &s)
    {
        for (const SiteFile &f : s.files) {
            const QString local = folder + QLatin1Char('/') + f.name;
            QVERIFY2(readFile(local) == f.bytes, qPrintable(local));
        }
        QCOMPARE(strayFiles(folder, s.names), QStringList());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFileInfo(collectProgram()).isExecutable());
        if (!m_nginx.start())
            QSKIP(qPrintable(m_nginx.errorString()));

        // UTF-8 page; its Content-Type names the charset.  A Japanese name
        // percent-encoded in the href, a sub-folder that is itself a
        // listing (collected as a file, as any other link).
        const QByteArray subPage = listingPage(QStringLiteral("/utf8/sub/"),
                                               QStringLiteral("[To Parent Directory]"),
                                               {{QStringLiteral("x.log"), QStringLiteral("/utf8/sub/x.log"), 10, false}});
        m_nginx.writeFile(QStringLiteral("utf8/sub/index.html"), subPage);
        m_utf8 = publish(QStringLiteral("utf8/"), QStringLiteral("[To Parent Directory]"),
                         {{QStringLiteral("u_ex261201.log"), QStringLiteral("/utf8/u_ex261201.log"),
                           QStringLiteral("utf8/u_ex261201.log"), logBytes(1, 20000)},
                          {QStringLiteral("u_ex261202.log"),
                           m_nginx.url(QStringLiteral("/utf8/u_ex261202.log")),
                           QStringLiteral("utf8/u_ex261202.log"), logBytes(2, 700000)},
                          {QStringLiteral("アクセス_261203.log"),
                           QStringLiteral("/utf8/%E3%82%A2%E3%82%AF%E3%82%BB%E3%82%B9_261203.log"),
                           QStringLiteral("utf8/アクセス_261203.log"), logBytes(3, 5003)},
                          {QStringLiteral("sub"), QStringLiteral("/utf8/sub/"),
                           QStringLiteral("utf8/sub/index.html"), subPage}},
                         "UTF-8", false);
        // The sub-folder's URL is the folder, not its index file.
        m_utf8.rowUrls[3] = m_nginx.url(QStringLiteral("/utf8/sub/"));

        // windows-31j page declared in a <meta>, Japanese names written
        // raw in the hrefs (one root-relative, one relative).
        m_sjis = publish(QStringLiteral("sjis/"), QStringLiteral("[親ディレクトリへ]"),
                         {{QStringLiteral("日本語ログ_261201.log"), QStringLiteral("/sjis/日本語ログ_261201.log"),
                           QStringLiteral("sjis/日本語ログ_261201.log"), logBytes(11, 12345)},
                          {QStringLiteral("エラー記録.log"), QStringLiteral("エラー記録.log"),
                           QStringLiteral("sjis/エラー記録.log"), logBytes(12, 64 * 1024 + 7)}},
                         "windows-31j", true);
    }

    void helpAndVersion_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected");
        QTest::newRow("version") << QStringList{"--version"} << QStringLiteral("kestrune-collect 1.0.0\n");
        QTest::newRow("help") << QStringList{"--help"} << QStringLiteral("Usage: kestrune-collect [options] URL FOLDER\n");
        QTest::newRow("help wins over errors") << QStringList{"--bogus", "-h"}
                                               << QStringLiteral("Usage: kestrune-collect [options] URL FOLDER\n");
    }

    void helpAndVersion()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);
        QTemporaryDir cwd;
        const CollectResult r = runCollect(arguments, cwd.path());
        QVERIFY(!r.crashed);
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(QString::fromUtf8(r.out).startsWith(expected), r.out.constData());
        QCOMPARE(r.err, QByteArray());
        QVERIFY(!QFile::exists(cwd.filePath(QStringLiteral("Kestrune.log"))));
    }

    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("mention");
        const QString url = m_nginx.url(QStringLiteral("/utf8/"));
        QTest::newRow("no operands") << QStringList{} << QStringLiteral("URL and FOLDER are missing");
        QTest::newRow("no folder") << QStringList{url} << QStringLiteral("FOLDER is missing");
        QTest::newRow("three operands") << QStringList{url, "a", "b"} << QStringLiteral("unexpected argument");
        QTest::newRow("unknown option") << QStringList{"--fast", url, "."} << QStringLiteral("unknown option --fast");
        QTest::newRow("timeout not a number") << QStringList{"--timeout", "soon", url, "."} << QStringLiteral("--timeout");
        QTest::newRow("timeout zero") << QStringList{"--timeout=0", url, "."} << QStringLiteral("--timeout");
        QTest::newRow("timeout without value") << QStringList{url, ".", "--timeout"} << QStringLiteral("needs a value");
        QTest::newRow("ftp url") << QStringList{"ftp://127.0.0.1/logs/", "."} << QStringLiteral("bad URL");
        QTest::newRow("no scheme") << QStringList{"127.0.0.1/logs/", "."} << QStringLiteral("bad URL");
        QTest::newRow("folder missing") << QStringList{url, "no-such-folder"} << QStringLiteral("does not exist");
        QTest::newRow("folder is a file") << QStringList{url, "plain.txt"} << QStringLiteral("is not a folder");
    }

    void usageErrors()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, mention);
        QTemporaryDir cwd;
        QVERIFY(writeFile(cwd.filePath(QStringLiteral("plain.txt")), "x"));
        m_nginx.clearAccessLog();
        const CollectResult r = runCollect(arguments, cwd.path());
        QVERIFY(!r.crashed);
        QCOMPARE(r.exitCode, 2);
        const QStringList lines = r.errText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].startsWith(QStringLiteral("kestrune-collect: ")), qPrintable(lines[0]));
        QVERIFY2(lines[0].contains(mention), qPrintable(lines[0]));
        QCOMPARE(r.out, QByteArray());
        // Nothing was started: no log, no request.
        QVERIFY(!QFile::exists(cwd.filePath(QStringLiteral("Kestrune.log"))));
        QCOMPARE(m_nginx.requestLines(), QStringList());
    }

    void listingFailures_data()
    {
        QTest::addColumn<QString>("path");      // on nginx; empty: the stalled server
        QTest::addColumn<QString>("logLine");   // the run log's event line (before the URL)
        QTest::addColumn<QString>("errorText"); // part of the stderr line
        QTest::newRow("404 page") << QStringLiteral("/missing/") << QStringLiteral("× ページを表示できません。\t")
                                  << QStringLiteral("could not be loaded");
        QTest::newRow("not-found sentence") << QStringLiteral("/gone/")
                                            << QStringLiteral("× 指定されたドキュメントは存在しません。\t")
                                            << QStringLiteral("does not exist");
        QTest::newRow("time-out") << QString() << QStringLiteral("× タイムアウトが発生しました。\t")
                                  << QStringLiteral("did not load within 1 s");
        QTest::newRow("refused") << QStringLiteral("refused") << QStringLiteral("× ページを表示できません。\t")
                                 << QStringLiteral("could not be loaded");
    }

    void listingFailures()
    {
        QFETCH(QString, path);
        QFETCH(QString, logLine);
        QFETCH(QString, errorText);
        m_nginx.writeFile(QStringLiteral("gone/index.html"),
                          QStringLiteral("<html><body><p>指定されたドキュメントは存在しません。</p></body></html>").toUtf8());
        QTcpServer stalled; // listens, never answers: the page never completes
        QString target;
        if (path.isEmpty()) {
            QVERIFY(stalled.listen(QHostAddress::LocalHost, 0));
            target = QStringLiteral("http://127.0.0.1:%1/logs/").arg(stalled.serverPort());
        } else if (path == QLatin1String("refused")) {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            target = QStringLiteral("http://127.0.0.1:%1/logs/").arg(probe.serverPort());
            probe.close();
        } else {
            target = m_nginx.url(path);
        }
        QTemporaryDir cwd;
        QTemporaryDir save;
        QElapsedTimer t;
        t.start();
        const CollectResult r = runCollect({"--timeout", "1", target, save.path()}, cwd.path());
        QVERIFY(!r.crashed);
        QCOMPARE(r.exitCode, 2);
        const QStringList lines = r.errText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].contains(errorText), qPrintable(lines[0]));
        const QString log = cwd.filePath(QStringLiteral("Kestrune.log"));
        verifyHeader(log);
        const QStringList messages = logMessages(log);
        QCOMPARE(messages.size(), 1);
        QVERIFY2(messages[0].startsWith(logLine), qPrintable(messages[0]));
        QCOMPARE(QDir(save.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
        QVERIFY(t.elapsed() < 15000);
    }

    void listingWithOnlyTheParentLink()
    {
        // No log files is not a failure: the run log holds its header only,
        // as after the start command on an empty list.
        m_nginx.writeFile(QStringLiteral("empty/index.html"),
                          listingPage(QStringLiteral("/empty/"), QStringLiteral("[To Parent Directory]"), {}));
        QTemporaryDir cwd;
        QTemporaryDir save;
        const CollectResult r = runCollect({m_nginx.url(QStringLiteral("/empty/")), save.path()}, cwd.path());
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.errText().startsWith(QStringLiteral("kestrune-collect: 0 downloaded, 0 unchanged, 0 failed, 0 bytes in ")),
                 r.err.constData());
        const QString log = cwd.filePath(QStringLiteral("Kestrune.log"));
        verifyHeader(log);
        QCOMPARE(logLines(log).size(), 4);
    }

    void freshThenUnchanged_data()
    {
        QTest::addColumn<QString>("which");
        QTest::newRow("utf-8 page") << QStringLiteral("utf8");
        QTest::newRow("windows-31j page") << QStringLiteral("sjis");
    }

    void freshThenUnchanged()
    {
        QFETCH(QString, which);
        const Site &site = which == QLatin1String("utf8") ? m_utf8 : m_sjis;
        QTemporaryDir cwd;
        QTemporaryDir save;

        // Fresh: every file collected byte for byte.
        CollectResult r = runCollect({url(site), save.path()}, cwd.path());
        QVERIFY(!r.crashed);
        QVERIFY2(r.exitCode == 0, r.err.constData());
        verifyFolder(save.path(), site);
        const QString log = cwd.filePath(QStringLiteral("Kestrune.log"));
        verifyHeader(log);
        QCOMPARE(encodedMessages(logMessages(log)), encodedAll(expectedDownloadLines(site)));
        // Not a terminal: no progress, only the summary.
        QVERIFY(!r.err.contains('\r'));
        QStringList err = r.errText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(err.size(), 1);
        qint64 total = 0;
        for (const SiteFile &f : site.files)
            total += f.bytes.size();
        QVERIFY2(err[0].startsWith(QStringLiteral("kestrune-collect: %1 downloaded, 0 unchanged, 0 failed, %2 bytes in ")
                                       .arg(site.files.size()).arg(total)),
                 qPrintable(err[0]));

        // Second run: all unchanged, the local copies untouched.
        const QDateTime old = QDateTime::currentDateTime().addDays(-3);
        for (const SiteFile &f : site.files) {
            QFile local(save.filePath(f.name));
            QVERIFY(local.open(QIODevice::ReadWrite));
            QVERIFY(local.setFileTime(old, QFileDevice::FileModificationTime));
        }
        r = runCollect({url(site), save.path()}, cwd.path());
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QStringList expected{kStart};
        for (const QString &u : site.rowUrls)
            expected.append(kSame + u);
        expected.append(kEnd + site.rowUrls.last());
        QCOMPARE(encodedMessages(logMessages(log)), encodedAll(expected));
        verifyFolder(save.path(), site);
        for (const SiteFile &f : site.files)
            QCOMPARE(QFileInfo(save.filePath(f.name)).lastModified().toSecsSinceEpoch(), old.toSecsSinceEpoch());
        err = r.errText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(err.size(), 1);
        QVERIFY2(err[0].startsWith(QStringLiteral("kestrune-collect: 0 downloaded, %1 unchanged, 0 failed, 0 bytes in ")
                                       .arg(site.files.size())),
                 qPrintable(err[0]));
    }

    void grownAndDeletedFiles()
    {
        const Site site = publish(QStringLiteral("mut/"), QStringLiteral("[To Parent Directory]"),
                                  {{"a.log", "/mut/a.log", "mut/a.log", logBytes(21, 3000)},
                                   {"b.log", "/mut/b.log", "mut/b.log", logBytes(22, 4000)},
                                   {"c.log", "/mut/c.log", "mut/c.log", logBytes(23, 5000)}},
                                  "UTF-8", false);
        QTemporaryDir cwd;
        QTemporaryDir save;
        CollectResult r = runCollect({url(site), save.path()}, cwd.path());
        QVERIFY2(r.exitCode == 0, r.err.constData());
        verifyFolder(save.path(), site);

        // b grows on the server, c is deleted there (nginx answers 404).
        const QByteArray grown = logBytes(22, 4000) + logBytes(24, 1500);
        QVERIFY(m_nginx.appendFile(QStringLiteral("mut/b.log"), logBytes(24, 1500)));
        QVERIFY(m_nginx.removeFile(QStringLiteral("mut/c.log")));
        m_nginx.clearAccessLog();
        r = runCollect({url(site), save.path(), "--log", "second.log"}, cwd.path());
        QVERIFY(!r.crashed);
        QCOMPARE(r.exitCode, 1);
        const QStringList messages = logMessages(cwd.filePath(QStringLiteral("second.log")));
        QCOMPARE(messages, (QStringList{kStart, kSame + site.rowUrls[0], QStringLiteral("○ ") + site.rowUrls[1],
                                        QStringLiteral("× ") + site.rowUrls[2], kEnd + site.rowUrls[2]}));
        QCOMPARE(readFile(save.filePath(QStringLiteral("a.log"))), logBytes(21, 3000));
        QCOMPARE(readFile(save.filePath(QStringLiteral("b.log"))), grown);
        QCOMPARE(readFile(save.filePath(QStringLiteral("c.log"))), logBytes(23, 5000)); // intact
        QCOMPARE(strayFiles(save.path(), site.names), QStringList());
        QVERIFY(m_nginx.accessLog().contains(QStringLiteral("\"GET /mut/c.log HTTP/1.1\" 404")));
        QVERIFY2(r.errText().startsWith(QStringLiteral("kestrune-collect: 1 downloaded, 1 unchanged, 1 failed, 5500 bytes")),
                 r.err.constData());
    }

    void unsafeNameFailsItsRowOnly()
    {
        const Site good = publish(QStringLiteral("bad/"), QStringLiteral("[To Parent Directory]"),
                                  {{"ok.log", "/bad/ok.log", "bad/ok.log", logBytes(31, 2048)}}, "UTF-8", false,
                                  {{QStringLiteral("../escape.log"), QStringLiteral("/bad/escape.log"), 10, false}});
        m_nginx.writeFile(QStringLiteral("bad/escape.log"), "escaped");
        QTemporaryDir cwd;
        QTemporaryDir parent;
        const QString save = parent.filePath(QStringLiteral("save"));
        QVERIFY(QDir().mkpath(save));
        m_nginx.clearAccessLog();
        const CollectResult r = runCollect({url(good), save}, cwd.path());
        QCOMPARE(r.exitCode, 1);
        const QString escapeUrl = m_nginx.url(QStringLiteral("/bad/escape.log"));
        QCOMPARE(logMessages(cwd.filePath(QStringLiteral("Kestrune.log"))),
                 (QStringList{kStart, QStringLiteral("○ ") + good.rowUrls[0],
                              QStringLiteral("× ファイル名が不正です。\t") + escapeUrl, kEnd + escapeUrl}));
        QCOMPARE(readFile(save + QStringLiteral("/ok.log")), logBytes(31, 2048));
        QVERIFY(!QFile::exists(parent.filePath(QStringLiteral("escape.log"))));
        QVERIFY(!m_nginx.accessLog().contains(QStringLiteral("/bad/escape.log")));
    }

    void quietAndLogPath()
    {
        QTemporaryDir cwd;
        QTemporaryDir save;
        QVERIFY(QDir(cwd.path()).mkpath(QStringLiteral("logs")));
        const CollectResult r = runCollect({"--quiet", "--log=logs/run.log", url(m_sjis), save.path()}, cwd.path());
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.err, QByteArray());
        QCOMPARE(r.out, QByteArray());
        QVERIFY(!QFile::exists(cwd.filePath(QStringLiteral("Kestrune.log"))));
        const QString log = cwd.filePath(QStringLiteral("logs/run.log"));
        verifyHeader(log);
        QCOMPARE(encodedMessages(logMessages(log)), encodedAll(expectedDownloadLines(m_sjis)));
        verifyFolder(save.path(), m_sjis);
    }

    void relativeFolderAndUnwritableLog()
    {
        // A relative FOLDER means the same folder for every row, although
        // the run moves the current directory after each download.
        QTemporaryDir cwd;
        QVERIFY(QDir(cwd.path()).mkpath(QStringLiteral("out")));
        CollectResult r = runCollect({url(m_utf8), QStringLiteral("out")}, cwd.path());
        QVERIFY2(r.exitCode == 0, r.err.constData());
        verifyFolder(cwd.filePath(QStringLiteral("out")), m_utf8);
        QVERIFY(!QFile::exists(cwd.filePath(QStringLiteral("out/out"))));
        QCOMPARE(encodedMessages(logMessages(cwd.filePath(QStringLiteral("Kestrune.log")))),
                 encodedAll(expectedDownloadLines(m_utf8)));

        // A run log that cannot be written is reported; the collection goes on.
        QTemporaryDir save;
        r = runCollect({"--log", cwd.filePath(QStringLiteral("no-such-dir/run.log")), url(m_sjis), save.path()},
                       cwd.path());
        QCOMPARE(r.exitCode, 0);
        const QStringList err = r.errText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(err.size(), 2);
        QVERIFY2(err[0].startsWith(QStringLiteral("kestrune-collect: cannot write the run log")), qPrintable(err[0]));
        QVERIFY(err[1].startsWith(QStringLiteral("kestrune-collect: 2 downloaded")));
        verifyFolder(save.path(), m_sjis);
    }

    void interruptDuringThePageLoad()
    {
        QTcpServer stalled; // the listing page never comes
        QVERIFY(stalled.listen(QHostAddress::LocalHost, 0));
        QTemporaryDir cwd;
        QTemporaryDir save;
        QProcess p;
        prepare(p, {"--timeout", "60", QStringLiteral("http://127.0.0.1:%1/logs/").arg(stalled.serverPort()), save.path()},
                cwd.path());
        p.start();
        QVERIFY(p.waitForStarted(5000));
        QThread::msleep(700);
        QCOMPARE(p.state(), QProcess::Running);
        QElapsedTimer t;
        t.start();
        QCOMPARE(::kill(pid_t(p.processId()), SIGINT), 0);
        const CollectResult r = finish(p, 10000);
        QVERIFY(!r.crashed);
        QCOMPARE(r.exitCode, 130);
        QVERIFY2(t.elapsed() < 3000, qPrintable(QString::number(t.elapsed())));
        const QString log = cwd.filePath(QStringLiteral("Kestrune.log"));
        verifyHeader(log);
        QCOMPARE(logMessages(log), QStringList());
    }

    void interruptDuringASizeProbe()
    {
        // The listing loads; the server never answers the file's size probe.
        TestHttpServerThread serverThread;
        QVERIFY(serverThread.start());
        TestHttpServer *server = serverThread.server();
        QMetaObject::invokeMethod(server, [server] {
            TestResponse listing;
            listing.contentType = "text/html";
            listing.body = "<html><body><pre><a href=\"/logs/stall.log\">stall.log</a></pre></body></html>";
            server->setRoute(QStringLiteral("/logs/"), listing);
            TestResponse stall;
            stall.stallBeforeHeaders = true;
            server->setRoute(QStringLiteral("/logs/stall.log"), stall);
        }, Qt::BlockingQueuedConnection);
        QTemporaryDir cwd;
        QTemporaryDir save;
        QProcess p;
        prepare(p, {server->url(QStringLiteral("/logs/")), save.path()}, cwd.path());
        p.start();
        QVERIFY(p.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(server->requests().size() >= 2, 10000); // the probe is waiting
        QElapsedTimer t;
        t.start();
        QCOMPARE(::kill(pid_t(p.processId()), SIGINT), 0);
        const CollectResult r = finish(p, 10000);
        QVERIFY(!r.crashed);
        QCOMPARE(r.exitCode, 130);
        QVERIFY2(t.elapsed() < 3000, qPrintable(QString::number(t.elapsed())));
        QVERIFY(QDir(save.path()).isEmpty());
    }

    void progressOnATerminal()
    {
        // script(1) gives the program a terminal for stderr.
        const QString script = QStandardPaths::findExecutable(QStringLiteral("script"));
        if (script.isEmpty())
            QSKIP("script(1) is not installed");
        const Site site = publish(QStringLiteral("slow/tty/"), QStringLiteral("[To Parent Directory]"),
                                  {{"one.log", "/slow/tty/one.log", "slow/tty/one.log", logBytes(61, 1200 * 1024)},
                                   {"two.log", "/slow/tty/two.log", "slow/tty/two.log", logBytes(62, 3000)}},
                                  "UTF-8", false);
        QTemporaryDir cwd;
        QTemporaryDir save;
        QProcess p;
        p.setProcessEnvironment(cleanEnvironment());
        p.setWorkingDirectory(cwd.path());
        p.start(script, {QStringLiteral("-qec"),
                         QStringLiteral("%1 %2 %3").arg(collectProgram(), url(site), save.path()),
                         QStringLiteral("/dev/null")});
        QVERIFY(p.waitForStarted(5000));
        const CollectResult r = finish(p, 30000);
        QCOMPARE(r.exitCode, 0);
        const QString shown = QString::fromUtf8(r.out);
        // The line of the file in transfer is rewritten in place ...
        static const QRegularExpression progress(
            QString::fromUtf8(R"(\r1/2 one\.log \d+(\.\d+)? (B|KiB|MiB)/1\.17 MiB \S+ \S+/s\x1b\[K)"));
        QVERIFY2(progress.match(shown).hasMatch(), qPrintable(shown.toHtmlEscaped()));
        QVERIFY(shown.contains(QStringLiteral("\r2/2 two.log ")));
        // ... and cleared before the summary, which stands on its own line.
        QVERIFY2(shown.contains(QStringLiteral("\r\x1b[Kkestrune-collect: 2 downloaded, 0 unchanged, 0 failed, ")),
                 qPrintable(shown.toHtmlEscaped()));
        verifyFolder(save.path(), site);
    }

    void throughTinyproxy()
    {
        TinyproxyFixture proxy;
        if (!proxy.start())
            QSKIP(qPrintable(proxy.errorString()));
        QTemporaryDir cwd;
        QTemporaryDir save;
        const CollectResult r = runCollect({"--proxy", proxy.address(), url(m_utf8), save.path()}, cwd.path());
        QVERIFY2(r.exitCode == 0, r.err.constData());
        verifyFolder(save.path(), m_utf8);
        // Every file request (size probe and download) went through the proxy.
        QTRY_VERIFY_WITH_TIMEOUT(!proxy.logText().isEmpty(), 3000);
        const QString log = proxy.logText();
        for (const QString &u : m_utf8.rowUrls)
            QVERIFY2(log.count(QStringLiteral("GET ") + encodedUrl(u)) >= 2, qPrintable(u + QLatin1Char('\n') + log));
    }

    void refusingProxyNeverGoesDirect()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const QString deadProxy = QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
        probe.close();
        QTemporaryDir cwd;
        QTemporaryDir save;
        m_nginx.clearAccessLog();
        const CollectResult r = runCollect({"--proxy", deadProxy, url(m_utf8), save.path()}, cwd.path());
        QVERIFY(!r.crashed);
        QCOMPARE(r.exitCode, 1);
        QStringList expected{kStart};
        for (const QString &u : m_utf8.rowUrls)
            expected.append(QStringLiteral("× ") + u);
        expected.append(kEnd + m_utf8.rowUrls.last());
        QCOMPARE(encodedMessages(logMessages(cwd.filePath(QStringLiteral("Kestrune.log")))), encodedAll(expected));
        // Only the listing page (loaded with the system's settings) reached
        // nginx; no file request went direct.
        QCOMPARE(m_nginx.requestLines(), QStringList{QStringLiteral("GET /utf8/ HTTP/1.1")});
        QCOMPARE(QDir(save.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
        QVERIFY2(r.errText().startsWith(QStringLiteral("kestrune-collect: 0 downloaded, 0 unchanged, 4 failed, 0 bytes")),
                 r.err.constData());
    }

    void interruptDiscardsTheFileInTransfer_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGTERM") << int(SIGTERM);
    }

    void interruptDiscardsTheFileInTransfer()
    {
        QFETCH(int, signal);
        // nginx sends /slow/ at 1 MiB/s: the 8 MiB file is still coming
        // when the signal arrives.
        const Site site = publish(QStringLiteral("slow/"), QStringLiteral("[To Parent Directory]"),
                                  {{"big.log", "/slow/big.log", "slow/big.log", logBytes(41, 8 * 1024 * 1024)},
                                   {"after.log", "/slow/after.log", "slow/after.log", logBytes(42, 100)}},
                                  "UTF-8", false);
        QTemporaryDir cwd;
        QTemporaryDir save;
        m_nginx.clearAccessLog();
        const QByteArray oldCopy = "the copy collected yesterday\r\n";
        QVERIFY(writeFile(save.filePath(QStringLiteral("big.log")), oldCopy));

        QProcess p;
        prepare(p, {url(site), save.path()}, cwd.path());
        p.start();
        QVERIFY(p.waitForStarted(5000));
        // Wait until the size probe of big.log is done (nginx logs it when
        // the probe drops the connection), then let the body stream a while.
        // The temporary file may have no name (Linux links it only on
        // commit), so the server's side tells how far the transfer got.
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 15000 && !m_nginx.accessLog().contains(QStringLiteral("GET /slow/big.log")))
            QThread::msleep(50);
        QVERIFY2(m_nginx.accessLog().contains(QStringLiteral("GET /slow/big.log")), "the probe never came");
        QThread::msleep(1500);
        QCOMPARE(p.state(), QProcess::Running);
        QCOMPARE(::kill(pid_t(p.processId()), signal), 0);
        t.restart();
        const CollectResult r = finish(p, 10000);
        QVERIFY(!r.crashed);
        QCOMPARE(r.exitCode, 130);
        QVERIFY(t.elapsed() < 3000); // prompt, not after the rest of the body
        QVERIFY2(r.errText().contains(QStringLiteral("interrupted")), r.err.constData());
        QCOMPARE(strayFiles(save.path(), {QStringLiteral("big.log")}), QStringList());
        QCOMPARE(readFile(save.filePath(QStringLiteral("big.log"))), oldCopy);
        QVERIFY(!QFile::exists(save.filePath(QStringLiteral("after.log")))); // the run did not go on
        // The download was cut short: nginx sent only part of the body.
        static const QRegularExpression bigLine(QStringLiteral("\"GET /slow/big.log HTTP/1.1\" 200 (\\d+)"));
        const auto bodyBytesSent = [&] {
            qint64 sent = -1;
            for (auto it = bigLine.globalMatch(m_nginx.accessLog()); it.hasNext();)
                sent = it.next().captured(1).toLongLong();
            return sent;
        };
        // nginx logs the cut download once it notices the closed connection.
        QTRY_VERIFY_WITH_TIMEOUT(m_nginx.requestLines().count(QStringLiteral("GET /slow/big.log HTTP/1.1")) == 2, 5000);
        const qint64 sent = bodyBytesSent();
        QVERIFY2(sent > 100000 && sent < 8 * 1024 * 1024, qPrintable(m_nginx.accessLog()));
        const QString log = cwd.filePath(QStringLiteral("Kestrune.log"));
        verifyHeader(log);
        QCOMPARE(logMessages(log), QStringList{kStart});
    }
};

QTEST_GUILESS_MAIN(TestE2eCollect)
#include "tst_e2e_collect.moc"
