// The hidden browser against a real HTTP server on loopback: navigation,
// events, redirects, errors, encodings and the document it then offers.

#include "app/basKestrune.h"
#include "collector/WebBrowser.h"

#include "TestHttpServer.h"

#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QStringEncoder>
#include <QTcpServer>
#include <QtTest>

using namespace kestrune;

namespace {

QByteArray sjis(const QString &text)
{
    QStringEncoder encoder("windows-31j");
    return encoder(text);
}

const QString kJapaneseName1 = QStringLiteral("アクセス記録①.log");
const QString kJapaneseName2 = QStringLiteral("エラー～一覧.log");
const QString kNotFound = QStringLiteral("指定されたドキュメントは存在しません。");

QString iisListing(const QString &folder, const QStringList &names,
                   const QString &parentText = QStringLiteral("[To Parent Directory]"),
                   const QString &headExtra = QString())
{
    QString html = QStringLiteral("<html><head>%1<title>127.0.0.1 - %2</title></head><body>"
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

// Records every event of a browser, in order.
class EventLog : public QObject {
public:
    explicit EventLog(WebBrowser *browser)
    {
        connect(browser, &WebBrowser::NavigateComplete2, this,
                [this](const QString &url) { events << QStringLiteral("NavigateComplete2 ") + url; });
        connect(browser, &WebBrowser::DocumentComplete, this,
                [this](const QString &url) { events << QStringLiteral("DocumentComplete ") + url; });
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

// A port on loopback where nothing listens.
quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

} // namespace

class TstWebBrowser : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void aboutBlank();
    void listingInEveryEncoding_data();
    void listingInEveryEncoding();
    void hrefForms_data();
    void hrefForms();
    void redirectIsFollowed_data();
    void redirectIsFollowed();
    void redirectLoopFails();
    void redirectToOtherScheme();
    void httpErrorStatus_data();
    void httpErrorStatus();
    void unreachableServer();
    void connectionCutMidBody();
    void unsupportedAddress_data();
    void unsupportedAddress();
    void addressWithoutScheme();
    void notFoundSentenceOnStatus200();
    void textPlainPage();
    void newNavigationAbandonsTheOldOne();
    void lateCompletionStillReported();
    void navigateFromCompletionHandler();
    void stopAndDestroyMidNavigation();
    void bodySizeLimit_data();
    void bodySizeLimit();
    void systemProxyNotProgramProxy();
    void hundredThousandLinksOverHttp();

private:
    // Navigates and waits for the outcome; fails the test if an event comes
    // inside Navigate2 or none comes in time.
    void load(WebBrowser &browser, EventLog &log, const QString &url, int timeoutMs = 10000);

    std::unique_ptr<TestHttpServer> m_server;
};

void TstWebBrowser::init()
{
    m_server = std::make_unique<TestHttpServer>();
    QVERIFY(m_server->listen());
}

void TstWebBrowser::cleanup()
{
    m_server.reset();
}

void TstWebBrowser::load(WebBrowser &browser, EventLog &log, const QString &url, int timeoutMs)
{
    log.events.clear();
    browser.Navigate2(url);
    QVERIFY2(log.events.isEmpty(), "an event came inside Navigate2");
    QVERIFY(browser.Busy());
    QTRY_VERIFY_WITH_TIMEOUT(log.ended(), timeoutMs);
    QVERIFY(!browser.Busy());
}

void TstWebBrowser::aboutBlank()
{
    WebBrowser browser;
    EventLog log(&browser);
    QCOMPARE(browser.Document(), nullptr);
    QCOMPARE(browser.LocationURL(), QString());

    load(browser, log, QStringLiteral("about:blank"));
    QCOMPARE(log.events, (QStringList{QStringLiteral("NavigateComplete2 about:blank"),
                                      QStringLiteral("DocumentComplete about:blank")}));
    QVERIFY(browser.Document());
    QVERIFY(browser.Document()->links.isEmpty());
    QVERIFY(browser.Document()->innerText.isEmpty());
    QCOMPARE(browser.LocationURL(), QStringLiteral("about:blank"));
    QCOMPARE(browser.LocationName(), QStringLiteral("about:blank"));
    QCOMPARE(m_server->requests().size(), 0);
}

void TstWebBrowser::listingInEveryEncoding_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QString>("parentText");

    const QStringList names{QStringLiteral("ex240105.log"), kJapaneseName1, kJapaneseName2};
    const QString en = iisListing(QStringLiteral("/logs/"), names);
    const QString ja = iisListing(QStringLiteral("/logs/"), names, QStringLiteral("[親ディレクトリへ]"));
    const QString jaMeta = iisListing(QStringLiteral("/logs/"), names, QStringLiteral("[親ディレクトリへ]"),
                                      QStringLiteral("<meta charset=\"shift_jis\">"));

    QTest::newRow("utf-8 by header") << en.toUtf8() << QByteArray("text/html; charset=utf-8")
                                     << QStringLiteral("[To Parent Directory]");
    QTest::newRow("utf-8 with bom") << QByteArray("\xEF\xBB\xBF") + ja.toUtf8() << QByteArray("text/html")
                                    << QStringLiteral("[親ディレクトリへ]");
    QTest::newRow("utf-8 undeclared") << ja.toUtf8() << QByteArray("text/html")
                                      << QStringLiteral("[親ディレクトリへ]");
    QTest::newRow("windows-31j by header") << sjis(ja) << QByteArray("text/html; charset=Shift_JIS")
                                           << QStringLiteral("[親ディレクトリへ]");
    QTest::newRow("windows-31j by meta") << sjis(jaMeta) << QByteArray("text/html")
                                         << QStringLiteral("[親ディレクトリへ]");
    QTest::newRow("windows-31j undeclared") << sjis(ja) << QByteArray("text/html")
                                            << QStringLiteral("[親ディレクトリへ]");
}

void TstWebBrowser::listingInEveryEncoding()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, contentType);
    QFETCH(QString, parentText);
    m_server->setRoute(QStringLiteral("/logs/"), page(body, contentType));

