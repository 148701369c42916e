// A 2.5 GiB log file (sparse on the server side) collected by
// kestrune-collect from nginx: sizes beyond 32 bits end to end.  Long: it
// writes 2.5 GiB on the local disk.  Label "long"; skipped with
// `ctest -LE long` and when the disk has less than 6 GiB free.

#include "E2eSupport.h"
#include "NginxFixture.h"

#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

using namespace kestrune;

using namespace e2e;

namespace {

const qint64 kSize = qint64(5) << 29; // 2.5 GiB
const qint64 kNeeded = qint64(6) << 30;

// Non-zero marks at the start, one across the 2 GiB boundary (where a
// signed 32-bit count turns negative), a few after it, and at the end.
const QList<qint64> kMarks =
    {0, 4093, (qint64(1) << 31) - 6, (qint64(1) << 31) + 64, (qint64(1) << 31) + 65521, kSize - 17};

QByteArray markAt(qint64 offset)
{
    return "<" + QByteArray::number(offset) + ">";
}

} // namespace

class TestE2eLarge : public QObject {
    Q_OBJECT

private slots:
    void sparseFileCollectedByteExact()
    {
        NginxFixture nginx;
        if (!nginx.start())
            QSKIP(qPrintable(nginx.errorString()));
        QTemporaryDir save;
        const qint64 free = QStorageInfo(save.path()).bytesAvailable();
        if (free < kNeeded)
            QSKIP(qPrintable(QStringLiteral("needs 6 GiB free, %1 MiB available").arg(free >> 20)));

        // The served file: holes everywhere but at the marks.
        QVERIFY(nginx.writeFile(QStringLiteral("big/u_ex_huge.log"), QByteArray()));
        {
            QFile f(nginx.path(QStringLiteral("big/u_ex_huge.log")));
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(f.resize(kSize));
            for (qint64 offset : kMarks) {
                const QByteArray mark = markAt(offset).left(int(kSize - offset));
                QVERIFY(f.seek(offset));
                QCOMPARE(f.write(mark), qint64(mark.size()));
            }
        }
        const QString fileUrl = nginx.url(QStringLiteral("/big/u_ex_huge.log"));
        nginx.writeFile(QStringLiteral("big/index.html"),
                        listingPage(QStringLiteral("/big/"),
                                    QStringLiteral("[To Parent Directory]"),
                                    {{QStringLiteral("u_ex_huge.log"),
                                      QStringLiteral("/big/u_ex_huge.log"), kSize, false}}));

        QTemporaryDir cwd;
        const CollectResult r = runCollect({nginx.url(QStringLiteral("/big/")), save.path()},
                                           cwd.path(), 1800 * 1000);
        QVERIFY(!r.crashed);
        QVERIFY2(r.exitCode == 0, r.err.constData());
        const QString local = save.filePath(QStringLiteral("u_ex_huge.log"));
        QCOMPARE(QFileInfo(local).size(), kSize);
        QCOMPARE(strayFiles(save.path(), {QStringLiteral("u_ex_huge.log")}), QStringList());
        QFile f(local);
        QVERIFY(f.open(QIODevice::ReadOnly));
        for (qint64 offset : kMarks) {
            QVERIFY(f.seek(offset));
            const QByteArray mark = markAt(offset).left(int(kSize - offset));
            QCOMPARE(f.read(mark.size()), mark);
        }
        // Zeros between the marks, at a few places on both sides of 2 GiB.
        for (qint64 offset :
             {qint64(1) << 20, (qint64(1) << 31) - 5000, (qint64(1) << 31) + 70000, kSize - 5000}) {
            QVERIFY(f.seek(offset));
            QCOMPARE(f.read(1000), QByteArray(1000, '\0'));
        }
        QCOMPARE(logMessages(cwd.filePath(QStringLiteral("Kestrune.log"))),
                 (QStringList{QStringLiteral("○ IISログダウンロード開始。\t"),
                              QStringLiteral("○ ") + fileUrl,
                              QStringLiteral("○ IISログダウンロード終了。\t") + fileUrl}));
        QVERIFY2(r.errText().contains(
                     QStringLiteral("1 downloaded, 0 unchanged, 0 failed, %1 bytes").arg(kSize)),
                 r.err.constData());

        // Unchanged on the second run: the 64-bit sizes compare equal.
        const CollectResult again = runCollect({nginx.url(QStringLiteral("/big/")), save.path()},
                                               cwd.path());
        QVERIFY2(again.exitCode == 0, again.err.constData());
        QCOMPARE(logMessages(cwd.filePath(QStringLiteral("Kestrune.log")))[1],
                 QStringLiteral("× ファイルサイズが同じ ") + fileUrl);
    }
};

QTEST_GUILESS_MAIN(TestE2eLarge)
#include "tst_e2e_large.moc"
