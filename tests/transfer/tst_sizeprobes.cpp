// The two size probes: what the web server announces for a URL, and the size
// of the local copy.

#include "TestHttpServer.h"
#include "TransferTestUtil.h"
#include "transfer/basGetFileSize.h"
#include "transfer/basWinInet.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace transfertest;

class TestSizeProbes : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void remoteSize_data();
    void remoteSize();
    void remoteSizeNeedsAnAnswer_data();
    void remoteSizeNeedsAnAnswer();
    void remoteProbeSendsOneCacheBypassingGet();
    void remoteProbeLeavesBodyUnread();
    void emptyUrlMakesNoRequest();

    void localSize_data();
    void localSize();
    void unreadableLocalFile();

private:
    TestHttpServer m_server;
    QTemporaryDir m_dir;
};

void TestSizeProbes::initTestCase()
{
    clearProxyEnvironment();
    QVERIFY(m_server.listen());
    QVERIFY(m_dir.isValid());
    TestResponse target;
    target.generatedSize = 100000;
    m_server.setRoute(QStringLiteral("/target.log"), target);
}

void TestSizeProbes::init()
{
    SetTransferIdleTimeout(10000);
    m_server.clearRequests();
}

void TestSizeProbes::cleanup()
{
    SetTransferIdleTimeout(60000);
}

void TestSizeProbes::remoteSize_data()
{
    QTest::addColumn<TestResponse>("response");
    QTest::addColumn<qint64>("expected");

    TestResponse r;
    r.body = TestHttpServer::patternBytes(0, 32767);
    QTest::newRow("content length") << r << qint64(32767);

    TestResponse empty;
    QTest::newRow("zero length") << empty << qint64(0);

    TestResponse notFound;
    notFound.status = 404;
    notFound.body = QByteArray(1234, 'x');
    QTest::newRow("404 page with its length") << notFound << qint64(1234);

    TestResponse error = notFound;
    error.status = 503;
    QTest::newRow("503 page with its length") << error << qint64(1234);

    TestResponse chunked;
    chunked.generatedSize = 5000;
    chunked.chunked = true;
    QTest::newRow("chunked") << chunked << qint64(0);

    TestResponse noLength;
    noLength.body = "body without a length";
    noLength.omitContentLength = true;
    QTest::newRow("no content length") << noLength << qint64(0);

    TestResponse garbage = noLength;
    garbage.extraHeaders = {{"Content-Length", "twelve"}};
    QTest::newRow("content length not a number") << garbage << qint64(0);

    TestResponse huge;
    huge.generatedSize = (qint64(5) << 30) + 3; // beyond 32 bits
    QTest::newRow("5 GiB") << huge << (qint64(5) << 30) + 3;

    TestResponse moved;
    moved.status = 301;
    moved.body = "moved";
    moved.extraHeaders = {{"Location", "/target.log"}};
    QTest::newRow("redirect: the target's length") << moved << qint64(100000);

    TestResponse slow = r;
    slow.delayMs = 300;
    QTest::newRow("slow answer") << slow << qint64(32767);

    TestResponse headersOnly = r;
    headersOnly.stallAfterHeaders = true;
    QTest::newRow("body never comes") << headersOnly << qint64(32767);
}

void TestSizeProbes::remoteSize()
{
    QFETCH(TestResponse, response);
    QFETCH(qint64, expected);
    m_server.setRoute(QStringLiteral("/size.log"), response);
    QCOMPARE(GetRemoteFileSize(m_server.url(QStringLiteral("/size.log")), QString()), expected);
}

void TestSizeProbes::remoteSizeNeedsAnAnswer_data()
{
    QTest::addColumn<QString>("url");

    QTest::newRow("unknown path: the 404 page's length")
        << QStringLiteral("/missing.log"); // handled below: not 0
    QTest::newRow("unreachable")
        << QStringLiteral("http://127.0.0.1:%1/x.log").arg(closedPort());
    QTest::newRow("unresolvable") << QStringLiteral("http://no-such-host.invalid/x.log");
    QTest::newRow("never answers") << QStringLiteral("/stall.log");
    QTest::newRow("not http") << QStringLiteral("file:///etc/hostname");
    QTest::newRow("not a url") << QStringLiteral("http://");
}

void TestSizeProbes::remoteSizeNeedsAnAnswer()
{
    QFETCH(QString, url);
    TestResponse stall;
    stall.stallBeforeHeaders = true;
    m_server.setRoute(QStringLiteral("/stall.log"), stall);
    SetTransferIdleTimeout(500);
    const bool local = url.startsWith(u'/');
    QElapsedTimer clock;
    clock.start();
    const qint64 size = GetRemoteFileSize(local ? m_server.url(url) : url, QString());
    QVERIFY(clock.elapsed() < 5000);
    if (url == QLatin1String("/missing.log"))
        QCOMPARE(size, qint64(TestHttpServer::notFoundBody().size()));
    else
        QCOMPARE(size, qint64(0));
}

