// The download step against a real HTTP server on loopback: byte-exact
// bodies, the outcomes, the failure cases that must store nothing, giving up
// and holding a transfer, progress and memory.

#include "ProcessMemory.h"
#include "TestHttpServer.h"
#include "TransferTestUtil.h"
#include "base/transfer/basWinInet.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace kestrune;

using namespace transfertest;

namespace {

enum class Shape { Fixed, Generated, Chunked, NoLength };

TestResponse shapedResponse(Shape shape, qint64 size)
{
    TestResponse r;
    if (shape == Shape::Fixed)
        r.body = TestHttpServer::patternBytes(0, size);
    else
        r.generatedSize = size;
    r.chunked = shape == Shape::Chunked;
    r.omitContentLength = shape == Shape::NoLength;
    return r;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

TestResponse rawReply(const QByteArray &reply)
{
    TestResponse r;
    r.rawReply = reply;
    return r;
}

} // namespace

Q_DECLARE_METATYPE(DownloadResult)

class TestDownload : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void outcome_data();
    void outcome();
    void emptyUrlDoesNothing();
    void refusedWriteIsNotStorable();
    void abortEndsWithoutFinished_data();
    void abortEndsWithoutFinished();
    void progress_data();
    void progress();
    void heldTransferHoldsBackData();
    void largeBodyKeepsMemoryFlat();
    void partEndsWithItsRange();

private:
    // Serves a generated body of size bytes at route; its URL.
    QString serve(const QString &route, qint64 size)
    {
        m_server.setRoute(route, shapedResponse(Shape::Generated, size));
        return m_server.url(route);
    }

    TestHttpServer m_server;
};

void TestDownload::initTestCase()
{
    clearProxyEnvironment();
    QVERIFY(m_server.listen());
    m_server.setRoute(QStringLiteral("/real.log"), shapedResponse(Shape::Fixed, 5000));
}

void TestDownload::init()
{
    SetTransferIdleTimeout(10000);
    m_server.clearRequests();
}

void TestDownload::cleanup()
{
    SetTransferIdleTimeout(60000);
}