    WebBrowser browser;
    EventLog log(&browser);
    const QString url = m_server->url(QStringLiteral("/logs/"));
    load(browser, log, url);

    QCOMPARE(log.events, (QStringList{QStringLiteral("NavigateComplete2 ") + url,
                                      QStringLiteral("DocumentComplete ") + url}));
    QCOMPARE(browser.LocationURL(), url);
    QCOMPARE(browser.LocationName(), QStringLiteral("127.0.0.1 - /logs/"));
    const HtmlDocument *doc = browser.Document();
    QVERIFY(doc);
    QCOMPARE(doc->links.size(), 4);
    QCOMPARE(doc->links[0].outerText, parentText);
    QCOMPARE(doc->links[0].href, m_server->url(QStringLiteral("/")));
    QCOMPARE(doc->links[1].outerText, QStringLiteral("ex240105.log"));
    QCOMPARE(doc->links[1].href, m_server->url(QStringLiteral("/logs/ex240105.log")));
    QCOMPARE(doc->links[2].outerText, kJapaneseName1);
    QCOMPARE(QUrl::fromPercentEncoding(doc->links[2].href.toUtf8()),
             m_server->url(QStringLiteral("/logs/")) + kJapaneseName1);
    QCOMPARE(doc->links[3].outerText, kJapaneseName2);
    // The text keeps the listing's lines: heading, parent link, one per file.
    const QStringList lines = doc->innerText.split(u'\n');
    QCOMPARE(lines.value(0), QStringLiteral("127.0.0.1 - /logs/"));
    QCOMPARE(lines.value(1), parentText);
    QCOMPARE(lines.value(2), QString());
    QCOMPARE(lines.value(5), QStringLiteral("  2024/01/05     9:03        12345 ") + kJapaneseName2);
    QVERIFY(doc->innerHTML.contains(QStringLiteral(">") + kJapaneseName1 + QStringLiteral("</a>")));

