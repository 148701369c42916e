// The collector window as the operator first sees it: controls, texts,
// geometry, tab order, enabled states, the hidden browser frame, the list's
// columns and the status bar; the folder chooser; closing the window.

#include "base/settings/basKestrune.h"
#include "base/listing/ListingLoader.h"
#include "base/listing/WebBrowser.h"
#include "gui/collector/basShowFolders.h"
#include "gui/collector/frmDownload.h"

#include "RecordingUi.h"

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

using namespace kestrune;

class TestCollectorWindow : public QObject {
    Q_OBJECT

    std::unique_ptr<RecordingUi> m_ui;
    std::unique_ptr<frmDownload> m_w;

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
        m_w->Form_Load();
        m_w->show();
        m_w->txtURL->setFocus();
    }

    void cleanup()
    {
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
        QVERIFY(!m_w->cmdButton[1]->isEnabled());
        QVERIFY(!m_w->cmdButton[2]->isEnabled());
        for (int i : {0, 3, 4, 5})
            QVERIFY(m_w->cmdButton[i]->isEnabled());
        QVERIFY(m_w->cmdLoad->isEnabled());
        QVERIFY(m_w->cmdBrowse->isEnabled());
        QCOMPARE(m_w->lstLogfiles->topLevelItemCount(), 0);
        QCOMPARE(m_w->focusWidget(), static_cast<QWidget *>(m_w->txtURL));
        QCOMPARE(m_w->tmrIE()->interval(), 30000);
        QVERIFY(!m_w->tmrIE()->isActive());
    }

    void captionsAndToolTips()
    {
        QCOMPARE(m_w->fraTarget->title(), QStringLiteral("対象"));
        QCOMPARE(m_w->lblTarget[0]->text(), QStringLiteral("IISログのURL："));
        QCOMPARE(m_w->lblTarget[1]->text(), QStringLiteral("保存先フォルダ："));
        QCOMPARE(m_w->cmdLoad->toolTip(), QStringLiteral("ログにアクセスする"));
        QCOMPARE(m_w->cmdBrowse->toolTip(), QStringLiteral("参照"));
        QCOMPARE(m_w->fraSource->title(), QStringLiteral("HTMLソース"));
        QCOMPARE(m_w->fraLogfile->title(), QStringLiteral("IIS Logファイル"));
        QCOMPARE(m_w->fraStatus->title(), QStringLiteral("ダウンロード状況"));
        QCOMPARE(m_w->lblAuction->text(), QStringLiteral("/"));
        QCOMPARE(m_w->lblLogCount->text(), QString());
        QCOMPARE(m_w->lblLogTotal->text(), QString());
        const QStringList captions = {"終了(&X)", "開始(&S)", "停止(&E)", "設定(&T)", "", ""};
        const QStringList tips = {"終了", "ログの収集", "処理停止", "設定", "バージョン情報", "ヘルプ"};
        for (int i = 0; i < 6; ++i) {
            QCOMPARE(m_w->cmdButton[i]->text(), captions[i]);
            QCOMPARE(m_w->cmdButton[i]->toolTip(), tips[i]);
            QVERIFY(!m_w->cmdButton[i]->icon().isNull());
        }
        // Help shows the program's own question mark, not the style's help
        // icon (four arrows in some styles).
        const QImage help = m_w->cmdButton[5]->icon().pixmap(QSize(16, 16)).toImage();
        QCOMPARE(help.convertToFormat(QImage::Format_ARGB32),
                 QImage(QStringLiteral(":/icons/help.png")).convertToFormat(QImage::Format_ARGB32));
        QVERIFY(!m_w->cmdLoad->icon().isNull());
        QVERIFY(!m_w->cmdBrowse->icon().isNull());
        QCOMPARE(m_w->pgrDownload->minimum(), 0);
        QCOMPARE(m_w->pgrDownload->maximum(), 100);
    }

    void accessKeysTriggerTheButtons()
    {
        // Alt+X is the exit key: it closes the window.
        m_w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_w.get()));
        QCOMPARE(m_w->cmdButton[0]->shortcut(), QKeySequence(Qt::ALT | Qt::Key_X));
        QCOMPARE(m_w->cmdButton[1]->shortcut(), QKeySequence(Qt::ALT | Qt::Key_S));
        QCOMPARE(m_w->cmdButton[2]->shortcut(), QKeySequence(Qt::ALT | Qt::Key_E));
        QCOMPARE(m_w->cmdButton[3]->shortcut(), QKeySequence(Qt::ALT | Qt::Key_T));
        QTest::keyClick(m_w->windowHandle(), Qt::Key_X, Qt::AltModifier);
        QTRY_VERIFY(m_w->isUnloaded()); // a mnemonic clicks after a short animation
    }

    void geometry()
    {
        QCOMPARE(m_w->size(), QSize(451, 489));
        QCOMPARE(m_w->minimumSize(), m_w->maximumSize());
        QVERIFY(!(m_w->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(m_w->windowFlags() & Qt::WindowMinimizeButtonHint);
        QCOMPARE(m_w->fraTarget->geometry(), tw(120, 180, 6495, 975));
        QCOMPARE(m_w->txtURL->geometry(), tw(1710, 210, 4155, 270));
        QCOMPARE(m_w->txtFolder->geometry(), tw(1710, 540, 4155, 270));
        QCOMPARE(m_w->cmdLoad->geometry(), tw(5940, 180, 345, 315));
        QCOMPARE(m_w->fraLogfile->geometry(), tw(120, 1320, 6495, 5505));
        QCOMPARE(m_w->lstLogfiles->geometry(), tw(180, 300, 6135, 4095));
        QCOMPARE(m_w->cmdButton[1]->geometry(), tw(210, 4560, 765, 765));
        QCOMPARE(m_w->cmdButton[0]->geometry(), tw(5520, 4560, 765, 765));
        QCOMPARE(m_w->cmdButton[4]->geometry(), tw(4140, 5010, 315, 315));
        QCOMPARE(m_w->fraStatus->geometry(), tw(2160, 4560, 1725, 765));
        QCOMPARE(m_w->pgrDownload->geometry(), tw(180, 450, 1365, 225));
        QCOMPARE(m_w->StatusBar1->geometry(), tw(0, 7020, 6765, 315));
        QCOMPARE(m_w->Line1[0]->width(), m_w->width());
        QCOMPARE(m_w->Line1[1]->width(), m_w->width());
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
            << false << QStringList{QStringLiteral("アプリケーションエラー！\r\nタイムアウトが発生しました。")};
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
        // Runs inside the wait for the blank page, before it completes.
        QTimer::singleShot(0, &w, [&] {
            w.brwBrowser()->Navigate2(QStringLiteral("http://127.0.0.1:%1/").arg(silent.serverPort()));
            if (closeMeanwhile)
                w.close();
        });
        w.Form_Load();
        basKestrune::glngTimeout = 30000;
        QVERIFY(!w.brwBrowser()->Document());
        QCOMPARE(m_ui->messageTexts(), messages);
        for (const RecordingUi::Message &m : m_ui->messages) {
            QCOMPARE(m.icon, kestrune::MsgIcon::Exclamation);
            QCOMPARE(m.title, QStringLiteral("Kestrune"));
        }
        QVERIFY(!m_ui->busy);
        QCOMPARE(w.lstLogfiles->columnCount(), 0); // the steps after the failure were skipped
    }

    void hiddenBrowserFrameIsNeverVisible()
    {
        QVERIFY(!m_w->fraSource->isVisible());
        QVERIFY(!m_w->txtSource->isVisible());
        QVERIFY(!m_w->txtHtml->isVisible());
        QVERIFY(!m_w->brwBrowserView->isVisible());
        QCOMPARE(m_w->fraSource->geometry(), tw(6960, 210, 1965, 5595));
    }

    void tabOrder()
    {
        const QList<QWidget *> expected = {m_w->txtURL, m_w->cmdBrowse, m_w->cmdButton[1],
                                           m_w->cmdButton[2], m_w->lstLogfiles, m_w->txtFolder,
                                           m_w->cmdLoad, m_w->cmdButton[0], m_w->cmdButton[3],
                                           m_w->cmdButton[5], m_w->cmdButton[4]};
        QList<QWidget *> chain;
        QWidget *w = m_w->txtURL;
        do {
            if (expected.contains(w))
                chain.append(w);
            w = w->nextInFocusChain();
        } while (w != m_w->txtURL && chain.size() < 20);
        QCOMPARE(chain, expected);
    }

    void listColumns()
    {
        QTreeWidget *list = m_w->lstLogfiles;
        QCOMPARE(list->columnCount(), 2);
        QCOMPARE(list->headerItem()->text(0), QStringLiteral("ファイル名"));
        QCOMPARE(list->headerItem()->text(1), QStringLiteral("URL"));
        const QFontMetrics fm(m_w->font());
        QCOMPARE(list->columnWidth(0), fm.horizontalAdvance(QStringLiteral("ファイル名") + QString(12, ' ')));
        QCOMPARE(list->columnWidth(1), fm.horizontalAdvance(QStringLiteral("URL") + QString(68, ' ')));
        QVERIFY(!list->rootIsDecorated());
        QCOMPARE(list->editTriggers(), QAbstractItemView::NoEditTriggers);
        QVERIFY(!list->header()->isHidden());
    }

    void statusPanels()
    {
        QCOMPARE(m_w->panels[0]->text(), QSysInfo::machineHostName());
        QCOMPARE(basKestrune::gstrComputerName, QSysInfo::machineHostName());
        QCOMPARE(m_w->panels[1]->text(), QString()); // "Loading..." and the name are gone
        const QLocale locale = QLocale::system();
        QCOMPARE(m_w->panels[2]->text(), locale.toString(QDate::currentDate(), QLocale::ShortFormat));
        // The clock panel follows the time.
        QTRY_COMPARE_WITH_TIMEOUT(m_w->panels[3]->text(),
                                  locale.toString(QTime::currentTime(), QLocale::ShortFormat), 2500);
        // Panel 2 takes the width the others leave.
        QVERIFY(m_w->panels[1]->width() > m_w->panels[0]->width());
        QCOMPARE(m_w->panels[2]->width(), 80);
        QCOMPARE(m_w->panels[3]->width(), 40);
    }

    void timerIntervalIsClampedToWhatItCanTake()
    {
        frmDownload w;
        basKestrune::glngTimeout = -5000;
        w.Form_Load();
        QCOMPARE(w.tmrIE()->interval(), 0);
        QVERIFY(m_ui->messages.isEmpty()); // the blank page still loads
        basKestrune::glngTimeout = 30000;
    }

    void folderChooser_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("answer"); // null: cancelled
        QTest::addColumn<QString>("expected");
        QTest::newRow("cancel keeps a half-typed text") << "/tmp/half ty" << QString() << "/tmp/half ty";
        QTest::newRow("folder without trailing separator") << "" << "/var/log/" << "/var/log";
        QTest::newRow("root keeps its separator") << "/tmp" << "/" << "/";
        QTest::newRow("cleaned") << "" << "/var/./log//iis" << "/var/log/iis";
    }

    void folderChooser()
    {
        QFETCH(QString, typed);
        QFETCH(QString, answer);
        QFETCH(QString, expected);
        m_w->txtFolder->setText(typed);
        m_ui->folderAnswers = QStringList{answer};
        m_w->cmdBrowse->click();
        QCOMPARE(m_ui->folderRequests.size(), 1);
        QCOMPARE(m_ui->folderRequests[0].title, QStringLiteral("フォルダを指定してください"));
        QCOMPARE(m_ui->folderRequests[0].startFolder, typed);
        QCOMPARE(m_w->txtFolder->text(), QDir::toNativeSeparators(expected));
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
        m_w->cmdButton[5]->click();
        QCOMPARE(m_ui->helpShown.size(), 1);
        QCOMPARE(m_ui->helpShown[0].helpFile, QStringLiteral("/opt/kestrune/Kestrune.hlp"));
        QVERIFY(!m_ui->busy);
        basKestrune::gstrHelpFile = QStringLiteral("Kestrune.hlp");
    }
};

QTEST_MAIN(TestCollectorWindow)
#include "tst_collectorwindow.moc"
