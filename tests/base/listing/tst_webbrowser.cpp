// The hidden browser against a real HTTP server on loopback: navigation,
// events, redirects, errors, encodings and the document it then offers.

#include "base/settings/basKestrune.h"
#include "base/listing/ListingLoader.h"
#include "base/listing/WebBrowser.h"
#include "base/transfer/basWinInet.h"

#include "ListingWaits.h"
#include "LoopbackPort.h"
#include "TestHttpServer.h"

#include <QNetworkProxy>
#include <QStringEncoder>
#include <QTcpServer>
#include <QThreadPool>
#include <QtTest>

#include <zlib.h>
#ifdef KESTRUNE_TEST_BROTLI
#include <brotli/encode.h>
#endif

using namespace kestrune;

namespace {

QByteArray encode(const char *codec, const QString &text)
{
    QStringEncoder encoder(codec);
    return encoder(text);
}

const QString kJapaneseName1 = QStringLiteral("アクセス記録①.log");
const QString kJapaneseName2 = QStringLiteral("エラー～一覧.log");
const QString kParentJa = QStringLiteral("[親ディレクトリへ]");

QString iisListing(const QString &folder, const QStringList &names,
                   const QString &parentText = QStringLiteral("[To Parent Directory]"),
                   const QString &headExtra = QString())
{
    QString html = QStringLiteral(
                       "<html><head>%1<title>127.0.0.1 - %2</title></head><body>"
                       "<H1>127.0.0.1 - %2</H1><hr>\r\n\r\n<pre><A HREF=\"/\">%3</A><br><br>")
                       .arg(headExtra, folder, parentText);
    for (const QString &name : names)
        html += QStringLiteral("  2024/01/05     9:03        12345 <A HREF=\"%1%2\">%2</A><br>")
                    .arg(folder, name);
    html += QStringLiteral("</pre><hr></body></html>");
    return html;
}

TestResponse page(const QByteArray &body, const QByteArray &contentType = "text/html",
                  int status = 200)
{
    TestResponse r;
    r.status = status;
    r.contentType = contentType;
    r.body = body;
    return r;
}

TestResponse redirect(int status, const QByteArray &location)
{
    TestResponse r = page("<html><body>moved</body></html>", "text/html", status);
    r.extraHeaders.append({"Location", location});
    return r;
}

// data in a content coding: "gzip", "deflate" (a zlib stream) or "br";
// anything else is sent as it is.
QByteArray compressed(const QByteArray &coding, const QByteArray &data)
{
    if (coding == "gzip" || coding == "deflate") {
        z_stream z{};
        if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, coding == "gzip" ? 15 + 16 : 15, 8,
                         Z_DEFAULT_STRATEGY)
            != Z_OK)
            return {};
        QByteArray out(qsizetype(deflateBound(&z, uLong(data.size()))) + 32, '\0');
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
        z.avail_in = uInt(data.size());
        z.next_out = reinterpret_cast<Bytef *>(out.data());
        z.avail_out = uInt(out.size());
        const int result = deflate(&z, Z_FINISH);
        out.truncate(qsizetype(z.total_out));
        deflateEnd(&z);
        return result == Z_STREAM_END ? out : QByteArray();
    }
#ifdef KESTRUNE_TEST_BROTLI
    if (coding == "br") {
        size_t size = BrotliEncoderMaxCompressedSize(size_t(data.size()));
        QByteArray out(qsizetype(size), '\0');
        if (!BrotliEncoderCompress(BROTLI_DEFAULT_QUALITY, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_TEXT,
                                   size_t(data.size()),
                                   reinterpret_cast<const uint8_t *>(data.constData()), &size,
                                   reinterpret_cast<uint8_t *>(out.data())))
            return {};
        out.truncate(qsizetype(size));
        return out;
    }
#endif
    return data;
}

QStringList completed(const QString &url)
{
    return {QStringLiteral("NavigateComplete2 ") + url, QStringLiteral("DocumentComplete ") + url};
}

// Records every event of a browser, in order.
class EventLog : public QObject {
public:
    explicit EventLog(WebBrowser *browser)
    {
        connect(browser, &WebBrowser::NavigateComplete2, this, [this](const QString &url) {
            events << QStringLiteral("NavigateComplete2 ") + url;
        });
        connect(browser, &WebBrowser::DocumentComplete, this, [this](const QString &url) {
            events << QStringLiteral("DocumentComplete ") + url;
        });
        connect(browser, &WebBrowser::NavigateError, this, [this](const QString &url, int status) {
            events << QStringLiteral("NavigateError %1 %2").arg(url).arg(status);
            lastStatus = status;
        });
    }

    bool ended() const
    {
        return std::any_of(events.cbegin(), events.cend(), [](const QString &e) {
            return e.startsWith(u"DocumentComplete") || e.startsWith(u"NavigateError");
        });
    }

    QStringList events;
    int lastStatus = 1;
};

