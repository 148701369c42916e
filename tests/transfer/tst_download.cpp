// DownloadFile against a real HTTP server on loopback: byte-exact bodies, the
// outcome lines, the failure cases that must store nothing, the read/yield
// rhythm, progress and memory.

#include "ProcessMemory.h"
#include "TestHttpServer.h"
#include "TransferTestUtil.h"
#include "transfer/basWinInet.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace transfertest;

namespace {

const QString kOk = QStringLiteral("\u25CB ");
const QString kFail = QStringLiteral("\u00D7 ");

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

} // namespace

class TestDownload : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void storesBodyExactly_data();
    void storesBodyExactly();
    void failureKeepsOldCopy_data();
    void failureKeepsOldCopy();
    void framing_data();
    void framing();
    void servesFolderFiles();
    void emptyUrlDoesNothing();
    void sendsCacheBypassingGet();
    void followsRedirect();
    void discardsWithoutTarget();
    void refusedWriteIsStoreFailure();
    void abandonStopsSilently();
    void readsSmallPiecesWithYields();
    void progress_data();
    void progress();
    void suspendedReaderHoldsBackData();
    void largeBodyKeepsMemoryFlat();

private:
    struct Outcome {
        qint64 result = 0;
        HookRecord record;
    };
    // Downloads url into folder/name through a QSaveFile, committed only for
    // a positive count, as the collection run does.
    Outcome downloadInto(const QString &url, const QString &path, qint64 remoteSize);

    TestHttpServer m_server;
    QTemporaryDir m_dir;
};

void TestDownload::initTestCase()
{
    clearProxyEnvironment();
    QVERIFY(m_server.listen());
    QVERIFY(m_dir.isValid());
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

TestDownload::Outcome TestDownload::downloadInto(const QString &url, const QString &path,
                                                 qint64 remoteSize)
{
    Outcome outcome;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        outcome.result = -2;
        return outcome;
    }
    outcome.result = DownloadFile(url, &file, QString(), remoteSize, outcome.record.hooks());
    if (outcome.result > 0)
        file.commit();
    else
        file.cancelWriting();
    return outcome;
}

void TestDownload::storesBodyExactly_data()
{
    QTest::addColumn<int>("shape");
    QTest::addColumn<qint64>("size");

    const struct { const char *name; Shape shape; } shapes[] = {
        {"fixed", Shape::Fixed}, {"generated", Shape::Generated},
        {"chunked", Shape::Chunked}, {"no length", Shape::NoLength}};
    for (const auto &s : shapes) {
        for (qint64 size : {qint64(1), qint64(1023), qint64(1024), qint64(1025), qint64(32767),
                            qint64(100000)})
            QTest::addRow("%s %lld", s.name, size) << int(s.shape) << size;
    }
    QTest::addRow("generated 3 MiB + 7") << int(Shape::Generated) << qint64(3 * 1048576 + 7);
    QTest::addRow("chunked 3 MiB + 7") << int(Shape::Chunked) << qint64(3 * 1048576 + 7);
}

void TestDownload::storesBodyExactly()
{
    QFETCH(int, shape);
    QFETCH(qint64, size);
    const QString route = QStringLiteral("/body/%1").arg(QTest::currentDataTag()).replace(u' ', u'_');
    m_server.setRoute(route, shapedResponse(Shape(shape), size));
    const QString target = m_dir.filePath(QStringLiteral("exact.log"));
    QFile::remove(target);

    const Outcome out = downloadInto(m_server.url(route), target, size);
    QCOMPARE(out.result, size);
    QCOMPARE(out.record.lines, QStringList{kOk + m_server.url(route)});
    const QByteArray stored = readAll(target);
    QCOMPARE(stored.size(), size);
    QVERIFY(stored == TestHttpServer::patternBytes(0, size));
}

