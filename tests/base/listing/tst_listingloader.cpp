// The listing loader against listing pages as the common servers write them,
// served on loopback: which links become rows, and of what kind.

#include "base/listing/ListingLoader.h"

#include "ListingWaits.h"
#include "ProcessMemory.h"
#include "TestHttpServer.h"

#include <QtTest>

using namespace kestrune;

namespace {

using Kind = ListingRow::Kind;

QString kindName(Kind kind)
{
    switch (kind) {
    case Kind::File: return QStringLiteral("file");
    case Kind::Folder: return QStringLiteral("folder");
    case Kind::QueryOnly: return QStringLiteral("query");
    }
    return QStringLiteral("?");
}

// "name kind path" per row; the path is the target's path and query on the
// test server (or the whole address elsewhere).
QStringList describe(const QList<ListingRow> &rows, const QString &serverRoot)
{
    QStringList out;
    for (const ListingRow &row : rows) {
        QString target = row.url;
        if (target.startsWith(serverRoot))
            target = target.mid(serverRoot.size());
        out.append(row.fileName + QLatin1Char(' ') + kindName(row.kind) + QLatin1Char(' ')
                   + target);
    }
    return out;
}

// IIS 7 and later: heading, a <pre> with the parent link, "<dir>" for folders.
QByteArray iisPage()
{
    return "<html><head><title>127.0.0.1 - /LogFiles/</title></head><body>"
           "<H1>127.0.0.1 - /LogFiles/</H1><hr>\r\n\r\n<pre>"
           "<A HREF=\"/\">[To Parent Directory]</A><br><br>"
           " 2026/12/01    10:00        &lt;dir&gt; <A HREF=\"/LogFiles/W3SVC1/\">W3SVC1</A><br>"
           " 2026/12/01    10:00        &lt;dir&gt; <A HREF=\"/LogFiles/W3SVC2/\">W3SVC2</A><br>"
           " 2026/12/01    10:05        12345 <A HREF=\"/LogFiles/httperr1.log\">httperr1.log"
           "</A><br></pre><hr></body></html>";
}

// nginx's autoindex: relative links, "../" first, long names cut in the text.
QByteArray nginxPage()
{
    return "<html>\r\n<head><title>Index of /logs/</title></head>\r\n<body>\r\n"
           "<h1>Index of /logs/</h1><hr><pre><a href=\"../\">../</a>\r\n"
           "<a href=\"archive/\">archive/</a>                                           "
           "01-Dec-2026 10:00                   -\r\n"
           "<a href=\"u_ex261201.log\">u_ex261201.log</a>                                     "
           "01-Dec-2026 10:00               12345\r\n"
           "<a href=\"u_ex261202_with_a_name_longer_than_fifty_bytes_in_all.log\">"
           "u_ex261202_with_a_name_longer_than_fifty_by..&gt;</a> 01-Dec-2026 10:00    7\r\n"
           "<a href=\"%E3%83%AD%E3%82%B0.log\">\xE3\x83\xAD\xE3\x82\xB0.log</a> "
           "01-Dec-2026 10:00    9\r\n"
           "</pre><hr></body>\r\n</html>\r\n";
}

// Apache's mod_autoindex with FancyIndexing: sort links in the heading row,
// the parent as an absolute path.
QByteArray apachePage()
{
    return "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 3.2 Final//EN\">\n<html>\n <head>\n"
           "  <title>Index of /logs</title>\n </head>\n <body>\n<h1>Index of /logs</h1>\n"
           "  <table>\n"
           "   <tr><th valign=\"top\"><img src=\"/icons/blank.gif\" alt=\"[ICO]\"></th>"
           "<th><a href=\"?C=N;O=D\">Name</a></th><th><a href=\"?C=M;O=A\">Last modified</a></th>"
           "<th><a href=\"?C=S;O=A\">Size</a></th><th><a href=\"?C=D;O=A\">Description</a></th>"
           "</tr>\n"
           "   <tr><th colspan=\"5\"><hr></th></tr>\n"
           "<tr><td valign=\"top\"><img src=\"/icons/back.gif\" alt=\"[PARENTDIR]\"></td>"
           "<td><a href=\"/\">Parent Directory</a></td><td>&nbsp;</td>"
           "<td align=\"right\">  - </td><td>&nbsp;</td></tr>\n"
           "<tr><td valign=\"top\"><img src=\"/icons/folder.gif\" alt=\"[DIR]\"></td>"
           "<td><a href=\"old/\">old/</a></td><td align=\"right\">2026-12-01 10:00  </td>"
           "<td align=\"right\">  - </td><td>&nbsp;</td></tr>\n"
           "<tr><td valign=\"top\"><img src=\"/icons/text.gif\" alt=\"[TXT]\"></td>"
           "<td><a href=\"access.log\">access.log</a></td>"
           "<td align=\"right\">2026-12-01 10:00  </td><td align=\"right\"> 12K</td>"
           "<td>&nbsp;</td></tr>\n"
           "   <tr><th colspan=\"5\"><hr></th></tr>\n</table>\n</body></html>\n";
}

// Links up written every way a page may write them, none with a telling text.
QByteArray upLinksPage()
{
    return "<html><body><pre>"
           "<a href=\"../\">up</a><a href=\"..\">up2</a><a href=\"/\">root</a>"
           "<a href=\"./\">here</a><a href=\"\">self</a><a href=\"#top\">top</a>"
           "<a href=\"/logs\">no slash</a><a href=\"/%6Cogs/\">escaped</a>"
           "<a href=\"/logs/./../logs/\">dots</a><a href=\"../?C=N\">up with query</a>"
           "<a href=\"a.log\">a.log</a>"
           "</pre></body></html>";
}

// An IIS listing of count log files, "[To Parent Directory]" first.
QByteArray largeIisPage(int count)
{
    QByteArray page =
        "<html><head><title>127.0.0.1 - /logs/</title></head><body>"
        "<H1>127.0.0.1 - /logs/</H1><hr>\r\n\r\n<pre>"
        "<A HREF=\"/\">[To Parent Directory]</A><br><br>";
    for (int i = 0; i < count; ++i) {
        const QByteArray name = "u_ex" + QByteArray::number(i).rightJustified(6, '0') + ".log";
        page += " 12/7/2026  9:15 AM " + QByteArray::number(1000 + i).rightJustified(12, ' ')
                + " <A HREF=\"/logs/" + name + "\">" + name + "</A><br>";
    }
    return page + "</pre><hr></body></html>\r\n";
}

TestResponse html(const QByteArray &body)
{
    TestResponse r;
    r.contentType = "text/html; charset=utf-8";
    r.body = body;
    return r;
}

} // namespace

