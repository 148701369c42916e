// The collector window as the operator first sees it: controls, texts,
// geometry, tab order, enabled states, the hidden browser frame, the list's
// columns and the status bar; the folder chooser; closing the window.

#include "base/settings/basKestrune.h"
#include "base/listing/ListingLoader.h"
#include "base/listing/WebBrowser.h"
#include "gui/collector/basShowFolders.h"
#include "gui/collector/frmDownload.h"

#include "ImageCompare.h"
#include "RecordingUi.h"
#include "TestHttpServer.h"
#include "WindowControls.h"
#include "WindowWaits.h"

#include <QDir>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QProgressBar>
#include <QStatusBar>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QPlainTextEdit>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>

#include <memory>
#include <optional>

using namespace kestrune;

class TestCollectorWindow : public QObject {
    Q_OBJECT

    std::unique_ptr<RecordingUi> m_ui;
    std::unique_ptr<frmDownload> m_w;
    std::optional<DownloadControls> m_c; // m_w's controls

    static QRect tw(int l, int t, int w, int h)
    {
        return QRect(qRound(l / 15.0), qRound(t / 15.0), qRound(w / 15.0), qRound(h / 15.0));
    }

private slots:
    void init()
    {
        basKestrune::glngTimeout = 30000;
        m_ui = std::make_unique<RecordingUi>();
        m_w = std::make_unique<frmDownload>();
        QVERIFY(windowwaits::loadWindow(*m_w));
        m_w->show();
        m_c = DownloadControls(m_w.get());
        m_c->txtURL->setFocus();
    }

    void cleanup()
    {
        m_c.reset();
        m_w.reset();
        m_ui.reset();
    }

    void loadLeavesTheIdleFirstState()
    {
        QVERIFY(m_ui->messages.isEmpty());
        QCOMPARE(m_w->windowTitle(), QStringLiteral("Kestrune"));
        QVERIFY(!m_ui->busy);
        QCOMPARE(m_w->intRunState, qint16(0));
        QCOMPARE(m_w->intPageState(), qint16(0)); // the blank page completed
        QCOMPARE(m_w->brwBrowser()->LocationURL(), QStringLiteral("about:blank"));
        QVERIFY(!m_c->cmdButton[1]->isEnabled());
        QVERIFY(!m_c->cmdButton[2]->isEnabled());
        for (int i : {0, 3, 4, 5})
            QVERIFY(m_c->cmdButton[i]->isEnabled());
        QVERIFY(m_c->cmdLoad->isEnabled());
        QVERIFY(m_c->cmdBrowse->isEnabled());
        QCOMPARE(m_c->lstLogfiles->topLevelItemCount(), 0);
        QCOMPARE(m_w->focusWidget(), static_cast<QWidget *>(m_c->txtURL));
        QCOMPARE(m_w->tmrIE()->interval(), 30000);
        QVERIFY(!m_w->tmrIE()->isActive());
    }