    // The href the page reports fetches the file: the server sees the name.
    m_server->clearRequests();
    load(browser, log, doc->links[2].href);
    QCOMPARE(m_server->requests().size(), 1);
    QCOMPARE(QUrl::fromPercentEncoding(m_server->requests()[0].path),
             QStringLiteral("/logs/") + kJapaneseName1);
}

void TstWebBrowser::hrefForms_data()
{
    QTest::addColumn<QString>("html");
    QTest::addColumn<QStringList>("paths"); // expected hrefs, "ABS" standing for the server root

    const QString links = QStringLiteral("<a href=\"a.log\">a</a><a href=\"/logs/b.log\">b</a>"
                                         "<a href=\"../c.log\">c</a><a href=\"ABS/abs/d.log\">d</a>");
    QTest::newRow("no base") << links
                             << QStringList{QStringLiteral("ABS/logs/sub/a.log"), QStringLiteral("ABS/logs/b.log"),
                                            QStringLiteral("ABS/logs/c.log"), QStringLiteral("ABS/abs/d.log")};
    QTest::newRow("base href") << QStringLiteral("<head><base href=\"/mirror/x/\"></head>") + links
                               << QStringList{QStringLiteral("ABS/mirror/x/a.log"), QStringLiteral("ABS/logs/b.log"),
                                              QStringLiteral("ABS/mirror/c.log"), QStringLiteral("ABS/abs/d.log")};
}

void TstWebBrowser::hrefForms()
{
    QFETCH(QString, html);
    QFETCH(QStringList, paths);
    const QString root = m_server->url(QString());
    html.replace(QStringLiteral("ABS"), root);
    m_server->setRoute(QStringLiteral("/logs/sub/index.html"), page(html.toUtf8()));

    WebBrowser browser;
    EventLog log(&browser);
    load(browser, log, m_server->url(QStringLiteral("/logs/sub/index.html")));
    QStringList hrefs;
    for (const DocumentLink &l : browser.Document()->links)
        hrefs << l.href;
    paths.replaceInStrings(QStringLiteral("ABS"), root);
    QCOMPARE(hrefs, paths);
}

void TstWebBrowser::redirectIsFollowed_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("absoluteLocation");
    QTest::newRow("302 relative location") << 302 << false;
    QTest::newRow("301 absolute location") << 301 << true;
    QTest::newRow("307") << 307 << false;
    QTest::newRow("308") << 308 << true;
}

void TstWebBrowser::redirectIsFollowed()
{
    QFETCH(int, status);
    QFETCH(bool, absoluteLocation);
    const QByteArray target = absoluteLocation ? m_server->url(QStringLiteral("/new/logs/")).toUtf8()
                                               : QByteArray("/new/logs/");
    m_server->setRoute(QStringLiteral("/logs"), redirect(status, target));
    m_server->setRoute(QStringLiteral("/new/logs/"),
                       page(iisListing(QStringLiteral("/new/logs/"), {QStringLiteral("x.log")}).toUtf8()
                            + "<a href=\"rel.log\">rel</a>"));

    WebBrowser browser;
    EventLog log(&browser);
    load(browser, log, m_server->url(QStringLiteral("/logs")));
    const QString finalUrl = m_server->url(QStringLiteral("/new/logs/"));
    QCOMPARE(log.events, (QStringList{QStringLiteral("NavigateComplete2 ") + finalUrl,
                                      QStringLiteral("DocumentComplete ") + finalUrl}));
    QCOMPARE(browser.LocationURL(), finalUrl);
    QCOMPARE(browser.Document()->links.value(1).href, m_server->url(QStringLiteral("/new/logs/x.log")));
    // Relative links resolve against the address after the redirect.
    QCOMPARE(browser.Document()->links.last().href, m_server->url(QStringLiteral("/new/logs/rel.log")));
    QCOMPARE(m_server->requests().size(), 2);
}