class TstListingLoader : public QObject {
    Q_OBJECT

    std::unique_ptr<TestHttpServer> m_server;

private slots:
    void init()
    {
        m_server = std::make_unique<TestHttpServer>();
        QVERIFY(m_server->listen());
    }

    void cleanup() { m_server.reset(); }

    void rowsOfCommonListings_data()
    {
        QTest::addColumn<QString>("pagePath"); // where the page is served
        QTest::addColumn<QByteArray>("page");
        QTest::addColumn<QString>("loadPath"); // the address typed
        QTest::addColumn<QStringList>("rows"); // name, kind, target
        QTest::newRow("iis") << "/LogFiles/" << iisPage() << "/LogFiles/"
                             << QStringList{"W3SVC1 folder /LogFiles/W3SVC1/",
                                            "W3SVC2 folder /LogFiles/W3SVC2/",
                                            "httperr1.log file /LogFiles/httperr1.log"};
        QTest::newRow("nginx autoindex")
            << "/logs/" << nginxPage() << "/logs/"
            << QStringList{"archive/ folder /logs/archive/",
                           "u_ex261201.log file /logs/u_ex261201.log",
                           "u_ex261202_with_a_name_longer_than_fifty_by..> file "
                           "/logs/u_ex261202_with_a_name_longer_than_fifty_bytes_in_all.log",
                           QStringLiteral("ログ.log file /logs/%E3%83%AD%E3%82%B0.log")};
        QTest::newRow("apache mod_autoindex")
            << "/logs/" << apachePage() << "/logs/"
            << QStringList{"Name query /logs/?C=N;O=D", "Last modified query /logs/?C=M;O=A",
                           "Size query /logs/?C=S;O=A", "Description query /logs/?C=D;O=A",
                           "old/ folder /logs/old/",    "access.log file /logs/access.log"};
        QTest::newRow("links up, whatever their text")
            << "/logs/" << upLinksPage() << "/logs/" << QStringList{"a.log file /logs/a.log"};
        // The page's folder is that of the address it came from after the
        // redirect: "/logs/" there is the listing's own folder, not a
        // sub-folder of "/".
        QTest::newRow("redirected to the folder")
            << "/logs/"
            << QByteArray(
                   "<html><body><pre><a href=\"../\">../</a><a href=\"/logs/\">logs</a>"
                   "<a href=\"a.log\">a.log</a></pre></body></html>")
            << "/logs" << QStringList{"a.log file /logs/a.log"};
        // A page that is a file of its folder: its sort links carry its
        // name, and a link to it is one to the folder.
        QTest::newRow("page with a name")
            << "/logs/index.html"
            << QByteArray(
                   "<html><body><a href=\"index.html?C=N\">Name</a>"
                   "<a href=\"./\">here</a><a href=\"sub/\">sub</a>"
                   "<a href=\"index.html\">again</a></body></html>")
            << "/logs/index.html"
            << QStringList{"Name query /logs/index.html?C=N", "sub folder /logs/sub/"};
        // Another server's root, or this one under another scheme, is no way up.
        QTest::newRow("other servers")
            << "/logs/"
            << QByteArray(
                   "<html><body><a href=\"http://other.example/\">o1</a>"
                   "<a href=\"http://other.example/logs/?C=N\">o2</a>"
                   "<a href=\"https://127.0.0.1/\">o3</a>"
                   "<a href=\"http://other.example/x.log\">o4</a></body></html>")
            << "/logs/"
            << QStringList{"o1 folder http://other.example/",
                           "o2 folder http://other.example/logs/?C=N",
                           "o3 folder https://127.0.0.1/", "o4 file http://other.example/x.log"};
    }

