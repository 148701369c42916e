// The two size probes: what the web server announces for a URL, and the size
// of the local copy.

#include "TestHttpServer.h"
#include "TransferTestUtil.h"
#include "base/transfer/basGetFileSize.h"
#include "base/transfer/basWinInet.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QLocalServer>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

#include <memory>

using namespace kestrune;

using namespace transfertest;

namespace {
enum LocalKind { Absent, File, Folder, Socket, Unreadable };

// Keeps its connections open and answers every request with the head of a
// one-byte range after headDelayMs, and the byte itself restLagMs later
// (never when restLagMs < 0), as a server far away or a slow one does.
class LaggingRangeServer : public QObject {
public:
    LaggingRangeServer(int headDelayMs, int restLagMs)
        : m_headDelay(headDelayMs), m_restLag(restLagMs)
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                ++connections;
                socket->setParent(this);
                QObject::connect(socket, &QTcpSocket::readyRead, this,
                                 [this, socket] { serve(socket); });
            }
        });
    }
    bool listen() { return m_server.listen(QHostAddress::LocalHost); }
    QString url() const
    {
        return QStringLiteral("http://127.0.0.1:%1/far.log").arg(m_server.serverPort());
    }

    int connections = 0;

private:
    void serve(QTcpSocket *socket)
    {
        QByteArray &pending = m_pending[socket];
        pending += socket->readAll();
        for (qsizetype end; (end = pending.indexOf("\r\n\r\n")) >= 0;) {
            pending.remove(0, end + 4);
            QPointer<QTcpSocket> alive(socket);
            QTimer::singleShot(m_headDelay, this, [this, alive] {
                if (!alive)
                    return;
                alive->write(
                    "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-0/12345\r\n"
                    "Content-Length: 1\r\n\r\n");
                if (m_restLag >= 0)
                    QTimer::singleShot(m_restLag, this, [alive] {
                        if (alive)
                            alive->write("x");
                    });
            });
        }
    }

    QTcpServer m_server;
    QHash<QTcpSocket *, QByteArray> m_pending;
    int m_headDelay;
    int m_restLag;
};

// Reads a request's head and resets the connection (RST, not an orderly
// close) before any answer.
class ResettingServer : public QObject {
public:
    ResettingServer()
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                ++connections;
                socket->setParent(this);
                auto seen = std::make_shared<QByteArray>();
                QObject::connect(socket, &QTcpSocket::readyRead, this, [socket, seen] {
                    *seen += socket->readAll();
                    if (!seen->contains("\r\n\r\n"))
                        return;
                    const linger reset{1, 0};
                    ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset,
                                 sizeof reset);
                    socket->abort();
                });
            }
        });
    }
    bool listen() { return m_server.listen(QHostAddress::LocalHost); }
    QString url() const
    {
        return QStringLiteral("http://127.0.0.1:%1/reset.log").arg(m_server.serverPort());
    }

    int connections = 0;

private:
    QTcpServer m_server;
};
} // namespace

