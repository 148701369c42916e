// The run log: header, time stamps, line ends, encoding, and the handle
// rules (writes through a closed or foreign number do nothing).

#include "base/settings/TextCodec.h"
#include "base/collection/RunLog.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using namespace kestrune;

using kestrune::RunLog;
using kestrune::TextCodec;

class TestRunLog : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_original = QDir::currentPath();

    static QByteArray read(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

private slots:
    void init()
    {
        QDir::setCurrent(m_dir.path());
        QFile::remove(m_dir.filePath("Kestrune.log"));
        RunLog::setClock([] { return QDateTime(QDate(2007, 8, 6), QTime(4, 5, 9)); });
        TextCodec::setFileCodec(TextCodec("UTF-8"));
    }

    void cleanup()
    {
        RunLog::setClock({});
        TextCodec::resetFileCodec();
        QDir::setCurrent(m_original);
    }

    void headerAndLinesAreExact()
    {
        RunLog log;
        const qint16 no = log.open(QStringLiteral("Kestrune.log"));
        QVERIFY(no != 0);
        log.write(no, QStringLiteral("○ IISログダウンロード開始。\t"));
        log.write(no, QStringLiteral("× ファイルサイズが同じ http://h/a.log"));
        log.close();
        const QByteArray rule(58, '=');
        const QByteArray expected =
            "Kestrune\r\n" + rule + "\r\n"
            + QStringLiteral("2007年08月06日 04時05分09秒に起動").toUtf8() + "\r\n" + rule + "\r\n"
            + QStringLiteral("2007/08/06 04:05:09\t○ IISログダウンロード開始。\t\r\n").toUtf8()
            + QStringLiteral("2007/08/06 04:05:09\t× ファイルサイズが同じ http://h/a.log\r\n")
                  .toUtf8();
        // Relative name: the file lands in the current directory.
        QCOMPARE(read(m_dir.filePath("Kestrune.log")), expected);
    }

    void twentyFourHourClock()
    {
        RunLog::setClock([] { return QDateTime(QDate(2026, 12, 31), QTime(23, 59, 58)); });
        QCOMPARE(RunLog::timeStamp(QDateTime(QDate(2026, 12, 31), QTime(23, 59, 58))),
                 QStringLiteral("2026/12/31 23:59:58"));
        QCOMPARE(RunLog::startLine(QDateTime(QDate(2026, 1, 2), QTime(13, 0, 0))),
                 QStringLiteral("2026年01月02日 13時00分00秒に起動"));
    }

    void writesInTheSystemCodePageOrCp932()
    {
        TextCodec::setFileCodec(TextCodec("windows-31j"));
        RunLog log;
        const qint16 no = log.open(QStringLiteral("Kestrune.log"));
        log.write(no, QStringLiteral("○ x"));
        log.close();
        const QByteArray bytes = read(m_dir.filePath("Kestrune.log"));
        // "○" is 81 9B in code page 932; "年" 94 4E.
        QVERIFY(bytes.contains(QByteArray::fromHex("819B2078")));
        QVERIFY(bytes.contains(QByteArray::fromHex("944E")));
    }

    void handleRules()
    {
        RunLog log;
        log.write(0, QStringLiteral("before any open")); // never opened: nothing
        log.close();                                     // not open: nothing
        QVERIFY(!QFile::exists(m_dir.filePath("Kestrune.log")));

        const qint16 no = log.open(QStringLiteral("Kestrune.log"));
        log.write(qint16(no + 7), QStringLiteral("wrong number"));
        log.close();
        log.close(); // twice in a row is normal
        log.write(no, QStringLiteral("after close"));
        const QByteArray bytes = read(m_dir.filePath("Kestrune.log"));
        QCOMPARE(bytes.count("\r\n"), 4); // the header only
        QVERIFY(!bytes.contains("wrong number"));
        QVERIFY(!bytes.contains("after close"));
        QCOMPARE(log.fileNo(), no); // the number stays after the close
    }

    void reopeningReplacesThePreviousRun()
    {
        RunLog log;
        qint16 no = log.open(QStringLiteral("Kestrune.log"));
        log.write(no, QStringLiteral("first run"));
        log.close();
        no = log.open(QStringLiteral("Kestrune.log"));
        log.close();
        const QByteArray bytes = read(m_dir.filePath("Kestrune.log"));
        QVERIFY(!bytes.contains("first run"));
        QCOMPARE(bytes.count("\r\n"), 4);
    }

    void appendingKeepsEarlierRuns_data()
    {
        QTest::addColumn<QByteArray>("earlier"); // the file before the run
        QTest::addColumn<QByteArray>("kept");    // what stays ahead of the new header
        const QByteArray run = "Kestrune\r\n" + QByteArray(58, '=') + "\r\nstart\r\n"
                               + QByteArray(58, '=') + "\r\n2007/08/06 04:05:09\tfirst run\r\n";
        QTest::newRow("no file") << QByteArray() << QByteArray();
        QTest::newRow("empty file") << QByteArray("") << QByteArray();
        QTest::newRow("one run") << run << run;
        // A run cut short mid-line: the new header still starts a line.
        QTest::newRow("unfinished line") << run + "2007/08/06" << run + "2007/08/06\r\n";
    }

    void appendingKeepsEarlierRuns()
    {
        QFETCH(QByteArray, earlier);
        QFETCH(QByteArray, kept);
        const QString path = m_dir.filePath("Kestrune.log");
        if (!earlier.isNull()) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(earlier);
        }
        RunLog log;
        const qint16 no = log.open(path, RunLog::Mode::Append);
        QVERIFY(log.isOpen());
        log.write(no, QStringLiteral("second run"));
        log.close();
        const QByteArray rule(58, '=');
        const QByteArray header = "Kestrune\r\n" + rule + "\r\n"
                                  + QStringLiteral("2007年08月06日 04時05分09秒に起動").toUtf8()
                                  + "\r\n" + rule + "\r\n";
        QCOMPARE(read(path), kept + header + "2007/08/06 04:05:09\tsecond run\r\n");
    }

    // What is found at the log's name decides whether the run has a log.  A
    // link leads nowhere the log is written, whatever it points at; a
    // folder, a pipe (whose open would wait for a reader) and any file that
    // does not begin like a run log stay as they are.
    void logPathKinds_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("append");
        QTest::addColumn<bool>("opens");
        for (const bool append : {false, true}) {
            const char *const mode = append ? "append" : "replace";
            for (const char *kind : {"link to a run log outside", "link to nothing outside",
                                     "dangling link", "folder", "fifo", "not a run log"})
                QTest::addRow("%s, %s", kind, mode) << QString::fromLatin1(kind) << append << false;
            QTest::addRow("old run log, %s", mode)
                << QStringLiteral("old run log") << append << true;
            QTest::addRow("nothing, %s", mode) << QStringLiteral("nothing") << append << true;
        }
    }

    void logPathKinds()
    {
        QFETCH(QString, kind);
        QFETCH(bool, append);
        QFETCH(bool, opens);
        QTemporaryDir outside;
        QTemporaryDir folder;
        const QString path = folder.filePath("Kestrune.log");
        const QString target = outside.filePath("elsewhere.log");
        const QByteArray oldLog = "Kestrune\r\n" + QByteArray(58, '=') + "\r\nearlier run\r\n";
        const QByteArray other = "Kestrun\r\nsomething collected\r\n";
        const auto put = [](const QString &where, const QByteArray &bytes) {
            QFile f(where);
            return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
        };
        const QByteArray name = QFile::encodeName(path);
        if (kind == "link to a run log outside") {
            QVERIFY(put(target, oldLog));
            QVERIFY(QFile::link(target, path));
        } else if (kind == "link to nothing outside") {
            QVERIFY(QFile::link(target, path));
        } else if (kind == "dangling link") {
            QVERIFY(QFile::link(QStringLiteral("gone.log"), path));
        } else if (kind == "folder") {
            QVERIFY(QDir(folder.path()).mkdir(QStringLiteral("Kestrune.log")));
        } else if (kind == "fifo") {
            QCOMPARE(::mkfifo(name.constData(), 0600), 0);
        } else if (kind == "not a run log") {
            QVERIFY(put(path, other));
        } else if (kind == "old run log") {
            QVERIFY(put(path, oldLog));
        }
        struct stat before {};
        const bool existed = ::lstat(name.constData(), &before) == 0;

        RunLog log;
        const qint16 no = log.open(path, append ? RunLog::Mode::Append : RunLog::Mode::Replace);
        log.write(no, QStringLiteral("this run"));
        const bool wasOpen = log.isOpen();
        log.close();
        QCOMPARE(wasOpen, opens);
        QCOMPARE(log.openRefused(), !opens);
        if (opens) {
            const QByteArray bytes = read(path);
            QVERIFY(bytes.startsWith("Kestrune\r\n"));
            QVERIFY(bytes.endsWith("\tthis run\r\n"));
            QCOMPARE(bytes.contains("earlier run"), append && kind == "old run log");
            QVERIFY(log.openError().isEmpty());
            return;
        }
        // Nothing written, followed or created: the name is what it was, and
        // the folder the link points into has nothing new.
        struct stat after {};
        QVERIFY(existed);
        QCOMPARE(::lstat(name.constData(), &after), 0);
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(after.st_mode, before.st_mode);
        QCOMPARE(after.st_size, before.st_size);
        if (kind == "not a run log")
            QCOMPARE(read(path), other);
        QCOMPARE(QDir(outside.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 kind == "link to a run log outside" ? QStringList{"elsewhere.log"}
                                                     : QStringList());
        if (kind == "link to a run log outside")
            QCOMPARE(read(target), oldLog);
        QVERIFY(!QFile::exists(folder.filePath("gone.log")));
    }

    // A name or an address with a line break in it stays on its event's
    // line; every other character, a TAB included, is written as it is.
    void lineBreaksNeverSplitALine()
    {
        RunLog log;
        const qint16 no = log.open(QStringLiteral("Kestrune.log"));
        log.write(no, QStringLiteral("× a\r\n2007/08/06 04:05:09\t○ forged\tb\x1b.log\n"));
        log.close();
        const QByteArray bytes = read(m_dir.filePath("Kestrune.log"));
        QCOMPARE(bytes.count("\r\n"), 5);
        QCOMPARE(bytes.count('\n'), 5);
        QCOMPARE(bytes.count('\r'), 5);
        QVERIFY(bytes.endsWith(
            QStringLiteral("\t× a\\r\\n2007/08/06 04:05:09\t○ forged\tb\x1b.log\\n\r\n").toUtf8()));
    }

    void failedOpenIsSilent()
    {
        RunLog log;
        const qint16 no = log.open(m_dir.filePath("no/such/folder/Kestrune.log"));
        QVERIFY(!log.isOpen());
        log.write(no, QStringLiteral("dropped")); // must not crash or create anything
        QVERIFY(!QFile::exists(m_dir.filePath("no")));
    }
};

QTEST_GUILESS_MAIN(TestRunLog)
#include "tst_runlog.moc"
