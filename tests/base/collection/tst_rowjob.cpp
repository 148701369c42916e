// The collection run without a window: rows as jobs on the event loop,
// scheduled several at a time, against the test HTTP server on loopback.

#include "ScratchFiles.h"
#include "TestHttpServer.h"

#include "base/collection/CollectionRun.h"
#include "base/transfer/basWinInet.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace kestrune;

namespace {

// The run's front end: keeps what the run tells, in order.
struct RecordingHost : CollectionRun::Host {
    QStringList lines;
    QStringList events; // "start i", "done i"
    QList<RowOutcome> outcomes;
    std::function<void(int i, qint64 received)> onBytes;
    std::function<void(int i)> onStarted;
    std::function<void(int i, std::optional<qint64>)> onSize;

    void writeRunLog(const QString &message) override { lines.append(message); }
    void rowStarted(int i, const ListingRow &) override
    {
        events.append(QStringLiteral("start %1").arg(i));
        if (onStarted)
            onStarted(i);
    }
    void remoteSizeKnown(int i, std::optional<qint64> size) override
    {
        if (onSize)
            onSize(i, size);
    }
    void bytesReceived(int i, qint64 received, qint64) override
    {
        if (onBytes)
            onBytes(i, received);
    }
    void rowDone(int i, const ListingRow &, const RowOutcome &outcome) override
    {
        events.append(QStringLiteral("done %1").arg(i));
        outcomes.append(outcome);
    }
};

CollectionRun::Options cliOptions(int jobs)
{
    CollectionRun::Options o;
    o.jobs = jobs;
    o.probeMissingCopies = false;
    o.failUnansweredProbe = true;
    return o;
}

CollectionRun::Options windowOptions()
{
    return CollectionRun::Options{};
}

int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                   .size());
}

// Files of the folder other than the ones named, hidden ones included.
QStringList otherFiles(const QString &folder, const QStringList &known)
{
    QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &k : known)
        names.removeAll(k);
    return names;
}

} // namespace

class TestRowJob : public QObject {
    Q_OBJECT

    std::unique_ptr<TestHttpServer> m_server;

    // Runs rows into folder and waits for the end.
    CollectionRun::Ending run(RecordingHost &host, const QList<ListingRow> &rows,
                              const QString &folder, CollectionRun::Options options)
    {
        CollectionRun run(host, rows, folder, [] { return QString(); }, std::nullopt, options);
        QSignalSpy ended(&run, &CollectionRun::finished);
        run.start();
        if (!ended.wait(60000))
            return CollectionRun::Ending::Abandoned;
        return ended.at(0).at(0).value<CollectionRun::Ending>();
    }

    ListingRow row(const QString &name, const QString &path) const
    {
        return ListingRow{name, m_server->url(path), ListingRow::Kind::File, QString()};
    }

    static TestResponse file(const QByteArray &body)
    {
        TestResponse r;
        r.body = body;
        return r;
    }

private slots:
    void init()
    {
        m_server = std::make_unique<TestHttpServer>();
        QVERIFY(m_server->listen());
    }

    void cleanup()
    {
        m_server.reset();
        SetTransferIdleTimeout(60000);
    }

    // Rows that store to one local file run one after the other, in the
    // list's order, however many run at a time: the copy and the log are
    // those of a run of one row at a time, never a mix of two files.
    void rowsOfOnePathRunInListOrder_data()
    {
        QTest::addColumn<bool>("sameUrl");
        QTest::newRow("same name from two folders") << false;
        QTest::newRow("the same address twice") << true;
    }

