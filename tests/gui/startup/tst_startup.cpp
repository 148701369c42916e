// Start-up: the time-out conversion, the paths built from the executable's
// folder, and Main's two outcomes — the window, or the start-up error box and
// no window.

#include "base/settings/AppInfo.h"
#include "gui/startup/Startup.h"
#include "gui/collector/frmDownload.h"

#include "RecordingUi.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>

using namespace kestrune;

using namespace kestrune::basKestrune;

class TestStartup : public QObject {
    Q_OBJECT

    QString m_originalDir = QDir::currentPath();

    static void writeIni(const QString &folder, const QByteArray &content)
    {
        QFile f(folder + QStringLiteral("/Kestrune.ini"));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
    }

private slots:
    void cleanup()
    {
        frmDownload::destroyInstance();
        QDir::setCurrent(m_originalDir);
        gstrHelpFile = QStringLiteral("Kestrune.hlp");
    }

    void convertsTimeouts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("milliseconds"); // -1: the error column applies
        QTest::addColumn<QString>("error");

        QTest::newRow("30") << "30" << 30000 << QString();
        QTest::newRow("spaces around") << "  30  " << 30000 << QString();
        QTest::newRow("plus sign") << "+5" << 5000 << QString();
        QTest::newRow("negative") << "-5" << -5000 << QString();
        QTest::newRow("zero") << "0" << 0 << QString();
        QTest::newRow("2.5 to even") << "2.5" << 2000 << QString();
        QTest::newRow("3.5 to even") << "3.5" << 4000 << QString();
        QTest::newRow("-2.5 to even") << "-2.5" << -2000 << QString();
        QTest::newRow("2.51 up") << "2.51" << 3000 << QString();
        QTest::newRow("2.49 down") << "2.49" << 2000 << QString();
        QTest::newRow(".5 to zero") << ".5" << 0 << QString();
        QTest::newRow("leading zeros") << "000000000000000042" << 42000 << QString();
        QTest::newRow("largest") << "2147483" << 2147483000 << QString();
        QTest::newRow("smallest") << "-2147483" << -2147483000 << QString();
        QTest::newRow("2147483.4 rounds in range") << "2147483.4" << 2147483000 << QString();
        QTest::newRow("2147483.5 rounds out") << "2147483.5" << -1 << kOverflow;
        QTest::newRow("2147484") << "2147484" << -1 << kOverflow;
        QTest::newRow("-2147484") << "-2147484" << -1 << kOverflow;
        QTest::newRow("beyond 32 bits") << "99999999999" << -1 << kOverflow;
        QTest::newRow("huge") << "123456789012345678901234567890" << -1 << kOverflow;
        QTest::newRow("empty") << "" << -1 << kTypeMismatch;
        QTest::newRow("spaces only") << "   " << -1 << kTypeMismatch;
        QTest::newRow("letters") << "abc" << -1 << kTypeMismatch;
        QTest::newRow("trailing letters") << "30s" << -1 << kTypeMismatch;
        QTest::newRow("sign only") << "-" << -1 << kTypeMismatch;
        QTest::newRow("dot only") << "." << -1 << kTypeMismatch;
        QTest::newRow("inner space") << "3 0" << -1 << kTypeMismatch;
    }

    void convertsTimeouts()
    {
        QFETCH(QString, text);
        QFETCH(int, milliseconds);
        QFETCH(QString, error);
        const TimeoutConversion c = ConvertTimeout(text);
        if (milliseconds == -1 && !error.isEmpty()) {
            QVERIFY(!c.milliseconds.has_value());
            QCOMPARE(c.error, error);
        } else {
            QVERIFY(c.milliseconds.has_value());
            QCOMPARE(*c.milliseconds, milliseconds);
        }
    }

    void rootFolderGivesADoubledSeparatorForTheSettingsFile()
    {
        const QString sep = QDir::separator();
        QCOMPARE(IniFilePath(sep), sep + sep + QStringLiteral("Kestrune.ini"));
        QCOMPARE(IniFilePath(QStringLiteral("/opt/k")),
                 QStringLiteral("/opt/k") + sep + QStringLiteral("Kestrune.ini"));
    }

    void startupErrors_data()
    {
        QTest::addColumn<QByteArray>("ini"); // empty: no file at all
        QTest::addColumn<QString>("description");

        QTest::newRow("no ini") << QByteArray() << kTypeMismatch;
        QTest::newRow("empty timeout") << QByteArray("[Kestrune]\r\nTimeout=\r\n") << kTypeMismatch;
        QTest::newRow("letters") << QByteArray("[Kestrune]\r\nTimeout=abc\r\n") << kTypeMismatch;
        QTest::newRow("2147484") << QByteArray("[Kestrune]\r\nTimeout=2147484\r\n") << kOverflow;
    }

    void startupErrors()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, description);
        QTemporaryDir dir;
        if (!ini.isEmpty())
            writeIni(dir.path(), ini);
        RecordingUi ui;
        QVERIFY(!Main(dir.path()));
        QCOMPARE(ui.messages.size(), 1);
        QCOMPARE(ui.messages[0].text, QStringLiteral("起動エラー！\r\n") + description);
        QCOMPARE(ui.messages[0].icon, kestrune::MsgIcon::Exclamation);
        QCOMPARE(ui.messages[0].title, QStringLiteral("Kestrune"));
        QVERIFY(!frmDownload::instance());
        QVERIFY(!ui.busy);
    }

    void folderThatCannotBeEntered_data()
    {
        QTest::addColumn<QString>("name"); // inside a temporary folder
        QTest::addColumn<bool>("isFile");
        QTest::addColumn<int>("error");
        QTest::newRow("missing") << "gone" << false << ENOENT;
        QTest::newRow("a file, not a folder") << "Kestrune.exe" << true << ENOTDIR;
    }

    void folderThatCannotBeEntered()
    {
        QFETCH(QString, name);
        QFETCH(bool, isFile);
        QFETCH(int, error);
        QTemporaryDir dir;
        const QString path = dir.filePath(name);
        QFile file(path);
        if (isFile)
            QVERIFY(file.open(QIODevice::WriteOnly));
        RecordingUi ui;
        QVERIFY(!Main(path));
        // The system's description of what went wrong, and the folder.
        QCOMPARE(ui.messageTexts(),
                 QStringList{QStringLiteral("起動エラー！\r\n")
                             + QString::fromLocal8Bit(std::strerror(error)) + QStringLiteral("\r\n")
                             + QDir::toNativeSeparators(path)});
        QVERIFY(!frmDownload::instance());
    }

    void startsWithTheWindow_data()
    {
        QTest::addColumn<QByteArray>("timeout");
        QTest::addColumn<int>("milliseconds");
        QTest::newRow("30 between spaces") << QByteArray("  30  ") << 30000;
        QTest::newRow("2147483") << QByteArray("2147483") << 2147483000;
        QTest::newRow("2.5") << QByteArray("2.5") << 2000;
    }

    void startsWithTheWindow()
    {
        QFETCH(QByteArray, timeout);
        QFETCH(int, milliseconds);
        QTemporaryDir dir;
        writeIni(dir.path(), "[Kestrune]\r\nTimeout=" + timeout + "\r\n");
        RecordingUi ui;
        QVERIFY(Main(dir.path()));
        QVERIFY(ui.messages.isEmpty());
        // The profile reader drops the blanks around a value.
        QCOMPARE(gstrTimeout, QString::fromLatin1(timeout).trimmed());
        QCOMPARE(glngTimeout, milliseconds);
        QCOMPARE(QDir(QDir::currentPath()).canonicalPath(), QDir(dir.path()).canonicalPath());
        QCOMPARE(gstrIniFile, dir.path() + QDir::separator() + QStringLiteral("Kestrune.ini"));
        QCOMPARE(gstrHelpFile, dir.path() + QDir::separator() + QStringLiteral("Kestrune.hlp"));
        frmDownload *w = frmDownload::instance();
        QVERIFY(w);
        QVERIFY(w->isVisible());
        QCOMPARE(w->windowTitle(), QStringLiteral("Kestrune"));
        QCOMPARE(w->tmrIE()->interval(), milliseconds);
        // The pointer is back once the window has loaded.
        QTRY_VERIFY_WITH_TIMEOUT(w->isLoaded(), 60000);
        QVERIFY(!ui.busy);
        QVERIFY(ui.messages.isEmpty());
    }

    void startupDoesNotReadTheProxy()
    {
        QTemporaryDir dir;
        writeIni(dir.path(),
                 "[Kestrune]\r\nTimeout=30\r\nProxyAddress=proxy\r\nProxyPort=8080\r\n");
        RecordingUi ui;
        gstrProxy.clear();
        QVERIFY(Main(dir.path()));
        QCOMPARE(gstrProxy, QString());
    }

    void computerName() { QCOMPARE(GetLocalComputerName(), QSysInfo::machineHostName()); }
};

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