void TestDownload::outcome_data()
{
    // A row with a response is served on a route of its own; the others name
    // their URL.  stored: the bytes that must replace the old copy; empty: the
    // old copy must stay as it was.  opened: the body was read (Stored or
    // Empty), else the download Failed.
    QTest::addColumn<QString>("url");
    QTest::addColumn<TestResponse>("response");
    QTest::addColumn<bool>("opened");
    QTest::addColumn<QByteArray>("stored");

    const auto served = [](const char *tag, const TestResponse &r, bool opened,
                           const QByteArray &stored = QByteArray()) {
        QTest::newRow(tag) << QString() << r << opened << stored;
    };
    const auto unserved = [](const char *tag, const QString &url) {
        QTest::newRow(tag) << url << TestResponse() << false << QByteArray();
    };

    // Byte-exact bodies of sizes around buffer and read sizes, in every framing.
    const struct {
        const char *name;
        Shape shape;
    } shapes[] = {{"fixed", Shape::Fixed},
                  {"generated", Shape::Generated},
                  {"chunked", Shape::Chunked},
                  {"no length", Shape::NoLength}};
    for (const auto &s : shapes) {
        for (qint64 size :
             {qint64(1), qint64(1023), qint64(1024), qint64(1025), qint64(32767), qint64(100000)})
            QTest::addRow("%s %lld", s.name, size) << QString() << shapedResponse(s.shape, size)
                                                   << true << TestHttpServer::patternBytes(0, size);
    }
    for (Shape shape : {Shape::Generated, Shape::Chunked})
        QTest::addRow("%s 3 MiB + 7", shape == Shape::Chunked ? "chunked" : "generated")
            << QString() << shapedResponse(shape, 3 * 1048576 + 7) << true
            << TestHttpServer::patternBytes(0, 3 * 1048576 + 7);

    TestResponse moved;
    moved.status = 302;
    moved.contentType = "text/html";
    moved.body = "<a href=\"/real.log\">moved</a>";
    moved.extraHeaders = {{"Location", "/real.log"}};
    served("redirect: the target's body", moved, true, TestHttpServer::patternBytes(0, 5000));

    // Failures and empty answers: nothing replaces the old copy.
    served("empty body", TestResponse(), true);
    TestResponse notFound;
    notFound.status = 404;
    notFound.contentType = "text/html";
    notFound.body = "<html><body>gone</body></html>";
    served("404 with page", notFound, false);
    TestResponse serverError = notFound;
    serverError.status = 500;
    served("500 with page", serverError, false);
    TestResponse choices = notFound; // not an error to the HTTP client, but no file either
    choices.status = 300;
    served("300 without a target", choices, false);

    TestResponse ok = shapedResponse(Shape::Generated, 100000);
    TestResponse cut = ok;
    cut.cutAfter = 40000;
    served("cut short", cut, false);
    cut.cutAfter = 0;
    served("cut before body", cut, false);
    cut.chunked = true;
    cut.cutAfter = 40000; // inside the first chunk
    served("chunked cut short", cut, false);
    TestResponse stall = ok;
    stall.stallAfterHeaders = true;
    served("stall after headers", stall, false);
    stall = ok;
    stall.stallBeforeHeaders = true;
    served("stall before headers", stall, false);

    unserved("unreachable", QStringLiteral("http://127.0.0.1:%1/x.log").arg(closedPort()));
    unserved("unresolvable", QStringLiteral("http://no-such-host.invalid/x.log"));
    unserved("local file scheme", QStringLiteral("file:///etc/hostname"));
    unserved("not a url", QStringLiteral("http://"));

    // Framing the server writes itself.
    const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n";
    const QByteArray chunked = head + "Transfer-Encoding: chunked\r\n\r\n";
    served("chunk extension and trailer",
           rawReply(chunked + "5;name=v\r\nhello\r\n6\r\n world\r\n0\r\nX-Checksum: 1\r\n\r\n"),
           true, "hello world");
    served("upper-case chunk size", rawReply(chunked + "A\r\n0123456789\r\n0\r\n\r\n"), true,
           "0123456789");
    served("interim 100 answer first",
           rawReply("HTTP/1.1 100 Continue\r\n\r\n" + head + "Content-Length: 3\r\n\r\nabc"), true,
           "abc");
    served("folded header line",
           rawReply(head + "X-Long: one\r\n two\r\nContent-Length: 3\r\n\r\nabc"), true, "abc");
    served("repeated equal lengths", rawReply(head + "Content-Length: 4, 4\r\n\r\nabcd"), true,
           "abcd");
    served("more bytes than announced", rawReply(head + "Content-Length: 4\r\n\r\nabcdEXTRA"), true,
           "abcd");
    served("HTTP/1.0 ended by close", rawReply("HTTP/1.0 200 OK\r\n\r\nuntil the end"), true,
           "until the end");
    served("204 no content", rawReply("HTTP/1.1 204 No Content\r\n\r\n"), true);
    served("conflicting lengths",
           rawReply(head + "Content-Length: 4\r\nContent-Length: 5\r\n\r\nabcde"), false);
    served("length not a number", rawReply(head + "Content-Length: 4x\r\n\r\nabcd"), false);
    served("chunk size not hex", rawReply(chunked + "zz\r\nabc\r\n0\r\n\r\n"), false);
    served("no line end after chunk data", rawReply(chunked + "3\r\nabcdef\r\n0\r\n\r\n"), false);
    served("last chunk without the final line", rawReply(chunked + "3\r\nabc\r\n0\r\n"), false);
    served("closed inside the head", rawReply("HTTP/1.1 200 OK\r\nContent-Le"), false);
    served("not HTTP", rawReply("SSH-2.0-OpenSSH_9.2\r\n\r\n"), false);
    served("gzip, chunked",
           rawReply(head + "Transfer-Encoding: gzip, chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n"), false);
    // The bytes as stored, and all of them: a coding nobody asked for, or a
    // part, is not the file.
    served("content coding not asked for",
           rawReply(head + "Content-Encoding: gzip\r\nContent-Length: 3\r\n\r\nabc"), false);
    served("identity content coding",
           rawReply(head + "Content-Encoding: identity\r\nContent-Length: 3\r\n\r\nabc"), true,
           "abc");
    const QByteArray part = "HTTP/1.1 206 Partial Content\r\nContent-Type: text/plain\r\n";
    served("a part for the whole file",
           rawReply(part + "Content-Range: bytes 0-2/10\r\nContent-Length: 3\r\n\r\nabc"), false);
    served("the whole file as a part, not asked for",
           rawReply(part + "Content-Range: bytes 0-2/3\r\nContent-Length: 3\r\n\r\nabc"), false);

    // Servers that never end: each fails within the (shortened) idle
    // time-out or the cap on the head, whatever is buffered.
    TestResponse stallInHeader = rawReply("HTTP/1.1 200 OK\r\nContent-Le");
    stallInHeader.keepOpenAfterRaw = true;
    served("stall inside a header line", stallInHeader, false);
    TestResponse stallInChunkSize = rawReply(chunked + "400\r\n" + QByteArray(1024, 'x')
                                             + "\r\n10");
    stallInChunkSize.keepOpenAfterRaw = true;
    served("stall inside a chunk-size line", stallInChunkSize, false);
    TestResponse endlessTrailer = rawReply(chunked + "3\r\nabc\r\n0\r\n");
    endlessTrailer.endlessRepeat = "X-Trailer: " + QByteArray(100, 't') + "\r\n";
    served("endless trailer", endlessTrailer, false);
    TestResponse endlessContinue = rawReply({});
    endlessContinue.endlessRepeat = "HTTP/1.1 100 Continue\r\n\r\n";
    served("endless 100 Continue", endlessContinue, false);
    TestResponse endlessHead = rawReply(head);
    endlessHead.endlessRepeat = "X-Filler: " + QByteArray(100, 'f') + "\r\n";
    served("endless header lines", endlessHead, false);
    // The test server answers a TLS hello with silence.
    QTest::newRow("stall inside the TLS handshake")
        << QStringLiteral("https://SERVER/x.log") << TestResponse() << false << QByteArray();
}