    void rowsOfOnePathRunInListOrder()
    {
        QFETCH(bool, sameUrl);
        const qint64 oldSize = 200000;
        const QByteArray x = TestHttpServer::patternBytes(0, 3000000);
        QByteArray y = TestHttpServer::patternBytes(0, 2500000);
        y[int(oldSize + 10)] = '!'; // grown too, but another file past the copy
        m_server->setRoute(QStringLiteral("/x/a.log"), file(x));
        m_server->setRoute(QStringLiteral("/y/a.log"), file(y));
        QList<ListingRow> rows{row(QStringLiteral("a.log"), QStringLiteral("/x/a.log")),
                               row(QStringLiteral("a.log"), sameUrl ? QStringLiteral("/x/a.log")
                                                                    : QStringLiteral("/y/a.log"))};
        for (int i = 0; i < 6; ++i) {
            const QString name = QStringLiteral("f%1.log").arg(i);
            m_server->setRoute(QStringLiteral("/x/") + name,
                               file(TestHttpServer::patternBytes(i, 400000)));
            rows.append(row(name, QStringLiteral("/x/") + name));
        }

        QStringList logs[2];
        QByteArray copies[2];
        for (int pass = 0; pass < 2; ++pass) {
            QTemporaryDir folder;
            QVERIFY(scratch::writeFile(folder.filePath(QStringLiteral("a.log")), x.left(oldSize)));
            RecordingHost host;
            QCOMPARE(run(host, rows, folder.path(), cliOptions(pass == 0 ? 1 : 8)),
                     CollectionRun::Ending::Completed);
            logs[pass] = host.lines;
            copies[pass] = scratch::readAll(folder.filePath(QStringLiteral("a.log")));
            if (pass == 1) {
                // Row 2 began only once row 1 had ended, while the others
                // ran beside row 1.
                QVERIFY2(host.events.indexOf(QStringLiteral("start 2"))
                             > host.events.indexOf(QStringLiteral("done 1")),
                         qPrintable(host.events.join(',')));
                QVERIFY(host.events.indexOf(QStringLiteral("start 3"))
                        < host.events.indexOf(QStringLiteral("done 1")));
            }
            for (int i = 0; i < 6; ++i)
                QCOMPARE(scratch::readAll(folder.filePath(QStringLiteral("f%1.log").arg(i))),
                         TestHttpServer::patternBytes(i, 400000));
            QCOMPARE(otherFiles(folder.path(), {QStringLiteral("a.log"), QStringLiteral("f0.log"),
                                                QStringLiteral("f1.log"), QStringLiteral("f2.log"),
                                                QStringLiteral("f3.log"), QStringLiteral("f4.log"),
                                                QStringLiteral("f5.log")}),
                     QStringList());
        }
        QCOMPARE(logs[1], logs[0]);
        QVERIFY(copies[0] == copies[1]);
        QVERIFY(copies[0] == (sameUrl ? x : y));
        QCOMPARE(logs[0].value(2), (sameUrl ? QStringLiteral("× ファイルサイズが同じ ")
                                            : QStringLiteral("○ "))
                                       + rows[1].url);
    }

