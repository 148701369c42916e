// The version dialog: its texts, the memory figure, the system-information
// launch and the web address.

#include "ImageCompare.h"
#include "LabelChecks.h"
#include "RecordingUi.h"
#include "WindowControls.h"

#include "base/settings/AppInfo.h"
#include "base/settings/basKestrune.h"
#include "gui/dialogs/frmAbout.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace kestrune;

using kestrune::MsgIcon;

namespace {

const QString kNoSystemInformation = QStringLiteral("現時点ではｼｽﾃﾑ情報を使用できません");

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// An executable (or, with executable false, a plain) file in folder.
void makeProgram(const QString &folder, const QString &name, bool executable = true)
{
    QFile f(folder + QLatin1Char('/') + name);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("#!/bin/sh\nexit 0\n");
    f.close();
    QFileDevice::Permissions perms = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    if (executable)
        perms |= QFileDevice::ExeOwner;
    QVERIFY(f.setPermissions(perms));
}

} // namespace

class tst_frmAbout : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<RecordingUi> m_ui;

private Q_SLOTS:
    // The manual's copy for the browser goes to a test cache folder.
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void cleanupTestCase()
    {
        QDir(QStandardPaths::writableLocation(QStandardPaths::CacheLocation)).removeRecursively();
    }
    void init() { m_ui = std::make_unique<RecordingUi>(); }
    void cleanup()
    {
        m_ui.reset();
        basKestrune::gstrHelpFile = QStringLiteral("Kestrune.hlp");
    }

    void texts()
    {
        frmAbout dlg;
        const AboutControls c(&dlg);
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Kestrune") + QStringLiteral("のﾊﾞｰｼﾞｮﾝ情報"));
        QCOMPARE(c.lblTitle->text(), QStringLiteral("Kestrune"));
        QCOMPARE(c.lblVersion->text(), QStringLiteral("Version 1.0.0"));
        QCOMPARE(c.lblCopyright->text(), kestrune::copyrightText());
        QVERIFY(!c.lblCopyright->text().isEmpty());
        QCOMPARE(c.cmdOK->text(), QStringLiteral("OK"));
        QCOMPARE(c.cmdSysInfo->text(), QStringLiteral("ｼｽﾃﾑ情報(&S)..."));
        QVERIFY(!c.picIcon->pixmap().isNull());
        // The load shows the hourglass and ends with the normal pointer.
        QCOMPARE(m_ui->pointerChanges, QList<bool>({true, false}));
    }

    void memoryLine()
    {
        frmAbout dlg;
        const AboutControls c(&dlg);
        const QString prefix = QStringLiteral("Windowsが使用できる物理ﾒﾓﾘ: ");
        const QString suffix = QStringLiteral(" KB");
        const QString line = c.lblDisclaimer->text();
        QVERIFY2(line.startsWith(prefix) && line.endsWith(suffix), qPrintable(line));
        const QString figure = line.mid(prefix.size(), line.size() - prefix.size() - suffix.size());
        QCOMPARE(figure, frmAbout::GetPhysicalMemoryText());

        const QString separator = QLocale().groupSeparator();
        QString digits = figure;
        digits.remove(separator);
        bool ok = false;
        const quint64 kb = digits.toULongLong(&ok);
        QVERIFY2(ok, qPrintable(figure));
        QCOMPARE(kb, kestrune::TotalPhysicalMemoryKB());

#ifdef Q_OS_LINUX
        // The kernel's own figure, in 64 bits whatever the size.
        QFile meminfo(QStringLiteral("/proc/meminfo"));
        QVERIFY(meminfo.open(QIODevice::ReadOnly));
        const QRegularExpression total(QStringLiteral("^MemTotal:\\s+(\\d+) kB"),
                                       QRegularExpression::MultilineOption);
        const auto match = total.match(QString::fromLatin1(meminfo.readAll()));
        QVERIFY(match.hasMatch());
        QCOMPARE(kestrune::TotalPhysicalMemoryKB(), match.captured(1).toULongLong());
#endif
    }

    void formatMemory_data()
    {
        QTest::addColumn<quint64>("kilobytes");
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QString>("text");

        const QLocale japanese(QLocale::Japanese, QLocale::Japan);
        const QLocale english(QLocale::English, QLocale::UnitedStates);
        const QLocale german(QLocale::German, QLocale::Germany);
        QTest::newRow("1 GiB, Japanese") << quint64(1048576) << japanese << "1,048,576";
        QTest::newRow("1 GiB, English") << quint64(1048576) << english << "1,048,576";
        QTest::newRow("1 GiB, C") << quint64(1048576) << QLocale::c() << "1,048,576";
        QTest::newRow("1 GiB, German") << quint64(1048576) << german << "1.048.576";
        QTest::newRow("zero is empty") << quint64(0) << japanese << "";
        QTest::newRow("one") << quint64(1) << japanese << "1";
        QTest::newRow("999") << quint64(999) << japanese << "999";
        QTest::newRow("1000") << quint64(1000) << japanese << "1,000";
        QTest::newRow("123456") << quint64(123456) << japanese << "123,456";
        QTest::newRow("16 GiB (beyond 32 bits in bytes)")
            << quint64(16777216) << japanese << "16,777,216";
        QTest::newRow("4 TiB, more than nine digits")
            << quint64(4294967296) << japanese << "4,294,967,296";
    }

    void formatMemory()
    {
        QFETCH(quint64, kilobytes);
        QFETCH(QLocale, locale);
        QFETCH(QString, text);
        QCOMPARE(kestrune::FormatMemoryKB(kilobytes, locale), text);
    }

    void layout()
    {
        frmAbout dlg;
        const AboutControls c(&dlg);
        QCOMPARE(dlg.size(), QSize(410, 229));
        QCOMPARE(dlg.minimumSize(), dlg.maximumSize());
        QVERIFY(!(dlg.windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(dlg.windowFlags() & Qt::WindowMaximizeButtonHint));

        QCOMPARE(c.picIcon->geometry(), QRect(20, 16, 32, 32));
        const struct {
            QLabel *label;
            QRect designed;
        } labels[] = {{c.lblTitle, QRect(68, 16, 321, 13)},
                      {c.lblVersion, QRect(68, 32, 321, 13)},
                      {c.lblCopyright, QRect(68, 48, 321, 13)},
                      {c.lblURL, QRect(76, 120, 22, 12)}};
        for (const auto &l : labels) {
            const QString problem = dialogtest::placeProblem(l.label, l.designed);
            QVERIFY2(problem.isEmpty(),
                     qPrintable(l.label->objectName() + QLatin1String(": ") + problem));
        }
        QCOMPARE(c.lblDisclaimer->geometry(), QRect(68, 160, 218, 52));
        QCOMPARE(c.cmdOK->geometry(), QRect(300, 160, 92, 23));
        QCOMPARE(c.cmdSysInfo->geometry(), QRect(300, 188, 92, 23));
        QCOMPARE(c.Line1[1]->geometry(), QRect(68, 151, 320, 1));
        QCOMPARE(c.Line1[0]->geometry(), QRect(68, 152, 320, 2));
        for (const char *name : {"picIcon", "lblTitle", "lblVersion", "lblCopyright", "lblURL",
                                 "lblDisclaimer", "cmdOK", "cmdSysInfo"})
            QVERIFY2(dlg.findChild<QWidget *>(QLatin1String(name)) != nullptr, name);

        // The address: wide enough for the whole text, inside the dialog,
        // and styled as a link.
        QVERIFY(c.lblURL->width()
                >= QFontMetrics(c.lblURL->font()).horizontalAdvance(c.lblURL->text()));
        QVERIFY(c.lblURL->geometry().right() < dlg.width());
        QVERIFY(c.lblURL->font().underline());
        QCOMPARE(c.lblURL->font().pointSize(), 9);
        QCOMPARE(c.lblURL->palette().color(QPalette::WindowText), QColor(0, 0, 255));
        QCOMPARE(c.lblURL->cursor().shape(), Qt::PointingHandCursor);
    }

    void everyTextShowsWhole_data()
    {
        QTest::addColumn<QString>("family");
        QTest::newRow("application font") << QString();
        QTest::newRow("Noto Sans CJK JP") << QStringLiteral("Noto Sans CJK JP");
    }

    void everyTextShowsWhole()
    {
        QFETCH(QString, family);
        const QFont before = QApplication::font();
        if (!family.isEmpty())
            QApplication::setFont(QFont(family, 9));
        frmAbout dlg;
        const AboutControls c(&dlg);
        QApplication::setFont(before);
        for (QLabel *label : dlg.findChildren<QLabel *>()) {
            if (label == c.picIcon)
                continue;
            const QString problem = dialogtest::clipProblem(label);
            QVERIFY2(problem.isEmpty(),
                     qPrintable(label->objectName() + QLatin1String(": ") + problem));
            QVERIFY(dlg.rect().contains(label->geometry()));
        }
    }

    void shownCentredWithTheEtchedRule()
    {
        frmAbout dlg;
        const AboutControls c(&dlg);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        const QRect screen = dlg.screen()->geometry();
        const QPoint offset = dlg.frameGeometry().center() - screen.center();
        QVERIFY2(qAbs(offset.x()) <= 1 && qAbs(offset.y()) <= 1,
                 qPrintable(QStringLiteral("%1,%2").arg(offset.x()).arg(offset.y())));
        QCOMPARE(QApplication::focusWidget(), c.cmdOK);
        QTest::keyClick(c.cmdOK, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), c.cmdSysInfo);

        const QImage image = dlg.grab().toImage();
        const struct {
            int y;
            QColor colour;
        } rule[] = {{151, QColor(128, 128, 128)}, {152, Qt::white}, {153, Qt::white}};
        for (const auto &row : rule) {
            const QString diff = imagecompare::colourDifference(image.pixelColor(200, row.y),
                                                                row.colour);
            QVERIFY2(diff.isEmpty(), qPrintable(QStringLiteral("row %1: ").arg(row.y) + diff));
        }
    }

    void okCloses()
    {
        frmAbout dlg;
        const AboutControls c(&dlg);
        dlg.show();
        QTest::mouseClick(c.cmdOK, Qt::LeftButton);
        QVERIFY(!dlg.isVisible());
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QVERIFY(m_ui->messages.isEmpty());
    }

    void systemInformationStartsFirstFound()
    {
        QTemporaryDir dir;
        makeProgram(dir.path(), QStringLiteral("second-tool"));
        makeProgram(dir.path(), QStringLiteral("first-tool"));
        makeProgram(dir.path(), QStringLiteral("not-executable"), false);

        frmAbout dlg;
        const AboutControls c(&dlg);
        dlg.setSystemInfoLookup({{QStringLiteral("absent-tool"), QStringLiteral("not-executable"),
                                  QStringLiteral("first-tool"), QStringLiteral("second-tool")},
                                 {dir.path()}});
        dlg.show();
        QTest::mouseClick(c.cmdSysInfo, Qt::LeftButton);

        QCOMPARE(m_ui->launches.size(), 1);
        QCOMPARE(m_ui->launches[0].program, dir.filePath(QStringLiteral("first-tool")));
        QVERIFY(m_ui->launches[0].arguments.isEmpty());
        QVERIFY(m_ui->messages.isEmpty());
        QVERIFY(dlg.isVisible()); // the dialog does not wait and stays open
    }

    void systemInformationUnavailable_data()
    {
        QTest::addColumn<QStringList>("candidates");
        QTest::addColumn<bool>("startFails");
        QTest::addColumn<int>("launches");
        QTest::newRow("none found") << QStringList{"absent-tool", "not-executable"} << false << 0;
        QTest::newRow("no candidates") << QStringList{} << false << 0;
        QTest::newRow("start fails") << QStringList{"absent-tool", "first-tool"} << true << 1;
    }

    void systemInformationUnavailable()
    {
        QFETCH(QStringList, candidates);
        QFETCH(bool, startFails);
        QFETCH(int, launches);
        QTemporaryDir dir;
        makeProgram(dir.path(), QStringLiteral("first-tool"));
        makeProgram(dir.path(), QStringLiteral("not-executable"), false);
        m_ui->failStartDetached = startFails;

        frmAbout dlg;
        const AboutControls c(&dlg);
        dlg.setSystemInfoLookup({candidates, {dir.path()}});
        dlg.show();
        QTest::mouseClick(c.cmdSysInfo, Qt::LeftButton);

        QCOMPARE(m_ui->launches.size(), launches);
        QCOMPARE(m_ui->messages.size(), 1);
        QCOMPARE(m_ui->messages[0].text, kNoSystemInformation);
        QCOMPARE(m_ui->messages[0].icon, MsgIcon::None);
        QCOMPARE(m_ui->messages[0].title, QStringLiteral("Kestrune"));
        QCOMPARE(m_ui->messages[0].parent.data(), static_cast<QWidget *>(&dlg));
        QVERIFY(dlg.isVisible());
    }

    void defaultLookupSearchesThePath()
    {
        QTemporaryDir dir;
        makeProgram(dir.path(), QStringLiteral("hardinfo"));
        const QByteArray oldPath = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(dir.path()));
        const QString found = kestrune::FindSystemInformationProgram(
            kestrune::SystemInfoLookup::defaults());
        qputenv("PATH", oldPath);
        QCOMPARE(found, dir.filePath(QStringLiteral("hardinfo")));
    }

    void webAddress_data()
    {
        QTest::addColumn<QString>("homePage");
        QTest::addColumn<QString>("manual"); // relative to the current folder
        QTest::addColumn<bool>("present");
        QTest::addColumn<bool>("copied"); // opened as an .html copy
        QTest::newRow("home page of the build") << "https://www.example.jp/kestrune/"
                                                << "Kestrune.hlp" << true << false;
        QTest::newRow("manual beside the program") << ""
                                                   << "Kestrune.hlp" << true << true;
        QTest::newRow("folder with a space and kana")
            << ""
            << "キ ストルーン/Kestrune.hlp" << true << true;
        QTest::newRow("an .html manual opens as it is") << ""
                                                        << "manual.HTML" << true << false;
        QTest::newRow("missing manual: as it is, fails silently")
            << ""
            << "Kestrune.hlp" << false << false;
    }

    void webAddress()
    {
        QFETCH(QString, homePage);
        QFETCH(QString, manual);
        QFETCH(bool, present);
        QFETCH(bool, copied);
        QTemporaryDir dir;
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        const QString absolute = QDir::current().absoluteFilePath(manual);
        if (present) {
            QVERIFY(QDir().mkpath(QFileInfo(absolute).path()));
            QFile f(absolute);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("<html><body>マニュアル</body></html>");
        }

        const QUrl address = kestrune::AboutAddress(homePage, manual);
        QDir::setCurrent(before);
        if (homePage.isEmpty())
            QCOMPARE(address, QUrl::fromLocalFile(absolute));
        else
            QCOMPARE(address, QUrl(homePage));

        const QString cache = dir.filePath(QStringLiteral("cache"));
        const QUrl opened = kestrune::BrowserAddress(address, cache);
        if (!copied) {
            QCOMPARE(opened, address);
            return;
        }
        QVERIFY(opened.isLocalFile());
        const QFileInfo copy(opened.toLocalFile());
        QCOMPARE(copy.absolutePath(), cache);
        QCOMPARE(copy.suffix(), QStringLiteral("html"));
        QCOMPARE(readAll(copy.filePath()), readAll(absolute));
        // An edited manual replaces the copy at the next opening.
        QVERIFY(QFile::resize(absolute, 6));
        QCOMPARE(kestrune::BrowserAddress(address, cache), opened);
        QCOMPARE(readAll(copy.filePath()), QByteArray("<html>"));
    }

    void urlOpensThroughTheDesktop_data()
    {
        QTest::addColumn<bool>("openFails");
        QTest::addColumn<int>("depth"); // folders between the temporary folder and the manual
        QTest::newRow("opened") << false << 0;
        QTest::newRow("failure passes silently") << true << 0;
        QTest::newRow("address longer than the dialog") << false << 12;
    }

    void urlOpensThroughTheDesktop()
    {
        QFETCH(bool, openFails);
        QFETCH(int, depth);
        m_ui->failOpenUrl = openFails;
        QTemporaryDir dir;
        QString folder = dir.path();
        for (int i = 0; i < depth; ++i)
            folder += QStringLiteral("/folder%1").arg(i);
        QVERIFY(QDir().mkpath(folder));
        basKestrune::gstrHelpFile = folder + QStringLiteral("/Kestrune.hlp");
        QFile manual(basKestrune::gstrHelpFile);
        QVERIFY(manual.open(QIODevice::WriteOnly));
        manual.write("<html><body>help</body></html>");
        manual.close();

        frmAbout dlg;
        const AboutControls c(&dlg);
        dlg.show();
        const QUrl expected = kestrune::BuildHomePage().isEmpty()
                                  ? QUrl::fromLocalFile(basKestrune::gstrHelpFile)
                                  : QUrl(kestrune::BuildHomePage());
        QCOMPARE(dlg.webAddress(), expected);
        // Shown whole, or too long for the dialog: both ends, the whole in
        // the tool tip.
        const QString shown = expected.toDisplayString();
        const QString text = c.lblURL->text();
        QVERIFY2(dialogtest::clipProblem(c.lblURL).isEmpty(), qPrintable(text));
        QVERIFY(dlg.rect().contains(c.lblURL->geometry()));
        if (text != shown) {
            const QStringList ends = text.split(QChar(0x2026));
            QVERIFY2(depth > 0 && ends.size() == 2 && shown.startsWith(ends[0])
                         && shown.endsWith(ends[1])
                         && ends[1].endsWith(QStringLiteral("Kestrune.hlp")),
                     qPrintable(text));
            QCOMPARE(c.lblURL->toolTip(), shown);
        }

        QTest::mouseClick(c.lblURL, Qt::LeftButton, {}, QPoint(5, c.lblURL->height() / 2));
        QCOMPARE(m_ui->openedUrls.size(), 1);
        if (kestrune::BuildHomePage().isEmpty())
            QCOMPARE(readAll(m_ui->openedUrls[0].toLocalFile()),
                     readAll(basKestrune::gstrHelpFile));
        else
            QCOMPARE(m_ui->openedUrls[0], expected);
        QVERIFY(m_ui->messages.isEmpty());
        QVERIFY(dlg.isVisible());

        // Other buttons and clicks elsewhere open nothing.
        QTest::mouseClick(c.lblURL, Qt::RightButton, {}, QPoint(5, 5));
        QTest::mouseClick(c.lblTitle, Qt::LeftButton);
        QCOMPARE(m_ui->openedUrls.size(), 1);
    }
};

QTEST_MAIN(tst_frmAbout)
#include "tst_frmAbout.moc"
