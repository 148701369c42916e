// The proxy rule of the probes and the download: a proxy text is parsed and
// its entry for the request's scheme used, a text that cannot be parsed fails
// the transfer (never a direct request), and an empty text, or one without
// an entry for the scheme, leaves the choice to the system's configuration.
// Proven with a real forward proxy (tinyproxy).

#include "TestHttpServer.h"
#include "TinyproxyFixture.h"
#include "TransferTestUtil.h"
#include "base/transfer/ProxySetting.h"
#include "base/transfer/basWinInet.h"

#include <QTest>

using namespace kestrune;

using namespace transfertest;

namespace {
// "host:port" of an HTTP proxy, "-" for none.
QString describe(const std::optional<QNetworkProxy> &proxy)
{
    if (!proxy)
        return QStringLiteral("-");
    if (proxy->type() != QNetworkProxy::HttpProxy)
        return QStringLiteral("type %1").arg(int(proxy->type()));
    return proxy->hostName() + u':' + QString::number(proxy->port());
}
} // namespace

class TestProxy : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void parse_data();
    void parse();
    void listEntryForScheme_data();
    void listEntryForScheme();

    void route_data();
    void route();
    void badProxyTextNeverGoesDirect_data();
    void badProxyTextNeverGoesDirect();

private:
    TestHttpServer m_server;
    TinyproxyFixture m_proxy;
};

void TestProxy::initTestCase()
{
    clearProxyEnvironment();
    QVERIFY(m_server.listen());
    TestResponse r;
    r.body = TestHttpServer::patternBytes(0, 32767);
    m_server.setRoute(QStringLiteral("/via/u_ex.log"), r);
}

void TestProxy::init()
{
    SetTransferIdleTimeout(10000);
    m_server.clearRequests();
}

void TestProxy::cleanup()
{
    clearProxyEnvironment();
    SetTransferIdleTimeout(60000);
}

void TestProxy::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");

    QTest::newRow("host and port") << "proxy.example.jp:8080" << true << "proxy.example.jp" << 8080;
    QTest::newRow("host alone: port 80") << "proxy" << true << "proxy" << 80;
    QTest::newRow("address") << "192.0.2.7:3128" << true << "192.0.2.7" << 3128;
    QTest::newRow("blanks around") << "  proxy:3128 " << true << "proxy" << 3128;
    QTest::newRow("with scheme and slash") << "http://proxy:8080/" << true << "proxy" << 8080;
    QTest::newRow("bracketed IPv6 with port")
        << "[2001:db8::1]:8080" << true << "2001:db8::1" << 8080;
    QTest::newRow("bracketed IPv6") << "[::1]" << true << "::1" << 80;
    QTest::newRow("bare IPv6") << "2001:db8::2" << true << "2001:db8::2" << 80;
    QTest::newRow("highest port") << "proxy:65535" << true << "proxy" << 65535;

    QTest::newRow("empty port") << "proxy:" << false << "" << 0;
    QTest::newRow("port not a number") << "proxy:http" << false << "" << 0;
    QTest::newRow("port zero") << "proxy:0" << false << "" << 0;
    QTest::newRow("port too large") << "proxy:65536" << false << "" << 0;
    QTest::newRow("signed port") << "proxy:+80" << false << "" << 0;
    QTest::newRow("two ports") << "proxy:80:81" << false << "" << 0;
    QTest::newRow("no host") << ":8080" << false << "" << 0;
    QTest::newRow("blank before the port") << "proxy :8080" << false << "" << 0;
    QTest::newRow("only blanks") << "   " << false << "" << 0;
    QTest::newRow("unclosed bracket") << "[::1:8080" << false << "" << 0;
    QTest::newRow("brackets around a name") << "[proxy]:8080" << false << "" << 0;
    QTest::newRow("user part") << "user@proxy:8080" << false << "" << 0;
    QTest::newRow("path") << "proxy:8080/path" << false << "" << 0;
    QTest::newRow("wide digits") << QStringLiteral("proxy:\uFF18\uFF10") << false << "" << 0;
    QTest::newRow("list: only separators") << " ; ;\t" << false << "" << 0;
    QTest::newRow("list: no scheme") << "=proxy:8080" << false << "" << 0;
    QTest::newRow("list: scheme without proxy") << "http=a:1 https=" << false << "" << 0;
    QTest::newRow("list: not a scheme name") << "1http=a:1" << false << "" << 0;
    QTest::newRow("list: two equals signs") << "http=a=b:1" << false << "" << 0;
    QTest::newRow("list: one bad entry spoils it") << "http=a:1;b:99999" << false << "" << 0;
    QTest::newRow("list: unknown scheme, bad proxy") << "ftp=f:21x http=a:1" << false << "" << 0;
}

void TestProxy::parse()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QString, host);
    QFETCH(int, port);
    const std::optional<transfer::ProxyList> list = transfer::ParseProxySetting(text);
    QCOMPARE(list.has_value(), valid);
    if (!valid)
        return;
    // One proxy alone serves every scheme.
    const QString expected = host + u':' + QString::number(port);
    QCOMPARE(describe(list->forScheme(QStringLiteral("http"))), expected);
    QCOMPARE(describe(list->forScheme(QStringLiteral("https"))), expected);
}