    // A probe that brings no size is no reason to skip a file: the row is
    // downloaded.  On the command line a probe that got no answer at all
    // ends the row at once, without a second wait for the download.
    void aProbeWithoutASize_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<bool>("commandLine");
        for (const bool cli : {false, true}) {
            const char *who = cli ? "command line" : "window";
            QTest::addRow("%s: connection broken before an answer", who) << "reset" << cli;
            QTest::addRow("%s: 500 page as long as the copy", who) << "500" << cli;
            QTest::addRow("%s: no answer in time", who) << "silent" << cli;
        }
    }

    void aProbeWithoutASize()
    {
        QFETCH(QString, failure);
        QFETCH(bool, commandLine);
        const QByteArray good = TestHttpServer::patternBytes(3, 5000);
        const QByteArray old(5000, 'o'); // as long as the page of the 500
        TestResponse bad;
        if (failure == QLatin1String("reset")) {
            bad.rawReply = "garbage that is no HTTP answer\r\n\r\n";
        } else if (failure == QLatin1String("500")) {
            bad.status = 500;
            bad.body = QByteArray(old.size(), 'e');
        } else {
            SetTransferIdleTimeout(500);
            bad.stallBeforeHeaders = true;
        }
        m_server->setRoute(QStringLiteral("/logs/a.log"), bad);
        QTemporaryDir folder;
        const QString copy = folder.filePath(QStringLiteral("a.log"));
        QVERIFY(scratch::writeFile(copy, old));
        RecordingHost host;
        bool probed = false;
        std::optional<qint64> reported = 42;
        host.onSize = [&](int, std::optional<qint64> size) {
            // The file is fine again by the time it is downloaded.
            probed = true;
            reported = size;
            m_server->setRoute(QStringLiteral("/logs/a.log"), file(good));
        };
        const ListingRow r = row(QStringLiteral("a.log"), QStringLiteral("/logs/a.log"));
        QCOMPARE(run(host, {r}, folder.path(), commandLine ? cliOptions(4) : windowOptions()),
                 CollectionRun::Ending::Completed);
        QVERIFY(probed);
        QCOMPARE(reported, std::optional<qint64>());
        QCOMPARE(host.outcomes.size(), 1);
        const bool noAnswer = failure != QLatin1String("500");
        if (commandLine && noAnswer) {
            QCOMPARE(host.outcomes[0].kind, RowOutcome::Kind::Failed);
            QVERIFY(!host.outcomes[0].reason.isEmpty());
            QCOMPARE(host.lines.value(1), QStringLiteral("× ") + r.url);
            QCOMPARE(scratch::readAll(copy), old);
            QCOMPARE(m_server->requests().size(), 1);
        } else {
            QCOMPARE(host.outcomes[0].kind, RowOutcome::Kind::Downloaded);
            QCOMPARE(host.lines.value(1), QStringLiteral("○ ") + r.url);
            QCOMPARE(scratch::readAll(copy), good);
            QCOMPARE(m_server->requests().size(), 2);
        }
    }

    // An answer with a part of the file is taken only as the part asked
    // for, byte for byte; anything else fails the row and leaves the copy
    // as it was.  The probe finds the file as it is (14,000 bytes); the
    // transfer then gets the answer of the row.
    void partsAreExactlyTheirRange_data()
    {
        QTest::addColumn<QByteArray>("local"); // the copy before; empty: none
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("failure"); // in the reason; empty: stored

        const QByteArray full = TestHttpServer::patternBytes(0, 14000);
        const QByteArray grown = full.left(10000);
        // A copy of 10,000 bytes is asked for from 4,096 bytes before its end.
        const QByteArray rest = full.mid(10000 - 4096);
        const auto part = [](const char *range, const QByteArray &body, qint64 length) {
            QByteArray head = QByteArray("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes ")
                              + range + "\r\nConnection: close\r\n";
            if (length >= 0)
                head += "Content-Length: " + QByteArray::number(length) + "\r\n";
            return head + "\r\n" + body;
        };
        const QByteArray extra(4800, 'x');

        QTest::newRow("the range exactly")
            << grown << part("5904-13999/14000", rest, rest.size()) << QString();
        QTest::newRow("the range exactly, close-delimited")
            << grown << part("5904-13999/14000", rest, -1) << QString();
        QTest::newRow("Content-Length longer than the range")
            << grown << part("5904-13999/14000", rest + extra.left(1000), rest.size() + 1000)
            << "Content-Length 9096";
        QTest::newRow("close-delimited, longer than the range")
            << grown << part("5904-13999/14000", rest + extra, -1) << "more bytes than the range";
        QTest::newRow("close-delimited, shorter than the range")
            << grown << part("5904-13999/14000", rest.chopped(100), -1) << "7996 bytes";
        QTest::newRow("a part to the request for the whole file")
            << QByteArray() << part("0-99/14000", full.left(100), 100) << "for the whole file";
        QTest::newRow("the whole file as a part, not asked for")
            << QByteArray(20000, 'o') << part("0-13999/14000", full, full.size())
            << "for the whole file";
        // A small copy is asked for from its first byte; a part that does
        // not reach the end is no whole file, and asked again without a
        // range it is still a part.
        QTest::newRow("a part from the first byte, not to the end")
            << QByteArray(1000, 'o') << part("0-4999/14000", full.left(5000), 5000)
            << "for the whole file";
        QTest::newRow("a part from the first byte, total unknown")
            << QByteArray(1000, 'o') << part("0-4999/*", full.left(5000), 5000)
            << "for the whole file";
    }

    void partsAreExactlyTheirRange()
    {
        QFETCH(QByteArray, local);
        QFETCH(QByteArray, reply);
        QFETCH(QString, failure);
        const QByteArray full = TestHttpServer::patternBytes(0, 14000);
        m_server->setRoute(QStringLiteral("/logs/a.log"), file(full));
        TestResponse raw;
        raw.rawReply = reply;
        QTemporaryDir folder;
        const QString copy = folder.filePath(QStringLiteral("a.log"));
        if (!local.isEmpty())
            QVERIFY(scratch::writeFile(copy, local));
        RecordingHost host;
        host.onSize = [&](int, std::optional<qint64> size) {
            QCOMPARE(size, std::optional<qint64>(full.size()));
            m_server->setRoute(QStringLiteral("/logs/a.log"), raw);
        };
        const ListingRow r = row(QStringLiteral("a.log"), QStringLiteral("/logs/a.log"));
        QCOMPARE(run(host, {r}, folder.path(), windowOptions()), CollectionRun::Ending::Completed);
        QCOMPARE(host.outcomes.size(), 1);
        const RowOutcome &outcome = host.outcomes[0];
        if (failure.isEmpty()) {
            QCOMPARE(outcome.kind, RowOutcome::Kind::Downloaded);
            QCOMPARE(host.lines.value(1), QStringLiteral("○ ") + r.url);
            QCOMPARE(scratch::readAll(copy), full);
        } else {
            QCOMPARE(outcome.kind, RowOutcome::Kind::Failed);
            QVERIFY2(outcome.reason.contains(failure), qPrintable(outcome.reason));
            QCOMPARE(host.lines.value(1), QStringLiteral("× ") + r.url);
            QCOMPARE(QFileInfo::exists(copy), !local.isEmpty());
            if (!local.isEmpty())
                QCOMPARE(scratch::readAll(copy), local);
        }
        QCOMPARE(otherFiles(folder.path(), {QStringLiteral("a.log")}), QStringList());
    }

    // A file's bytes come as stored: an answer in a content coding that was
    // not asked for (the probe's or the download's) is never stored, and
    // the copy stays.  "identity" is no coding.
    void encodedFilesAreNotStored_data()
    {
        QTest::addColumn<QByteArray>("coding");
        QTest::addColumn<bool>("withCopy");
        QTest::addColumn<bool>("commandLine");
        for (const bool cli : {false, true}) {
            const char *who = cli ? "command line" : "window";
            QTest::addRow("%s: gzip over a copy", who) << QByteArray("gzip") << true << cli;
            QTest::addRow("%s: gzip, no copy", who) << QByteArray("gzip") << false << cli;
            QTest::addRow("%s: br over a copy", who) << QByteArray("br") << true << cli;
            QTest::addRow("%s: identity over a copy", who) << QByteArray("identity") << true << cli;
        }
    }

    void encodedFilesAreNotStored()
    {
        QFETCH(QByteArray, coding);
        QFETCH(bool, withCopy);
        QFETCH(bool, commandLine);
        // What the server sends, whatever it is: the bytes as they came.
        const QByteArray body = TestHttpServer::patternBytes(7, 3000);
        TestResponse r = file(body);
        r.extraHeaders.append({"Content-Encoding", coding});
        m_server->setRoute(QStringLiteral("/logs/a.log"), r);
        QTemporaryDir folder;
        const QString copy = folder.filePath(QStringLiteral("a.log"));
        const QByteArray old(1234, 'o');
        if (withCopy)
            QVERIFY(scratch::writeFile(copy, old));
        RecordingHost host;
        const ListingRow listed = row(QStringLiteral("a.log"), QStringLiteral("/logs/a.log"));
        QCOMPARE(run(host, {listed}, folder.path(), commandLine ? cliOptions(2) : windowOptions()),
                 CollectionRun::Ending::Completed);
        QCOMPARE(host.outcomes.size(), 1);
        const RowOutcome &outcome = host.outcomes[0];
        for (const RecordedRequest &request : m_server->requests())
            QCOMPARE(request.header("Accept-Encoding"), QByteArray("identity"));
        if (coding == "identity") {
            QCOMPARE(outcome.kind, RowOutcome::Kind::Downloaded);
            QCOMPARE(scratch::readAll(copy), body);
        } else {
            QCOMPARE(outcome.kind, RowOutcome::Kind::Failed);
            QCOMPARE(host.lines.value(1), QStringLiteral("× ") + listed.url);
            QVERIFY2(outcome.reason.contains(QStringLiteral("content coding not asked for: ")
                                             + QString::fromLatin1(coding)),
                     qPrintable(outcome.reason));
            QCOMPARE(QFileInfo::exists(copy), withCopy);
            if (withCopy)
                QCOMPARE(scratch::readAll(copy), old);
        }
        QCOMPARE(otherFiles(folder.path(), {QStringLiteral("a.log")}), QStringList());
    }

    // A file with no copy yet costs one request on the command line; the
    // window asks for its size first.
    void oneRequestPerFreshFile_data()
    {
        QTest::addColumn<bool>("commandLine");
        QTest::newRow("command line") << true;
        QTest::newRow("window") << false;
    }

    void oneRequestPerFreshFile()
    {
        QFETCH(bool, commandLine);
        QList<ListingRow> rows;
        for (int i = 0; i < 3; ++i) {
            const QString name = QStringLiteral("n%1.log").arg(i);
            m_server->setRoute(QStringLiteral("/logs/") + name,
                               file(TestHttpServer::patternBytes(i, 1000 + i)));
            rows.append(row(name, QStringLiteral("/logs/") + name));
        }
        QTemporaryDir folder;
        RecordingHost host;
        QCOMPARE(run(host, rows, folder.path(), commandLine ? cliOptions(2) : windowOptions()),
                 CollectionRun::Ending::Completed);
        const QList<RecordedRequest> requests = m_server->requests();
        QCOMPARE(requests.size(), commandLine ? 3 : 6);
        int ranged = 0;
        for (const RecordedRequest &r : requests)
            ranged += r.header("Range").isEmpty() ? 0 : 1;
        QCOMPARE(ranged, commandLine ? 0 : 3);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(scratch::readAll(folder.filePath(rows[i].fileName)),
                     TestHttpServer::patternBytes(i, 1000 + i));
    }

    // Cancel drops every transfer in flight: the copies stay as they were,
    // no temporary file is left, the run ends at once and its end line is
    // never written.
    void cancelWithTransfersInFlight()
    {
        QList<ListingRow> rows;
        QTemporaryDir folder;
        for (int i = 0; i < 4; ++i) {
            const QString name = QStringLiteral("c%1.log").arg(i);
            TestResponse big;
            big.generatedSize = 64 * 1024 * 1024;
            m_server->setRoute(QStringLiteral("/logs/") + name, big);
            rows.append(row(name, QStringLiteral("/logs/") + name));
            QVERIFY(scratch::writeFile(folder.filePath(name), "old " + name.toUtf8()));
        }
        RecordingHost host;
        CollectionRun run(host, rows, folder.path(), [] { return QString(); }, std::nullopt,
                          cliOptions(4));
        QSignalSpy ended(&run, &CollectionRun::finished);
        QSet<int> flowing;
        host.onBytes = [&](int i, qint64) {
            flowing.insert(i);
            if (flowing.size() == 4 && ended.isEmpty())
                run.cancel();
        };
        run.start();
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 60000);
        QCOMPARE(ended.at(0).at(0).value<CollectionRun::Ending>(),
                 CollectionRun::Ending::Abandoned);
        QCOMPARE(host.lines, QStringList{QStringLiteral("○ IISログダウンロード開始。\t")});
        QVERIFY(host.outcomes.isEmpty());
        for (const ListingRow &r : rows)
            QCOMPARE(scratch::readAll(folder.filePath(r.fileName)), "old " + r.fileName.toUtf8());
        QStringList names;
        for (const ListingRow &r : rows)
            names.append(r.fileName);
        QCOMPARE(otherFiles(folder.path(), names), QStringList());
        // The connections are given up, not left to run on.
        QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnectionCount(), 0, 30000);
        QVERIFY(m_server->bodyBytesSent() < 4 * 64 * 1024 * 1024);
    }

    // A row that ended while an earlier one was still in transfer keeps its
    // line when the run is cancelled: its file is stored.
    void cancelKeepsTheRowsThatEnded()
    {
        TestResponse slow;
        slow.holdUntilReleased = true;
        slow.body = "never";
        m_server->setRoute(QStringLiteral("/logs/slow.log"), slow);
        m_server->setRoute(QStringLiteral("/logs/quick.log"), file("quick"));
        const QList<ListingRow> rows{row(QStringLiteral("slow.log"), QStringLiteral("/logs/slow.log")),
                                     row(QStringLiteral("quick.log"),
                                         QStringLiteral("/logs/quick.log"))};
        QTemporaryDir folder;
        RecordingHost host;
        CollectionRun run(host, rows, folder.path(), [] { return QString(); }, std::nullopt,
                          cliOptions(2));
        QSignalSpy ended(&run, &CollectionRun::finished);
        run.start();
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(folder.filePath(QStringLiteral("quick.log")))
                                     && m_server->heldCount() == 1,
                                 30000);
        QVERIFY(host.outcomes.isEmpty()); // waits for row 1, in the list's order
        run.cancel();
        QCOMPARE(ended.size(), 1);
        QCOMPARE(host.lines, (QStringList{QStringLiteral("○ IISログダウンロード開始。\t"),
                                          QStringLiteral("○ ") + rows[1].url}));
        QCOMPARE(host.events.last(), QStringLiteral("done 2"));
        QVERIFY(!QFile::exists(folder.filePath(QStringLiteral("slow.log"))));
        m_server->releaseHeld();
    }

    // A held run reads nothing further and starts no row; released, it
    // ends with the whole file.
    void aHeldRunWaits()
    {
        const QByteArray body = TestHttpServer::patternBytes(7, 8 * 1024 * 1024);
        m_server->setRoute(QStringLiteral("/logs/h.log"), file(body));
        m_server->setRoute(QStringLiteral("/logs/i.log"), file("second"));
        QTemporaryDir folder;
        RecordingHost host;
        CollectionRun run(host,
                          {row(QStringLiteral("h.log"), QStringLiteral("/logs/h.log")),
                           row(QStringLiteral("i.log"), QStringLiteral("/logs/i.log"))},
                          folder.path(), [] { return QString(); }, std::nullopt, windowOptions());
        QSignalSpy ended(&run, &CollectionRun::finished);
        qint64 received = 0;
        bool held = false;
        host.onBytes = [&](int, qint64 n) {
            received = n;
            if (!held) {
                held = true;
                run.setHeld(true);
            }
        };
        run.start();
        QTRY_VERIFY_WITH_TIMEOUT(held, 30000);
        const qint64 atHold = received;
        // Whatever the server still sends meanwhile goes nowhere.
        QTest::qWait(300);
        QCOMPARE(received, atHold);
        QVERIFY(ended.isEmpty());
        QCOMPARE(host.events, QStringList{QStringLiteral("start 1")});
        run.setHeld(false);
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 60000);
        QCOMPARE(scratch::readAll(folder.filePath(QStringLiteral("h.log"))), body);
        QCOMPARE(scratch::readAll(folder.filePath(QStringLiteral("i.log"))), "second");
    }

    // Rows at once are transfers on this thread: more jobs, no more threads.
    void jobsAddNoThread()
    {
        QList<ListingRow> rows;
        for (int i = 0; i < 8; ++i) {
            const QString name = QStringLiteral("t%1.log").arg(i);
            TestResponse big;
            big.generatedSize = 4 * 1024 * 1024;
            m_server->setRoute(QStringLiteral("/logs/") + name, big);
            rows.append(row(name, QStringLiteral("/logs/") + name));
        }
        QTemporaryDir warm;
        RecordingHost first;
        QCOMPARE(run(first, rows.mid(0, 1), warm.path(), cliOptions(1)),
                 CollectionRun::Ending::Completed);
        const int before = threadCount();
        QTemporaryDir folder;
        RecordingHost host;
        QSet<int> flowing;
        int during = 0;
        host.onBytes = [&](int i, qint64) {
            flowing.insert(i);
            if (flowing.size() == 8 && during == 0)
                during = threadCount();
        };
        QCOMPARE(run(host, rows, folder.path(), cliOptions(8)), CollectionRun::Ending::Completed);
        QCOMPARE(flowing.size(), 8);
        QCOMPARE(during, before);
    }
};

QTEST_GUILESS_MAIN(TestRowJob)
#include "tst_rowjob.moc"
