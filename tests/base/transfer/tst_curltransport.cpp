// HttpRequest on its own against a loopback server: holding a transfer (mid
// body and before the head), and options the library refuses.

#include "TestHttpServer.h"
#include "TransferTestUtil.h"
#include "base/transfer/CurlTransport.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace kestrune::transfer;

using namespace transfertest;

namespace {

// Short enough that a test can wait it out, long enough that a loopback
// transfer on a busy machine never goes that long without a byte.
constexpr int kShortIdleMs = 3000;
constexpr int kWaitMs = 60000;

RequestOptions optionsFor(const QString &url)
{
    RequestOptions options;
    options.url = QUrl(url);
    return options;
}

TestResponse generated(qint64 size)
{
    TestResponse r;
    r.generatedSize = size;
    return r;
}

// A request to a server that sends its head and then nothing: it ends by
// the idle time-out, IdleTimeout() after it started.  Started after a hold,
// its failure shows that a held request has been quiet for longer than that.
void waitOutIdleTimeout(TestHttpServer *server)
{
    TestResponse stall = generated(10);
    stall.stallAfterHeaders = true;
    server->setRoute(QStringLiteral("/stall"), stall);
    HttpRequest witness(optionsFor(server->url(QStringLiteral("/stall"))));
    QTRY_VERIFY_WITH_TIMEOUT(witness.failed(), kWaitMs);
    QCOMPARE(witness.error().kind, TransferError::Kind::TimedOut);
}

} // namespace