void TestProxy::listEntryForScheme_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("http"); // "-": no entry, the system decides
    QTest::addColumn<QString>("https");

    QTest::newRow("one per scheme") << "http=a:1 https=b:2"
                                    << "a:1"
                                    << "b:2";
    QTest::newRow("http only") << "http=proxy:8080"
                               << "proxy:8080"
                               << "-";
    QTest::newRow("https only, scheme in capitals") << "HTTPS=b:3128"
                                                    << "-"
                                                    << "b:3128";
    QTest::newRow("first of two for every scheme") << "proxy1:8080;proxy2:3128"
                                                   << "proxy1:8080"
                                                   << "proxy1:8080";
    QTest::newRow("first that applies") << "https=s:1;p:2;http=h:3"
                                        << "p:2"
                                        << "s:1";
    QTest::newRow("other schemes never apply") << "ftp=f:21 socks=s:1080"
                                               << "-"
                                               << "-";
    QTest::newRow("separators mixed and repeated") << " ;http=h:1 ;; \t https=[::1]:8443; "
                                                   << "h:1"
                                                   << "::1:8443";
    QTest::newRow("scheme entry with http:// and /") << "http=http://h:8080/"
                                                     << "h:8080"
                                                     << "-";
    QTest::newRow("blank separates entries") << "pro xy:8080"
                                             << "pro:80"
                                             << "pro:80";
}

void TestProxy::listEntryForScheme()
{
    QFETCH(QString, text);
    QFETCH(QString, http);
    QFETCH(QString, https);
    const std::optional<transfer::ProxyList> list = transfer::ParseProxySetting(text);
    QVERIFY(list.has_value());
    QCOMPARE(describe(list->forScheme(QStringLiteral("http"))), http);
    QCOMPARE(describe(list->forScheme(QStringLiteral("https"))), https);
}

void TestProxy::route_data()
{
    QTest::addColumn<QString>("text"); // the proxy text: %P tinyproxy's port, %C a closed one
    QTest::addColumn<bool>("system");  // http_proxy names tinyproxy
    QTest::addColumn<bool>("via");     // both requests must come through it
    QTest::newRow("given proxy") << "127.0.0.1:%P" << false << true;
    QTest::newRow("empty text: the system's proxy") << "" << true << true;
    QTest::newRow("empty text, no system proxy: direct") << "" << false << false;
    QTest::newRow("list: the http entry")
        << "https=127.0.0.1:%C ftp=127.0.0.1:%C;http=127.0.0.1:%P;127.0.0.1:%C" << false << true;
    QTest::newRow("list without an http entry: the system's proxy")
        << "https=127.0.0.1:%C" << true << true;
}

void TestProxy::route()
{
    QFETCH(QString, text);
    QFETCH(bool, system);
    QFETCH(bool, via);
    if (via && !m_proxy.isRunning() && !m_proxy.start())
        QSKIP(qPrintable(m_proxy.errorString()));
    if (system)
        qputenv("http_proxy", QByteArray("http://" + m_proxy.address().toLatin1()));
    // The explicit port must be used as given (port 80 serves nothing here).
    const QString proxyText = QString(text)
                                  .replace(QLatin1String("%P"), QString::number(m_proxy.port()))
                                  .replace(QLatin1String("%C"), QString::number(closedPort()));
    const QString url = m_server.url(QStringLiteral("/via/u_ex.log"));

    const std::optional<RemoteProbe> size = probe(url, proxyText);
    QVERIFY(size);
    QCOMPARE(size->size.value_or(-1), qint64(32767));
    PatternCheckDevice device;
    const std::optional<DownloadRun> run = download(url, &device, proxyText, 32767);
    QVERIFY(run);
    QCOMPARE(run->outcome.result, DownloadResult::Stored);
    QCOMPARE(run->outcome.bytes, qint64(32767));
    QCOMPARE(device.received(), qint64(32767));
    QVERIFY(device.matches());

    const QList<RecordedRequest> requests = m_server.requests();
    QCOMPARE(requests.size(), 2);
    for (const RecordedRequest &request : requests) {
        QCOMPARE(request.header("Via").contains("tinyproxy"), via);
        verifyFileRequest(request, "/via/u_ex.log");
    }
    if (via)
        QTRY_VERIFY_WITH_TIMEOUT(m_proxy.logText().count(QStringLiteral("GET ") + url) >= 2, 30000);
}

void TestProxy::badProxyTextNeverGoesDirect_data()
{
    QTest::addColumn<QString>("proxyText");
    QTest::newRow("unparseable") << QStringLiteral("proxy:port");
    QTest::newRow("blanks only") << QStringLiteral("  ");
    QTest::newRow("bad http entry beside a good one")
        << QStringLiteral("https=127.0.0.1:1 http=proxy:port");
    QTest::newRow("nobody listens") << QStringLiteral("127.0.0.1:%1").arg(closedPort());
}

void TestProxy::badProxyTextNeverGoesDirect()
{
    QFETCH(QString, proxyText);
    const QString url = m_server.url(QStringLiteral("/via/u_ex.log"));
    const int connections = m_server.connectionCount();

    // Neither step finishes inside start(), not even when the proxy text
    // fails them before anything is sent.
    const std::optional<RemoteProbe> size = probe(url, proxyText);
    QVERIFY(size);
    QVERIFY(!size->size);
    QCOMPARE(size->status, 0);
    QVERIFY(size->error.isError());
    PatternCheckDevice device;
    const std::optional<DownloadRun> run = download(url, &device, proxyText, 32767);
    QVERIFY(run);
    QCOMPARE(run->outcome.result, DownloadResult::Failed);
    QCOMPARE(run->outcome.status, 0);
    QVERIFY(run->outcome.error.isError());
    QCOMPARE(device.received(), qint64(0));
    QVERIFY(noConnectionSince(m_server, connections, QStringLiteral("/via/u_ex.log"), 32767));
}

QTEST_GUILESS_MAIN(TestProxy)
#include "tst_proxy.moc"