    void rowsOfCommonListings()
    {
        QFETCH(QString, pagePath);
        QFETCH(QByteArray, page);
        QFETCH(QString, loadPath);
        QFETCH(QStringList, rows);
        m_server->setRoute(pagePath, html(page));
        if (loadPath != pagePath) {
            TestResponse moved = html("<html><body>moved</body></html>");
            moved.status = 301;
            moved.extraHeaders.append({"Location", pagePath.toUtf8()});
            m_server->setRoute(loadPath, moved);
        }
        ListingLoader loader({});
        loader.setTimeout(20000);
        ListingResult result;
        QVERIFY(listingwaits::analyzeListing(loader, m_server->url(loadPath), result));
        QCOMPARE(result.status, ListingStatus::Listed);
        QCOMPARE(describe(result.rows, m_server->url(QString())), rows);
        // The window's count is the same rows.
        QCOMPARE(ListingLoader::RowCount(result), qint32(rows.size()));
    }

    // A page read for its links alone (the command line's way) and a page
    // whose markup and text are shown (the window's) list the same rows and
    // find the same not-found page.
    void pageShownOrNot_data()
    {
        QTest::addColumn<bool>("shown");
        QTest::newRow("links alone") << false;
        QTest::newRow("markup and text shown") << true;
    }

    void pageShownOrNot()
    {
        QFETCH(bool, shown);
        QStringEncoder sjis("windows-31j");
        TestResponse notFound;
        notFound.contentType = "text/html";
        notFound.body = sjis(
            QStringLiteral("<html><head><title>エラー</title></head><body><p><b>"
                           "指定された</b>ドキュメントは存在しません。</p>"
                           "<a href=\"/\">ホーム</a></body></html>"));
        m_server->setRoute(QStringLiteral("/gone/"), notFound);
        m_server->setRoute(QStringLiteral("/logs/"), html(largeIisPage(3)));

        ListingLoader::Hooks hooks;
        QStringList logged;
        hooks.writeRunLog = [&](const QString &line) { logged << line; };
        int sources = 0;
        QString shownText;
        if (shown) {
            hooks.setPageSource = [&](const QString &markup, const QString &text) {
                ++sources;
                QVERIFY(markup.contains(QStringLiteral("<pre>")) || markup.contains(u"<p>"));
                shownText = text;
            };
        }
        ListingLoader loader(hooks);
        loader.setTimeout(20000);
        ListingResult result;
        QVERIFY(
            listingwaits::analyzeListing(loader, m_server->url(QStringLiteral("/logs/")), result));
        QCOMPARE(result.status, ListingStatus::Listed);
        QCOMPARE(describe(result.rows, m_server->url(QString())),
                 (QStringList{"u_ex000000.log file /logs/u_ex000000.log",
                              "u_ex000001.log file /logs/u_ex000001.log",
                              "u_ex000002.log file /logs/u_ex000002.log"}));
        QCOMPARE(loader.pageText().contains(QStringLiteral("[To Parent Directory]")), shown);
        // The links stay with the document only for a caller that shows it.
        QCOMPARE(loader.brwBrowser()->Document()->links.size(), shown ? 4 : 0);

        const QString gone = m_server->url(QStringLiteral("/gone/"));
        QVERIFY(listingwaits::analyzeListing(loader, gone, result));
        QCOMPARE(result.status, ListingStatus::NotFound);
        QVERIFY(result.rows.isEmpty());
        QCOMPARE(logged,
                 QStringList{QStringLiteral("× 指定されたドキュメントは存在しません。\t") + gone});
        QCOMPARE(sources, shown ? 2 : 0);
        if (shown)
            QCOMPARE(shownText, QStringLiteral("指定されたドキュメントは存在しません。\n\nホーム"));
    }