    void captionsAndToolTips()
    {
        QCOMPARE(m_c->fraTarget->title(), QStringLiteral("対象"));
        QCOMPARE(m_c->lblTarget[0]->text(), QStringLiteral("IISログのURL："));
        QCOMPARE(m_c->lblTarget[1]->text(), QStringLiteral("保存先フォルダ："));
        QCOMPARE(m_c->cmdLoad->toolTip(), QStringLiteral("ログにアクセスする"));
        QCOMPARE(m_c->cmdBrowse->toolTip(), QStringLiteral("参照"));
        QCOMPARE(m_c->fraSource->title(), QStringLiteral("HTMLソース"));
        QCOMPARE(m_c->fraLogfile->title(), QStringLiteral("IIS Logファイル"));
        QCOMPARE(m_c->fraStatus->title(), QStringLiteral("ダウンロード状況"));
        QCOMPARE(m_c->lblAuction->text(), QStringLiteral("/"));
        QCOMPARE(m_c->lblLogCount->text(), QString());
        QCOMPARE(m_c->lblLogTotal->text(), QString());
        const QStringList captions = {"終了(&X)", "開始(&S)", "停止(&E)", "設定(&T)", "", ""};
        const QStringList tips = {"終了", "ログの収集",     "処理停止",
                                  "設定", "バージョン情報", "ヘルプ"};
        for (int i = 0; i < 6; ++i) {
            QCOMPARE(m_c->cmdButton[i]->text(), captions[i]);
            QCOMPARE(m_c->cmdButton[i]->toolTip(), tips[i]);
            QVERIFY(!m_c->cmdButton[i]->icon().isNull());
        }
        // Help shows the program's own question mark, not the style's help
        // icon (four arrows in some styles).
        const QImage own(QStringLiteral(":/icons/help.png"));
        QVERIFY(!own.isNull());
        const QImage help = m_c->cmdButton[5]->icon().pixmap(QSize(16, 16)).toImage();
        const QString helpDiff = imagecompare::difference(help, own);
        QVERIFY2(helpDiff.isEmpty(), qPrintable(helpDiff));
        // The comparison tells one 16-pixel icon from another, but not a
        // nearly transparent pixel as some CPUs round it from another.
        const QImage about = m_c->cmdButton[4]->icon().pixmap(QSize(16, 16)).toImage();
        QVERIFY(!imagecompare::difference(about, own).isEmpty());
        QImage roundedUp = own.convertToFormat(QImage::Format_ARGB32);
        QImage roundedDown = roundedUp;
        roundedUp.setPixel(0, 0, 0x06005580);
        roundedDown.setPixel(0, 0, 0x0600557f);
        QVERIFY(imagecompare::difference(roundedUp, roundedDown).isEmpty());
        QVERIFY(!m_c->cmdLoad->icon().isNull());
        QVERIFY(!m_c->cmdBrowse->icon().isNull());
        QCOMPARE(m_c->pgrDownload->minimum(), 0);
        QCOMPARE(m_c->pgrDownload->maximum(), 100);
    }

