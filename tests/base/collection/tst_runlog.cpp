// The run log: header, time stamps, line ends, encoding, and the handle
// rules (writes through a closed or foreign number do nothing).

#include "base/settings/TextCodec.h"
#include "base/collection/RunLog.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

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

    void neverWritesAFileThatIsNoRunLog_data()
    {
        QTest::addColumn<bool>("append");
        QTest::newRow("replace") << false;
        QTest::newRow("append") << true;
    }

    void neverWritesAFileThatIsNoRunLog()
    {
        QFETCH(bool, append);
        const RunLog::Mode mode = append ? RunLog::Mode::Append : RunLog::Mode::Replace;
        const QString path = m_dir.filePath("Kestrune.log");
        const QByteArray other = "Kestrun\r\nsomething collected\r\n";
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(other);
        }
        RunLog log;
        const qint16 no = log.open(path, mode);
        QVERIFY(log.openRefused());
        QVERIFY(!log.isOpen());
        log.write(no, QStringLiteral("dropped"));
        QCOMPARE(read(path), other);
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("folder.log")));
        log.open(m_dir.filePath("folder.log"), mode);
        QVERIFY(!log.isOpen());
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