void TstWebBrowser::redirectLoopFails()
{
    m_server->setRoute(QStringLiteral("/a"), redirect(302, "/b"));
    m_server->setRoute(QStringLiteral("/b"), redirect(302, "/a"));
    WebBrowser browser;
    EventLog log(&browser);
    load(browser, log, m_server->url(QStringLiteral("/a")));
    QVERIFY2(log.events.size() == 1, qPrintable(log.events.join(u'|')));
    QVERIFY2(log.events[0].startsWith(u"NavigateError"), qPrintable(log.events[0]));
    QVERIFY(log.lastStatus < 0);
    QVERIFY(browser.Document()->links.isEmpty());
}

void TstWebBrowser::redirectToOtherScheme()
{
    m_server->setRoute(QStringLiteral("/logs/"), redirect(302, "ftp://127.0.0.1/logs/"));
    WebBrowser browser;
    EventLog log(&browser);
    load(browser, log, m_server->url(QStringLiteral("/logs/")));
    QVERIFY2(log.events.size() == 1 && log.events[0].startsWith(u"NavigateError"),
             qPrintable(log.events.join(u'|')));
    QCOMPARE(log.lastStatus, WebBrowser::kUnsupportedAddress);
    QCOMPARE(browser.LocationURL(), m_server->url(QStringLiteral("/logs/")));
    QCOMPARE(m_server->requests().size(), 1);
}

void TstWebBrowser::httpErrorStatus_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("404 (unknown path)") << 404;
    QTest::newRow("403") << 403;
    QTest::newRow("500") << 500;
    QTest::newRow("503") << 503;
}

void TstWebBrowser::httpErrorStatus()
{
    QFETCH(int, status);
    const QByteArray body = "<html><head><title>Error</title></head><body><a href=\"/x\">x</a></body></html>";
    if (status != 404)
        m_server->setRoute(QStringLiteral("/logs/"), page(body, "text/html", status));
    m_server->setRoute(QStringLiteral("/ok/"), page(iisListing(QStringLiteral("/ok/"), {QStringLiteral("a.log")}).toUtf8()));

    WebBrowser browser;
    EventLog log(&browser);
    load(browser, log, m_server->url(QStringLiteral("/ok/")));
    QCOMPARE(browser.Document()->links.size(), 2);

    const QString url = m_server->url(QStringLiteral("/logs/"));
    load(browser, log, url);
    QCOMPARE(log.events, QStringList{QStringLiteral("NavigateError %1 %2").arg(url).arg(status)});
    // Nothing more arrives for the failed navigation.
    QTest::qWait(100);
    QCOMPARE(log.events.size(), 1);
    QCOMPARE(browser.LocationURL(), url);
    QCOMPARE(browser.LocationName(), url);
    // The error page replaces the previous document: reading it is safe and
    // lists nothing.
    QVERIFY(browser.Document());
    QVERIFY(browser.Document()->links.isEmpty());
    QVERIFY(browser.Document()->innerText.contains(QStringLiteral("ページを表示できません。")));
    QVERIFY(browser.Document()->innerText.contains(QString::number(status)));
}

void TstWebBrowser::unreachableServer()
{
    WebBrowser browser;
    EventLog log(&browser);
    const QString url = QStringLiteral("http://127.0.0.1:%1/logs/").arg(closedPort());
    load(browser, log, url);
    QCOMPARE(log.events.size(), 1);
    QVERIFY2(log.events[0].startsWith(QStringLiteral("NavigateError ") + url + u' '), qPrintable(log.events[0]));
    QCOMPARE(log.lastStatus, -int(QNetworkReply::ConnectionRefusedError));
    QCOMPARE(browser.LocationURL(), url);
    QVERIFY(browser.Document());
    QVERIFY(browser.Document()->links.isEmpty());
}

void TstWebBrowser::connectionCutMidBody()
{
    TestResponse r = page(iisListing(QStringLiteral("/logs/"), {QStringLiteral("a.log")}).toUtf8());
    r.cutAfter = 40;
    m_server->setRoute(QStringLiteral("/logs/"), r);
    WebBrowser browser;
    EventLog log(&browser);
    load(browser, log, m_server->url(QStringLiteral("/logs/")));
    QCOMPARE(log.events.size(), 1);
    QVERIFY2(log.events[0].startsWith(u"NavigateError"), qPrintable(log.events[0]));
    QVERIFY(log.lastStatus < 0);
}

