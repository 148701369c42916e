// Grown logs fetch only what they grew by, and kestrune-collect works several
// files at once: against nginx (real ranges and If-Range) and, for answers
// nginx never gives, the in-process test server.

#include "E2eSupport.h"
#include "NginxFixture.h"
#include "TestHttpServer.h"

#include <QDateTime>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using namespace kestrune;

using namespace e2e;

namespace {

const QString kStart = QStringLiteral("○ IISログダウンロード開始。\t");
const QString kEnd = QStringLiteral("○ IISログダウンロード終了。\t");

// How the local copy relates to the file on the server.
enum class Copy { Prefix, RewrittenTail, ShortPrefix, ShortOther };

// Sets a served file's modification time the way an operator would.
bool touchServed(const NginxFixture &nginx, const QString &relative, const QString &date)
{
    QProcess touch;
    touch.start(QStringLiteral("touch"), {QStringLiteral("-d"), date, nginx.path(relative)});
    return touch.waitForFinished(10000) && touch.exitStatus() == QProcess::NormalExit
           && touch.exitCode() == 0;
}

QDateTime modified(const QString &path)
{
    return QFileInfo(path).lastModified().toUTC();
}

} // namespace

class TestE2eGrowth : public QObject {
    Q_OBJECT

    NginxFixture m_nginx;