    // Every link of a large listing becomes a row, and reading it takes a
    // few times the page in memory, not the page's whole tree and text.
    void largeListingInBoundedMemory()
    {
        const int count = 50000;
        const QByteArray page = largeIisPage(count);
        m_server->setRoute(QStringLiteral("/logs/"), html(page));
        ListingLoader loader({});
        loader.setTimeout(60000);
        ListingResult result;
        if (!ProcessMemory::resetPeak())
            QSKIP("the peak resident set cannot be reset here");
        const qint64 before = ProcessMemory::residentBytes();
        QVERIFY(
            listingwaits::analyzeListing(loader, m_server->url(QStringLiteral("/logs/")), result));
        const qint64 growth = ProcessMemory::peakResidentBytes() - before;
        qInfo("%d-link listing of %lld bytes: peak resident set grew by %lld bytes (%.1f x)", count,
              qlonglong(page.size()), qlonglong(growth), double(growth) / page.size());

        QCOMPARE(result.status, ListingStatus::Listed);
        QCOMPARE(result.rows.size(), count);
        const QString root = m_server->url(QStringLiteral("/logs/"));
        for (int i = 0; i < count; ++i) {
            const ListingRow &row = result.rows[i];
            const QString name = QStringLiteral("u_ex%1.log").arg(i, 6, 10, QLatin1Char('0'));
            if (row.fileName != name || row.url != root + name || row.kind != Kind::File)
                QFAIL(
                    qPrintable(QStringLiteral("row %1: %2 %3").arg(i).arg(row.fileName, row.url)));
        }
        // With the whole tree, its markup and its text it takes about 20 times.
        // An address-sanitizer build pads every allocation: no bound there.
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("memory figures of an address-sanitizer build say nothing of the program's");
#endif
        QVERIFY2(growth < 12 * page.size(), qPrintable(QString::number(growth)));
    }

    void linkKinds_data()
    {
        QTest::addColumn<QString>("href");
        QTest::addColumn<QString>("page");
        QTest::addColumn<QString>("kind"); // "up" for a link that is no row
        const QString page = QStringLiteral("http://Host.example/logs/");
        QTest::newRow("default port written out") << "http://host.example:80/" << page << "up";
        QTest::newRow("other port") << "http://host.example:8080/" << page << "folder";
        QTest::newRow("https default port") << "https://h/"
                                            << "https://h:443/a/b/"
                                            << "up";
        QTest::newRow("scheme in capitals") << "HTTP://host.example/logs/" << page << "up";
        QTest::newRow("path case counts") << "http://host.example/LOGS/" << page << "folder";
        QTest::newRow("a file beside the folder")
            << "http://host.example/logs.log" << page << "file";
        QTest::newRow("a folder's prefix is not its parent")
            << "http://host.example/lo/" << page << "folder";
        QTest::newRow("own page, query") << "http://host.example/logs/?O=D" << page << "query";
        QTest::newRow("sub-folder with query")
            << "http://host.example/logs/sub/?C=N" << page << "folder";
        QTest::newRow("not an address") << "mailto:ops@example" << page << "file";
        QTest::newRow("root page") << "http://host.example/"
                                   << "http://host.example"
                                   << "up";
    }

    void linkKinds()
    {
        QFETCH(QString, href);
        QFETCH(QString, page);
        QFETCH(QString, kind);
        const std::optional<Kind> got = ClassifyLink(href, QUrl(page));
        QCOMPARE(got ? kindName(*got) : QStringLiteral("up"), kind);
    }
};

QTEST_GUILESS_MAIN(TstListingLoader)
#include "tst_listingloader.moc"
