// kestrune-collect end to end: the real program, run as a process, against
// nginx serving IIS-style listing pages and log files on loopback, directly
// and through tinyproxy.

#include "E2eSupport.h"
#include "base/collection/FolderLock.h"
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
#include <QUrl>
#include <QtTest>

#include <algorithm>
#include <csignal>

#include <unistd.h>

using namespace kestrune;

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

    // A UTF-8 page at prefix linking its files root-relative (then the extra entries).
    Site publish(const QString &prefix, const QList<QPair<QString, QByteArray>> &files,
                 const QList<Entry> &extra = {})
    {
        QList<SiteFile> siteFiles;
        for (const auto &[name, bytes] : files)
            siteFiles.append({name, QLatin1Char('/') + prefix + name, prefix + name, bytes});
        return e2e::publish(m_nginx, prefix, QStringLiteral("[To Parent Directory]"), siteFiles,
                            "UTF-8", false, extra);
    }

    QString url(const Site &s) const { return m_nginx.url(s.pagePath); }

    // The run log of a run that worked every row: mark + URL per row.
    static QStringList expectedLines(const Site &s, const QString &mark)
    {
        QStringList lines{kStart};
        for (const QString &u : s.rowUrls)
            lines.append(mark + u);
        lines.append(kEnd + s.rowUrls.last());
        return encoded(lines);
    }

    // URLs at the end of log lines, percent-encoded, so that a comparison
    // does not depend on how the page wrote them.
    static QStringList encoded(const QStringList &messages)
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

    static QStringList runLog(const QString &path) { return encoded(logMessages(path)); }

    // Sends sig to the running program, which must end with 130 (SIGINT)
    // or 143 (SIGTERM), saying so and giving the totals so far, and not go
    // on with the rest: the callers leave it a rest that is long (a
    // 60-second stall) or that shows on the server (a body cut short).
    static void interrupt(QProcess &p, int sig, CollectResult &r)
    {
        QCOMPARE(::kill(pid_t(p.processId()), sig), 0);
        r = finish(p, 30000);
        QVERIFY(!r.crashed);
        QCOMPARE(r.exitCode, sig == SIGTERM ? 143 : 130);
        const QStringList err = r.errLines();
        QVERIFY2(err.size() >= 2, r.err.constData());
        QCOMPARE(err[err.size() - 2], QStringLiteral("kestrune-collect: interrupted"));
        QVERIFY2(err.last().startsWith(QStringLiteral(
                     "kestrune-collect: 0 downloaded, 0 unchanged, 0 failed, 0 bytes in ")),
                 r.err.constData());
    }

    static void verifyHeader(const QString &logPath)
    {
        const QStringList lines = logLines(logPath);
        QVERIFY2(lines.size() >= 4, qPrintable(lines.join(QLatin1Char('|'))));
        QCOMPARE(lines[0], QStringLiteral("Kestrune"));
        QCOMPARE(lines[1], QString(58, QLatin1Char('=')));
        QVERIFY2(QRegularExpression(
                     QStringLiteral("^\\d{4}年\\d\\d月\\d\\d日 \\d\\d時\\d\\d分\\d\\d秒に起動$"))
                     .match(lines[2])
                     .hasMatch(),
                 qPrintable(lines[2]));
        QCOMPARE(lines[3], QString(58, QLatin1Char('=')));
        const QRegularExpression stamp(
            QStringLiteral("^\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\t"));
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
        // percent-encoded in the href, and a sub-folder that is itself a
        // listing (named on stderr, never collected).
        const QByteArray subPage =
            listingPage(QStringLiteral("/utf8/sub/"), QStringLiteral("[To Parent Directory]"),
                        {{QStringLiteral("x.log"), QStringLiteral("/utf8/sub/x.log"), 10, false}});
        m_nginx.writeFile(QStringLiteral("utf8/sub/index.html"), subPage);
        m_utf8 = e2e::publish(
            m_nginx, QStringLiteral("utf8/"), QStringLiteral("[To Parent Directory]"),
            {{QStringLiteral("u_ex261201.log"), QStringLiteral("/utf8/u_ex261201.log"),
              QStringLiteral("utf8/u_ex261201.log"), logBytes(1, 20000)},
             {QStringLiteral("u_ex261202.log"), m_nginx.url(QStringLiteral("/utf8/u_ex261202.log")),
              QStringLiteral("utf8/u_ex261202.log"), logBytes(2, 700000)},
             {QStringLiteral("アクセス_261203.log"),
              QStringLiteral("/utf8/%E3%82%A2%E3%82%AF%E3%82%BB%E3%82%B9_261203.log"),
              QStringLiteral("utf8/アクセス_261203.log"), logBytes(3, 5003)}},
            "UTF-8", false, {{QStringLiteral("sub"), QStringLiteral("/utf8/sub/"), 0, true}});

        // windows-31j page declared in a <meta>, Japanese names written
        // raw in the hrefs (one root-relative, one relative).
        m_sjis = e2e::publish(m_nginx, QStringLiteral("sjis/"),
                              QStringLiteral("[親ディレクトリへ]"),
                              {{QStringLiteral("日本語ログ_261201.log"),
                                QStringLiteral("/sjis/日本語ログ_261201.log"),
                                QStringLiteral("sjis/日本語ログ_261201.log"), logBytes(11, 12345)},
                               {QStringLiteral("エラー記録.log"), QStringLiteral("エラー記録.log"),
                                QStringLiteral("sjis/エラー記録.log"),
                                logBytes(12, 64 * 1024 + 7)}},
                              "windows-31j", true);
    }

    void commandLine_data()
    {
        // Help and version end at once; a command line that cannot run ends
        // with status 2 and one line on stderr (the wording is the parser's).
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("mention"); // the start of stdout, or part of the stderr line
        const QString url = m_nginx.url(QStringLiteral("/utf8/"));
        QTest::newRow("version") << QStringList{"--version"} << 0
                                 << QStringLiteral("kestrune-collect 1.0.0\n");
        QTest::newRow("short version")
            << QStringList{"-V"} << 0 << QStringLiteral("kestrune-collect 1.0.0\n");
        const QString usage = QStringLiteral("Usage: kestrune-collect [options] URL FOLDER\n");
        QTest::newRow("help wins over errors") << QStringList{"--bogus", "--help"} << 0 << usage;
        QTest::newRow("short help") << QStringList{"-h"} << 0 << usage;
        QTest::newRow("unknown option")
            << QStringList{"--fast", url, "."} << 2 << QStringLiteral("Unknown option 'fast'.");
        QTest::newRow("folder is a file")
            << QStringList{url, "plain.txt"} << 2
            << QStringLiteral("cannot use the folder \"plain.txt\": not a folder");
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, mention);
        QTemporaryDir cwd;
        QVERIFY(writeFile(cwd.filePath(QStringLiteral("plain.txt")), "x"));
        m_nginx.clearAccessLog();
        const CollectResult r = runCollect(arguments, cwd.path());
        QVERIFY(!r.crashed);
        QCOMPARE(r.exitCode, exitCode);
        if (exitCode == 0) {
            QVERIFY2(QString::fromUtf8(r.out).startsWith(mention), r.out.constData());
            QCOMPARE(r.err, QByteArray());
        } else {
            QCOMPARE(r.out, QByteArray());
            const QStringList lines = r.errLines();
            QCOMPARE(lines.size(), 1);
            QVERIFY2(lines[0].startsWith(QStringLiteral("kestrune-collect: ")),
                     qPrintable(lines[0]));
            QVERIFY2(lines[0].contains(mention), qPrintable(lines[0]));
        }
        // Nothing was started: no log, no request.
        QVERIFY(!QFile::exists(cwd.filePath(QStringLiteral("Kestrune.log"))));
        QCOMPARE(m_nginx.requestLines(), QStringList());
    }

    void listingFailures_data()
    {
        QTest::addColumn<QString>("path");      // on nginx; empty: the stalled server
        QTest::addColumn<QString>("logLine");   // the run log's event line (before the URL)
        QTest::addColumn<QString>("errorText"); // part of the stderr line
        QTest::newRow("404 page") << QStringLiteral("/missing/")
                                  << QStringLiteral("× ページを表示できません。\t")
                                  << QStringLiteral("could not be loaded");
        QTest::newRow("not-found sentence")
            << QStringLiteral("/gone/")
            << QStringLiteral("× 指定されたドキュメントは存在しません。\t")
            << QStringLiteral("does not exist");
        QTest::newRow("time-out") << QString() << QStringLiteral("× タイムアウトが発生しました。\t")
                                  << QStringLiteral("did not load within 1 s");
        QTest::newRow("refused") << QStringLiteral("refused")
                                 << QStringLiteral("× ページを表示できません。\t")
                                 << QStringLiteral("could not be loaded");
    }

    void listingFailures()
    {
        QFETCH(QString, path);
        QFETCH(QString, logLine);
        QFETCH(QString, errorText);
        m_nginx.writeFile(
            QStringLiteral("gone/index.html"),
            QStringLiteral(
                "<html><body><p>指定されたドキュメントは存在しません。</p></body></html>")
                .toUtf8());
        QTcpServer stalled; // listens, never answers: the page never completes
        QString target = m_nginx.url(path);
        if (path.isEmpty()) {
            QVERIFY(stalled.listen(QHostAddress::LocalHost, 0));
            target = QStringLiteral("http://127.0.0.1:%1/logs/").arg(stalled.serverPort());
        } else if (path == QLatin1String("refused")) {
            target = QStringLiteral("http://127.0.0.1:%1/logs/").arg(closedPort());
        }
        QTemporaryDir cwd;
        QTemporaryDir save;
        QElapsedTimer t;
        t.start();
        const CollectResult r = runCollect({"--timeout", "1", target, save.path()}, cwd.path());
        QVERIFY(!r.crashed);
        QCOMPARE(r.exitCode, 2);
        const QStringList lines = r.errLines();
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines[0].contains(errorText), qPrintable(lines[0]));
        QVERIFY2(lines[1].startsWith(QStringLiteral(
                     "kestrune-collect: 0 downloaded, 0 unchanged, 0 failed, 0 bytes in ")),
                 qPrintable(lines[1]));
        const QString log = cwd.filePath(QStringLiteral("Kestrune.log"));
        verifyHeader(log);
        const QStringList messages = logMessages(log);
        QCOMPARE(messages.size(), 1);
        QVERIFY2(messages[0].startsWith(logLine), qPrintable(messages[0]));
        QCOMPARE(QDir(save.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
        if (path.isEmpty()) {
            // The stalled page ended through the 1 s given, not the 30 s the
            // program takes by default.
            QVERIFY2(t.elapsed() >= 900 && t.elapsed() < 20000,
                     qPrintable(QString::number(t.elapsed())));
        }
    }

    void listingWithOnlyTheParentLink()
    {
        // No log files is not a failure: the run log holds its header only,
        // as after the start command on an empty list.
        const Site empty = publish(QStringLiteral("empty/"), {});
        QTemporaryDir cwd;
        QTemporaryDir save;
        const CollectResult r = runCollect({url(empty), save.path()}, cwd.path());
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.errText().startsWith(QStringLiteral(
                     "kestrune-collect: 0 downloaded, 0 unchanged, 0 failed, 0 bytes in ")),
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
        const QString log = cwd.filePath(QStringLiteral("Kestrune.log"));

        // Fresh: every file collected byte for byte.
        CollectResult r = runCollect({url(site), save.path()}, cwd.path());
        QVERIFY(!r.crashed);
        QVERIFY2(r.exitCode == 0, r.err.constData());
        verifyFolder(save.path(), site);
        verifyHeader(log);
        QCOMPARE(runLog(log), expectedLines(site, QStringLiteral("○ ")));
        // Not a terminal: no progress, only the summary.
        QVERIFY(!r.err.contains('\r'));
        qint64 total = 0;
        for (const SiteFile &f : site.files)
            total += f.bytes.size();
        // The UTF-8 page's sub-folder is named before the summary.
        const QStringList folderLine =
            site.pagePath == m_utf8.pagePath
                ? QStringList{QStringLiteral("kestrune-collect: not collected, sub-folders: sub/")}
                : QStringList();
        QCOMPARE(r.errLines().size(), folderLine.size() + 1);
        QCOMPARE(r.errLines().mid(0, folderLine.size()), folderLine);
        QVERIFY2(r.errLines().last().startsWith(
                     QStringLiteral(
                         "kestrune-collect: %1 downloaded, 0 unchanged, 0 failed, %2 bytes in ")
                         .arg(site.files.size())
                         .arg(total)),
                 r.err.constData());

        // Second run: all unchanged, the local copies untouched.
        const QDateTime old = QDateTime::currentDateTime().addDays(-3);
        for (const SiteFile &f : site.files) {
            QFile local(save.filePath(f.name));
            QVERIFY(local.open(QIODevice::ReadWrite));
            QVERIFY(local.setFileTime(old, QFileDevice::FileModificationTime));
        }
        r = runCollect({url(site), save.path()}, cwd.path());
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(runLog(log), expectedLines(site, kSame));
        verifyFolder(save.path(), site);
        for (const SiteFile &f : site.files)
            QCOMPARE(QFileInfo(save.filePath(f.name)).lastModified().toSecsSinceEpoch(),
                     old.toSecsSinceEpoch());
        QCOMPARE(r.errLines().size(), folderLine.size() + 1);
        QVERIFY2(r.errLines().last().startsWith(
                     QStringLiteral(
                         "kestrune-collect: 0 downloaded, %1 unchanged, 0 failed, 0 bytes in ")
                         .arg(site.files.size())),
                 r.err.constData());
    }

    void grownDeletedAndUnsafeRows()
    {
        const QList<QPair<QString, QByteArray>> files{{"a.log", logBytes(21, 3000)},
                                                      {"b.log", logBytes(22, 4000)},
                                                      {"c.log", logBytes(23, 5000)}};
        Site site = publish(QStringLiteral("mut/"), files);
        QTemporaryDir cwd;
        QTemporaryDir parent;
        const QString save = parent.filePath(QStringLiteral("save"));
        QVERIFY(QDir().mkpath(save));
        CollectResult r = runCollect({url(site), save}, cwd.path());
        QVERIFY2(r.exitCode == 0, r.err.constData());
        verifyFolder(save, site);

        // The page now also lists a name that would leave the save folder;
        // b grows on the server, c is deleted there (nginx answers 404).
        site = publish(QStringLiteral("mut/"), files,
                       {{QStringLiteral("../escape.log"), QStringLiteral("/mut/escape.log"), 10,
                         false}});
        m_nginx.writeFile(QStringLiteral("mut/escape.log"), "escaped");
        const QByteArray grown = logBytes(22, 4000) + logBytes(24, 1500);
        QVERIFY(m_nginx.appendFile(QStringLiteral("mut/b.log"), logBytes(24, 1500)));
        QVERIFY(m_nginx.removeFile(QStringLiteral("mut/c.log")));
        m_nginx.clearAccessLog();
        r = runCollect({url(site), save, "--log", "second.log"}, cwd.path());
        QVERIFY(!r.crashed);
        QCOMPARE(r.exitCode, 1);
        const QString escapeUrl = m_nginx.url(QStringLiteral("/mut/escape.log"));
        QCOMPARE(logMessages(cwd.filePath(QStringLiteral("second.log"))),
                 (QStringList{kStart, kSame + site.rowUrls[0],
                              QStringLiteral("○ ") + site.rowUrls[1],
                              QStringLiteral("× ") + site.rowUrls[2],
                              QStringLiteral("× ファイル名が不正です。\t") + escapeUrl,
                              kEnd + escapeUrl}));
        QCOMPARE(readFile(save + QStringLiteral("/a.log")), logBytes(21, 3000));
        QCOMPARE(readFile(save + QStringLiteral("/b.log")), grown);
        QCOMPARE(readFile(save + QStringLiteral("/c.log")), logBytes(23, 5000)); // intact
        QCOMPARE(strayFiles(save, site.names), QStringList());
        QVERIFY(!QFile::exists(parent.filePath(QStringLiteral("escape.log"))));
        QVERIFY(m_nginx.accessLog().contains(QStringLiteral("\"GET /mut/c.log HTTP/1.1\" 404")));
        QVERIFY(!m_nginx.accessLog().contains(QStringLiteral("/mut/escape.log")));
        // Each failed row says why on stderr; the summary comes last.
        const QStringList err = r.errText().split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(err.size(), 3);
        QCOMPARE(err[0], QStringLiteral("kestrune-collect: c.log: HTTP 404 Not Found (%1)")
                             .arg(site.rowUrls[2]));
        QCOMPARE(err[1], QStringLiteral("kestrune-collect: ../escape.log: unsafe file name (%1)")
                             .arg(escapeUrl));
        QVERIFY2(err[2].startsWith(QStringLiteral(
                     "kestrune-collect: 1 downloaded, 1 unchanged, 2 failed, 5500 bytes")),
                 r.err.constData());
    }

    void quietRelativeFolderAndLogPaths()
    {
        // A relative FOLDER means the same folder for every row, although
        // the run moves the current directory after each download; a
        // relative log path is taken from where the program started.
        QTemporaryDir cwd;
        QVERIFY(QDir(cwd.path()).mkpath(QStringLiteral("out")));
        QVERIFY(QDir(cwd.path()).mkpath(QStringLiteral("logs")));
        CollectResult r = runCollect({"--quiet", "--log=logs/run.log", url(m_utf8), "out"},
                                     cwd.path());
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.err, QByteArray());
        QCOMPARE(r.out, QByteArray());
        verifyFolder(cwd.filePath(QStringLiteral("out")), m_utf8);
        QVERIFY(!QFile::exists(cwd.filePath(QStringLiteral("out/out"))));
        QVERIFY(!QFile::exists(cwd.filePath(QStringLiteral("Kestrune.log"))));
        const QString log = cwd.filePath(QStringLiteral("logs/run.log"));
        verifyHeader(log);
        QCOMPARE(runLog(log), expectedLines(m_utf8, QStringLiteral("○ ")));
    }

    void exitStatus_data()
    {
        // In the arguments PAGE stands for the UTF-8 listing, SAVE for the
        // save folder, CWD for the working folder.
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("folder"); // the save folder: ok, missing, read-only, in use
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("firstLine"); // stderr's first line; SAVE and PAGE replaced
        QTest::addColumn<bool>("started");      // a run: the server was asked, the summary ends it

        const QString all = QStringLiteral("kestrune-collect: 3 downloaded, 0 unchanged, 0 failed");
        QTest::newRow("usage error") << QStringList{"--jobs", "0", "PAGE", "SAVE"} << "ok" << 2
                                     << "kestrune-collect: option --jobs needs a number from 1 "
                                        "to 32, not \"0\" (see kestrune-collect --help)"
                                     << false;
        QTest::newRow("folder missing")
            << QStringList{"PAGE", "SAVE"} << "missing" << 2
            << "kestrune-collect: cannot use the folder \"SAVE\": No such file or directory"
            << false;
        QTest::newRow("folder not writable")
            << QStringList{"PAGE", "SAVE"} << "read-only" << 2
            << "kestrune-collect: cannot write into the folder \"SAVE\": Permission denied"
            << false;
        QTest::newRow("folder in use")
            << QStringList{"PAGE", "SAVE"} << "in use" << 2
            << "kestrune-collect: the folder \"SAVE\" is in use by another collection" << false;
        QTest::newRow("page is a text file")
            << QStringList{"TEXT", "SAVE"} << "ok" << 2
            << "kestrune-collect: the listing page is not HTML (text/plain): TEXT" << true;
        QTest::newRow("page is an archive")
            << QStringList{"GZIP", "SAVE"} << "ok" << 2
            << "kestrune-collect: the listing page is not HTML (application/octet-stream): GZIP"
            << true;
        QTest::newRow("run log not writable")
            << QStringList{"--log", "CWD/no-such-dir/run.log", "PAGE", "SAVE"} << "ok" << 1
            << "kestrune-collect: cannot write the run log \"CWD/no-such-dir/run.log\" (No such "
               "file or directory); collecting without it"
            << true;
        QTest::newRow("all collected") << QStringList{"PAGE", "SAVE"} << "ok" << 0 << all << true;
        QTest::newRow("no scheme, one job at a time")
            << QStringList{"-j", "1", "HOSTPAGE", "SAVE"} << "ok" << 0 << all << true;
    }

    void exitStatus()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, folder);
        QFETCH(int, exitCode);
        QFETCH(QString, firstLine);
        QFETCH(bool, started);
        QTemporaryDir cwd;
        QTemporaryDir parent;
        QString save = parent.filePath(QStringLiteral("save"));
        if (folder != QLatin1String("missing"))
            QVERIFY(QDir().mkpath(save));
        m_nginx.writeFile(QStringLiteral("files/readme.txt"), "<a href=\"x.log\">x.log</a>\n");
        m_nginx.writeFile(QStringLiteral("files/logs.gz"), QByteArray("\x1f\x8b\x08\0\0\0\0\0", 8));
        const QString page = url(m_utf8);
        const QString text = m_nginx.url(QStringLiteral("/files/readme.txt"));
        const QString gzip = m_nginx.url(QStringLiteral("/files/logs.gz"));
        const auto fill = [&](QString t) {
            return t.replace(QStringLiteral("HOSTPAGE"), page.mid(int(qstrlen("http://"))))
                .replace(QStringLiteral("PAGE"), page)
                .replace(QStringLiteral("TEXT"), text)
                .replace(QStringLiteral("GZIP"), gzip)
                .replace(QStringLiteral("SAVE"), save)
                .replace(QStringLiteral("CWD"), cwd.path());
        };
        for (QString &a : arguments)
            a = fill(a);

        QProcess p;
        prepare(p, arguments, cwd.path());
        FolderLock other; // another collection at work in the folder
        if (folder == QLatin1String("in use")) {
            QCOMPARE(other.lock(save), FolderLock::Outcome::Locked);
        } else if (folder == QLatin1String("read-only")) {
            QVERIFY(QFile::setPermissions(save, QFileDevice::Permissions(0x5555)));
            QVERIFY(QFile::setPermissions(cwd.path(), QFileDevice::Permissions(0x7777)));
            QVERIFY(QFile::setPermissions(parent.path(), QFileDevice::Permissions(0x7777)));
            if (!runAsNobodyIfRoot(p))
                QSKIP("setpriv (util-linux) is needed to run as nobody");
        }
        m_nginx.clearAccessLog();
        p.start();
        QVERIFY(p.waitForStarted(5000));
        const CollectResult r = finish(p, 30000);
        QFile::setPermissions(save, QFileDevice::Permissions(0x7777));
        QVERIFY(!r.crashed);
        QVERIFY2(r.exitCode == exitCode, r.err.constData());
        QCOMPARE(r.out, QByteArray());
        const QStringList err = r.errLines();
        QVERIFY2(!err.isEmpty(), "nothing on stderr");
        // The line that tells; a listing's sub-folders may be named before it.
        QVERIFY2(std::any_of(err.cbegin(), err.cend(),
                             [&](const QString &line) { return line.startsWith(fill(firstLine)); }),
                 r.err.constData());
        if (!started) {
            // Ended before anything was asked of the server or written.
            QCOMPARE(err.size(), 1);
            QCOMPARE(m_nginx.requestLines(), QStringList());
            QVERIFY(!QFile::exists(cwd.filePath(QStringLiteral("Kestrune.log"))));
            if (folder != QLatin1String("missing"))
                QCOMPARE(QDir(save).entryList(QDir::AllEntries | QDir::NoDotAndDotDot
                                              | QDir::Hidden),
                         QStringList());
            return;
        }
        QVERIFY(!m_nginx.requestLines().isEmpty());
        static const QRegularExpression summary(QStringLiteral(
            "^kestrune-collect: \\d+ downloaded, \\d+ unchanged, \\d+ failed, \\d+ bytes in "));
        QVERIFY2(summary.match(err.last()).hasMatch(), r.err.constData());
        if (exitCode == 2) {
            // A page that is no listing: nothing collected, the log says so.
            QCOMPARE(QDir(save).entryList(QDir::Files | QDir::Hidden), QStringList());
            QCOMPARE(logMessages(cwd.filePath(QStringLiteral("Kestrune.log"))),
                     QStringList{QStringLiteral("× ページ分析エラー！\t") + fill(arguments[0])});
        } else {
            verifyFolder(save, m_utf8);
        }
        // The folder is free again once the run has ended.
        if (folder == QLatin1String("ok")) {
            FolderLock after;
            QCOMPARE(after.lock(save), FolderLock::Outcome::Locked);
        }
    }

    void appendedLogKeepsEveryRun()
    {
        QTemporaryDir cwd;
        QTemporaryDir save;
        const QString log = cwd.filePath(QStringLiteral("runs.log"));
        for (int run = 0; run < 2; ++run) {
            const CollectResult r = runCollect({"--log-append", "--log", log, "--quiet",
                                                url(m_sjis), save.path()},
                                               cwd.path());
            QVERIFY2(r.exitCode == 0, r.err.constData());
        }
        // Two runs, each with its header: the first collected, the second
        // found everything unchanged.
        const QByteArray bytes = readFile(log);
        QCOMPARE(bytes.count("Kestrune\r\n"), 2);
        const qsizetype cut = bytes.indexOf("Kestrune\r\n", 1);
        const QString part = cwd.filePath(QStringLiteral("part.log"));
        QVERIFY(writeFile(part, bytes.left(cut)));
        verifyHeader(part);
        QCOMPARE(runLog(part), expectedLines(m_sjis, QStringLiteral("○ ")));
        QVERIFY(writeFile(part, bytes.mid(cut)));
        verifyHeader(part);
        QCOMPARE(runLog(part), expectedLines(m_sjis, kSame));

        // A file that is no run log is left alone, appending or not.
        const QString other = cwd.filePath(QStringLiteral("notes.txt"));
        QVERIFY(writeFile(other, "notes\r\n"));
        const CollectResult r = runCollect({"--log-append", "--log", other, url(m_sjis),
                                            save.path()},
                                           cwd.path());
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(readFile(other), QByteArray("notes\r\n"));
    }

    void interruptWhileWaiting_data()
    {
        QTest::addColumn<int>("requests"); // the one that never gets its answer
        QTest::addColumn<QStringList>("messages");
        QTest::newRow("during the page load") << 1 << QStringList();
        QTest::newRow("during a size probe") << 2 << QStringList{kStart};
    }

    void interruptWhileWaiting()
    {
        QFETCH(int, requests);
        QFETCH(QStringList, messages);
        // The listing page, or else the size probe of its one file, is never answered.
        TestHttpServerThread serverThread;
        QVERIFY(serverThread.start());
        TestHttpServer *server = serverThread.server();
        TestResponse stall;
        stall.stallBeforeHeaders = true;
        TestResponse listing;
        listing.contentType = "text/html";
        listing.body =
            "<html><body><pre><a href=\"/logs/stall.log\">stall.log</a></pre></body></html>";
        server->setRoute(QStringLiteral("/logs/"), requests == 1 ? stall : listing);
        server->setRoute(QStringLiteral("/logs/stall.log"), stall);
        QTemporaryDir cwd;
        QTemporaryDir save;
        QProcess p;
        QVERIFY(
            startCollect(p, {"--timeout", "60", server->url(QStringLiteral("/logs/")), save.path()},
                         cwd.path()));
        QTRY_VERIFY_WITH_TIMEOUT(server->requests().size() >= requests, 30000);
        CollectResult r;
        interrupt(p, SIGINT, r);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(QDir(save.path()).isEmpty());
        const QString log = cwd.filePath(QStringLiteral("Kestrune.log"));
        verifyHeader(log);
        QCOMPARE(logMessages(log), messages);
    }

    void progressOnATerminal()
    {
        // script(1) gives the program a terminal for stderr.
        const QString script = QStandardPaths::findExecutable(QStringLiteral("script"));
        if (script.isEmpty())
            QSKIP("script(1) is not installed");
        const Site site = publish(QStringLiteral("slow/tty/"),
                                  {{"one.log", logBytes(61, 1200 * 1024)},
                                   {"two.log", logBytes(62, 3000)}});
        QTemporaryDir cwd;
        QTemporaryDir save;
        QProcess p;
        p.setProcessEnvironment(cleanEnvironment());
        p.setWorkingDirectory(cwd.path());
        p.start(script, {QStringLiteral("-qec"),
                         QStringLiteral("%1 %2 %3").arg(collectProgram(), url(site), save.path()),
                         QStringLiteral("/dev/null")});
        QVERIFY(p.waitForStarted(30000));
        const CollectResult r = finish(p, 30000);
        QCOMPARE(r.exitCode, 0);
        const QString shown = QString::fromUtf8(r.out);
        // The line of the file in transfer is rewritten in place ...
        static const QRegularExpression progress(QString::fromUtf8(
            R"(\r1/2 one\.log \d+(\.\d+)? (B|KiB|MiB)/1\.17 MiB \S+ \S+/s\x1b\[K)"));
        QVERIFY2(progress.match(shown).hasMatch(), qPrintable(shown.toHtmlEscaped()));
        QVERIFY(shown.contains(QStringLiteral("\r2/2 two.log ")));
        // ... and cleared before the summary, which stands on its own line.
        QVERIFY2(shown.contains(QStringLiteral(
                     "\r\x1b[Kkestrune-collect: 2 downloaded, 0 unchanged, 0 failed, ")),
                 qPrintable(shown.toHtmlEscaped()));
        verifyFolder(save.path(), site);
    }

    void fileRequestsGoThroughTheProxy_data()
    {
        QTest::addColumn<bool>("refusing");
        QTest::newRow("tinyproxy") << false;
        QTest::newRow("refusing proxy: never direct") << true;
    }

    void fileRequestsGoThroughTheProxy()
    {
        QFETCH(bool, refusing);
        TinyproxyFixture proxy;
        if (!refusing && !proxy.start())
            QSKIP(qPrintable(proxy.errorString()));
        const QString proxyText = refusing ? QStringLiteral("127.0.0.1:%1").arg(closedPort())
                                           : proxy.address();
        QTemporaryDir cwd;
        QTemporaryDir save;
        m_nginx.clearAccessLog();
        const CollectResult r = runCollect({"--proxy", proxyText, url(m_utf8), save.path()},
                                           cwd.path());
        QVERIFY(!r.crashed);
        QCOMPARE(r.exitCode, refusing ? 1 : 0);
        QCOMPARE(runLog(cwd.filePath(QStringLiteral("Kestrune.log"))),
                 expectedLines(m_utf8, refusing ? QStringLiteral("× ") : QStringLiteral("○ ")));
        if (refusing) {
            // Only the listing page (loaded with the system's settings)
            // reached nginx; no file request went direct.
            QCOMPARE(m_nginx.requestLines(), QStringList{QStringLiteral("GET /utf8/ HTTP/1.1")});
            QCOMPARE(QDir(save.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
            const QStringList err = r.errText().split(u'\n', Qt::SkipEmptyParts);
            QCOMPARE(err.size(), 5);
            QCOMPARE(err[0], QStringLiteral("kestrune-collect: not collected, sub-folders: sub/"));
            for (int i = 1; i < 4; ++i)
                QVERIFY2(err[i].contains(QStringLiteral(": connection refused")),
                         qPrintable(err[i]));
            QVERIFY2(err[4].startsWith(QStringLiteral(
                         "kestrune-collect: 0 downloaded, 0 unchanged, 3 failed, 0 bytes")),
                     r.err.constData());
            return;
        }
        verifyFolder(save.path(), m_utf8);
        // Every file request went through the proxy, which logs them as it
        // handles them: one each, as no file had a copy to compare.
        const auto allThrough = [&] {
            const QString log = proxy.logText();
            return std::all_of(m_utf8.rowUrls.cbegin(), m_utf8.rowUrls.cend(),
                               [&](const QString &u) {
                                   return log.count(QStringLiteral("GET ") + encodedUrl(u)) >= 1;
                               });
        };
        QTRY_VERIFY2_WITH_TIMEOUT(allThrough(), qPrintable(proxy.logText()), 30000);
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
        const Site site = publish(QStringLiteral("slow/"),
                                  {{"big.log", logBytes(41, 8 * 1024 * 1024)},
                                   {"after.log", logBytes(42, 100)}});
        QTemporaryDir cwd;
        QTemporaryDir save;
        m_nginx.clearAccessLog();
        const QByteArray oldCopy = "the copy collected yesterday\r\n";
        QVERIFY(writeFile(save.filePath(QStringLiteral("big.log")), oldCopy));

        QProcess p;
        // One file after another: the run must not go on past the signal.
        QVERIFY(startCollect(p, {"--jobs", "1", url(site), save.path()}, cwd.path()));
        // Wait until the size probe of big.log is done (nginx logs it when
        // the probe drops the connection), then until the body has come in
        // part.  The temporary file may have no name (Linux links it only on
        // commit): the file the program writes, seen through /proc, tells
        // how far the transfer got.
        QTRY_VERIFY2_WITH_TIMEOUT(m_nginx.accessLog().contains(QStringLiteral("GET /slow/big.log")),
                                  "the probe never came", 30000);
        QTRY_VERIFY2_WITH_TIMEOUT(filesWrittenPast(p.processId(), 256 * 1024) > 0,
                                  "the body never came", 30000);
        QCOMPARE(p.state(), QProcess::Running);
        CollectResult r;
        interrupt(p, signal, r);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(strayFiles(save.path(), {QStringLiteral("big.log")}), QStringList());
        QCOMPARE(readFile(save.filePath(QStringLiteral("big.log"))), oldCopy);
        QVERIFY(
            !QFile::exists(save.filePath(QStringLiteral("after.log")))); // the run did not go on
        // The download was cut short: nginx sent only part of the body.  It
        // logs the cut download once it notices the closed connection.
        QTRY_VERIFY_WITH_TIMEOUT(m_nginx.requestLines().count(
                                     QStringLiteral("GET /slow/big.log HTTP/1.1"))
                                     == 2,
                                 30000);
        // (A copy shorter than the file is asked for as a range from its start.)
        static const QRegularExpression bigLine(
            QStringLiteral("\"GET /slow/big.log HTTP/1.1\" 20[06] (\\d+)"));
        qint64 sent = -1;
        for (auto it = bigLine.globalMatch(m_nginx.accessLog()); it.hasNext();)
            sent = it.next().captured(1).toLongLong();
        QVERIFY2(sent > 100000 && sent < 8 * 1024 * 1024, qPrintable(m_nginx.accessLog()));
        const QString log = cwd.filePath(QStringLiteral("Kestrune.log"));
        verifyHeader(log);
        QCOMPARE(logMessages(log), QStringList{kStart});
    }

    // A listing whose names hold control characters cannot forge a line or
    // steer the terminal: stderr and the run log show them escaped, one
    // message per line.
    void controlCharactersInNamesAndAddresses()
    {
        const Site site = publish(QStringLiteral("ctl/"), {{"ok.log", logBytes(45, 300)}},
                                  {{QStringLiteral("a&#13;&#10;kestrune-collect: forged.log"),
                                    QStringLiteral("/ctl/a.log"), 10, false},
                                   {QStringLiteral("b&#9;\x7f") + QChar(0x9b)
                                        + QStringLiteral("31m.log"),
                                    QStringLiteral("/ctl/b.log"), 10, false},
                                   {QStringLiteral("sub"),
                                    QStringLiteral("/ctl/s%0D%0Aforged%1B%5B2J/"), 0, true}});
        QTemporaryDir cwd;
        QTemporaryDir save;
        const CollectResult r = runCollect({url(site), save.path()}, cwd.path());
        QVERIFY(!r.crashed);
        QCOMPARE(r.exitCode, 1);
        // No control character but the line ends; no C1 character (C2 80..9F).
        for (qsizetype i = 0; i < r.err.size(); ++i) {
            const uchar c = uchar(r.err.at(i));
            QVERIFY2((c >= 0x20 && c != 0x7f) || c == '\n', r.err.constData());
            if (c == 0xc2 && i + 1 < r.err.size())
                QVERIFY2(uchar(r.err.at(i + 1)) > 0x9f, r.err.constData());
        }
        const QStringList lines = r.errLines();
        for (const QString &line : lines)
            QVERIFY2(line.startsWith(QStringLiteral("kestrune-collect: ")), r.err.constData());
        const auto hasLine = [&](const QString &start) {
            return std::any_of(lines.cbegin(), lines.cend(),
                               [&](const QString &l) { return l.startsWith(start); });
        };
        QVERIFY2(hasLine(QStringLiteral("kestrune-collect: a\\r\\nkestrune-collect: forged.log: ")),
                 r.err.constData());
        QVERIFY2(hasLine(QStringLiteral("kestrune-collect: b\\t\\x7f\\u009b31m.log: ")),
                 r.err.constData());
        QVERIFY2(lines.contains(QStringLiteral(
                     "kestrune-collect: not collected, sub-folders: s\\r\\nforged\\x1b[2J/")),
                 r.err.constData());
        QCOMPARE(readFile(save.filePath(QStringLiteral("ok.log"))), site.files.first().bytes);
        // The run log: every line after the header is an event with its
        // time stamp.
        verifyHeader(cwd.filePath(QStringLiteral("Kestrune.log")));
    }

    // A run killed outright (SIGKILL: out of memory, a reboot) with a body
    // in transfer leaves no file in the folder, and the next run removes a
    // temporary file that one left where the file system needed a name for
    // it (planted here, as this file system needs none).
    void killedRunLeavesNoTemporaryFile()
    {
        const Site site = publish(QStringLiteral("slow/"),
                                  {{"killed.log", logBytes(43, 3 * 1024 * 1024)},
                                   {"small.log", logBytes(44, 1000)}});
        QTemporaryDir cwd;
        QTemporaryDir save;
        const auto plantStale = [&] {
            return writeFile(save.filePath(QStringLiteral(".kestrune-00000000deadbeef.part")),
                             "half a body");
        };
        QVERIFY(plantStale());
        QProcess p;
        QVERIFY(startCollect(p, {"--jobs", "1", url(site), save.path()}, cwd.path()));
        QTRY_VERIFY2_WITH_TIMEOUT(filesWrittenPast(p.processId(), 256 * 1024) > 0,
                                  "the body never came", 30000);
        QCOMPARE(::kill(pid_t(p.processId()), SIGKILL), 0);
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitStatus(), QProcess::CrashExit);
        QCOMPARE(strayFiles(save.path(), {}), QStringList());

        QVERIFY(plantStale());
        const CollectResult r = runCollect({url(site), save.path()}, cwd.path());
        QVERIFY2(!r.crashed && r.exitCode == 0, r.err.constData());
        verifyFolder(save.path(), site);
    }

    // --include and --exclude choose the files by name; the others are not
    // fetched, not in the run log and not counted.
    void nameFilters_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QStringList>("collected"); // in the list's order
        QTest::newRow("none") << QStringList()
                              << QStringList{"u_ex261201.log", "u_ex261202.log", "httperr1.log",
                                             "u_ex261203.txt"};
        QTest::newRow("one include") << QStringList{"--include", "u_ex*.log"}
                                     << QStringList{"u_ex261201.log", "u_ex261202.log"};
        QTest::newRow("two includes") << QStringList{"--include=httperr?.log", "--include", "*.txt"}
                                      << QStringList{"httperr1.log", "u_ex261203.txt"};
        QTest::newRow("exclude only")
            << QStringList{"--exclude", "u_ex*"} << QStringList{"httperr1.log"};
        QTest::newRow("exclude wins over include")
            << QStringList{"--include", "u_ex*", "--exclude", "*[23].*"}
            << QStringList{"u_ex261201.log"};
        QTest::newRow("nothing left") << QStringList{"--include", "*.gz"} << QStringList();
    }

    void nameFilters()
    {
        QFETCH(QStringList, options);
        QFETCH(QStringList, collected);
        const Site site = publish(QStringLiteral("filter/"),
                                  {{"u_ex261201.log", logBytes(51, 1000)},
                                   {"u_ex261202.log", logBytes(52, 2000)},
                                   {"httperr1.log", logBytes(53, 3000)},
                                   {"u_ex261203.txt", logBytes(54, 4000)}});
        QTemporaryDir cwd;
        QTemporaryDir save;
        m_nginx.clearAccessLog();
        const CollectResult r = runCollect(options + QStringList{url(site), save.path()},
                                           cwd.path());
        QVERIFY(!r.crashed);
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QStringList urls;
        qint64 bytes = 0;
        for (const SiteFile &f : site.files) {
            if (!collected.contains(f.name))
                continue;
            urls.append(m_nginx.url(QLatin1Char('/') + f.servedAs));
            bytes += f.bytes.size();
            QCOMPARE(readFile(save.filePath(f.name)), f.bytes);
        }
        QCOMPARE(strayFiles(save.path(), collected), QStringList());
        QStringList lines;
        if (!urls.isEmpty()) {
            lines.append(kStart);
            for (const QString &u : urls)
                lines.append(QStringLiteral("○ ") + u);
            lines.append(kEnd + urls.last());
        }
        QCOMPARE(logMessages(cwd.filePath(QStringLiteral("Kestrune.log"))), lines);
        QCOMPARE(r.errLines().size(), 1);
        QVERIFY2(r.errLines().last().startsWith(
                     QStringLiteral("kestrune-collect: %1 downloaded, 0 unchanged, 0 failed, "
                                    "%2 bytes in ")
                         .arg(collected.size())
                         .arg(bytes)),
                 r.err.constData());
        // The files left out were never asked for.
        for (const SiteFile &f : site.files) {
            if (!collected.contains(f.name))
                QVERIFY2(!m_nginx.accessLog().contains(f.servedAs), qPrintable(f.name));
        }
    }

    // --list prints what a run would do with each file and changes nothing:
    // no file is fetched (every file request asks for its first byte only),
    // no run log is written, the folder stays as it was.
    void listShowsWhatARunWouldDo_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("oneGone");      // a listed file deleted on the server
        QTest::addColumn<QStringList>("lines"); // path, what
        QTest::addColumn<int>("exitCode");
        const QStringList all{"new.log\tnew", "same.log\tunchanged", "grown.log\tgrown",
                              "differs.log\tdiffers"};
        QTest::newRow("every kind") << QStringList() << false << all << 0;
        QTest::newRow("one at a time") << QStringList{"-j", "1"} << false << all << 0;
        QTest::newRow("filtered") << QStringList{"--exclude", "[sd]*"} << false
                                  << QStringList{"new.log\tnew", "grown.log\tgrown"} << 0;
        QTest::newRow("a file gone from the server")
            << QStringList() << true
            << QStringList{"new.log\tnew", "same.log\tfailed", "grown.log\tgrown",
                           "differs.log\tdiffers"}
            << 1;
    }

    void listShowsWhatARunWouldDo()
    {
        QFETCH(QStringList, options);
        QFETCH(bool, oneGone);
        QFETCH(QStringList, lines);
        QFETCH(int, exitCode);
        const QByteArray grown = logBytes(62, 6000);
        const Site site = publish(QStringLiteral("list/"), {{"new.log", logBytes(61, 5000)},
                                                            {"same.log", logBytes(63, 7000)},
                                                            {"grown.log", grown},
                                                            {"differs.log", logBytes(64, 3000)}});
        if (oneGone)
            QVERIFY(m_nginx.removeFile(QStringLiteral("list/same.log")));
        QTemporaryDir cwd;
        QTemporaryDir save;
        QVERIFY(writeFile(save.filePath(QStringLiteral("same.log")), logBytes(63, 7000)));
        QVERIFY(writeFile(save.filePath(QStringLiteral("grown.log")), grown.left(4000)));
        QVERIFY(writeFile(save.filePath(QStringLiteral("differs.log")), logBytes(65, 3500)));
        // An earlier run's log stays as it was.
        const QString log = cwd.filePath(QStringLiteral("Kestrune.log"));
        QVERIFY(writeFile(log, "earlier run\r\n"));
        m_nginx.clearAccessLog();

        const CollectResult r = runCollect(options + QStringList{"--list", url(site), save.path()},
                                           cwd.path());
        QVERIFY(!r.crashed);
        QVERIFY2(r.exitCode == exitCode, r.err.constData());
        QStringList expected;
        for (const QString &line : lines) {
            const QString name = line.section(u'\t', 0, 0);
            expected.append(QStringLiteral("%1\t%2\t%3")
                                .arg(name, m_nginx.url(QStringLiteral("/list/") + name),
                                     line.section(u'\t', 1)));
        }
        QCOMPARE(QString::fromUtf8(r.out).split(u'\n', Qt::SkipEmptyParts), expected);
        const QStringList err = r.errLines();
        QCOMPARE(err.size(), oneGone ? 2 : 1);
        if (oneGone)
            QCOMPARE(err.first(), QStringLiteral("kestrune-collect: same.log: HTTP 404 Not Found "
                                                 "(%1)")
                                      .arg(m_nginx.url(QStringLiteral("/list/same.log"))));
        QVERIFY2(err.last().startsWith(
                     QStringLiteral("kestrune-collect: %1 new, ").arg(lines.isEmpty() ? 0 : 1)),
                 r.err.constData());

        // Nothing changed locally.
        QCOMPARE(readFile(log), QByteArray("earlier run\r\n"));
        QCOMPARE(readFile(save.filePath(QStringLiteral("same.log"))), logBytes(63, 7000));
        QCOMPARE(readFile(save.filePath(QStringLiteral("grown.log"))), grown.left(4000));
        QCOMPARE(readFile(save.filePath(QStringLiteral("differs.log"))), logBytes(65, 3500));
        QCOMPARE(strayFiles(save.path(), {"same.log", "grown.log", "differs.log"}), QStringList());
        // One request per listed file, each for its first byte only.
        QStringList asked;
        for (const NginxFixture::AccessEntry &e : m_nginx.accessEntries()) {
            if (e.requestLine.startsWith(QStringLiteral("GET /list/index.html"))
                || e.requestLine == QStringLiteral("GET /list/ HTTP/1.1"))
                continue;
            QCOMPARE(e.range, QStringLiteral("bytes=0-0"));
            asked.append(e.requestLine.section(u' ', 1, 1).mid(6));
        }
        QStringList listed;
        for (const QString &line : lines)
            listed.append(line.section(u'\t', 0, 0));
        asked.sort();
        listed.sort();
        QCOMPARE(asked, listed);
    }

    // The rows a run would refuse before asking the server are listed as
    // failing, with the reason on stderr, and never asked for.
    void listShowsTheRowsARunWouldRefuse()
    {
        const Site site = publish(QStringLiteral("listbad/"),
                                  {{"ok.log", logBytes(71, 900)}, {"dir.log", "x"}},
                                  {{QStringLiteral("../escape.log"),
                                    QStringLiteral("/listbad/escape.log"), 10, false}});
        m_nginx.writeFile(QStringLiteral("listbad/escape.log"), "escaped");
        QTemporaryDir cwd;
        QTemporaryDir save;
        QVERIFY(QDir(save.path()).mkdir(QStringLiteral("dir.log")));
        m_nginx.clearAccessLog();
        const CollectResult r = runCollect({"--list", url(site), save.path()}, cwd.path());
        QVERIFY(!r.crashed);
        QCOMPARE(r.exitCode, 1);
        const QString okUrl = m_nginx.url(QStringLiteral("/listbad/ok.log"));
        const QString dirUrl = m_nginx.url(QStringLiteral("/listbad/dir.log"));
        const QString escapeUrl = m_nginx.url(QStringLiteral("/listbad/escape.log"));
        QCOMPARE(QString::fromUtf8(r.out).split(u'\n', Qt::SkipEmptyParts),
                 (QStringList{QStringLiteral("ok.log\t%1\tnew").arg(okUrl),
                              QStringLiteral("dir.log\t%1\tfailed").arg(dirUrl),
                              QStringLiteral("../escape.log\t%1\tfailed").arg(escapeUrl)}));
        const QStringList err = r.errLines();
        QCOMPARE(err.size(), 3);
        QCOMPARE(err[0], QStringLiteral("kestrune-collect: dir.log: cannot store the file: not a "
                                        "plain file (%1)")
                             .arg(dirUrl));
        QCOMPARE(err[1], QStringLiteral("kestrune-collect: ../escape.log: unsafe file name (%1)")
                             .arg(escapeUrl));
        QVERIFY2(
            err[2].startsWith(QStringLiteral(
                "kestrune-collect: 1 new, 0 unchanged, 0 grown, 0 differ, 2 failed, listed in ")),
            qPrintable(err[2]));
        QVERIFY(!m_nginx.accessLog().contains(QStringLiteral("/listbad/dir.log")));
        QVERIFY(!m_nginx.accessLog().contains(QStringLiteral("/listbad/escape.log")));
        QVERIFY(!QFile::exists(cwd.filePath(QStringLiteral("Kestrune.log"))));
    }

    // A list-only run that is interrupted while its requests wait ends as a
    // run does: status 130, "interrupted", the counts so far, and no line for
    // a file whose answer never came.
    void listEndsAtMaxTime()
    {
        QTcpServer stalled; // accepts, never answers
        QVERIFY(stalled.listen(QHostAddress::LocalHost, 0));
        const QString stalledUrl =
            QStringLiteral("http://127.0.0.1:%1/logs/late.log").arg(stalled.serverPort());
        const Site site = publish(QStringLiteral("liststall/"), {},
                                  {{QStringLiteral("late.log"), stalledUrl, 10, false}});
        QTemporaryDir cwd;
        QTemporaryDir save;
        const CollectResult r = runCollect({"--list", "--max-time", "1", url(site), save.path()},
                                           cwd.path());
        QVERIFY(!r.crashed);
        QCOMPARE(r.exitCode, 130);
        QCOMPARE(r.out, QByteArray());
        const QStringList err = r.errLines();
        QCOMPARE(err.size(), 2);
        QCOMPARE(err[0],
                 QStringLiteral(
                     "kestrune-collect: interrupted: the run took longer than --max-time 1 s"));
        QVERIFY2(err[1].startsWith(QStringLiteral("kestrune-collect: 0 new, 0 unchanged, 0 grown, "
                                                  "0 differ, 0 failed, listed in ")),
                 qPrintable(err[1]));
    }
};

QTEST_GUILESS_MAIN(TestE2eCollect)
#include "tst_e2e_collect.moc"