void TestDownload::outcome()
{
    QFETCH(QString, url);
    QFETCH(TestResponse, response);
    QFETCH(bool, opened);
    QFETCH(QByteArray, stored);

    url.replace(QStringLiteral("SERVER"), QStringLiteral("127.0.0.1:%1").arg(m_server.port()));
    const bool local = url.isEmpty();
    const QString route = QStringLiteral("/row/")
                          + QString::fromLatin1(QTest::currentDataTag())
                                .replace(QRegularExpression("[^A-Za-z0-9]"), "_");
    if (local) {
        m_server.setRoute(route, response);
        url = m_server.url(route);
    }
    // The stalls end through a short idle time-out; a failure of any other
    // kind must end long before the idle time-out would.
    SetTransferIdleTimeout(response.stallAfterHeaders || response.stallBeforeHeaders
                                   || response.keepOpenAfterRaw || url.startsWith(u"https://127.")
                               ? 400
                               : kIdleTimeoutMs);

    QTemporaryDir folder;
    const QString target = folder.filePath(QStringLiteral("u_ex1.log"));
    const QByteArray old = "the previous copy\r\n";
    {
        QFile f(target);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(old);
    }
    // Stored through a QSaveFile committed only for a positive count, as the
    // collection run does.
    QSaveFile file(target);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QElapsedTimer clock;
    clock.start();
    const std::optional<DownloadRun> run = download(url, &file, QString(),
                                                    stored.isEmpty() ? 100000 : stored.size());
    QVERIFY(run);
    const DownloadOutcome &outcome = run->outcome;
    const qint64 result = outcome.bytes;
    QCOMPARE(outcome.result, !opened            ? DownloadResult::Failed
                             : stored.isEmpty() ? DownloadResult::Empty
                                                : DownloadResult::Stored);
    if (result > 0)
        QVERIFY(file.commit());
    else
        file.cancelWriting();
    if (stored.isEmpty())
        QVERIFY2(clock.elapsed() < kPromptMs,
                 qPrintable(QStringLiteral("a failing transfer must end promptly, took %1 ms")
                                .arg(clock.elapsed())));

    QCOMPARE(result, qint64(stored.size()));
    // A failure says why: the status of the answer that came, or the reason
    // none came.
    if (!opened)
        QVERIFY2(!outcome.reason().isEmpty() && (outcome.status != 0 || outcome.error.isError()),
                 qPrintable(QString::number(outcome.status)));
    const QByteArray now = readAll(target);
    QCOMPARE(now.size(), stored.isEmpty() ? old.size() : stored.size());
    QVERIFY(now == (stored.isEmpty() ? old : stored));
    // No temporary file is left beside it.
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("u_ex1.log")});
    if (local) {
        const QList<RecordedRequest> requests = m_server.requests();
        QCOMPARE(requests.size(), response.status == 302 ? 2 : 1);
        verifyFileRequest(requests.first(), route.toLatin1());
    }
}