void TestDownload::failureKeepsOldCopy_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<TestResponse>("response");
    QTest::addColumn<bool>("opened"); // a line "× " is expected (else no line)

    TestResponse ok;
    ok.generatedSize = 100000;

    QTest::newRow("empty body") << "/f/empty" << TestResponse() << true;

    TestResponse notFound;
    notFound.status = 404;
    notFound.contentType = "text/html";
    notFound.body = "<html><body>gone</body></html>";
    QTest::newRow("404 with page") << "/f/404" << notFound << false;

    TestResponse serverError = notFound;
    serverError.status = 500;
    QTest::newRow("500 with page") << "/f/500" << serverError << false;

    // Not an error to the HTTP client, but no file either.
    TestResponse choices = notFound;
    choices.status = 300;
    QTest::newRow("300 without a target") << "/f/300" << choices << false;

    TestResponse cut = ok;
    cut.cutAfter = 40000;
    QTest::newRow("cut short") << "/f/cut" << cut << false;

    TestResponse cutEarly = ok;
    cutEarly.cutAfter = 0;
    QTest::newRow("cut before body") << "/f/cut0" << cutEarly << false;

    TestResponse chunkedCut = ok;
    chunkedCut.chunked = true;
    chunkedCut.cutAfter = 40000; // inside the first chunk
    QTest::newRow("chunked cut short") << "/f/chunkcut" << chunkedCut << false;

    TestResponse stallAfter = ok;
    stallAfter.stallAfterHeaders = true;
    QTest::newRow("stall after headers") << "/f/stall" << stallAfter << false;

    TestResponse stallBefore = ok;
    stallBefore.stallBeforeHeaders = true;
    QTest::newRow("stall before headers") << "/f/stall0" << stallBefore << false;

    QTest::newRow("unreachable")
        << QStringLiteral("http://127.0.0.1:%1/x.log").arg(closedPort()) << TestResponse() << false;
    QTest::newRow("unresolvable") << "http://no-such-host.invalid/x.log" << TestResponse() << false;
    QTest::newRow("local file scheme") << "file:///etc/hostname" << TestResponse() << false;
    QTest::newRow("not a url") << "http://" << TestResponse() << false;
}

void TestDownload::failureKeepsOldCopy()
{
    QFETCH(QString, url);
    QFETCH(TestResponse, response);
    QFETCH(bool, opened);

    QString fullUrl = url;
    if (url.startsWith(u'/')) {
        m_server.setRoute(url, response);
        fullUrl = m_server.url(url);
    }
    // The stalls end through the idle time-out.
    SetTransferIdleTimeout(400);

    QTemporaryDir folder;
    const QString target = folder.filePath(QStringLiteral("u_ex1.log"));
    {
        QFile old(target);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("the previous copy\r\n");
    }
    QElapsedTimer clock;
    clock.start();
    const Outcome out = downloadInto(fullUrl, target, 100000);
    QVERIFY2(clock.elapsed() < 5000, "a failing transfer must end promptly");

    QCOMPARE(out.result, qint64(0));
    QCOMPARE(out.record.lines, QStringList{(opened ? kOk : kFail) + fullUrl});
    QCOMPARE(readAll(target), QByteArray("the previous copy\r\n"));
    // No temporary file is left beside it.
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("u_ex1.log")});
}