class TestSizeProbes : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void remoteSize_data();
    void remoteSize();
    void remoteProbeLeavesBodyUnread();
    void probeWaitsBrieflyForItsLastByte_data();
    void probeWaitsBrieflyForItsLastByte();
    void resetBeforeTheHeadGivesNoSize();
    void emptyUrlMakesNoRequest();
    void abortEndsWithoutFinished_data();
    void abortEndsWithoutFinished();

    void localSize_data();
    void localSize();

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
    // url: a path served with response at /size.log (the query is sent as
    // given), or a URL of its own.  expected: the size, -1 for none; status:
    // the answer's, 0 when none came.
    QTest::addColumn<QString>("url");
    QTest::addColumn<TestResponse>("response");
    QTest::addColumn<qint64>("expected");
    QTest::addColumn<int>("status");
    const QString local = QStringLiteral("/size.log");

    TestResponse r;
    r.body = TestHttpServer::patternBytes(0, 32767);
    QTest::newRow("content length, query kept") << local + "?x=1" << r << qint64(32767) << 200;
    QTest::newRow("zero length") << local << TestResponse() << qint64(0) << 200;

    TestResponse notFound;
    notFound.status = 404;
    notFound.body = QByteArray(1234, 'x');
    // An error page's length is no file's size.
    QTest::newRow("404 page") << local << notFound << qint64(-1) << 404;
    TestResponse error = notFound;
    error.status = 503;
    QTest::newRow("503 page") << local << error << qint64(-1) << 503;
    // A page exactly as long as the local copy must not pass for it.
    TestResponse copyLength;
    copyLength.status = 500;
    copyLength.body = QByteArray(32767, 'e');
    QTest::newRow("500 page as long as the copy") << local << copyLength << qint64(-1) << 500;
    QTest::newRow("unknown path: the 404 page")
        << QStringLiteral("/missing.log") << TestResponse() << qint64(-1) << 404;

    TestResponse chunked;
    chunked.generatedSize = 5000;
    chunked.chunked = true;
    QTest::newRow("chunked") << local << chunked << qint64(-1) << 200;
    TestResponse noLength;
    noLength.body = "body without a length";
    noLength.omitContentLength = true;
    QTest::newRow("no content length") << local << noLength << qint64(-1) << 200;
    TestResponse garbage = noLength;
    garbage.extraHeaders = {{"Content-Length", "twelve"}};
    // A head with a broken length is refused as a whole: no answer.
    QTest::newRow("content length not a number") << local << garbage << qint64(-1) << 0;

    TestResponse huge;
    huge.generatedSize = (qint64(5) << 30) + 3; // beyond 32 bits
    QTest::newRow("5 GiB") << local << huge << (qint64(5) << 30) + 3 << 200;

    TestResponse moved;
    moved.status = 301;
    moved.body = "moved";
    moved.extraHeaders = {{"Location", "/target.log"}};
    QTest::newRow("redirect: the target's length") << local << moved << qint64(100000) << 200;

    TestResponse slow = r;
    slow.delayMs = 300;
    QTest::newRow("slow answer") << local << slow << qint64(32767) << 200;
    TestResponse headersOnly = r;
    headersOnly.stallAfterHeaders = true;
    QTest::newRow("body never comes: the headers do")
        << local << headersOnly << qint64(32767) << 200;

    // The probe asks for the first byte; a ranged answer tells the whole size.
    const auto raw = [](const QByteArray &reply, bool keepOpen = false) {
        TestResponse t;
        t.rawReply = reply;
        t.keepOpenAfterRaw = keepOpen;
        return t;
    };
    QTest::newRow("ranged answer: its total")
        << local
        << raw("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-0/5368709123\r\nContent-Length: 1\r\n\r\nx")
        << (qint64(5) << 30) + 3 << 206;
    QTest::newRow("empty file: 416 with its total")
        << local
        << raw("HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */0\r\nContent-Length: 5\r\n\r\nnone!")
        << qint64(0) << 416;
    QTest::newRow("416 without a total")
        << local << raw("HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 5\r\n\r\nnone!")
        << qint64(-1) << 416;
    QTest::newRow("ranged answer of unknown total")
        << local
        << raw("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-0/*\r\nContent-Length: 1\r\n\r\nx")
        << qint64(-1) << 206;

    // No answer at all, or one that never ends: no size, and soon.
    QTest::newRow("stall inside a header line")
        << local << raw("HTTP/1.1 200 OK\r\nContent-Le", true) << qint64(-1) << 0;
    QTest::newRow("closed inside the head")
        << local << raw("HTTP/1.1 200 OK\r\nContent-Le") << qint64(-1) << 0;
    TestResponse endlessContinue = raw({});
    endlessContinue.endlessRepeat = "HTTP/1.1 100 Continue\r\n\r\n";
    QTest::newRow("endless 100 Continue") << local << endlessContinue << qint64(-1) << 0;
    TestResponse stall;
    stall.stallBeforeHeaders = true;
    QTest::newRow("never answers: idle time-out") << local << stall << qint64(-1) << 0;
    QTest::newRow("unreachable") << QStringLiteral("http://127.0.0.1:%1/x.log").arg(closedPort())
                                 << TestResponse() << qint64(-1) << 0;
    QTest::newRow("unresolvable") << QStringLiteral("http://no-such-host.invalid/x.log")
                                  << TestResponse() << qint64(-1) << 0;
    QTest::newRow("not http") << QStringLiteral("file:///etc/hostname") << TestResponse()
                              << qint64(-1) << 0;
    QTest::newRow("not a url") << QStringLiteral("http://") << TestResponse() << qint64(-1) << 0;
}