void TestDownload::emptyUrlDoesNothing()
{
    const int connections = m_server.connectionCount();
    PatternCheckDevice device;
    const std::optional<DownloadRun> run = download(QString(), &device, QString(), 10);
    QVERIFY(run);
    // No address is no file: nothing was asked for, nothing stored.
    QCOMPARE(run->outcome.result, DownloadResult::Failed);
    QCOMPARE(run->outcome.status, 0);
    QCOMPARE(run->outcome.bytes, qint64(0));
    QVERIFY(run->progress.isEmpty());
    QCOMPARE(device.writes(), qint64(0));
    QVERIFY(noConnectionSince(m_server, connections, QStringLiteral("/real.log"), 5000));
}

void TestDownload::refusedWriteIsNotStorable()
{
    PatternCheckDevice device;
    device.failAfter(10240);
    const std::optional<DownloadRun> run = download(serve(QStringLiteral("/stop.log"), 1000000),
                                                    &device, QString(), 1000000);
    QVERIFY(run);
    QCOMPARE(run->outcome.result, DownloadResult::NotStorable);
    QVERIFY(device.received() <= 10240);
    QVERIFY(device.matches());
}

void TestDownload::abortEndsWithoutFinished_data()
{
    // when: "start" right after start(), "request" once the server holds the
    // request (it never answers), "body" on the first body bytes of a body
    // far larger than the socket buffers, "receiver" inside the first
    // bytesReceived() itself.
    QTest::addColumn<QString>("when");
    QTest::addColumn<QString>("url"); // empty: the row's own route
    QTest::newRow("right after start") << "start" << QString();
    QTest::newRow("right after start, bad address") << "start" << QStringLiteral("http://");
    QTest::newRow("right after start, unreachable")
        << "start" << QStringLiteral("http://127.0.0.1:%1/x.log").arg(closedPort());
    QTest::newRow("waiting for the head") << "request" << QString();
    QTest::newRow("inside the body") << "body" << QString();
    QTest::newRow("by a receiver of the byte count") << "receiver" << QString();
}

void TestDownload::abortEndsWithoutFinished()
{
    QFETCH(QString, when);
    QFETCH(QString, url);
    const qint64 size = qint64(256) << 20;
    TestHttpServerThread serverThread;
    QVERIFY(serverThread.start());
    TestHttpServer *server = serverThread.server();
    TestResponse response = shapedResponse(Shape::Generated, size);
    response.stallBeforeHeaders = when == QLatin1String("request");
    server->setRoute(QStringLiteral("/abort.log"), response);
    server->setRoute(QStringLiteral("/turn.log"), shapedResponse(Shape::Fixed, 10));
    if (url.isEmpty())
        url = server->url(QStringLiteral("/abort.log"));

    PatternCheckDevice device;
    FileDownload::Request request;
    request.url = url;
    request.expectedSize = size;
    FileDownload step(request, FileDownload::IntoDevice(&device));
    QSignalSpy finished(&step, &FileDownload::finished);
    QSignalSpy received(&step, &FileDownload::bytesReceived);
    qint64 storedAtAbort = -1;
    if (when == QLatin1String("receiver"))
        QObject::connect(&step, &FileDownload::bytesReceived, &step, [&](qint64 count) {
            if (storedAtAbort >= 0)
                return;
            storedAtAbort = device.received();
            QCOMPARE(count, storedAtAbort);
            step.abort();
        });
    step.start();
    if (when == QLatin1String("request"))
        QTRY_COMPARE_WITH_TIMEOUT(server->requests().size(), 1, kStepWaitMs);
    else if (when != QLatin1String("start"))
        QVERIFY(received.wait(kStepWaitMs));
    step.abort();
    const qint64 stored = device.received();
    if (when == QLatin1String("receiver"))
        QCOMPARE(stored, storedAtAbort);

    if (when != QLatin1String("start")) {
        // The request is gone: the server sees its connection closed and
        // sends no more of the body.
        QTRY_COMPARE_WITH_TIMEOUT(server->openConnectionCount(), 0, kStepWaitMs);
        QVERIFY(server->bodyBytesSent() < size);
    }
    // Whatever was under way has had its turn on the event loop: a probe of
    // the same server has come and gone meanwhile.
    const std::optional<RemoteProbe> later = probe(server->url(QStringLiteral("/turn.log")),
                                                   QString());
    QVERIFY(later);
    QCOMPARE(later->size.value_or(-1), qint64(10));
    QVERIFY(finished.isEmpty());
    if (when == QLatin1String("receiver"))
        QCOMPARE(received.size(), 1);
    QCOMPARE(device.received(), stored);
    QVERIFY(device.matches());
}