void TestDownload::framing_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("body");

    const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n";
    QTest::newRow("chunk extension and trailer")
        << head + "Transfer-Encoding: chunked\r\n\r\n5;name=v\r\nhello\r\n6\r\n world\r\n"
                  "0\r\nX-Checksum: 1\r\n\r\n"
        << true << QByteArray("hello world");
    QTest::newRow("upper-case chunk size")
        << head + "Transfer-Encoding: chunked\r\n\r\nA\r\n0123456789\r\n0\r\n\r\n" << true
        << QByteArray("0123456789");
    QTest::newRow("interim 100 answer first")
        << "HTTP/1.1 100 Continue\r\n\r\n" + head + "Content-Length: 3\r\n\r\nabc" << true
        << QByteArray("abc");
    QTest::newRow("folded header line")
        << head + "X-Long: one\r\n two\r\nContent-Length: 3\r\n\r\nabc" << true
        << QByteArray("abc");
    QTest::newRow("repeated equal lengths")
        << head + "Content-Length: 4, 4\r\n\r\nabcd" << true << QByteArray("abcd");
    QTest::newRow("more bytes than announced")
        << head + "Content-Length: 4\r\n\r\nabcdEXTRA" << true << QByteArray("abcd");
    QTest::newRow("HTTP/1.0 ended by close")
        << QByteArray("HTTP/1.0 200 OK\r\n\r\nuntil the end") << true
        << QByteArray("until the end");
    QTest::newRow("204 no content")
        << QByteArray("HTTP/1.1 204 No Content\r\n\r\n") << true << QByteArray();

    QTest::newRow("conflicting lengths")
        << head + "Content-Length: 4\r\nContent-Length: 5\r\n\r\nabcde" << false << QByteArray();
    QTest::newRow("length not a number")
        << head + "Content-Length: 4x\r\n\r\nabcd" << false << QByteArray();
    QTest::newRow("chunk size not hex")
        << head + "Transfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n0\r\n\r\n" << false
        << QByteArray();
    QTest::newRow("no line end after chunk data")
        << head + "Transfer-Encoding: chunked\r\n\r\n3\r\nabcdef\r\n0\r\n\r\n" << false
        << QByteArray();
    QTest::newRow("last chunk without the final line")
        << head + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n" << false << QByteArray();
    QTest::newRow("closed inside the head")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Le") << false << QByteArray();
    QTest::newRow("not HTTP") << QByteArray("SSH-2.0-OpenSSH_9.2\r\n\r\n") << false
                              << QByteArray();
}

void TestDownload::framing()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, ok);
    QFETCH(QByteArray, body);
    TestResponse raw;
    raw.rawReply = reply;
    m_server.setRoute(QStringLiteral("/raw.log"), raw);
    const QString url = m_server.url(QStringLiteral("/raw.log"));

    const QString target = m_dir.filePath(QStringLiteral("raw.log"));
    QFile::remove(target);
    const Outcome out = downloadInto(url, target, body.size());
    QCOMPARE(out.record.lines, QStringList{(ok ? kOk : kFail) + url});
    QCOMPARE(out.result, ok ? qint64(body.size()) : qint64(0));
    if (!body.isEmpty())
        QCOMPARE(readAll(target), body);
    else
        QVERIFY(!QFile::exists(target));
}

