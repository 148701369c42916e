// Qt's own texts in Japanese, whatever the locale the tests run under.

#include "gui/layout/QtTexts.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QPushButton>
#include <QTest>

class tst_QtTexts : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        const QString catalogue =
            kestrune::uifont::QtTranslationsFolder() + QStringLiteral("/qtbase_ja.qm");
        if (!QFileInfo::exists(catalogue)) {
            if (qEnvironmentVariable("CI") == QLatin1String("true"))
                QFAIL(qPrintable(catalogue + QStringLiteral(" is missing (qt6-translations-l10n)")));
            QSKIP("Qt's Japanese translation is not installed (qt6-translations-l10n)");
        }
        // Without it, Qt's texts stay English under this locale.
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Cancel"));
        QVERIFY(kestrune::uifont::UseJapaneseQtTexts());
        QVERIFY(kestrune::uifont::UseJapaneseQtTexts()); // a second call changes nothing
    }

    void qtTextsAreJapanese_data()
    {
        QTest::addColumn<QByteArray>("context");
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QString>("japanese");
        QTest::newRow("folder chooser: look in") << QByteArray("QFileDialog")
                                                 << QByteArray("Look in:") << QStringLiteral("アドレス:");
        QTest::newRow("folder chooser: new folder") << QByteArray("QFileDialog")
                                                    << QByteArray("New Folder")
                                                    << QStringLiteral("新しいフォルダ");
        QTest::newRow("standard button: cancel") << QByteArray("QPlatformTheme")
                                                 << QByteArray("Cancel") << QStringLiteral("キャンセル");
    }

    void qtTextsAreJapanese()
    {
        QFETCH(QByteArray, context);
        QFETCH(QByteArray, source);
        QFETCH(QString, japanese);
        QCOMPARE(QCoreApplication::translate(context.constData(), source.constData()), japanese);
    }

    void standardButtonsShowJapanese()
    {
        QDialogButtonBox box(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
        QCOMPARE(box.button(QDialogButtonBox::Cancel)->text(), QStringLiteral("キャンセル"));
    }
};

QTEST_MAIN(tst_QtTexts)
#include "tst_qttexts.moc"