    QList<NginxFixture::AccessEntry> requestsFor(const QString &path)
    {
        QList<NginxFixture::AccessEntry> found;
        for (const NginxFixture::AccessEntry &e : m_nginx.accessEntries()) {
            if (e.requestLine.contains(QLatin1Char(' ') + path + QLatin1Char(' ')))
                found.append(e);
        }
        return found;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFileInfo(collectProgram()).isExecutable());
        if (!m_nginx.start())
            QSKIP(qPrintable(m_nginx.errorString()));
    }

    void grownLogs_data()
    {
        QTest::addColumn<int>("copy");
        QTest::addColumn<qint64>("localSize");
        QTest::addColumn<int>("requests"); // GETs of the file: probe included
        QTest::addColumn<bool>("onlyNewBytes");
        QTest::newRow("grown: only the new bytes")
            << int(Copy::Prefix) << qint64(3 * 1048576) << 2 << true;
        QTest::newRow("shorter than the overlap")
            << int(Copy::ShortPrefix) << qint64(1000) << 2 << false;
        QTest::newRow("rewritten, same tail length: whole file")
            << int(Copy::RewrittenTail) << qint64(3 * 1048576) << 3 << false;
        QTest::newRow("short and different: the same answer is the whole file")
            << int(Copy::ShortOther) << qint64(1000) << 2 << false;
    }

    void grownLogs()
    {
        QFETCH(int, copy);
        QFETCH(qint64, localSize);
        QFETCH(int, requests);
        QFETCH(bool, onlyNewBytes);
        const QByteArray remote = logBytes(700 + copy, 3 * 1048576 + 200000);
        QVERIFY(m_nginx.writeFile(QStringLiteral("grow/u_ex1.log"), remote));
        QVERIFY(
            m_nginx.writeFile(QStringLiteral("grow/index.html"),
                              listingPage(QStringLiteral("/grow/"), QString(),
                                          {{QStringLiteral("u_ex1.log"),
                                            QStringLiteral("/grow/u_ex1.log"), remote.size()}})));
        QByteArray local = remote.left(localSize);
        if (copy == int(Copy::RewrittenTail) || copy == int(Copy::ShortOther))
            local = logBytes(900 + copy, localSize);
        QTemporaryDir cwd;
        QTemporaryDir save;
        QVERIFY(writeFile(save.filePath(QStringLiteral("u_ex1.log")), local));
        m_nginx.clearAccessLog();

        const CollectResult r = runCollect({m_nginx.url(QStringLiteral("/grow/")), save.path()},
                                           cwd.path());
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(readFile(save.filePath(QStringLiteral("u_ex1.log"))), remote);
        QCOMPARE(strayFiles(save.path(), {QStringLiteral("u_ex1.log")}), QStringList());
        // The row's line is the usual one.
        QCOMPARE(logMessages(cwd.filePath(QStringLiteral("Kestrune.log"))),
                 (QStringList{kStart,
                              QStringLiteral("○ ") + m_nginx.url(QStringLiteral("/grow/u_ex1.log")),
                              kEnd + m_nginx.url(QStringLiteral("/grow/u_ex1.log"))}));
        QList<NginxFixture::AccessEntry> gets;
        QTRY_COMPARE_WITH_TIMEOUT((gets = requestsFor(QStringLiteral("/grow/u_ex1.log"))).size(),
                                  requests, 30000);
        if (onlyNewBytes) {
            const qint64 newBytes = remote.size() - localSize;
            qInfo("grew by %lld bytes, the server sent %lld", newBytes, gets.last().bytesSent);
            QCOMPARE(gets.last().status, 206);
            QVERIFY(gets.last().bytesSent <= newBytes * 105 / 100);
        }
    }

    void oddServers_data()
    {
        QTest::addColumn<QByteArray>("reply"); // raw; empty: a plain 200 that ignores ranges
        QTest::addColumn<bool>("appended");
        QTest::newRow("ignores ranges: its 200 is the whole file") << QByteArray() << false;
        QTest::newRow("cut short while appending: the old copy stays")
            << QByteArray("cut") << false;
    }

    void oddServers()
    {
        QFETCH(QByteArray, reply);
        const QByteArray remote = logBytes(800, 20000);
        const QByteArray local = remote.left(12000);
        TestHttpServerThread serverThread;
        QVERIFY(serverThread.start());
        TestHttpServer *server = serverThread.server();
        TestResponse file;
        if (reply.isEmpty()) {
            file.body = remote;
            file.extraHeaders = {{"ETag", "\"v1\""}};
        } else {
            // A ranged answer that repeats the copy's tail, then breaks off.
            const qint64 start = local.size() - 4096;
            file.rawReply = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes "
                            + QByteArray::number(start) + "-"
                            + QByteArray::number(remote.size() - 1) + "/"
                            + QByteArray::number(remote.size())
                            + "\r\nContent-Length: " + QByteArray::number(remote.size() - start)
                            + "\r\n\r\n" + remote.mid(start, 4096 + 3000);
        }
        server->setRoute(QStringLiteral("/odd/u_ex2.log"), file);
        TestResponse page;
        page.contentType = "text/html";
        page.body = listingPage(QStringLiteral("/odd/"), QString(),
                                {{QStringLiteral("u_ex2.log"), QStringLiteral("/odd/u_ex2.log"),
                                  remote.size()}});
        server->setRoute(QStringLiteral("/odd/"), page);
        QTemporaryDir cwd;
        QTemporaryDir save;
        QVERIFY(writeFile(save.filePath(QStringLiteral("u_ex2.log")), local));

        const CollectResult r = runCollect({server->url(QStringLiteral("/odd/")), save.path()},
                                           cwd.path());
        const QList<RecordedRequest> requests = server->requests();
        if (reply.isEmpty()) {
            QVERIFY2(r.exitCode == 0, r.err.constData());
            QCOMPARE(readFile(save.filePath(QStringLiteral("u_ex2.log"))), remote);
            // Probe and one request for the rest, which named the version.
            QCOMPARE(requests.size(), 3);
            QCOMPARE(requests[2].header("Range"), QByteArray("bytes=7904-"));
            QCOMPARE(requests[2].header("If-Range"), QByteArray("\"v1\""));
        } else {
            QCOMPARE(r.exitCode, 1);
            QCOMPARE(readFile(save.filePath(QStringLiteral("u_ex2.log"))), local);
            QVERIFY(logMessages(cwd.filePath(QStringLiteral("Kestrune.log")))
                        .contains(QStringLiteral("× ")
                                  + server->url(QStringLiteral("/odd/u_ex2.log"))));
        }
        QCOMPARE(strayFiles(save.path(), {QStringLiteral("u_ex2.log")}), QStringList());
    }

    void severalAtOnceWriteTheSameRun()
    {
        // Fresh, unchanged, grown and failing rows, worked one after another
        // and eight at a time: the same files and the same log lines.
        QList<Entry> entries;
        for (int i = 0; i < 24; ++i) {
            const QString name = QStringLiteral("u_ex26%1.log").arg(i, 4, 10, QLatin1Char('0'));
            if (i % 7 != 3)
                QVERIFY(m_nginx.writeFile(QStringLiteral("many/") + name,
                                          logBytes(1000 + i, 5000 + 1000 * i)));
            entries.append({name, QStringLiteral("/many/") + name, 0});
        }
        QVERIFY(m_nginx.writeFile(QStringLiteral("many/index.html"),
                                  listingPage(QStringLiteral("/many/"), QString(), entries)));
        QStringList messages[2];
        QTemporaryDir save[2];
        for (int run = 0; run < 2; ++run) {
            for (int i = 0; i < 24; i += 4) // some copies there already, some grown since
                QVERIFY(writeFile(save[run].filePath(entries[i].name),
                                  logBytes(1000 + i, 5000 + 1000 * i)
                                      .left(i % 8 ? 2000 : 5000 + 1000 * i)));
            QTemporaryDir cwd;
            const CollectResult r = runCollect({"--jobs", run == 0 ? "1" : "8",
                                                m_nginx.url(QStringLiteral("/many/")),
                                                save[run].path()},
                                               cwd.path());
            QVERIFY2(r.exitCode == 1, r.err.constData()); // the missing files
            messages[run] = logMessages(cwd.filePath(QStringLiteral("Kestrune.log")));
        }
        QCOMPARE(messages[1], messages[0]);
        QCOMPARE(messages[0].size(), 2 + 24);
        for (const Entry &e : entries)
            QCOMPARE(readFile(save[1].filePath(e.name)), readFile(save[0].filePath(e.name)));
    }

    void interruptWithEightInFlight()
    {
        // Eight files at 1 MiB/s each, every one with an old copy.
        QList<Entry> entries;
        for (int i = 0; i < 8; ++i) {
            const QString name = QStringLiteral("u_ex27%1.log").arg(i);
            QVERIFY(m_nginx.writeFile(QStringLiteral("slow/eight/") + name,
                                      logBytes(1100 + i, 4 * 1048576)));
            entries.append({name, QStringLiteral("/slow/eight/") + name, 4 * 1048576});
        }
        QVERIFY(m_nginx.writeFile(QStringLiteral("slow/eight/index.html"),
                                  listingPage(QStringLiteral("/slow/eight/"), QString(), entries)));
        QTemporaryDir cwd;
        QTemporaryDir save;
        QStringList names;
        for (const Entry &e : entries) {
            QVERIFY(writeFile(save.filePath(e.name), "old copy of " + e.name.toUtf8()));
            names.append(e.name);
        }
        m_nginx.clearAccessLog();
        QProcess p;
        QVERIFY(
            startCollect(p,
                         {"--jobs", "8", m_nginx.url(QStringLiteral("/slow/eight/")), save.path()},
                         cwd.path()));
        // All eight probes are done, then all eight bodies are coming: the
        // program writes eight files that have grown past their first batch.
        QTRY_VERIFY_WITH_TIMEOUT(m_nginx.accessEntries().size() >= 1 + 8, 30000);
        QTRY_VERIFY2_WITH_TIMEOUT(filesWrittenPast(p.processId(), 256 * 1024) >= 8,
                                  "the eight bodies never came", 30000);
        QCOMPARE(::kill(pid_t(p.processId()), SIGINT), 0);
        const CollectResult r = finish(p, 30000);
        QCOMPARE(r.exitCode, 130);
        for (const Entry &e : entries)
            QCOMPARE(readFile(save.filePath(e.name)), "old copy of " + e.name.toUtf8());
        QCOMPARE(strayFiles(save.path(), names), QStringList());
        // The run ended at once, not after the bodies: nginx, which logs a
        // download once it has ended, sent each body only in part.
        QTRY_VERIFY_WITH_TIMEOUT(m_nginx.accessEntries().size() >= 1 + 8 + 8, 30000);
        for (const Entry &e : entries) {
            const QList<NginxFixture::AccessEntry> gets = requestsFor(e.href);
            QCOMPARE(gets.size(), 2);
            QVERIFY2(gets.last().bytesSent < e.size,
                     qPrintable(e.name + QStringLiteral(": %1").arg(gets.last().bytesSent)));
        }
    }

    void copiesTakeTheServersTime()
    {
        const QString served = QStringLiteral("dated/u_ex261203.log");
        const QByteArray first = logBytes(5, 200000);
        QVERIFY(m_nginx.writeFile(served, first));
        QVERIFY(m_nginx.writeFile(QStringLiteral("dated/index.html"),
                                  listingPage(QStringLiteral("/dated/"), QString(),
                                              {{QStringLiteral("u_ex261203.log"),
                                                QStringLiteral("/dated/u_ex261203.log"),
                                                first.size()}})));
        QVERIFY(touchServed(m_nginx, served, QStringLiteral("2024-03-05 06:07:08 UTC")));
        QTemporaryDir cwd;
        QTemporaryDir save;
        const QString local = save.filePath(QStringLiteral("u_ex261203.log"));

        // A new copy.
        CollectResult r = runCollect({m_nginx.url(QStringLiteral("/dated/")), save.path()},
                                     cwd.path());
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(readFile(local), first);
        QCOMPARE(modified(local), QDateTime::fromSecsSinceEpoch(1709618828, Qt::UTC));
        QCOMPARE(modified(local), modified(m_nginx.path(served)));

        // The log grows and the run appends what it grew by.
        const QByteArray more = logBytes(6, 50000);
        QVERIFY(m_nginx.appendFile(served, more));
        QVERIFY(touchServed(m_nginx, served, QStringLiteral("2024-04-01 23:59:58 UTC")));
        m_nginx.clearAccessLog();
        r = runCollect({m_nginx.url(QStringLiteral("/dated/")), save.path()}, cwd.path());
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(readFile(local), first + more);
        QList<NginxFixture::AccessEntry> gets;
        QTRY_VERIFY((gets = m_nginx.accessEntries()).size() >= 3);
        QCOMPARE(gets.last().status, 206); // appended, not fetched whole
        QCOMPARE(modified(local), modified(m_nginx.path(served)));
        QCOMPARE(modified(local), QDateTime::fromSecsSinceEpoch(1712015998, Qt::UTC));
    }
};

QTEST_GUILESS_MAIN(TestE2eGrowth)
#include "tst_e2e_growth.moc"