void TestDownload::servesFolderFiles()
{
    QTemporaryDir served;
    {
        QFile f(served.filePath(QStringLiteral("u_ex240101.log")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(TestHttpServer::patternBytes(0, 70001));
    }
    m_server.serveDirectory(QStringLiteral("/W3SVC1/"), served.path());
    QCOMPARE(GetRemoteFileSize(m_server.url(QStringLiteral("/W3SVC1/u_ex240101.log")), QString()),
             qint64(70001));

    PatternCheckDevice device;
    HookRecord record;
    QCOMPARE(DownloadFile(m_server.url(QStringLiteral("/W3SVC1/u_ex240101.log")), &device,
                          QString(), 70001, record.hooks()),
             qint64(70001));
    QVERIFY(device.matches());
    for (const QString &path : {QStringLiteral("/W3SVC1/u_ex240102.log"),
                                QStringLiteral("/W3SVC1/../W3SVC1/u_ex240101.log")}) {
        HookRecord missing;
        QCOMPARE(DownloadFile(m_server.url(path), nullptr, QString(), 0, missing.hooks()),
                 qint64(0));
        QCOMPARE(missing.lines.size(), 1);
        QVERIFY(missing.lines.first().startsWith(kFail));
    }
}

void TestDownload::emptyUrlDoesNothing()
{
    const int connections = m_server.connectionCount();
    HookRecord record;
    PatternCheckDevice device;
    QCOMPARE(DownloadFile(QString(), &device, QString(), 10, record.hooks()), qint64(0));
    QVERIFY(record.lines.isEmpty());
    QVERIFY(record.progress.isEmpty());
    QCOMPARE(device.writes(), qint64(0));
    QTest::qWait(50);
    QCOMPARE(m_server.connectionCount(), connections);
}

void TestDownload::sendsCacheBypassingGet()
{
    TestResponse r;
    r.body = "abc";
    m_server.setRoute(QStringLiteral("/hdr.log"), r);
    HookRecord record;
    QCOMPARE(DownloadFile(m_server.url(QStringLiteral("/hdr.log")), nullptr, QString(), 3,
                          record.hooks()),
             qint64(3));
    const QList<RecordedRequest> requests = m_server.requests();
    QCOMPARE(requests.size(), 1);
    const RecordedRequest &request = requests.first();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.path, QByteArray("/hdr.log"));
    QCOMPARE(request.header("User-Agent"), QByteArray("WinInet Test"));
    QCOMPARE(request.header("Cache-Control"), QByteArray("no-cache"));
    QCOMPARE(request.header("Pragma"), QByteArray("no-cache"));
    // The stored bytes must be the announced bytes: no content coding.
    QCOMPARE(request.header("Accept-Encoding"), QByteArray("identity"));
}

void TestDownload::followsRedirect()
{
    TestResponse moved;
    moved.status = 302;
    moved.contentType = "text/html";
    moved.body = "<a href=\"/real.log\">moved</a>";
    moved.extraHeaders = {{"Location", "/real.log"}};
    m_server.setRoute(QStringLiteral("/moved.log"), moved);
    m_server.setRoute(QStringLiteral("/real.log"), shapedResponse(Shape::Fixed, 5000));

    const QString target = m_dir.filePath(QStringLiteral("redirected.log"));
    const QString url = m_server.url(QStringLiteral("/moved.log"));
    const Outcome out = downloadInto(url, target, 5000);
    QCOMPARE(out.result, qint64(5000));
    QCOMPARE(out.record.lines, QStringList{kOk + url});
    QVERIFY(readAll(target) == TestHttpServer::patternBytes(0, 5000));
    QCOMPARE(m_server.requests().size(), 2);
}

void TestDownload::discardsWithoutTarget()
{
    m_server.setRoute(QStringLiteral("/discard.log"), shapedResponse(Shape::Generated, 70000));
    HookRecord record;
    const QString url = m_server.url(QStringLiteral("/discard.log"));
    QCOMPARE(DownloadFile(url, nullptr, QString(), 70000, record.hooks()), qint64(70000));
    QCOMPARE(record.lines, QStringList{kOk + url});
}

void TestDownload::refusedWriteIsStoreFailure()
{
    m_server.setRoute(QStringLiteral("/full.log"), shapedResponse(Shape::Generated, 200000));
    PatternCheckDevice device;
    device.failAfter(50000);
    HookRecord record;
    QCOMPARE(DownloadFile(m_server.url(QStringLiteral("/full.log")), &device, QString(), 200000,
                          record.hooks()),
             kDownloadStoreFailed);
    QVERIFY(record.lines.isEmpty());
}

void TestDownload::abandonStopsSilently()
{
    m_server.setRoute(QStringLiteral("/exit.log"), shapedResponse(Shape::Generated, 1000000));
    PatternCheckDevice device;
    HookRecord record;
    DownloadHooks hooks = record.hooks();
    hooks.abandoned = [&device] { return device.received() >= 10240; };
    QCOMPARE(DownloadFile(m_server.url(QStringLiteral("/exit.log")), &device, QString(), 1000000,
                          hooks),
             qint64(0));
    QVERIFY(record.lines.isEmpty());
    QCOMPARE(device.received(), qint64(10240)); // stopped right after the yield that said so
}

void TestDownload::readsSmallPiecesWithYields()
{
    const qint64 size = 300000;
    m_server.setRoute(QStringLiteral("/rhythm.log"), shapedResponse(Shape::Generated, size));
    YieldCounter yields;
    PatternCheckDevice device(&yields);
    HookRecord record;
    QCOMPARE(DownloadFile(m_server.url(QStringLiteral("/rhythm.log")), &device, QString(), size,
                          record.hooks()),
             size);
    QVERIFY(device.matches());
    QVERIFY(device.largestWrite() <= 1024);
    QVERIFY(device.writes() >= size / 1024);
    QCOMPARE(device.writesWithoutYield(), qint64(0));
}

void TestDownload::progress_data()
{
    QTest::addColumn<qint64>("bodySize");
    QTest::addColumn<qint64>("remoteSize");
    QTest::addColumn<int>("lastPercent");
    QTest::addColumn<bool>("lastBusy");

    QTest::newRow("exact size") << qint64(100000) << qint64(100000) << 100 << false;
    QTest::newRow("no size announced") << qint64(100000) << qint64(0) << 0 << true;
    QTest::newRow("grew since the probe") << qint64(100000) << qint64(30000) << 100 << true;
    QTest::newRow("shrank since the probe") << qint64(50000) << qint64(100000) << 50 << false;
    QTest::newRow("announced beyond 4 GiB") << qint64(100000) << (qint64(5) << 30) << 0 << false;
}

void TestDownload::progress()
{
    QFETCH(qint64, bodySize);
    QFETCH(qint64, remoteSize);
    QFETCH(int, lastPercent);
    QFETCH(bool, lastBusy);
    m_server.setRoute(QStringLiteral("/progress.log"), shapedResponse(Shape::Generated, bodySize));
    HookRecord record;
    QCOMPARE(DownloadFile(m_server.url(QStringLiteral("/progress.log")), nullptr, QString(),
                          remoteSize, record.hooks()),
             bodySize);
    QVERIFY(!record.progress.isEmpty());
    QCOMPARE(record.progress.last().first, lastPercent);
    QCOMPARE(record.progress.last().second, lastBusy);
    int previous = -1;
    for (int i = 0; i < record.progress.size(); ++i) {
        const auto &p = record.progress.at(i);
        QVERIFY(p.first >= 0 && p.first <= 100);
        QVERIFY(p.first >= previous);
        if (i > 0) // only changes are reported
            QVERIFY(p != record.progress.at(i - 1));
        previous = p.first;
    }
    QVERIFY(record.progress.size() <= 102);
}

void TestDownload::suspendedReaderHoldsBackData()
{
    // A modal dialog opened during a transfer runs its own event loop inside
    // a yield; the transfer must neither pile the rest of the file into
    // memory nor count the pause against the idle time-out.
    const qint64 size = 160 * 1048576;
    TestHttpServerThread serverThread;
    QVERIFY(serverThread.start());
    serverThread.server()->setRoute(QStringLiteral("/suspend.log"),
                                    shapedResponse(Shape::Generated, size));
    SetTransferIdleTimeout(300);

    PatternCheckDevice device;
    qint64 growthWhileSuspended = -1;
    bool suspended = false;
    DownloadHooks hooks;
    hooks.setProgress = [&](int, bool) {
        if (suspended || device.received() < 1048576)
            return;
        suspended = true;
        const qint64 before = ProcessMemory::residentBytes();
        QEventLoop dialog;
        QTimer::singleShot(1200, &dialog, &QEventLoop::quit);
        dialog.exec();
        growthWhileSuspended = ProcessMemory::residentBytes() - before;
    };
    QStringList lines;
    hooks.writeRunLog = [&](const QString &line) { lines.append(line); };
    const QString url = serverThread.server()->url(QStringLiteral("/suspend.log"));
    QCOMPARE(DownloadFile(url, &device, QString(), size, hooks), size);
    QVERIFY(suspended);
    QVERIFY(device.matches());
    QCOMPARE(lines, QStringList{kOk + url});
    qInfo("resident growth while suspended: %lld KiB", growthWhileSuspended / 1024);
    QVERIFY2(growthWhileSuspended < 16 * 1048576, "the connection kept reading while nobody read it");
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
    DownloadHooks hooks;
    hooks.setProgress = [&](int, bool) {
        sampledPeak = std::max(sampledPeak, ProcessMemory::residentBytes());
    };
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(DownloadFile(serverThread.server()->url(QStringLiteral("/big.log")), &device,
                          QString(), size, hooks),
             size);
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

QTEST_GUILESS_MAIN(TestDownload)
#include "tst_download.moc"