void TestSizeProbes::remoteProbeSendsOneCacheBypassingGet()
{
    TestResponse r;
    r.body = "12345";
    m_server.setRoute(QStringLiteral("/probe.log"), r);
    QCOMPARE(GetRemoteFileSize(m_server.url(QStringLiteral("/probe.log?x=1")), QString()),
             qint64(5));
    const QList<RecordedRequest> requests = m_server.requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().method, QByteArray("GET"));
    QCOMPARE(requests.first().path, QByteArray("/probe.log?x=1"));
    QCOMPARE(requests.first().header("User-Agent"), QByteArray("WinInet Test"));
    QCOMPARE(requests.first().header("Cache-Control"), QByteArray("no-cache"));
    QCOMPARE(requests.first().header("Pragma"), QByteArray("no-cache"));
}

void TestSizeProbes::remoteProbeLeavesBodyUnread()
{
    // A probe that read the body would pull the whole gigabyte; one that
    // stops after the headers lets only what fits into socket buffers go.
    TestHttpServerThread serverThread;
    QVERIFY(serverThread.start());
    TestResponse big;
    big.generatedSize = qint64(1) << 30;
    serverThread.server()->setRoute(QStringLiteral("/big.log"), big);
    QCOMPARE(GetRemoteFileSize(serverThread.server()->url(QStringLiteral("/big.log")), QString()),
             qint64(1) << 30);
    QTest::qWait(200);
    const qint64 sent = serverThread.server()->bodyBytesSent();
    qInfo("body bytes the server got rid of: %lld", sent);
    QVERIFY(sent < 64 * 1048576);
}

void TestSizeProbes::emptyUrlMakesNoRequest()
{
    const int before = m_server.connectionCount();
    QCOMPARE(GetRemoteFileSize(QString(), QString()), qint64(0));
    QCOMPARE(GetRemoteFileSize(QString(), QStringLiteral("127.0.0.1:1")), qint64(0));
    QTest::qWait(50);
    QCOMPARE(m_server.connectionCount(), before);
}

void TestSizeProbes::localSize_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("size"); // -2: do not create; -3: create a folder
    QTest::addColumn<qint64>("expected");

    QTest::newRow("missing") << "missing.log" << qint64(-2) << qint64(-1);
    QTest::newRow("empty") << "empty.log" << qint64(0) << qint64(0);
    QTest::newRow("100,000 bytes") << "u_ex0101.log" << qint64(100000) << qint64(100000);
    QTest::newRow("Japanese name") << QStringLiteral("ログ 1.log") << qint64(777) << qint64(777);
    QTest::newRow("a folder") << "folder.log" << qint64(-3) << qint64(-1);
    QTest::newRow("sparse 5 GiB") << "huge.log" << (qint64(5) << 30) << (qint64(5) << 30);
    QTest::newRow("2 GiB exactly") << "two.log" << (qint64(2) << 30) << (qint64(2) << 30);
    QTest::newRow("empty path") << "" << qint64(-2) << qint64(-1);
    QTest::newRow("below a file") << "u_ex0101.log/x.log" << qint64(-2) << qint64(-1);
    QTest::newRow("zero character") << QString::fromUtf16(u"a\0b.log", 7) << qint64(-2) << qint64(-1);
}

void TestSizeProbes::localSize()
{
    QFETCH(QString, name);
    QFETCH(qint64, size);
    QFETCH(qint64, expected);
    const QString path = name.isEmpty() ? QString() : m_dir.filePath(name);
    if (size == -3) {
        QVERIFY(QDir(m_dir.path()).mkpath(name));
    } else if (size >= 0) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        if (size <= 1048576)
            f.write(TestHttpServer::patternBytes(0, size));
        else
            QVERIFY(f.resize(size)); // sparse: no disk space used
    }
    QCOMPARE(GetLocalFileSize(path), expected);
    if (size > 1048576)
        QFile::remove(path);
}

void TestSizeProbes::unreadableLocalFile()
{
    // A socket cannot be opened for reading, whoever asks.
    QLocalServer socketFile;
    socketFile.setSocketOptions(QLocalServer::WorldAccessOption);
    QVERIFY(socketFile.listen(m_dir.filePath(QStringLiteral("socket.log"))));
    QCOMPARE(GetLocalFileSize(socketFile.fullServerName()), qint64(-1));

    const QString locked = m_dir.filePath(QStringLiteral("locked.log"));
    {
        QFile f(locked);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("secret");
    }
    QVERIFY(QFile::setPermissions(locked, QFileDevice::Permissions()));
    if (::geteuid() == 0)
        QSKIP("running as root: a file without read permission is still readable");
    QCOMPARE(GetLocalFileSize(locked), qint64(-1));
}

QTEST_GUILESS_MAIN(TestSizeProbes)
#include "tst_sizeprobes.moc"