void TestSizeProbes::remoteSize()
{
    QFETCH(QString, url);
    QFETCH(TestResponse, response);
    QFETCH(qint64, expected);
    QFETCH(int, status);
    const bool local = url.startsWith(u'/');
    if (local && url != QLatin1String("/missing.log"))
        m_server.setRoute(url.section(u'?', 0, 0), response);
    // The stalls end through a short idle time-out; everything else must
    // end long before the idle time-out would: nobody waits for a body.
    SetTransferIdleTimeout(
        response.stallBeforeHeaders || response.keepOpenAfterRaw ? 500 : kIdleTimeoutMs);
    QElapsedTimer clock;
    clock.start();
    const std::optional<RemoteProbe> result = probe(local ? m_server.url(url) : url, QString());
    QVERIFY(result);
    QVERIFY2(clock.elapsed() < kPromptMs, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(result->size.value_or(-1), expected);
    QCOMPARE(result->status, status);
    // No answer always says why.
    QCOMPARE(result->error.isError(), status == 0);
    if (local) {
        // One request per probe (two for the redirect).
        const QList<RecordedRequest> requests = m_server.requests();
        QCOMPARE(requests.size(), response.status == 301 ? 2 : 1);
        verifyFileRequest(requests.first(), url.toLatin1());
        QCOMPARE(requests.first().header("Range"), QByteArray("bytes=0-0"));
    }
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
    const std::optional<RemoteProbe> result =
        probe(serverThread.server()->url(QStringLiteral("/big.log")), QString());
    QVERIFY(result);
    QCOMPARE(result->size.value_or(-1), qint64(1) << 30);
    // Once the server sees the connection closed, it sends no more.
    QTRY_COMPARE_WITH_TIMEOUT(serverThread.server()->openConnectionCount(), 0, 30000);
    const qint64 sent = serverThread.server()->bodyBytesSent();
    qInfo("body bytes the server got rid of: %lld", sent);
    QVERIFY(sent < 64 * 1048576);
}

void TestSizeProbes::probeWaitsBrieflyForItsLastByte_data()
{
    QTest::addColumn<int>("headDelayMs");
    QTest::addColumn<int>("restLagMs");
    QTest::addColumn<int>("connections");
    // The byte is sent right after the head, which took a second: well
    // within the wait, however busy the machine.  Both probes share one
    // connection.
    QTest::newRow("byte follows the head") << 1000 << 0 << 1;
    // The byte never comes: each probe still answers after about the time
    // its head took, not the transfer time-out, and the next probe gets a
    // connection of its own.
    QTest::newRow("byte never comes") << 150 << -1 << 2;
}

void TestSizeProbes::probeWaitsBrieflyForItsLastByte()
{
    QFETCH(int, headDelayMs);
    QFETCH(int, restLagMs);
    QFETCH(int, connections);
    SetTransferIdleTimeout(kIdleTimeoutMs);
    LaggingRangeServer server(headDelayMs, restLagMs);
    QVERIFY(server.listen());
    for (int round = 0; round < 2; ++round) {
        QElapsedTimer clock;
        clock.start();
        const std::optional<RemoteProbe> result = probe(server.url(), QString());
        QVERIFY(result);
        QCOMPARE(result->size.value_or(-1), qint64(12345));
        QVERIFY2(clock.elapsed() < kPromptMs, qPrintable(QString::number(clock.elapsed())));
    }
    QCOMPARE(server.connections, connections);
}

void TestSizeProbes::resetBeforeTheHeadGivesNoSize()
{
    SetTransferIdleTimeout(kIdleTimeoutMs);
    ResettingServer server;
    QVERIFY(server.listen());
    QElapsedTimer clock;
    clock.start();
    const std::optional<RemoteProbe> result = probe(server.url(), QString());
    QVERIFY(result);
    QVERIFY2(clock.elapsed() < kPromptMs, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!result->size);
    QCOMPARE(result->status, 0);
    QVERIFY(result->error.isError());
    QVERIFY(server.connections >= 1);
}

void TestSizeProbes::emptyUrlMakesNoRequest()
{
    const int before = m_server.connectionCount();
    for (const QString &proxy : {QString(), QStringLiteral("127.0.0.1:1")}) {
        const std::optional<RemoteProbe> result = probe(QString(), proxy);
        QVERIFY(result);
        QVERIFY(!result->size);
        QCOMPARE(result->status, 0);
    }
    QVERIFY(noConnectionSince(m_server, before, QStringLiteral("/target.log"), 100000));
}

void TestSizeProbes::abortEndsWithoutFinished_data()
{
    // request: abort once the server holds the request (it never answers),
    // else right after start().
    QTest::addColumn<QString>("url"); // empty: /held.log of the test server
    QTest::addColumn<bool>("request");
    QTest::newRow("right after start") << QString() << false;
    QTest::newRow("right after start, bad address") << QStringLiteral("http://") << false;
    QTest::newRow("right after start, unreachable")
        << QStringLiteral("http://127.0.0.1:%1/x.log").arg(closedPort()) << false;
    QTest::newRow("waiting for the head") << QString() << true;
}

void TestSizeProbes::abortEndsWithoutFinished()
{
    QFETCH(QString, url);
    QFETCH(bool, request);
    TestResponse held;
    held.generatedSize = 1000;
    held.holdUntilReleased = true;
    m_server.setRoute(QStringLiteral("/held.log"), held);
    if (url.isEmpty())
        url = m_server.url(QStringLiteral("/held.log"));
    const int openBefore = m_server.openConnectionCount();

    RemoteSizeProbe step(url, QString());
    QSignalSpy finished(&step, &RemoteSizeProbe::finished);
    step.start();
    if (request)
        QTRY_COMPARE_WITH_TIMEOUT(m_server.heldCount(), 1, kStepWaitMs);
    step.abort();
    if (request) {
        // The request is gone: its connection is closed, and an answer
        // released now reaches nobody.
        QTRY_COMPARE_WITH_TIMEOUT(m_server.openConnectionCount(), openBefore, kStepWaitMs);
        m_server.releaseHeld();
    }
    // Whatever was under way has had its turn on the event loop: another
    // probe has come and gone meanwhile.
    const std::optional<RemoteProbe> later = probe(m_server.url(QStringLiteral("/target.log")),
                                                   QString());
    QVERIFY(later);
    QCOMPARE(later->size.value_or(-1), qint64(100000));
    QVERIFY(finished.isEmpty());
    QCOMPARE(step.result().status, 0);
    QVERIFY(!step.result().size);
}

void TestSizeProbes::localSize_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("kind");
    QTest::addColumn<qint64>("size"); // of a File
    QTest::addColumn<qint64>("expected");

    QTest::newRow("missing") << "missing.log" << int(Absent) << qint64(0) << qint64(-1);
    QTest::newRow("empty") << "empty.log" << int(File) << qint64(0) << qint64(0);
    QTest::newRow("100,000 bytes")
        << "u_ex0101.log" << int(File) << qint64(100000) << qint64(100000);
    QTest::newRow("Japanese name")
        << QStringLiteral("ログ 1.log") << int(File) << qint64(777) << qint64(777);
    QTest::newRow("a folder") << "folder.log" << int(Folder) << qint64(0) << qint64(-1);
    QTest::newRow("sparse 5 GiB") << "huge.log" << int(File) << (qint64(5) << 30)
                                  << (qint64(5) << 30);
    QTest::newRow("2 GiB exactly")
        << "two.log" << int(File) << (qint64(2) << 30) << (qint64(2) << 30);
    QTest::newRow("empty path") << "" << int(Absent) << qint64(0) << qint64(-1);
    QTest::newRow("below a file") << "u_ex0101.log/x.log" << int(Absent) << qint64(0) << qint64(-1);
    QTest::newRow("zero character")
        << QString::fromUtf16(u"a\0b.log", 7) << int(Absent) << qint64(0) << qint64(-1);
    // A socket cannot be opened for reading, whoever asks.
    QTest::newRow("socket") << "socket.log" << int(Socket) << qint64(0) << qint64(-1);
    QTest::newRow("no read permission")
        << "locked.log" << int(Unreadable) << qint64(6) << qint64(-1);
}

void TestSizeProbes::localSize()
{
    QFETCH(QString, name);
    QFETCH(int, kind);
    QFETCH(qint64, size);
    QFETCH(qint64, expected);
    const QString path = name.isEmpty() ? QString() : m_dir.filePath(name);
    QLocalServer socketFile;
    if (kind == Folder) {
        QVERIFY(QDir(m_dir.path()).mkpath(name));
    } else if (kind == Socket) {
        socketFile.setSocketOptions(QLocalServer::WorldAccessOption);
        QVERIFY(socketFile.listen(path));
    } else if (kind == File || kind == Unreadable) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        if (size <= 1048576)
            f.write(TestHttpServer::patternBytes(0, size));
        else
            QVERIFY(f.resize(size)); // sparse: no disk space used
    }
    if (kind == Unreadable) {
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
        if (::geteuid() == 0)
            QSKIP("running as root: a file without read permission is still readable");
    }
    QCOMPARE(GetLocalFileSize(path), expected);
    if (size > 1048576)
        QFile::remove(path);
}

QTEST_GUILESS_MAIN(TestSizeProbes)
#include "tst_sizeprobes.moc"