void TstWebBrowser::unsupportedAddress_data()
{
    QTest::addColumn<QString>("url");
    QTest::newRow("ftp") << QStringLiteral("ftp://127.0.0.1/logs/");
    QTest::newRow("file") << QStringLiteral("file:///etc/passwd");
    QTest::newRow("mailto") << QStringLiteral("mailto:ops@example.com");
    QTest::newRow("javascript") << QStringLiteral("javascript:alert(1)");
    QTest::newRow("drive path") << QStringLiteral("C:\\logs\\");
    QTest::newRow("empty") << QString();
    QTest::newRow("spaces") << QStringLiteral("   ");
    QTest::newRow("http without host") << QStringLiteral("http://");
    QTest::newRow("broken host") << QStringLiteral("http://[::1/logs/");
}

void TstWebBrowser::unsupportedAddress()
{
    QFETCH(QString, url);
    WebBrowser browser;
    EventLog log(&browser);
    load(browser, log, url);
    QCOMPARE(log.events, QStringList{QStringLiteral("NavigateError %1 %2")
                                         .arg(url.trimmed())
                                         .arg(WebBrowser::kUnsupportedAddress)});
    QCOMPARE(browser.LocationURL(), url.trimmed());
    QVERIFY(browser.Document());
    QVERIFY(browser.Document()->links.isEmpty());
    QCOMPARE(m_server->requests().size(), 0);
}

void TstWebBrowser::addressWithoutScheme()
{
    m_server->setRoute(QStringLiteral("/logs/"), page("<html><body><a href=a.log>a</a></body></html>"));
    WebBrowser browser;
    EventLog log(&browser);
    load(browser, log, QStringLiteral("  127.0.0.1:%1/logs/ ").arg(m_server->port()));
    const QString url = m_server->url(QStringLiteral("/logs/"));
    QCOMPARE(log.events.last(), QStringLiteral("DocumentComplete ") + url);
    QCOMPARE(browser.LocationURL(), url);
    // No title: the address stands for the name.
    QCOMPARE(browser.LocationName(), url);
}

void TstWebBrowser::notFoundSentenceOnStatus200()
{
    const QString html = QStringLiteral("<html><head><title>エラー</title></head><body><h2>%1</h2>"
                                        "<p>URLを確認してください。</p></body></html>").arg(kNotFound);
    m_server->setRoute(QStringLiteral("/logs/"), page(sjis(html), "text/html; charset=shift_jis"));
    WebBrowser browser;
    EventLog log(&browser);
    load(browser, log, m_server->url(QStringLiteral("/logs/")));
    QVERIFY(log.events.last().startsWith(u"DocumentComplete"));
    QVERIFY2(browser.Document()->innerText.contains(kNotFound), qPrintable(browser.Document()->innerText));
    QCOMPARE(browser.LocationName(), QStringLiteral("エラー"));
}

void TstWebBrowser::textPlainPage()
{
    m_server->setRoute(QStringLiteral("/readme.txt"),
                       page("line <a href=\"x\">one</a>\n  line & two\n", "text/plain; charset=utf-8"));
    WebBrowser browser;
    EventLog log(&browser);
    load(browser, log, m_server->url(QStringLiteral("/readme.txt")));
    QVERIFY(log.events.last().startsWith(u"DocumentComplete"));
    QVERIFY(browser.Document()->links.isEmpty());
    QCOMPARE(browser.Document()->innerText, QStringLiteral("line <a href=\"x\">one</a>\n  line & two\n"));
}