class TestCurlTransport : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        clearProxyEnvironment();
        QVERIFY(m_server.start());
    }

    void init()
    {
        SetIdleTimeout(kShortIdleMs);
        m_server.server()->clearRequests();
    }

    void cleanup() { SetIdleTimeout(60000); }

    void holdMidBody()
    {
        // Far more than the socket buffers of both ends take: a server that
        // got all of it out would show the transfer kept reading.
        const qint64 size = 32 * 1024 * 1024;
        TestHttpServer *server = m_server.server();
        server->setRoute(QStringLiteral("/big"), generated(size));
        HttpRequest request(optionsFor(server->url(QStringLiteral("/big"))));
        qint64 read = 0;
        bool intact = true;
        qint64 heldAt = -1;
        connect(&request, &HttpRequest::progressed, this, [&] {
            const QByteArray piece = request.readAll();
            if (piece != TestHttpServer::patternBytes(read, piece.size()))
                intact = false;
            read += piece.size();
            if (heldAt < 0 && request.bodyBytesReceived() >= 1024 * 1024) {
                request.setHeld(true);
                heldAt = request.bodyBytesReceived();
            }
        });
        QTRY_VERIFY_WITH_TIMEOUT(heldAt >= 0 || request.failed(), kWaitMs);
        QVERIFY2(!request.failed(), qPrintable(request.error().detail));
        QVERIFY(request.held());

        waitOutIdleTimeout(server);
        QVERIFY2(!request.failed(), qPrintable(request.error().detail));
        QVERIFY(!request.finished());
        QCOMPARE(request.bodyBytesReceived(), heldAt);
        QVERIFY(server->bodyBytesSent() < size);

        request.setHeld(false);
        QVERIFY(!request.held());
        QTRY_VERIFY_WITH_TIMEOUT(request.finished() || request.failed(), kWaitMs);
        QVERIFY2(!request.failed(), qPrintable(request.error().detail));
        QCOMPARE(request.bodyBytesReceived(), size);
        QCOMPARE(read + request.bytesAvailable(), size);
        read += request.bytesAvailable();
        QVERIFY(intact);
        QCOMPARE(server->requests().size(), 2); // the big body and the witness
    }

    void holdBeforeHead_data()
    {
        QTest::addColumn<bool>("redirect");
        QTest::newRow("the answer") << false;
        QTest::newRow("a redirect, then the answer") << true;
    }

    void holdBeforeHead()
    {
        // The request goes out and the answer comes while the request is
        // held; none of it reaches the reader, nor is a redirect followed,
        // until it is released.
        QFETCH(bool, redirect);
        const qint64 size = 20000; // fits in the socket buffers
        TestHttpServer *server = m_server.server();
        TestResponse answer = generated(size);
        TestResponse moved;
        moved.status = 302;
        moved.extraHeaders = {{"Location", "/target"}};
        TestResponse first = redirect ? moved : answer;
        first.holdUntilReleased = true;
        server->setRoute(QStringLiteral("/first"), first);
        server->setRoute(QStringLiteral("/target"), answer);

        HttpRequest request(optionsFor(server->url(QStringLiteral("/first"))));
        QSignalSpy progressed(&request, &HttpRequest::progressed);
        request.setHeld(true);
        // Connecting and sending the request go on while held.
        QTRY_COMPARE_WITH_TIMEOUT(server->heldCount(), 1, kWaitMs);
        // A held request waits for a slow server as long as it takes.
        waitOutIdleTimeout(server);
        server->releaseHeld();
        QTRY_COMPARE_WITH_TIMEOUT(server->openConnectionCount(), 0, kWaitMs);
        // The whole answer is in this end's socket now; a request on another
        // connection lets the event loop go round until it has ended.
        HttpRequest other(optionsFor(server->url(QStringLiteral("/target"))));
        QTRY_VERIFY_WITH_TIMEOUT(other.finished() || other.failed(), kWaitMs);
        QVERIFY(other.finished());

        QVERIFY2(!request.failed(), qPrintable(request.error().detail));
        QVERIFY(!request.headersReady());
        QCOMPARE(request.status(), 0);
        QCOMPARE(request.bodyBytesReceived(), 0);
        QCOMPARE(progressed.count(), 0);
        QCOMPARE(server->requests().size(), 3); // the request, the witness, the other

        request.setHeld(false);
        QTRY_VERIFY_WITH_TIMEOUT(request.finished() || request.failed(), kWaitMs);
        QVERIFY2(!request.failed(), qPrintable(request.error().detail));
        QCOMPARE(request.status(), 200);
        QCOMPARE(request.contentLength(), size);
        QCOMPARE(request.readAll(), TestHttpServer::patternBytes(0, size));
        QCOMPARE(request.url().path(),
                 redirect ? QStringLiteral("/target") : QStringLiteral("/first"));
        QVERIFY(progressed.count() > 0);
    }

    void failureWhileHeldToldOnRelease()
    {
        // The hold does not stop the connecting, so the refusal comes while
        // held; the reader hears of it only once the hold ends.
        HttpRequest request(optionsFor(QStringLiteral("http://127.0.0.1:%1/x").arg(closedPort())));
        QSignalSpy progressed(&request, &HttpRequest::progressed);
        request.setHeld(true);
        QTRY_VERIFY_WITH_TIMEOUT(request.failed(), kWaitMs);
        QCOMPARE(request.error().kind, TransferError::Kind::Refused);
        // The driver tells readers right after it has noted how a request
        // ended, in the same turn: there was nothing to tell.
        QCOMPARE(progressed.count(), 0);

        request.setHeld(false);
        QVERIFY(progressed.wait(kWaitMs));
        QVERIFY(request.failed());
    }

    void requestOutlivesItsPool()
    {
        // The pool of the thread goes while a request made through it is
        // still there; the request keeps what it shares until it goes
        // itself, and the next request starts a new pool.
        TestHttpServer *server = m_server.server();
        server->setRoute(QStringLiteral("/file"), generated(5000));
        const QString url = server->url(QStringLiteral("/file"));
        auto request = std::make_unique<HttpRequest>(optionsFor(url));
        QTRY_VERIFY_WITH_TIMEOUT(request->finished() || request->failed(), kWaitMs);
        ReleaseThreadConnections();
        QVERIFY(request->finished());
        QCOMPARE(request->readAll(), TestHttpServer::patternBytes(0, 5000));
        request.reset();
        HttpRequest again(optionsFor(url));
        QTRY_VERIFY_WITH_TIMEOUT(again.finished() || again.failed(), kWaitMs);
        QVERIFY2(again.finished(), qPrintable(again.error().detail));
        QCOMPARE(again.readAll(), TestHttpServer::patternBytes(0, 5000));
    }

    void optionRefusedFailsAtStart_data()
    {
        // The library takes no text option longer than 8,000,000 bytes.
        const QByteArray huge(8000001, 'a');
        QTest::addColumn<QByteArray>("userAgent");
        QTest::addColumn<QByteArray>("range");
        QTest::newRow("user agent") << huge << QByteArray();
        QTest::newRow("range") << QByteArray() << huge;
    }

    void optionRefusedFailsAtStart()
    {
        QFETCH(QByteArray, userAgent);
        QFETCH(QByteArray, range);
        TestHttpServer *server = m_server.server();
        server->setRoute(QStringLiteral("/file"), generated(10));
        const int before = server->connectionCount();
        RequestOptions options = optionsFor(server->url(QStringLiteral("/file")));
        options.userAgent = userAgent;
        options.range = range;
        HttpRequest request(options);
        QVERIFY(request.failed());
        QCOMPARE(request.error().kind, TransferError::Kind::Network);
        // The library's own words for it.
        QVERIFY2(request.error().detail.contains(QStringLiteral("bad argument")),
                 qPrintable(request.error().detail));
        QSignalSpy progressed(&request, &HttpRequest::progressed);
        QVERIFY(progressed.wait(kWaitMs));
        // Nothing went out: a request of our own is the only connection since.
        QVERIFY(noConnectionSince(*server, before, QStringLiteral("/file"), 10));
    }

private:
    TestHttpServerThread m_server;
};

QTEST_GUILESS_MAIN(TestCurlTransport)
#include "tst_curltransport.moc"