void TestDownload::progress_data()
{
    QTest::addColumn<qint64>("bodySize");
    QTest::addColumn<qint64>("remoteSize");
    QTest::addColumn<bool>("answersLength"); // with no size, the answer's length counts
    QTest::addColumn<int>("lastPercent");
    QTest::addColumn<bool>("lastBusy");

    QTest::newRow("exact size") << qint64(100000) << qint64(100000) << false << 100 << false;
    QTest::newRow("no size announced") << qint64(100000) << qint64(0) << false << 0 << true;
    QTest::newRow("no size announced: the answer's length")
        << qint64(100000) << qint64(0) << true << 100 << false;
    QTest::newRow("known size beside the answer's length")
        << qint64(50000) << qint64(100000) << true << 50 << false;
    QTest::newRow("grew since the probe")
        << qint64(100000) << qint64(30000) << false << 100 << true;
    QTest::newRow("shrank since the probe")
        << qint64(50000) << qint64(100000) << false << 50 << false;
    QTest::newRow("announced beyond 4 GiB")
        << qint64(100000) << (qint64(5) << 30) << false << 0 << false;
}

void TestDownload::progress()
{
    QFETCH(qint64, bodySize);
    QFETCH(qint64, remoteSize);
    QFETCH(bool, answersLength);
    QFETCH(int, lastPercent);
    QFETCH(bool, lastBusy);
    const QString url = serve(QStringLiteral("/progress.log"), bodySize);
    // No target: the body is read and discarded, and counts all the same.
    const std::optional<DownloadRun> run = download(url, nullptr, QString(), remoteSize,
                                                    answersLength);
    QVERIFY(run);
    QCOMPARE(run->outcome.result, DownloadResult::Stored);
    QCOMPARE(run->outcome.bytes, bodySize);
    const QList<QPair<int, bool>> &progress = run->progress;
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last().first, lastPercent);
    QCOMPARE(progress.last().second, lastBusy);
    int previous = -1;
    for (int i = 0; i < progress.size(); ++i) {
        const auto &p = progress.at(i);
        QVERIFY(p.first >= 0 && p.first <= 100);
        QVERIFY(p.first >= previous);
        if (i > 0) // only changes are reported
            QVERIFY(p != progress.at(i - 1));
        previous = p.first;
    }
    QVERIFY(progress.size() <= 102);
    // The byte count grows with every report and ends at the body's size.
    QVERIFY(!run->received.isEmpty());
    for (int i = 1; i < run->received.size(); ++i)
        QVERIFY(run->received.at(i) > run->received.at(i - 1));
    QCOMPARE(run->received.last(), bodySize);
}