void TstWebBrowser::newNavigationAbandonsTheOldOne()
{
    TestResponse slow = page("<html><head><title>slow</title></head><body><a href=s>s</a></body></html>");
    slow.delayMs = 700;
    m_server->setRoute(QStringLiteral("/slow/"), slow);
    TestResponse stalled = page("never");
    stalled.stallAfterHeaders = true;
    m_server->setRoute(QStringLiteral("/stalled/"), stalled);
    m_server->setRoute(QStringLiteral("/fast/"), page("<html><head><title>fast</title></head><body></body></html>"));

    WebBrowser browser;
    EventLog log(&browser);
    browser.Navigate2(m_server->url(QStringLiteral("/slow/")));
    QTRY_COMPARE(m_server->requests().size(), 1); // the slow request is on its way
    browser.Navigate2(m_server->url(QStringLiteral("/stalled/")));
    QTRY_COMPARE(m_server->requests().size(), 2);
    browser.Navigate2(QStringLiteral("about:blank")); // queued events of its own
    load(browser, log, m_server->url(QStringLiteral("/fast/")));

    QTest::qWait(1200); // well past the slow page's answer
    const QString fast = m_server->url(QStringLiteral("/fast/"));
    QCOMPARE(log.events, (QStringList{QStringLiteral("NavigateComplete2 ") + fast,
                                      QStringLiteral("DocumentComplete ") + fast}));
    QCOMPARE(browser.LocationName(), QStringLiteral("fast"));
    QCOMPARE(browser.LocationURL(), fast);
}

void TstWebBrowser::lateCompletionStillReported()
{
    TestResponse slow = page("<html><head><title>late</title></head><body><a href=l.log>l</a></body></html>");
    slow.delayMs = 1000;
    m_server->setRoute(QStringLiteral("/slow/"), slow);
    m_server->setRoute(QStringLiteral("/first/"), page("<html><head><title>first</title></head></html>"));

    WebBrowser browser;
    EventLog log(&browser);
    load(browser, log, m_server->url(QStringLiteral("/first/")));
    log.events.clear();

    browser.Navigate2(m_server->url(QStringLiteral("/slow/")));
    // The window gives up waiting here; the browser still shows the old page.
    QTest::qWait(300);
    QVERIFY(log.events.isEmpty());
    QCOMPARE(browser.LocationURL(), m_server->url(QStringLiteral("/first/")));
    QCOMPARE(browser.LocationName(), QStringLiteral("first"));
    QVERIFY(browser.Busy());

    // ... and the page, once it arrives, is reported all the same.
    QTRY_VERIFY_WITH_TIMEOUT(log.ended(), 5000);
    QCOMPARE(log.events.last(), QStringLiteral("DocumentComplete ") + m_server->url(QStringLiteral("/slow/")));
    QCOMPARE(browser.LocationName(), QStringLiteral("late"));
    QCOMPARE(browser.Document()->links.size(), 1);
}

void TstWebBrowser::navigateFromCompletionHandler()
{
    m_server->setRoute(QStringLiteral("/one/"), page("<title>one</title>"));
    m_server->setRoute(QStringLiteral("/two/"), page("<title>two</title>"));
    WebBrowser browser;
    EventLog log(&browser);
    bool redirected = false;
    connect(&browser, &WebBrowser::NavigateComplete2, this, [&](const QString &) {
        if (!redirected) {
            redirected = true;
            browser.Navigate2(m_server->url(QStringLiteral("/two/")));
        }
    });
    browser.Navigate2(m_server->url(QStringLiteral("/one/")));
    QTRY_VERIFY_WITH_TIMEOUT(log.events.contains(QStringLiteral("DocumentComplete ") + m_server->url(QStringLiteral("/two/"))), 5000);
    QCOMPARE(log.events, (QStringList{QStringLiteral("NavigateComplete2 ") + m_server->url(QStringLiteral("/one/")),
                                      QStringLiteral("NavigateComplete2 ") + m_server->url(QStringLiteral("/two/")),
                                      QStringLiteral("DocumentComplete ") + m_server->url(QStringLiteral("/two/"))}));
    QCOMPARE(browser.LocationName(), QStringLiteral("two"));
}

