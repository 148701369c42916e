// The proxy rule of the probes and the download: a proxy text is parsed and
// used for every request, a text that cannot be parsed fails the transfer
// (never a direct request), and an empty text leaves the choice to the
// system's configuration.  Proven with a real forward proxy (tinyproxy).

#include "TestHttpServer.h"
#include "TinyproxyFixture.h"
#include "TransferTestUtil.h"
#include "transfer/ProxySetting.h"
#include "transfer/basWinInet.h"

#include <QTest>

using namespace transfertest;

class TestProxy : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void parse_data();
    void parse();

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
    QTest::newRow("bracketed IPv6 with port") << "[2001:db8::1]:8080" << true << "2001:db8::1" << 8080;
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
    QTest::newRow("blank inside") << "pro xy:8080" << false << "" << 0;
    QTest::newRow("only blanks") << "   " << false << "" << 0;
    QTest::newRow("unclosed bracket") << "[::1:8080" << false << "" << 0;
    QTest::newRow("brackets around a name") << "[proxy]:8080" << false << "" << 0;
    QTest::newRow("user part") << "user@proxy:8080" << false << "" << 0;
    QTest::newRow("path") << "proxy:8080/path" << false << "" << 0;
    QTest::newRow("wide digits") << QStringLiteral("proxy:\uFF18\uFF10") << false << "" << 0;
}

void TestProxy::parse()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QString, host);
    QFETCH(int, port);
    const std::optional<QNetworkProxy> proxy = transfer::ParseProxySetting(text);
    QCOMPARE(proxy.has_value(), valid);
    if (!valid)
        return;
    QCOMPARE(proxy->type(), QNetworkProxy::HttpProxy);
    QCOMPARE(proxy->hostName(), host);
    QCOMPARE(int(proxy->port()), port);
}

void TestProxy::route_data()
{
    QTest::addColumn<bool>("given");  // the proxy text names tinyproxy
    QTest::addColumn<bool>("system"); // http_proxy names tinyproxy
    QTest::addColumn<bool>("via");    // both requests must come through it
    QTest::newRow("given proxy") << true << false << true;
    QTest::newRow("empty text: the system's proxy") << false << true << true;
    QTest::newRow("empty text, no system proxy: direct") << false << false << false;
}

void TestProxy::route()
{
    QFETCH(bool, given);
    QFETCH(bool, system);
    QFETCH(bool, via);
    if (via && !m_proxy.isRunning() && !m_proxy.start())
        QSKIP(qPrintable(m_proxy.errorString()));
    if (system)
        qputenv("http_proxy", QByteArray("http://" + m_proxy.address().toLatin1()));
    // The explicit port must be used as given (port 80 serves nothing here).
    const QString proxyText = given ? QStringLiteral("127.0.0.1:%1").arg(m_proxy.port()) : QString();
    const QString url = m_server.url(QStringLiteral("/via/u_ex.log"));

    QCOMPARE(GetRemoteFileSize(url, proxyText), qint64(32767));
    PatternCheckDevice device;
    HookRecord record;
    QCOMPARE(DownloadFile(url, &device, proxyText, 32767, record.hooks()).bytes, qint64(32767));
    QVERIFY(device.matches());
    QCOMPARE(record.lines, QStringList{okLine(url)});

    const QList<RecordedRequest> requests = m_server.requests();
    QCOMPARE(requests.size(), 2);
    for (const RecordedRequest &request : requests) {
        QCOMPARE(request.header("Via").contains("tinyproxy"), via);
        verifyFileRequest(request, "/via/u_ex.log");
    }
    if (via)
        QTRY_VERIFY(m_proxy.logText().count(QStringLiteral("GET ") + url) >= 2);
}

void TestProxy::badProxyTextNeverGoesDirect_data()
{
    QTest::addColumn<QString>("proxyText");
    QTest::newRow("unparseable") << QStringLiteral("proxy:port");
    QTest::newRow("blanks only") << QStringLiteral("  ");
    QTest::newRow("nobody listens")
        << QStringLiteral("127.0.0.1:%1").arg(closedPort());
}

void TestProxy::badProxyTextNeverGoesDirect()
{
    QFETCH(QString, proxyText);
    const QString url = m_server.url(QStringLiteral("/via/u_ex.log"));
    const int connections = m_server.connectionCount();

    QCOMPARE(GetRemoteFileSize(url, proxyText), qint64(0));
    HookRecord record;
    PatternCheckDevice device;
    QCOMPARE(DownloadFile(url, &device, proxyText, 32767, record.hooks()).result, DownloadResult::Failed);
    QCOMPARE(record.lines, QStringList{failLine(url)});
    QCOMPARE(device.received(), qint64(0));
    QTest::qWait(50);
    QCOMPARE(m_server.connectionCount(), connections);
}

QTEST_GUILESS_MAIN(TestProxy)
#include "tst_proxy.moc"