    void accessKeysTriggerTheButtons()
    {
        // Alt+X is the exit key: it closes the window.
        m_w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_w.get()));
        QCOMPARE(m_c->cmdButton[0]->shortcut(), QKeySequence(Qt::ALT | Qt::Key_X));
        QCOMPARE(m_c->cmdButton[1]->shortcut(), QKeySequence(Qt::ALT | Qt::Key_S));
        QCOMPARE(m_c->cmdButton[2]->shortcut(), QKeySequence(Qt::ALT | Qt::Key_E));
        QCOMPARE(m_c->cmdButton[3]->shortcut(), QKeySequence(Qt::ALT | Qt::Key_T));
        QTest::keyClick(m_w->windowHandle(), Qt::Key_X, Qt::AltModifier);
        // A mnemonic clicks after a short animation.
        QTRY_VERIFY_WITH_TIMEOUT(m_w->isUnloaded(), 30000);
    }

    void geometry()
    {
        QCOMPARE(m_w->size(), QSize(451, 489));
        QCOMPARE(m_w->minimumSize(), m_w->maximumSize());
        QVERIFY(!(m_w->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(m_w->windowFlags() & Qt::WindowMinimizeButtonHint);
        QCOMPARE(m_c->fraTarget->geometry(), tw(120, 180, 6495, 975));
        QCOMPARE(m_c->txtURL->geometry(), tw(1710, 210, 4155, 270));
        QCOMPARE(m_c->txtFolder->geometry(), tw(1710, 540, 4155, 270));
        QCOMPARE(m_c->cmdLoad->geometry(), tw(5940, 180, 345, 315));
        QCOMPARE(m_c->fraLogfile->geometry(), tw(120, 1320, 6495, 5505));
        QCOMPARE(m_c->lstLogfiles->geometry(), tw(180, 300, 6135, 4095));
        QCOMPARE(m_c->cmdButton[1]->geometry(), tw(210, 4560, 765, 765));
        QCOMPARE(m_c->cmdButton[0]->geometry(), tw(5520, 4560, 765, 765));
        QCOMPARE(m_c->cmdButton[4]->geometry(), tw(4140, 5010, 315, 315));
        QCOMPARE(m_c->fraStatus->geometry(), tw(2160, 4560, 1725, 765));
        QCOMPARE(m_c->pgrDownload->geometry(), tw(180, 450, 1365, 225));
        QCOMPARE(m_c->StatusBar1->geometry(), tw(0, 7020, 6765, 315));
        QCOMPARE(m_c->Line1[0]->width(), m_w->width());
        QCOMPARE(m_c->Line1[1]->width(), m_w->width());
        // Everything the operator sees lies inside the client area.
        for (QWidget *child : m_w->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
            if (child->isVisible())
                QVERIFY2(m_w->rect().contains(child->geometry()), qPrintable(child->objectName()));
        }
    }

    void windowIsCentredOnTheScreen()
    {
        // The outer rectangle, frame included (the offscreen frame is 2 px).
        QVERIFY(QTest::qWaitForWindowExposed(m_w.get()));
        const QRect screen = m_w->screen()->geometry();
        const QPoint offset = m_w->frameGeometry().center() - screen.center();
        QVERIFY2(qAbs(offset.x()) <= 1 && qAbs(offset.y()) <= 1,
                 qPrintable(QStringLiteral("%1,%2").arg(offset.x()).arg(offset.y())));
    }

    void loadFailureShowsWhatTheBlankPageReported_data()
    {
        QTest::addColumn<bool>("closeMeanwhile");
        QTest::addColumn<QStringList>("messages");
        QTest::newRow("replaced by a page that never answers")
            << false
            << QStringList{
                   QStringLiteral("アプリケーションエラー！\r\nタイムアウトが発生しました。")};
        QTest::newRow("window closed meanwhile: the program ends quietly") << true << QStringList{};
    }

    void loadFailureShowsWhatTheBlankPageReported()
    {
        QFETCH(bool, closeMeanwhile);
        QFETCH(QStringList, messages);
        QTcpServer silent; // takes the connection and never answers
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        m_ui->clear();
        basKestrune::glngTimeout = 200;
        frmDownload w;
        const DownloadControls c(&w);
        // Runs while the blank page loads, before it completes.
        QTimer::singleShot(0, &w, [&] {
            w.brwBrowser()->Navigate2(
                QStringLiteral("http://127.0.0.1:%1/").arg(silent.serverPort()));
            if (closeMeanwhile)
                w.close();
        });
        if (closeMeanwhile) {
            w.Form_Load();
            // The load is dropped with the window: no time-out is left to
            // report anything, and the load never ends.
            QTRY_VERIFY_WITH_TIMEOUT(w.isUnloaded(), 30000);
            QVERIFY(!w.tmrIE()->isActive());
            QVERIFY(!w.isLoaded());
        } else {
            QVERIFY(windowwaits::loadWindow(w));
        }
        basKestrune::glngTimeout = 30000;
        QVERIFY(!w.brwBrowser()->Document());
        QCOMPARE(m_ui->messageTexts(), messages);
        for (const RecordingUi::Message &m : m_ui->messages) {
            QCOMPARE(m.icon, kestrune::MsgIcon::Exclamation);
            QCOMPARE(m.title, QStringLiteral("Kestrune"));
        }
        QVERIFY(!m_ui->busy);
        QCOMPARE(c.lstLogfiles->columnCount(), 0); // the steps after the failure were skipped
    }

    void hiddenBrowserFrameIsNeverVisible()
    {
        QVERIFY(!m_c->fraSource->isVisible());
        QVERIFY(!m_c->txtSource->isVisible());
        QVERIFY(!m_c->txtHtml->isVisible());
        QVERIFY(!m_c->brwBrowserView->isVisible());
        QCOMPARE(m_c->fraSource->geometry(), tw(6960, 210, 1965, 5595));
    }

    void tabOrder()
    {
        const QList<QWidget *> expected = {m_c->txtURL,       m_c->cmdBrowse,    m_c->cmdButton[1],
                                           m_c->cmdButton[2], m_c->lstLogfiles,  m_c->txtFolder,
                                           m_c->cmdLoad,      m_c->cmdButton[0], m_c->cmdButton[3],
                                           m_c->cmdButton[5], m_c->cmdButton[4]};
        QList<QWidget *> chain;
        QWidget *w = m_c->txtURL;
        do {
            if (expected.contains(w))
                chain.append(w);
            w = w->nextInFocusChain();
        } while (w != m_c->txtURL && chain.size() < 20);
        QCOMPARE(chain, expected);
    }

    void listColumns()
    {
        QTreeWidget *list = m_c->lstLogfiles;
        QCOMPARE(list->columnCount(), 2);
        QCOMPARE(list->headerItem()->text(0), QStringLiteral("ファイル名"));
        QCOMPARE(list->headerItem()->text(1), QStringLiteral("URL"));
        const QFontMetrics fm(m_w->font());
        QCOMPARE(list->columnWidth(0),
                 fm.horizontalAdvance(QStringLiteral("ファイル名") + QString(12, ' ')));
        QCOMPARE(list->columnWidth(1),
                 fm.horizontalAdvance(QStringLiteral("URL") + QString(68, ' ')));
        QVERIFY(!list->rootIsDecorated());
        QCOMPARE(list->editTriggers(), QAbstractItemView::NoEditTriggers);
        QVERIFY(!list->header()->isHidden());
    }

    void statusPanels()
    {
        QCOMPARE(m_c->panels[0]->text(), QSysInfo::machineHostName());
        QCOMPARE(basKestrune::gstrComputerName, QSysInfo::machineHostName());
        QCOMPARE(m_c->panels[1]->text(), QString()); // "Loading..." and the name are gone
        const QLocale locale = QLocale::system();
        QCOMPARE(m_c->panels[2]->text(),
                 locale.toString(QDate::currentDate(), QLocale::ShortFormat));
        // The clock panel follows the time.
        QTRY_COMPARE_WITH_TIMEOUT(m_c->panels[3]->text(),
                                  locale.toString(QTime::currentTime(), QLocale::ShortFormat),
                                  30000);
        // Panel 2 takes the width the others leave.
        QVERIFY(m_c->panels[1]->width() > m_c->panels[0]->width());
        QCOMPARE(m_c->panels[2]->width(), 80);
        QCOMPARE(m_c->panels[3]->width(), 40);
    }

    void timerIntervalIsClampedToWhatItCanTake()
    {
        frmDownload w;
        basKestrune::glngTimeout = -5000;
        QVERIFY(windowwaits::loadWindow(w));
        QCOMPARE(w.tmrIE()->interval(), 0);
        QVERIFY(m_ui->messages.isEmpty()); // the blank page still loads
        basKestrune::glngTimeout = 30000;
    }

    // A listing of tens of thousands of files fills the whole list, in
    // order, however it is sliced; a small page's markup and text go into
    // the hidden text boxes at once, a large one's when their frame shows.
    void listingFillsTheList_data()
    {
        QTest::addColumn<int>("count");
        QTest::newRow("small page") << 3;
        QTest::newRow("large page") << 60000;
    }

    void listingFillsTheList()
    {
        QFETCH(int, count);
        TestHttpServer server;
        QVERIFY(server.listen());
        QByteArray html =
            "<html><head><title>127.0.0.1 - /logs/</title></head><body><pre>"
            "<A HREF=\"/\">[To Parent Directory]</A><br><br>";
        for (int i = 0; i < count; ++i) {
            const QByteArray name = "u_ex" + QByteArray::number(i).rightJustified(6, '0') + ".log";
            html += " 12/7/2026  9:15 AM        12345 <A HREF=\"/logs/" + name + "\">" + name
                    + "</A><br>";
        }
        html += "</pre></body></html>";
        TestResponse page;
        page.contentType = "text/html";
        page.body = html;
        server.setRoute(QStringLiteral("/logs/"), page);

        m_c->txtURL->setText(server.url(QStringLiteral("/logs/")));
        QSignalSpy loaded(m_w.get(), &frmDownload::listingLoaded);
        QVERIFY(windowwaits::loadListing(*m_w, 60000));
        QCOMPARE(loaded.size(), 1);
        QCOMPARE(m_c->lstLogfiles->topLevelItemCount(), count);
        QCOMPARE(m_c->lblLogTotal->text(), QString::number(count));
        QCOMPARE(m_w->rows().size(), count);
        for (int i = 0; i < count; ++i) {
            const QString name = QStringLiteral("u_ex%1.log").arg(i, 6, 10, QLatin1Char('0'));
            const QTreeWidgetItem *item = m_c->lstLogfiles->topLevelItem(i);
            if (item->text(0) != name
                || item->text(1) != server.url(QStringLiteral("/logs/")) + name)
                QFAIL(qPrintable(
                    QStringLiteral("row %1: %2 %3").arg(i).arg(item->text(0), item->text(1))));
        }
        QVERIFY(m_c->cmdButton[1]->isEnabled());

        const bool large = count > 1000;
        QCOMPARE(m_c->txtHtml->toPlainText().isEmpty(), large);
        QCOMPARE(m_c->txtSource->toPlainText().isEmpty(), large);
        m_c->fraSource->setVisible(true); // what no operator ever sees
        QVERIFY(m_c->txtHtml->toPlainText().contains(u"<a href=\"/logs/u_ex000000.log\">"));
        QVERIFY(m_c->txtSource->toPlainText().contains(u"[To Parent Directory]"));
        m_c->fraSource->setVisible(false);
    }

    void folderChooser_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("answer"); // null: cancelled
        QTest::addColumn<QString>("expected");
        QTest::newRow("cancel keeps a half-typed text")
            << "/tmp/half ty" << QString() << "/tmp/half ty";
        QTest::newRow("folder without trailing separator") << ""
                                                           << "/var/log/"
                                                           << "/var/log";
        QTest::newRow("root keeps its separator") << "/tmp"
                                                  << "/"
                                                  << "/";
        QTest::newRow("cleaned") << ""
                                 << "/var/./log//iis"
                                 << "/var/log/iis";
    }

    void folderChooser()
    {
        QFETCH(QString, typed);
        QFETCH(QString, answer);
        QFETCH(QString, expected);
        m_c->txtFolder->setText(typed);
        m_ui->folderAnswers = QStringList{answer};
        m_c->cmdBrowse->click();
        QCOMPARE(m_ui->folderRequests.size(), 1);
        QCOMPARE(m_ui->folderRequests[0].title, QStringLiteral("フォルダを指定してください"));
        QCOMPARE(m_ui->folderRequests[0].startFolder, typed);
        QCOMPARE(m_c->txtFolder->text(), QDir::toNativeSeparators(expected));
    }

    void closingUnloads()
    {
        m_w->close();
        QVERIFY(m_w->isUnloaded());
        QVERIFY(!m_w->isVisible());
        QCOMPARE(m_ui->helpQuits, 1);
    }

    void helpCommandOpensTheHelpFile()
    {
        basKestrune::gstrHelpFile = QStringLiteral("/opt/kestrune/Kestrune.hlp");
        m_c->cmdButton[5]->click();
        QCOMPARE(m_ui->helpShown.size(), 1);
        QCOMPARE(m_ui->helpShown[0].helpFile, QStringLiteral("/opt/kestrune/Kestrune.hlp"));
        QVERIFY(!m_ui->busy);
        basKestrune::gstrHelpFile = QStringLiteral("Kestrune.hlp");
    }
};

QTEST_MAIN(TestCollectorWindow)
#include "tst_collectorwindow.moc"