void TstWebBrowser::stopAndDestroyMidNavigation()
{
    TestResponse stalled = page("x");
    stalled.stallBeforeHeaders = true;
    m_server->setRoute(QStringLiteral("/stalled/"), stalled);

    WebBrowser browser;
    EventLog log(&browser);
    browser.Navigate2(m_server->url(QStringLiteral("/stalled/")));
    QTRY_COMPARE(m_server->requests().size(), 1);
    browser.Stop();
    QVERIFY(!browser.Busy());
    browser.Navigate2(QStringLiteral("about:blank"));
    browser.Stop(); // its queued completion is dropped too
    QTest::qWait(100);
    QVERIFY(log.events.isEmpty());
    QCOMPARE(browser.Document(), nullptr);

    auto *doomed = new WebBrowser;
    EventLog doomedLog(doomed);
    doomed->Navigate2(m_server->url(QStringLiteral("/stalled/")));
    QTRY_COMPARE(m_server->requests().size(), 2);
    delete doomed;
    QTest::qWait(100);
    QVERIFY(doomedLog.events.isEmpty());
}

void TstWebBrowser::bodySizeLimit_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("withLength");
    QTest::addColumn<bool>("ok");
    QTest::newRow("at the limit") << 4096 << true << true;
    QTest::newRow("over, length announced") << 4097 << true << false;
    QTest::newRow("over, chunked") << 100000 << false << false;
    QTest::newRow("at the limit, chunked") << 4096 << false << true;
}

void TstWebBrowser::bodySizeLimit()
{
    QFETCH(int, size);
    QFETCH(bool, withLength);
    QFETCH(bool, ok);
    QByteArray body = "<html><body><a href=a.log>a</a>";
    body += QByteArray(size - body.size(), ' ');
    TestResponse r = page(body);
    r.chunked = !withLength;
    m_server->setRoute(QStringLiteral("/big/"), r);

    WebBrowser browser;
    QCOMPARE(browser.maxBodyBytes(), WebBrowser::kDefaultMaxBodyBytes);
    browser.setMaxBodyBytes(4096);
    EventLog log(&browser);
    load(browser, log, m_server->url(QStringLiteral("/big/")));
    if (ok) {
        QVERIFY(log.events.last().startsWith(u"DocumentComplete"));
        QCOMPARE(browser.Document()->links.size(), 1);
    } else {
        QCOMPARE(log.events, QStringList{QStringLiteral("NavigateError %1 %2")
                                             .arg(m_server->url(QStringLiteral("/big/")))
                                             .arg(WebBrowser::kBodyTooLarge)});
        QVERIFY(browser.Document()->links.isEmpty());
    }
}

void TstWebBrowser::systemProxyNotProgramProxy()
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
    QNetworkProxy::setApplicationProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), programProxy.port()));

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

void TstWebBrowser::hundredThousandLinksOverHttp()
{
    QStringList names;
    for (int i = 0; i < 100000; ++i)
        names << QStringLiteral("u_ex%1.log").arg(i, 6, 10, QLatin1Char('0'));
    const QByteArray body = sjis(iisListing(QStringLiteral("/logs/"), names, QStringLiteral("[親ディレクトリへ]")));
    m_server->setRoute(QStringLiteral("/logs/"), page(body, "text/html; charset=Shift_JIS"));

    WebBrowser browser;
    EventLog log(&browser);
    QElapsedTimer timer;
    timer.start();
    load(browser, log, m_server->url(QStringLiteral("/logs/")), 60000);
    qInfo("100,000-link listing (%lld bytes) fetched and parsed in %lld ms", qlonglong(body.size()),
          qlonglong(timer.elapsed()));
    QVERIFY(log.events.last().startsWith(u"DocumentComplete"));
    const HtmlDocument *doc = browser.Document();
    QCOMPARE(doc->links.size(), 100001);
    QCOMPARE(doc->links[1].outerText, names.first());
    QCOMPARE(doc->links[50001].outerText, names[50000]);
    QCOMPARE(doc->links[100000].href, m_server->url(QStringLiteral("/logs/")) + names.last());
}

QTEST_GUILESS_MAIN(TstWebBrowser)
#include "tst_webbrowser.moc"
