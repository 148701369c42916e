// The files the program writes itself (the settings file, the run log) are in
// the character set of the locale it runs under.  Each case starts this test
// again as a child under a locale of its own; the child writes both files with
// the program's own classes and reads the setting back, the parent checks the
// bytes.

#include "base/settings/IniFile.h"
#include "base/settings/TextCodec.h"
#include "base/collection/RunLog.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <clocale>

using namespace kestrune;

using kestrune::IniFile;
using kestrune::RunLog;
using kestrune::TextCodec;

namespace {

constexpr char kChildDirVariable[] = "KESTRUNE_CODEPAGE_CHILD_DIR";
const QString kProxy = QStringLiteral("代理.例え.jp");
const QString kLine = QStringLiteral("○ IISログダウンロード開始。");

// The child: writes ProxyAddress and one run-log line into dir with the
// system code page and prints the value read back, in UTF-8.
int writeFilesAsChild(const QDir &dir)
{
    const IniFile ini(dir.filePath(QStringLiteral("Kestrune.ini")));
    if (!ini.write(QStringLiteral("Kestrune"), QStringLiteral("ProxyAddress"), kProxy))
        return 3;
    RunLog log;
    const qint16 no = log.open(dir.filePath(QStringLiteral("Kestrune.log")));
    if (!log.isOpen())
        return 4;
    log.write(no, kLine);
    log.close();
    QFile out;
    if (!out.open(stdout, QIODevice::WriteOnly))
        return 5;
    out.write(ini.read(QStringLiteral("Kestrune"), QStringLiteral("ProxyAddress")).toUtf8());
    return 0;
}

bool localeExists(const QByteArray &name)
{
    locale_t locale = newlocale(LC_ALL_MASK, name.constData(), locale_t(nullptr));
    if (!locale)
        return false;
    freelocale(locale);
    return true;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestCodePage : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void filesFollowTheLocale_data()
    {
        QTest::addColumn<QByteArray>("locale");
        QTest::addColumn<QByteArray>("charset"); // of both files
        QTest::newRow("EUC-JP locale") << QByteArray("ja_JP.EUC-JP") << QByteArray("EUC-JP");
        QTest::newRow("UTF-8 locale") << QByteArray("C.UTF-8") << QByteArray("UTF-8");
        // ASCII cannot hold a Japanese line: the C locale gets UTF-8.
        QTest::newRow("C locale") << QByteArray("C") << QByteArray("UTF-8");
    }

    void filesFollowTheLocale()
    {
        QFETCH(QByteArray, locale);
        QFETCH(QByteArray, charset);
        if (!localeExists(locale))
            QSKIP(qPrintable(
                QStringLiteral("the locale %1 is not installed (scripts/test generates it "
                               "with kestrune_ensure_locale)")
                    .arg(QString::fromLatin1(locale))));
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LC_ALL"), QString::fromLatin1(locale));
        env.insert(QString::fromLatin1(kChildDirVariable), dir.path());
        QProcess child;
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), QStringList());
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);

        const TextCodec codec(charset);
        QCOMPARE(codec.name(), charset);
        const QByteArray ini = readAll(dir.filePath(QStringLiteral("Kestrune.ini")));
        QVERIFY2(ini.contains(codec.encode(QStringLiteral("ProxyAddress=") + kProxy
                                           + QStringLiteral("\r\n"))),
                 ini.toHex(' ').constData());
        const QByteArray log = readAll(dir.filePath(QStringLiteral("Kestrune.log")));
        QVERIFY2(log.contains(codec.encode(QStringLiteral("秒に起動\r\n"))),
                 log.toHex(' ').constData());
        QVERIFY2(log.contains(codec.encode(kLine + QStringLiteral("\r\n"))),
                 log.toHex(' ').constData());
        QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()), kProxy);
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString childDir = qEnvironmentVariable(kChildDirVariable);
    if (!childDir.isEmpty())
        return writeFilesAsChild(QDir(childDir));
    TestCodePage test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_codepage.moc"