// The size a size probe learns of url; false when it did not end in time.
bool probeSize(const QString &url, std::optional<qint64> &size)
{
    RemoteSizeProbe probe(url, QString());
    QSignalSpy finished(&probe, &RemoteSizeProbe::finished);
    probe.start();
    if (!finished.wait(30000))
        return false;
    size = probe.result().size;
    return true;
}

// Downloads url and drops its body; false when it did not end in time.
bool download(const QString &url, qint64 expectedSize, DownloadOutcome &outcome)
{
    FileDownload::Request request;
    request.url = url;
    request.expectedSize = expectedSize;
    FileDownload transfer(request, FileDownload::IntoDevice(nullptr));
    QSignalSpy finished(&transfer, &FileDownload::finished);
    transfer.start();
    if (!finished.wait(30000))
        return false;
    outcome = transfer.outcome();
    return true;
}

// Stands for "some transport failure" (a negative status) in the navigationFails table.
constexpr int kAnyTransportError = 1;

} // namespace

class TstWebBrowser : public QObject {
    Q_OBJECT
private:
    // Navigates and waits for the outcome; fails the test if an event comes
    // inside Navigate2 or none comes in time.
    void load(WebBrowser &browser, EventLog &log, const QString &url)
    {
        log.events.clear();
        browser.Navigate2(url);
        QVERIFY2(log.events.isEmpty(), "an event came inside Navigate2");
        QVERIFY(browser.Busy());
        QTRY_VERIFY_WITH_TIMEOUT(log.ended(), 30000);
        QVERIFY(!browser.Busy());
    }
    // Delivers what is queued now, and what that queues in turn.
    void drainQueued()
    {
        for (int round = 0; round < 3; ++round) {
            bool reached = false;
            QMetaObject::invokeMethod(
                this, [&reached] { reached = true; }, Qt::QueuedConnection);
            QTRY_VERIFY_WITH_TIMEOUT(reached, 30000);
        }
    }
    // Lets whatever is still under way reach the browser: the server has
    // seen every connection closed (a navigation that is over holds none),
    // and what was queued meanwhile is delivered.  An event after this would
    // have no cause left.
    void settle()
    {
        QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnectionCount(), 0, 30000);
        drainQueued();
    }
    QString url(const char *path) const { return m_server->url(QString::fromUtf8(path)); }
    void route(const char *path, const TestResponse &r)
    {
        m_server->setRoute(QString::fromUtf8(path), r);
    }

    std::unique_ptr<TestHttpServer> m_server;