void TestDownload::heldTransferHoldsBackData()
{
    // A held transfer (a modal dialog is open) must neither pile the rest of
    // the file into memory nor count the pause against the idle time-out.
    const qint64 size = 160 * 1048576;
    TestHttpServerThread serverThread;
    QVERIFY(serverThread.start());
    serverThread.server()->setRoute(QStringLiteral("/suspend.log"),
                                    shapedResponse(Shape::Generated, size));
    // The hold lasts three times as long as the idle time-out; the time-out
    // itself is long enough that a busy machine's pauses in the transfer do
    // not reach it.
    SetTransferIdleTimeout(1000);

    PatternCheckDevice device;
    FileDownload::Request request;
    request.url = serverThread.server()->url(QStringLiteral("/suspend.log"));
    request.expectedSize = size;
    FileDownload step(request, FileDownload::IntoDevice(&device));
    qint64 residentAtHold = -1;
    qint64 growthWhileHeld = -1;
    qint64 receivedAtHold = -1;
    qint64 receivedWhileHeld = -1;
    QObject::connect(&step, &FileDownload::bytesReceived, &step, [&](qint64 received) {
        if (residentAtHold >= 0 || received < 1048576)
            return;
        step.setHeld(true);
        residentAtHold = ProcessMemory::residentBytes();
        receivedAtHold = device.received();
        QTimer::singleShot(3000, &step, [&] {
            growthWhileHeld = ProcessMemory::residentBytes() - residentAtHold;
            receivedWhileHeld = device.received() - receivedAtHold;
            step.setHeld(false);
        });
    });
    QVERIFY(runToEnd(step));
    QCOMPARE(step.outcome().result, DownloadResult::Stored);
    QCOMPARE(step.outcome().bytes, size);
    QVERIFY(residentAtHold >= 0);
    QVERIFY(growthWhileHeld != -1);
    QVERIFY(device.matches());
    QCOMPARE(device.received(), size);
    QCOMPARE(receivedWhileHeld, qint64(0));
    qInfo("resident growth while held: %lld KiB", growthWhileHeld / 1024);
    QVERIFY2(growthWhileHeld < 16 * 1048576, "the connection kept reading while nobody read it");
}

void TestDownload::largeBodyKeepsMemoryFlat()
{
    const qint64 size = 300 * 1048576;
    TestHttpServerThread serverThread;
    QVERIFY(serverThread.start());
    serverThread.server()->setRoute(QStringLiteral("/big.log"),
                                    shapedResponse(Shape::Generated, size));

    const bool peakReset = ProcessMemory::resetPeak();
    const qint64 baseline = ProcessMemory::residentBytes();
    QVERIFY(baseline > 0);
    qint64 sampledPeak = baseline;
    PatternCheckDevice device;
    FileDownload::Request request;
    request.url = serverThread.server()->url(QStringLiteral("/big.log"));
    request.expectedSize = size;
    FileDownload step(request, FileDownload::IntoDevice(&device));
    QObject::connect(&step, &FileDownload::progress, &step, [&](int, bool) {
        sampledPeak = std::max(sampledPeak, ProcessMemory::residentBytes());
    });
    QElapsedTimer clock;
    clock.start();
    QVERIFY(runToEnd(step));
    QCOMPARE(step.outcome().result, DownloadResult::Stored);
    QCOMPARE(step.outcome().bytes, size);
    const qint64 elapsed = std::max<qint64>(clock.elapsed(), 1);
    QCOMPARE(device.received(), size);
    QVERIFY(device.matches());

    const qint64 peak = peakReset ? std::max(ProcessMemory::peakResidentBytes(), sampledPeak)
                                  : sampledPeak;
    const qint64 growth = peak - baseline;
    qInfo("300 MiB in %lld ms (%.0f MiB/s), peak resident growth %lld KiB%s", elapsed,
          300.0 * 1000 / elapsed, growth / 1024, peakReset ? "" : " (sampled)");
    QVERIFY2(growth < 64 * 1048576, "memory grew with the body");
}

// A part that goes on past its range is given up at the range's end: the
// transfer stops there, however much more the server would send, and
// nothing past the range went into the target.
void TestDownload::partEndsWithItsRange()
{
    TestResponse endless = rawReply(
        "HTTP/1.1 206 Partial Content\r\n"
        "Content-Range: bytes 100-199/200\r\n\r\n"
        + QByteArray(100, 'p'));
    endless.endlessRepeat = QByteArray(4096, 'x');
    m_server.setRoute(QStringLiteral("/part.log"), endless);
    QBuffer target;
    QVERIFY(target.open(QIODevice::WriteOnly));
    FileDownload::Request request;
    request.url = m_server.url(QStringLiteral("/part.log"));
    request.start = 100;
    request.expectedSize = 100;
    FileDownload step(request, FileDownload::IntoDevice(&target));
    QVERIFY(runToEnd(step));
    QCOMPARE(step.outcome().result, DownloadResult::Failed);
    QVERIFY2(step.outcome().reason().contains(QStringLiteral("more bytes than the range")),
             qPrintable(step.outcome().reason()));
    QVERIFY(target.data().size() <= 100);
    QVERIFY(target.data().count('x') == 0);
    QCOMPARE(m_server.requests().value(0).header("Range"), QByteArray("bytes=100-"));
}

QTEST_GUILESS_MAIN(TestDownload)
#include "tst_download.moc"
