// The profile file: what reads back, what a write keeps, and the byte rules
// in the file's own encoding.

#include "base/settings/IniFile.h"
#include "base/settings/TextCodec.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace kestrune;

using kestrune::IniFile;
using kestrune::TextCodec;

class TestIniFile : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString writeFile(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            qFatal("cannot write %s", qPrintable(path));
        f.write(bytes);
        return path;
    }

    static QByteArray readAll(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private slots:
    void reads_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");

        const QByteArray file =
            "; comment\r\n[Other]\r\nTimeout=99\r\n"
            "[Kestrune]\r\n  Timeout =  30  \r\nProxyAddress=\r\n"
            "Quoted=\"  spaced  \"\r\nSingle='x'\r\nHalf=\"open\r\n";
        QTest::newRow("plain") << file << "Kestrune"
                               << "Timeout"
                               << "30";
        QTest::newRow("section case") << file << "KESTRUNE"
                                      << "timeout"
                                      << "30";
        QTest::newRow("other section") << file << "Other"
                                       << "Timeout"
                                       << "99";
        QTest::newRow("empty value") << file << "Kestrune"
                                     << "ProxyAddress"
                                     << "";
        QTest::newRow("missing key") << file << "Kestrune"
                                     << "ProxyPort"
                                     << "";
        QTest::newRow("missing section") << file << "Nope"
                                         << "Timeout"
                                         << "";
        QTest::newRow("double quotes dropped") << file << "Kestrune"
                                               << "Quoted"
                                               << "  spaced  ";
        QTest::newRow("single quotes dropped") << file << "Kestrune"
                                               << "Single"
                                               << "x";
        QTest::newRow("unbalanced quote kept") << file << "Kestrune"
                                               << "Half"
                                               << "\"open";
        QTest::newRow("LF line ends") << QByteArray("[Kestrune]\nTimeout=45\n") << "Kestrune"
                                      << "Timeout"
                                      << "45";
        QTest::newRow("no final line end") << QByteArray("[Kestrune]\r\nTimeout=7") << "Kestrune"
                                           << "Timeout"
                                           << "7";
    }

    void reads()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        const QString path = writeFile(QStringLiteral("read.ini"), content);
        QCOMPARE(IniFile(path, TextCodec("UTF-8")).read(section, key), expected);
    }

    void missingFileReadsEmpty()
    {
        QCOMPARE(IniFile(m_dir.filePath("none.ini")).read("Kestrune", "Timeout"), QString());
    }

    void longValuesAreCutWithoutSplittingACharacter_data()
    {
        QTest::addColumn<QByteArray>("encoding");
        QTest::addColumn<QString>("value");
        QTest::addColumn<int>("expectedBytes");

        QTest::newRow("ascii 300") << QByteArray("UTF-8") << QString(300, QLatin1Char('a')) << 254;
        QTest::newRow("ascii exactly 254")
            << QByteArray("UTF-8") << QString(254, QLatin1Char('b')) << 254;
        // 3 bytes each in UTF-8: 84 characters are 252 bytes, the 85th would split.
        QTest::newRow("utf-8 kana") << QByteArray("UTF-8") << QString(100, QChar(0x30ED)) << 252;
        // 2 bytes each in code page 932: one ASCII byte first puts every
        // character boundary on an odd offset, so 254 would split the last.
        QTest::newRow("cp932 odd start")
            << QByteArray("windows-31j") << (QStringLiteral("x") + QString(200, QChar(0x30ED)))
            << 253;
        QTest::newRow("cp932 even")
            << QByteArray("windows-31j") << QString(200, QChar(0x30ED)) << 254;
    }

    void longValuesAreCutWithoutSplittingACharacter()
    {
        QFETCH(QByteArray, encoding);
        QFETCH(QString, value);
        QFETCH(int, expectedBytes);
        const TextCodec codec(encoding);
        const QString path = writeFile(QStringLiteral("long.ini"),
                                       codec.encode(QStringLiteral("[Kestrune]\r\nKey=") + value
                                                    + QStringLiteral("\r\n")));
        const QString read = IniFile(path, codec).read("Kestrune", "Key");
        QCOMPARE(codec.encode(read).size(), expectedBytes);
        QVERIFY(value.startsWith(read));
        QVERIFY(!read.contains(QChar::ReplacementCharacter));
    }

    void writeReplacesInPlaceAndKeepsEverythingElse()
    {
        const QByteArray before =
            "; settings\r\n[Kestrune]\r\nTimeout=30\r\nProxyAddress=old\r\n"
            "\r\n[Other]\r\nkeep=me\r\n";
        const QString path = writeFile(QStringLiteral("write.ini"), before);
        const IniFile ini(path, TextCodec("UTF-8"));
        QVERIFY(ini.write("kestrune", "proxyaddress", "proxy.example"));
        QCOMPARE(readAll(path),
                 QByteArray("; settings\r\n[Kestrune]\r\nTimeout=30\r\n"
                            "proxyaddress=proxy.example\r\n\r\n[Other]\r\nkeep=me\r\n"));
        QVERIFY(ini.write("Kestrune", "ProxyPort", "8080"));
        QCOMPARE(readAll(path), QByteArray("; settings\r\n[Kestrune]\r\nTimeout=30\r\n"
                                           "proxyaddress=proxy.example\r\nProxyPort=8080\r\n\r\n"
                                           "[Other]\r\nkeep=me\r\n"));
        QVERIFY(ini.write("New", "Key", "v"));
        QVERIFY(readAll(path).endsWith("keep=me\r\n[New]\r\nKey=v\r\n"));
        QCOMPARE(ini.read("Kestrune", "ProxyPort"), QStringLiteral("8080"));
    }

    void writeKeepsLfLineEnds()
    {
        const QString path = writeFile(QStringLiteral("lf.ini"), "[Kestrune]\nTimeout=30\n");
        QVERIFY(IniFile(path, TextCodec("UTF-8")).write("Kestrune", "Timeout", "45"));
        QVERIFY(IniFile(path, TextCodec("UTF-8")).write("Kestrune", "ProxyPort", ""));
        QCOMPARE(readAll(path), QByteArray("[Kestrune]\nTimeout=45\nProxyPort=\n"));
    }

    void writeCreatesAMissingFile()
    {
        const QString path = m_dir.filePath("fresh.ini");
        QVERIFY(IniFile(path, TextCodec("UTF-8")).write("Kestrune", "Timeout", "30"));
        QCOMPARE(readAll(path), QByteArray("[Kestrune]\r\nTimeout=30\r\n"));
    }

    void writeUsesTheFileEncoding()
    {
        const QString path = m_dir.filePath("sjis.ini");
        const TextCodec sjis("windows-31j");
        QVERIFY(IniFile(path, sjis).write("Kestrune", "ProxyAddress", QStringLiteral("プロキシ")));
        QVERIFY(readAll(path).contains(QByteArray::fromHex("8376838D834C8356")));
        QCOMPARE(IniFile(path, sjis).read("Kestrune", "ProxyAddress"), QStringLiteral("プロキシ"));
    }

    void readOnlyFileIsNotWritten()
    {
        const QByteArray before = "[Kestrune]\r\nTimeout=30\r\n";
        const QString path = writeFile(QStringLiteral("ro.ini"), before);
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadGroup);
        QVERIFY(!IniFile(path).write("Kestrune", "Timeout", "45"));
        QCOMPARE(readAll(path), before);
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }

    void writesInPlaceWhereTheFolderTakesNoNewFile()
    {
        // Run as nobody when the tests run as root: folder permissions do
        // not stop root.  The child process is this test again.
        const QByteArray underTest = qgetenv("KESTRUNE_INI_UNDER_TEST");
        if (!underTest.isEmpty()) {
            QVERIFY(IniFile(QString::fromLocal8Bit(underTest))
                        .write(QStringLiteral("Kestrune"), QStringLiteral("ProxyAddress"),
                               QStringLiteral("proxy.example.jp")));
            return;
        }
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("Kestrune.ini"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[Kestrune]\r\nTimeout=30\r\nProxyAddress=\r\nProxyPort=\r\n");
        f.close();
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions(0x6666)));
        QVERIFY(QFile::setPermissions(folder.path(), QFileDevice::Permissions(0x5555)));
        if (::geteuid() == 0) {
            const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
            if (setpriv.isEmpty())
                QSKIP("setpriv (util-linux) is needed to run as nobody");
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("KESTRUNE_INI_UNDER_TEST"), path);
            child.setProcessEnvironment(env);
            child.start(setpriv, {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                  QStringLiteral("--clear-groups"), QStringLiteral("--"),
                                  QCoreApplication::applicationFilePath(),
                                  QStringLiteral("writesInPlaceWhereTheFolderTakesNoNewFile")});
            QVERIFY(child.waitForFinished(20000));
            QVERIFY2(child.exitCode() == 0, child.readAll().constData());
        } else {
            QVERIFY(IniFile(path).write(QStringLiteral("Kestrune"), QStringLiteral("ProxyAddress"),
                                        QStringLiteral("proxy.example.jp")));
        }
        QFile::setPermissions(folder.path(), QFileDevice::Permissions(0x7777));
        QCOMPARE(
            readAll(path),
            QByteArray(
                "[Kestrune]\r\nTimeout=30\r\nProxyAddress=proxy.example.jp\r\nProxyPort=\r\n"));
        QCOMPARE(QFileInfo(path).permissions(), QFileDevice::Permissions(0x6666));
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("Kestrune.ini")});
    }

    void writeIntoMissingFolderFails()
    {
        QVERIFY(!IniFile(m_dir.filePath("no/such/dir/x.ini")).write("Kestrune", "Timeout", "1"));
    }
};

QTEST_GUILESS_MAIN(TestIniFile)
#include "tst_inifile.moc"