private Q_SLOTS:
    void init()
    {
        m_server = std::make_unique<TestHttpServer>();
        QVERIFY(m_server->listen());
    }

    void cleanup() { m_server.reset(); }

    void aboutBlank()
    {
        WebBrowser browser;
        EventLog log(&browser);
        QCOMPARE(browser.Document(), nullptr);
        QCOMPARE(browser.LocationURL(), QString());

        load(browser, log, QStringLiteral("about:blank"));
        QCOMPARE(log.events, completed(QStringLiteral("about:blank")));
        QVERIFY(browser.Document());
        QVERIFY(browser.Document()->links.isEmpty());
        QVERIFY(browser.Document()->innerText.isEmpty());
        QCOMPARE(browser.LocationURL(), QStringLiteral("about:blank"));
        QCOMPARE(browser.LocationName(), QStringLiteral("about:blank"));
        QCOMPARE(m_server->requests().size(), 0);
    }

    void listingInEveryEncoding_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("contentType");

        // Every declared row also carries a lower-ranked declaration that would
        // garble the names if it were the one obeyed.
        const QStringList names{QStringLiteral("ex240105.log"), kJapaneseName1, kJapaneseName2};
        auto listing = [&](const char *meta) {
            return iisListing(QStringLiteral("/logs/"), names, kParentJa,
                              meta
                                  ? QStringLiteral("<meta charset=\"%1\">").arg(QLatin1String(meta))
                                  : QString());
        };
        QTest::newRow("utf-8 by header over meta")
            << listing("shift_jis").toUtf8() << QByteArray("text/html; charset=utf-8");
        QTest::newRow("utf-8 bom over header")
            << QByteArray("\xEF\xBB\xBF") + listing(nullptr).toUtf8()
            << QByteArray("text/html; charset=Shift_JIS");
        QTest::newRow("utf-8 undeclared") << listing(nullptr).toUtf8() << QByteArray("text/html");
        QTest::newRow("windows-31j by header over meta")
            << encode("windows-31j", listing("euc-jp"))
            << QByteArray("text/html; charset=Shift_JIS");
        QTest::newRow("euc-jp by meta")
            << encode("EUC-JP", listing("euc-jp")) << QByteArray("text/html");
        QTest::newRow("windows-31j undeclared")
            << encode("windows-31j", listing(nullptr)) << QByteArray("text/html");
    }

    void listingInEveryEncoding()
    {
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, contentType);
        route("/logs/", page(body, contentType));

        WebBrowser browser;
        EventLog log(&browser);
        const QString logs = url("/logs/");
        load(browser, log, logs);

        QCOMPARE(log.events, completed(logs));
        QCOMPARE(browser.LocationURL(), logs);
        QCOMPARE(browser.LocationName(), QStringLiteral("127.0.0.1 - /logs/"));
        const HtmlDocument *doc = browser.Document();
        QVERIFY(doc);
        QCOMPARE(doc->links.size(), 4);
        QCOMPARE(doc->links[0].outerText, kParentJa);
        QCOMPARE(doc->links[0].href, url("/"));
        QCOMPARE(doc->links[1].outerText, QStringLiteral("ex240105.log"));
        QCOMPARE(doc->links[1].href, url("/logs/ex240105.log"));
        QCOMPARE(doc->links[2].outerText, kJapaneseName1);
        QCOMPARE(QUrl::fromPercentEncoding(doc->links[2].href.toUtf8()), logs + kJapaneseName1);
        QCOMPARE(doc->links[3].outerText, kJapaneseName2);
        // The text keeps the listing's lines: heading, parent link, one per file.
        const QStringList lines = doc->innerText.split(u'\n');
        QCOMPARE(lines.value(0), QStringLiteral("127.0.0.1 - /logs/"));
        QCOMPARE(lines.value(1), kParentJa);
        QCOMPARE(lines.value(2), QString());
        QCOMPARE(lines.value(5),
                 QStringLiteral("  2024/01/05     9:03        12345 ") + kJapaneseName2);
        QVERIFY(
            doc->innerHTML.contains(QStringLiteral(">") + kJapaneseName1 + QStringLiteral("</a>")));

        // The href the page reports fetches the file: the server sees the name.
        m_server->clearRequests();
        load(browser, log, doc->links[2].href);
        QCOMPARE(m_server->requests().size(), 1);
        QCOMPARE(QUrl::fromPercentEncoding(m_server->requests()[0].path),
                 QStringLiteral("/logs/") + kJapaneseName1);
    }

    // The page is taken as a browser takes it: asked for compressed, and
    // decoded whatever coding of those asked for it comes in.  A coding the
    // browser cannot read is a failed navigation, never an empty page.
    void listingInEveryContentCoding_data()
    {
        QTest::addColumn<QByteArray>("coding");
        QTest::addColumn<bool>("read");
        QTest::newRow("none") << QByteArray() << true;
        QTest::newRow("gzip") << QByteArray("gzip") << true;
        QTest::newRow("deflate") << QByteArray("deflate") << true;
#ifdef KESTRUNE_TEST_BROTLI
        QTest::newRow("br") << QByteArray("br") << true;
#endif
        QTest::newRow("a coding nobody reads") << QByteArray("x-unheard-of") << false;
    }

    void listingInEveryContentCoding()
    {
        QFETCH(QByteArray, coding);
        QFETCH(bool, read);
        const QStringList names{QStringLiteral("ex240105.log"), kJapaneseName1};
        const QByteArray html = iisListing(QStringLiteral("/logs/"), names).toUtf8();
        TestResponse r = page(compressed(coding, html), "text/html; charset=utf-8");
        QVERIFY(!r.body.isEmpty());
        if (!coding.isEmpty())
            r.extraHeaders.append({"Content-Encoding", coding});
        route("/logs/", r);

        WebBrowser browser;
        EventLog log(&browser);
        const QString logs = url("/logs/");
        load(browser, log, logs);
        const QByteArray asked = m_server->requests().value(0).header("Accept-Encoding");
        for (const char *known : {"gzip", "deflate"})
            QVERIFY2(asked.contains(known), asked.constData());
        if (!read) {
            QCOMPARE(log.events.size(), 1);
            QVERIFY2(log.events[0].startsWith(QStringLiteral("NavigateError ") + logs),
                     qPrintable(log.events[0]));
            return;
        }
        QCOMPARE(log.events, completed(logs));
        const HtmlDocument *doc = browser.Document();
        QVERIFY(doc);
        QCOMPARE(doc->links.size(), 3);
        QCOMPARE(doc->links[1].outerText, QStringLiteral("ex240105.log"));
        QCOMPARE(doc->links[2].outerText, kJapaneseName1);
    }

    void redirectIsFollowed_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("absoluteLocation");
        QTest::newRow("302 relative location") << 302 << false;
        QTest::newRow("301 absolute location") << 301 << true;
        QTest::newRow("307") << 307 << false;
        QTest::newRow("308") << 308 << true;
    }

    void redirectIsFollowed()
    {
        QFETCH(int, status);
        QFETCH(bool, absoluteLocation);
        const QString finalUrl = url("/new/logs/");
        route("/logs",
              redirect(status, absoluteLocation ? finalUrl.toUtf8() : QByteArray("/new/logs/")));
        route("/new/logs/",
              page(iisListing(QStringLiteral("/new/logs/"), {QStringLiteral("x.log")}).toUtf8()
                   + "<a href=\"rel.log\">rel</a>"));

        WebBrowser browser;
        EventLog log(&browser);
        load(browser, log, url("/logs"));
        QCOMPARE(log.events, completed(finalUrl));
        QCOMPARE(browser.LocationURL(), finalUrl);
        QCOMPARE(browser.Document()->links.value(1).href, url("/new/logs/x.log"));
        // Relative links resolve against the address after the redirect.
        QCOMPARE(browser.Document()->links.last().href, url("/new/logs/rel.log"));
        QCOMPARE(m_server->requests().size(), 2);
    }

    void navigationFails_data()
    {
        // "SERVER" stands for the test server, "CLOSED" for a port nobody listens on.
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("requests");      // requests the server sees; -1: any number
        QTest::addColumn<bool>("sameLocation"); // the failed address is the one asked for

        QTest::newRow("404 (unknown path)") << "SERVER/missing/" << 404 << 1 << true;
        for (int status : {403, 500, 503})
            QTest::newRow(QByteArray::number(status))
                << QStringLiteral("SERVER/e%1/").arg(status) << status << 1 << true;
        QTest::newRow("redirect loop") << "SERVER/loop-a" << kAnyTransportError << -1 << false;
        QTest::newRow("redirect to ftp")
            << "SERVER/to-ftp/" << int(WebBrowser::kUnsupportedAddress) << 1 << true;
        QTest::newRow("connection refused")
            << "CLOSED/logs/" << WebBrowser::kConnectionRefused << 0 << true;
        QTest::newRow("connection cut mid-body")
            << "SERVER/cut/" << kAnyTransportError << 1 << true;
        QTest::newRow("endless header lines")
            << "SERVER/endless/" << WebBrowser::kProtocolFailure << 1 << true;

        const int unsupported = WebBrowser::kUnsupportedAddress;
        for (const char *address :
             {"ftp://127.0.0.1/logs/", "file:///etc/passwd", "mailto:ops@example.com",
              "javascript:alert(1)", "C:\\logs\\", "", "   ", "http://", "http://[::1/logs/"})
            QTest::newRow(*address ? address : "empty")
                << QString::fromUtf8(address) << unsupported << 0 << true;
    }

    void navigationFails()
    {
        QFETCH(QString, address);
        QFETCH(int, status);
        QFETCH(int, requests);
        QFETCH(bool, sameLocation);
        address.replace(QStringLiteral("SERVER"), m_server->url(QString()));
        address.replace(QStringLiteral("CLOSED"),
                        QStringLiteral("http://127.0.0.1:%1").arg(closedPort()));

        const QByteArray errorBody =
            "<html><head><title>Error</title></head><body><a href=\"/x\">x</a></body></html>";
        for (int s : {403, 500, 503})
            m_server->setRoute(QStringLiteral("/e%1/").arg(s), page(errorBody, "text/html", s));
        route("/loop-a", redirect(302, "/loop-b"));
        route("/loop-b", redirect(302, "/loop-a"));
        route("/to-ftp/", redirect(302, "ftp://127.0.0.1/logs/"));
        TestResponse cut = page(
            iisListing(QStringLiteral("/cut/"), {QStringLiteral("a.log")}).toUtf8());
        cut.cutAfter = 40;
        route("/cut/", cut);
        route("/ok/", page(iisListing(QStringLiteral("/ok/"), {QStringLiteral("a.log")}).toUtf8()));
        TestResponse endless;
        endless.rawReply = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n";
        endless.endlessRepeat = "X-Filler: " + QByteArray(200, 'f') + "\r\n";
        route("/endless/", endless);

        WebBrowser browser;
        EventLog log(&browser);
        load(browser, log, url("/ok/"));
        QCOMPARE(browser.Document()->links.size(), 2);
        m_server->clearRequests();

        load(browser, log, address);
        const QString failed = address.trimmed();
        QCOMPARE(log.events.size(), 1);
        QVERIFY2(log.events[0].startsWith(QStringLiteral("NavigateError ")
                                          + (sameLocation ? failed + u' ' : QString())),
                 qPrintable(log.events[0]));
        if (status == kAnyTransportError)
            QVERIFY(log.lastStatus < 0);
        else
            QCOMPARE(log.lastStatus, status);
        // Nothing more arrives for the failed navigation.
        settle();
        QCOMPARE(log.events.size(), 1);
        if (sameLocation)
            QCOMPARE(browser.LocationURL(), failed);
        QCOMPARE(browser.LocationName(), browser.LocationURL());
        // The error page replaces the previous document: reading it is safe and
        // lists nothing.
        QVERIFY(browser.Document());
        QVERIFY(browser.Document()->links.isEmpty());
        QVERIFY(browser.Document()->innerText.contains(QStringLiteral("ページを表示できません。")));
        if (status >= 400)
            QVERIFY(browser.Document()->innerText.contains(QString::number(status)));
        if (requests >= 0)
            QCOMPARE(m_server->requests().size(), requests);
    }

    void addressWithoutScheme()
    {
        route("/logs/", page("<html><body><a href=a.log>a</a></body></html>"));
        WebBrowser browser;
        EventLog log(&browser);
        load(browser, log, QStringLiteral("  127.0.0.1:%1/logs/ ").arg(m_server->port()));
        QCOMPARE(log.events.last(), QStringLiteral("DocumentComplete ") + url("/logs/"));
        QCOMPARE(browser.LocationURL(), url("/logs/"));
        // No title: the address stands for the name.
        QCOMPARE(browser.LocationName(), url("/logs/"));
    }

    void textPlainPage()
    {
        route("/readme.txt",
              page("line <a href=\"x\">one</a>\n  line & two\n", "text/plain; charset=utf-8"));
        WebBrowser browser;
        EventLog log(&browser);
        load(browser, log, url("/readme.txt"));
        QVERIFY(log.events.last().startsWith(u"DocumentComplete"));
        QVERIFY(browser.Document()->links.isEmpty());
        QCOMPARE(browser.Document()->innerText,
                 QStringLiteral("line <a href=\"x\">one</a>\n  line & two\n"));
    }

    void contentTypeOfThePage_data()
    {
        QTest::addColumn<QByteArray>("header"); // empty: none sent
        QTest::addColumn<QString>("type");
        QTest::addColumn<bool>("html"); // as a listing load judges the page
        QTest::newRow("html with charset")
            << QByteArray("text/html; charset=utf-8") << "text/html" << true;
        QTest::newRow("upper case") << QByteArray("Text/HTML") << "text/html" << true;
        QTest::newRow("xhtml") << QByteArray("application/xhtml+xml;charset=utf-8")
                               << "application/xhtml+xml" << true;
        QTest::newRow("none") << QByteArray() << "" << true;
        QTest::newRow("text file")
            << QByteArray("text/plain; charset=utf-8") << "text/plain" << false;
        QTest::newRow("binary") << QByteArray("application/octet-stream")
                                << "application/octet-stream" << false;
        QTest::newRow("archive") << QByteArray("application/gzip") << "application/gzip" << false;
    }

    void contentTypeOfThePage()
    {
        QFETCH(QByteArray, header);
        QFETCH(QString, type);
        QFETCH(bool, html);
        route("/page", page("<html><body><a href=a.log>a</a></body></html>", header));
        route("/missing", page("<html><body>gone</body></html>", "text/plain", 404));
        ListingLoader loader({});
        loader.setTimeout(10000);
        ListingResult result;
        QVERIFY(listingwaits::analyzeListing(loader, url("/page"), result));
        // Whatever the type, the page's links are listed as before.
        QCOMPARE(result.status, ListingStatus::Listed);
        QCOMPARE(result.rows.size(), type == QLatin1String("text/plain") ? 0 : 1); // shown as text
        QCOMPARE(result.contentType, type);
        QCOMPARE(result.pageIsHtml(), html);
        // A failure leaves the type of no page behind.
        WebBrowser browser;
        EventLog log(&browser);
        load(browser, log, url("/page"));
        QCOMPARE(browser.contentType(), type);
        load(browser, log, url("/missing"));
        QCOMPARE(browser.contentType(), QString());
    }

    void newNavigationAbandonsTheOldOne()
    {
        TestResponse slow = page(
            "<html><head><title>slow</title></head><body><a href=s>s</a></body></html>");
        slow.holdUntilReleased = true;
        route("/slow/", slow);
        TestResponse stalled = page("never");
        stalled.stallAfterHeaders = true;
        route("/stalled/", stalled);
        route("/fast/", page("<html><head><title>fast</title></head><body></body></html>"));

        WebBrowser browser;
        EventLog log(&browser);
        browser.Navigate2(url("/slow/"));
        QTRY_COMPARE_WITH_TIMEOUT(m_server->heldCount(), 1, 30000); // the slow request is in
        browser.Navigate2(url("/stalled/"));
        QTRY_COMPARE_WITH_TIMEOUT(m_server->requests().size(), 2, 30000);
        browser.Navigate2(QStringLiteral("about:blank")); // queued events of its own
        load(browser, log, url("/fast/"));

        // The abandoned requests let go of their connections, the slow one
        // before its answer could come ...
        QTRY_COMPARE_WITH_TIMEOUT(m_server->heldCount(), 0, 30000);
        // ... which the server would now send.
        m_server->releaseHeld();
        settle();
        QCOMPARE(log.events, completed(url("/fast/")));
        QCOMPARE(browser.LocationName(), QStringLiteral("fast"));
        QCOMPARE(browser.LocationURL(), url("/fast/"));
    }

    void lateCompletionStillReported()
    {
        TestResponse slow = page(
            "<html><head><title>late</title></head><body><a href=l.log>l</a></body></html>");
        slow.holdUntilReleased = true;
        route("/slow/", slow);
        route("/first/", page("<html><head><title>first</title></head></html>"));

        WebBrowser browser;
        EventLog log(&browser);
        load(browser, log, url("/first/"));
        log.events.clear();

        browser.Navigate2(url("/slow/"));
        // The server has the request and holds its answer back.  The window
        // gives up waiting here; the browser still shows the old page.
        QTRY_COMPARE_WITH_TIMEOUT(m_server->heldCount(), 1, 30000);
        drainQueued();
        QVERIFY(log.events.isEmpty());
        QCOMPARE(browser.LocationURL(), url("/first/"));
        QCOMPARE(browser.LocationName(), QStringLiteral("first"));
        QVERIFY(browser.Busy());

        // ... and the page, once it arrives, is reported all the same.
        m_server->releaseHeld();
        QTRY_VERIFY_WITH_TIMEOUT(log.ended(), 30000);
        QCOMPARE(log.events.last(), QStringLiteral("DocumentComplete ") + url("/slow/"));
        QCOMPARE(browser.LocationName(), QStringLiteral("late"));
        QCOMPARE(browser.Document()->links.size(), 1);
    }

    void navigateFromCompletionHandler()
    {
        route("/one/", page("<title>one</title>"));
        route("/two/", page("<title>two</title>"));
        WebBrowser browser;
        EventLog log(&browser);
        bool redirected = false;
        connect(&browser, &WebBrowser::NavigateComplete2, this, [&](const QString &) {
            if (!redirected) {
                redirected = true;
                browser.Navigate2(url("/two/"));
            }
        });
        browser.Navigate2(url("/one/"));
        QTRY_VERIFY_WITH_TIMEOUT(log.events.contains(QStringLiteral("DocumentComplete ")
                                                     + url("/two/")),
                                 30000);
        QCOMPARE(log.events, QStringList{QStringLiteral("NavigateComplete2 ") + url("/one/")}
                                 + completed(url("/two/")));
        QCOMPARE(browser.LocationName(), QStringLiteral("two"));
    }

    // A page too large to read at once is read aside: its download's end is
    // told first, and what happens to the navigation meanwhile counts.
    void largePageReadAside_data()
    {
        QTest::addColumn<QString>("meanwhile"); // done when the download has ended
        QTest::newRow("nothing") << "nothing";
        QTest::newRow("stopped") << "stop";
        QTest::newRow("replaced") << "replace";
        QTest::newRow("destroyed") << "destroy";
    }

    void largePageReadAside()
    {
        QFETCH(QString, meanwhile);
        const int count = 40000;
        QByteArray html = "<html><head><title>large</title></head><body><pre>";
        for (int i = 0; i < count; ++i)
            html += "  2024/01/05     9:03        12345 <A HREF=\"" + QByteArray::number(i)
                    + ".log\">" + QByteArray::number(i) + ".log</A><br>";
        html += "</pre></body></html>";
        QVERIFY(html.size() > WebBrowser::kReadAtOnceBytes);
        route("/large/", page(html));
        route("/fast/", page("<html><head><title>fast</title></head></html>"));

        QPointer<WebBrowser> browser = new WebBrowser;
        EventLog log(browser);
        bool busyWhileRead = false;
        connect(browser, &WebBrowser::DownloadComplete, this, [&] {
            log.events << QStringLiteral("DownloadComplete");
            busyWhileRead = browser->Busy();
            if (meanwhile == u"stop")
                browser->Stop();
            else if (meanwhile == u"replace")
                browser->Navigate2(url("/fast/"));
            else if (meanwhile == u"destroy")
                browser->deleteLater();
        });
        browser->Navigate2(url("/large/"));
        if (meanwhile == u"nothing" || meanwhile == u"replace") {
            QTRY_VERIFY_WITH_TIMEOUT(log.ended(), 30000);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(log.events.contains(QStringLiteral("DownloadComplete")),
                                     30000);
        }
        // Whatever was read aside has come back by now.
        QVERIFY(QThreadPool::globalInstance()->waitForDone(30000));
        settle();
        QVERIFY(busyWhileRead);

        if (meanwhile == u"nothing") {
            QCOMPARE(log.events,
                     QStringList{QStringLiteral("DownloadComplete")} + completed(url("/large/")));
            QVERIFY(!browser->Busy());
            QCOMPARE(browser->LocationName(), QStringLiteral("large"));
            QCOMPARE(browser->Document()->links.size(), count);
            QCOMPARE(browser->Document()->links.last().href, url("/large/39999.log"));
        } else if (meanwhile == u"replace") {
            QCOMPARE(log.events,
                     QStringList{QStringLiteral("DownloadComplete")} + completed(url("/fast/")));
            QCOMPARE(browser->LocationName(), QStringLiteral("fast"));
        } else if (meanwhile == u"stop") {
            QCOMPARE(log.events, QStringList{QStringLiteral("DownloadComplete")});
            QVERIFY(!browser->Busy());
            QCOMPARE(browser->Document(), nullptr);
        } else {
            QCOMPARE(log.events, QStringList{QStringLiteral("DownloadComplete")});
            QVERIFY(browser.isNull());
        }
        delete browser.data();
    }

    void stopAndDestroyMidNavigation()
    {
        TestResponse stalled = page("x");
        stalled.stallBeforeHeaders = true;
        route("/stalled/", stalled);

        WebBrowser browser;
        EventLog log(&browser);
        browser.Navigate2(url("/stalled/"));
        QTRY_COMPARE_WITH_TIMEOUT(m_server->requests().size(), 1, 30000);
        browser.Stop();
        QVERIFY(!browser.Busy());
        browser.Navigate2(QStringLiteral("about:blank"));
        browser.Stop(); // its queued completion is dropped too
        settle();       // the stopped request let go of its connection
        QVERIFY(log.events.isEmpty());
        QCOMPARE(browser.Document(), nullptr);

        auto *doomed = new WebBrowser;
        EventLog doomedLog(doomed);
        doomed->Navigate2(url("/stalled/"));
        QTRY_COMPARE_WITH_TIMEOUT(m_server->requests().size(), 2, 30000);
        delete doomed;
        settle();
        QVERIFY(doomedLog.events.isEmpty());
    }

    void loginPrompts_data()
    {
        // answers: the operator's replies in order ("" cancels); prompts: how
        // many were asked.
        QTest::addColumn<int>("auth");
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<bool>("handler");
        QTest::addColumn<int>("prompts");
        QTest::addColumn<bool>("loads");
        const int basic = int(TestResponse::Auth::Basic);
        const int digest = int(TestResponse::Auth::Digest);
        QTest::newRow("Basic") << basic << QStringList{"ops:pw"} << true << 1 << true;
        QTest::newRow("Digest") << digest << QStringList{"ops:pw"} << true << 1 << true;
        QTest::newRow("wrong, then right")
            << digest << QStringList{"ops:nope", "ops:pw"} << true << 2 << true;
        QTest::newRow("cancelled") << basic << QStringList{""} << true << 1 << false;
        QTest::newRow("wrong three times")
            << basic << QStringList{"a:b", "c:d", "e:f", "ops:pw"} << true << 3 << false;
        QTest::newRow("nobody to ask") << basic << QStringList{} << false << 0 << false;
    }

    void loginPrompts()
    {
        QFETCH(int, auth);
        QFETCH(QStringList, answers);
        QFETCH(bool, handler);
        QFETCH(int, prompts);
        QFETCH(bool, loads);
        transfer::ForgetAllLogins();
        TestResponse listing = page(
            iisListing(QStringLiteral("/private/"), {QStringLiteral("a.log")}).toUtf8());
        listing.auth = TestResponse::Auth(auth);
        listing.authUser = "ops";
        listing.authPassword = "pw";
        route("/private/", listing);
        TestResponse file = listing;
        file.body = TestHttpServer::patternBytes(0, 3000);
        route("/private/a.log", file);

        WebBrowser browser;
        EventLog log(&browser);
        QList<LoginPrompt> asked;
        if (handler) {
            browser.setLoginHandler([&](const LoginPrompt &prompt)
                                        -> std::optional<transfer::Credentials> {
                asked.append(prompt);
                const QString answer = answers.value(asked.size() - 1);
                if (answer.isEmpty())
                    return std::nullopt;
                return transfer::Credentials{answer.section(u':', 0, 0), answer.section(u':', 1)};
            });
        }
        load(browser, log, url("/private/"));
        QCOMPARE(asked.size(), prompts);
        for (int i = 0; i < asked.size(); ++i) {
            QCOMPARE(asked[i].host, QStringLiteral("127.0.0.1:%1").arg(m_server->port()));
            QCOMPARE(asked[i].realm, QStringLiteral("Kestrune test"));
            QVERIFY(!asked[i].proxy);
            QCOMPARE(asked[i].attempt, i + 1);
            // A prompt after a refused login starts from the name given.
            QCOMPARE(asked[i].user, i == 0 ? QString() : answers[i - 1].section(u':', 0, 0));
        }
        if (!loads) {
            QCOMPARE(log.events,
                     QStringList{QStringLiteral("NavigateError %1 401").arg(url("/private/"))});
            QCOMPARE(browser.lastErrorText(), QStringLiteral("HTTP 401 Unauthorized"));
            // A refused login is not kept for the transfers.
            QVERIFY(!transfer::ServerLoginFor(QUrl(url("/private/a.log"))));
            return;
        }
        QCOMPARE(log.events, completed(url("/private/")));
        QCOMPARE(browser.Document()->links.size(), 2);

        // The login goes with the transfers to that server, and to no other.
        m_server->clearRequests();
        std::optional<qint64> size;
        QVERIFY(probeSize(url("/private/a.log"), size));
        QCOMPARE(size, std::optional<qint64>(3000));
        DownloadOutcome fetched;
        QVERIFY(download(url("/private/a.log"), 3000, fetched));
        QCOMPARE(fetched.result, DownloadResult::Stored);
        QCOMPARE(fetched.bytes, qint64(3000));
        QVERIFY(!m_server->requests().isEmpty());
        QVERIFY(m_server->requests()
                    .last()
                    .header("Authorization")
                    .startsWith(auth == int(TestResponse::Auth::Basic) ? QByteArray("Basic ")
                                                                       : QByteArray("Digest ")));
        TestHttpServer other;
        QVERIFY(other.listen());
        other.setRoute(QStringLiteral("/private/a.log"), file);
        DownloadOutcome refused;
        QVERIFY(download(other.url(QStringLiteral("/private/a.log")), 3000, refused));
        QCOMPARE(refused.result, DownloadResult::Failed);
        QCOMPARE(refused.status, 401);
        QCOMPARE(other.requests().size(), 1);
        QCOMPARE(other.requests()[0].header("Authorization"), QByteArray());
        transfer::ForgetAllLogins();
    }

    void bodySizeLimit_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("withLength");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QByteArray>("coding");
        QTest::newRow("at the limit") << 4096 << true << true << QByteArray();
        QTest::newRow("over, length announced") << 4097 << true << false << QByteArray();
        QTest::newRow("over, chunked") << 100000 << false << false << QByteArray();
        QTest::newRow("at the limit, chunked") << 4096 << false << true << QByteArray();
        // The limit holds for the page, not for what the wire carries.
        QTest::newRow("at the limit, gzip") << 4096 << true << true << QByteArray("gzip");
        QTest::newRow("over, gzip") << 4097 << true << false << QByteArray("gzip");
        QTest::newRow("far over, deflate, chunked")
            << 3000000 << false << false << QByteArray("deflate");
    }

    void bodySizeLimit()
    {
        QFETCH(int, size);
        QFETCH(bool, withLength);
        QFETCH(bool, ok);
        QFETCH(QByteArray, coding);
        QByteArray body = "<html><body><a href=a.log>a</a>";
        body += QByteArray(size - body.size(), ' ');
        TestResponse r = page(compressed(coding, body));
        QVERIFY(coding.isEmpty() || r.body.size() < 4096);
        if (!coding.isEmpty())
            r.extraHeaders.append({"Content-Encoding", coding});
        r.chunked = !withLength;
        route("/big/", r);

        WebBrowser browser;
        browser.setMaxBodyBytes(4096);
        EventLog log(&browser);
        load(browser, log, url("/big/"));
        if (ok) {
            QVERIFY(log.events.last().startsWith(u"DocumentComplete"));
            QCOMPARE(browser.Document()->links.size(), 1);
        } else {
            QCOMPARE(log.events, QStringList{QStringLiteral("NavigateError %1 %2")
                                                 .arg(url("/big/"))
                                                 .arg(WebBrowser::kBodyTooLarge)});
            QVERIFY(browser.Document()->links.isEmpty());
        }
    }

    void systemProxyNotProgramProxy()
    {
        // The system's proxy (here from the environment) carries the request;
        // the program's own proxy setting and an application-wide proxy do not.
        TestHttpServer systemProxy;
        QVERIFY(systemProxy.listen());
        systemProxy.setRoute(QStringLiteral("/logs/"), page("<title>via system proxy</title>"));
        TestHttpServer programProxy;
        QVERIFY(programProxy.listen());
        programProxy.setRoute(QStringLiteral("/logs/"), page("<title>via program proxy</title>"));

        const QByteArray savedEnv = qgetenv("http_proxy");
        const QString savedProxy = basKestrune::gstrProxy;
        qputenv("http_proxy", systemProxy.url(QString()).toUtf8());
        basKestrune::gstrProxy = QStringLiteral("127.0.0.1:%1").arg(programProxy.port());
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy,
                                                         QStringLiteral("127.0.0.1"),
                                                         programProxy.port()));

        WebBrowser browser;
        EventLog log(&browser);
        load(browser, log, QStringLiteral("http://kestrune-listing.invalid/logs/"));
        const QStringList events = log.events;

        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        basKestrune::gstrProxy = savedProxy;
        if (savedEnv.isEmpty())
            qunsetenv("http_proxy");
        else
            qputenv("http_proxy", savedEnv);

        QVERIFY2(events.last().startsWith(u"DocumentComplete"), qPrintable(events.join(u'|')));
        QCOMPARE(browser.LocationName(), QStringLiteral("via system proxy"));
        QCOMPARE(systemProxy.requests().size(), 1);
        QCOMPARE(systemProxy.requests()[0].header("Host"), QByteArray("kestrune-listing.invalid"));
        QCOMPARE(programProxy.requests().size(), 0);
    }
};

QTEST_GUILESS_MAIN(TstWebBrowser)
#include "tst_webbrowser.moc"
