#include "gui/collector/frmDownload.h"

#include "base/settings/AppInfo.h"
#include "base/system/ControlCharacters.h"
#include "gui/layout/JapaneseFont.h"
#include "gui/seam/UiSeam.h"
#include "gui/layout/WindowLayout.h"
#include "base/settings/basKestrune.h"
#include "base/collection/FolderLock.h"
#include "base/listing/ListingLoader.h"
#include "base/listing/WebBrowser.h"
#include "gui/collector/basShowFolders.h"
#include "base/transfer/Credentials.h"
#include "gui/dialogs/frmAbout.h"
#include "gui/dialogs/frmSetting.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFrame>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QProgressBar>
#include <QScreen>
#include <QShowEvent>
#include <QStatusBar>
#include <QStyle>
#include <QPlainTextEdit>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

namespace kestrune {

using kestrune::MsgIcon;
using kestrune::ui;
using namespace basKestrune;

namespace {

frmDownload *&theWindow()
{
    static frmDownload *w = nullptr;
    return w;
}

using kestrune::layout::twips;

// Layout figures are in twips; the window works in pixels at 96 dpi.
constexpr int px(int t)
{
    return kestrune::layout::twipsToPixels(t);
}

constexpr QRect tw(int left, int top, int width, int height)
{
    return twips(left, top, width, height);
}

QToolButton *pictureButton(QWidget *parent, const QRect &geometry, const QString &caption,
                           const QString &toolTip, const QIcon &icon)
{
    auto *b = new QToolButton(parent);
    b->setGeometry(geometry);
    b->setIcon(icon);
    b->setText(caption);
    b->setToolTip(toolTip);
    b->setToolButtonStyle(caption.isEmpty() ? Qt::ToolButtonIconOnly : Qt::ToolButtonTextUnderIcon);
    b->setIconSize(caption.isEmpty() ? QSize(16, 16) : QSize(24, 24));
    b->setFocusPolicy(Qt::StrongFocus);
    return b;
}

const QString kRunLogName = QStringLiteral("Kestrune.log");

int &navigateErrorPause()
{
    static int ms = 1000;
    return ms;
}

} // namespace

frmDownload::frmDownload(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("frmDownload"));
    setFixedSize(px(6765), px(7335));
    // Before any control measures its text.
    kestrune::uifont::UseJapaneseUiFont(this);
    buildControls();

    kestrune::ListingLoader::Hooks hooks;
    hooks.setStatusText = [this](const QString &text) { setStatusText(text); };
    hooks.writeRunLog = [this](const QString &text) { WriteRunLog(intLogFileNo, text); };
    hooks.setBusyPointer = [](bool busy) { ui().setBusyPointer(busy); };
    hooks.setPageSource = [this](const QString &html, const QString &text) {
        m_pageHtml = html;
        m_pageText = text;
        m_pageSourcePending = true;
        // A large page's markup holds the text boxes up for seconds and takes
        // them many times its size; their frame is off screen, so such a page
        // goes into them when the frame is shown.
        constexpr qsizetype kAtOnce = 256 * 1024;
        if (html.size() + text.size() <= kAtOnce || fraSource->isVisible()) {
            fillPageSource();
        } else {
            txtHtml->clear();
            txtSource->clear();
        }
    };
    // A failed page shows after a second's pause, as the operator knows it.
    hooks.navigateErrorPauseMs = navigateErrorPause();
    hooks.askLogin =
        [this](const kestrune::LoginPrompt &prompt) -> std::optional<transfer::Credentials> {
        kestrune::LoginRequest request;
        request.host = prompt.host;
        request.realm = prompt.realm;
        request.proxy = prompt.proxy;
        request.user = prompt.user;
        request.attempt = prompt.attempt;
        holdRun(true);
        const std::optional<kestrune::LoginAnswer> answer = ui().askLogin(this, request);
        holdRun(false);
        if (!answer)
            return std::nullopt;
        return transfer::Credentials{answer->user, answer->password};
    };
    m_loader = new kestrune::ListingLoader(std::move(hooks), this);
    connect(m_loader, &kestrune::ListingLoader::listed, this, &frmDownload::showListing);
}

frmDownload::~frmDownload()
{
    // A run still in work goes without telling this half-destroyed window.
    if (m_run) {
        m_run->disconnect(this);
        m_run->cancel();
    }
    if (theWindow() == this)
        theWindow() = nullptr;
}

void frmDownload::setNavigateErrorPause(int milliseconds)
{
    navigateErrorPause() = milliseconds;
}

bool frmDownload::isCollecting() const
{
    return m_run && m_run->isRunning();
}

frmDownload *frmDownload::Show()
{
    if (!theWindow()) {
        theWindow() = new frmDownload();
        theWindow()->Form_Load();
    }
    theWindow()->show();
    theWindow()->txtURL->setFocus();
    return theWindow();
}

frmDownload *frmDownload::instance()
{
    return theWindow();
}

void frmDownload::destroyInstance()
{
    delete theWindow();
}

kestrune::WebBrowser *frmDownload::brwBrowser() const
{
    return m_loader->brwBrowser();
}

const QTimer *frmDownload::tmrIE() const
{
    return m_loader->tmrIE();
}

qint16 frmDownload::intPageState() const
{
    return m_loader->intPageState();
}

void frmDownload::buildControls()
{
    const auto standard = [this](QStyle::StandardPixmap icon) {
        return style()->standardIcon(icon);
    };
    fraTarget = new QGroupBox(QStringLiteral("対象"), this);
    fraTarget->setObjectName(QStringLiteral("fraTarget"));
    fraTarget->setGeometry(tw(120, 180, 6495, 975));
    lblTarget[0] = new QLabel(QStringLiteral("IISログのURL："), fraTarget);
    lblTarget[0]->setGeometry(tw(210, 270, 1110, 180));
    txtURL = new QLineEdit(fraTarget);
    txtURL->setObjectName(QStringLiteral("txtURL"));
    txtURL->setGeometry(tw(1710, 210, 4155, 270));
    cmdLoad = pictureButton(fraTarget, tw(5940, 180, 345, 315), QString(),
                            QStringLiteral("ログにアクセスする"),
                            standard(QStyle::SP_BrowserReload));
    cmdLoad->setObjectName(QStringLiteral("cmdLoad"));
    lblTarget[1] = new QLabel(QStringLiteral("保存先フォルダ："), fraTarget);
    lblTarget[1]->setGeometry(tw(210, 600, 1275, 180));
    txtFolder = new QLineEdit(fraTarget);
    txtFolder->setObjectName(QStringLiteral("txtFolder"));
    txtFolder->setGeometry(tw(1710, 540, 4155, 270));
    cmdBrowse = pictureButton(fraTarget, tw(5940, 520, 345, 315), QString(), QStringLiteral("参照"),
                              standard(QStyle::SP_DirOpenIcon));
    cmdBrowse->setObjectName(QStringLiteral("cmdBrowse"));
    for (int i = 0; i < 2; ++i)
        lblTarget[i]->setObjectName(QStringLiteral("lblTarget_%1").arg(i));

    // The hidden machinery lies right of the client area and is never shown.
    fraSource = new QGroupBox(QStringLiteral("HTMLソース"), this);
    fraSource->setObjectName(QStringLiteral("fraSource"));
    fraSource->setGeometry(tw(6960, 210, 1965, 5595));
    brwBrowserView = new QWidget(fraSource);
    brwBrowserView->setObjectName(QStringLiteral("brwBrowser"));
    brwBrowserView->setGeometry(tw(120, 240, 1710, 3525));
    txtSource = new QPlainTextEdit(fraSource);
    txtSource->setObjectName(QStringLiteral("txtSource"));
    txtSource->setGeometry(tw(120, 3840, 765, 1605));
    txtHtml = new QPlainTextEdit(fraSource);
    txtHtml->setObjectName(QStringLiteral("txtHtml"));
    txtHtml->setGeometry(tw(870, 3840, 705, 1605));
    for (QPlainTextEdit *t : {txtSource, txtHtml}) {
        t->setFocusPolicy(Qt::NoFocus);
    }
    fraSource->setVisible(false);
    fraSource->installEventFilter(this);
    m_listFill = new QTimer(this);
    m_listFill->setSingleShot(true);
    connect(m_listFill, &QTimer::timeout, this, &frmDownload::fillList);

    fraLogfile = new QGroupBox(QStringLiteral("IIS Logファイル"), this);
    fraLogfile->setObjectName(QStringLiteral("fraLogfile"));
    fraLogfile->setGeometry(tw(120, 1320, 6495, 5505));
    lstLogfiles = new QTreeWidget(fraLogfile);
    lstLogfiles->setObjectName(QStringLiteral("lstLogfiles"));
    lstLogfiles->setGeometry(tw(180, 300, 6135, 4095));
    lstLogfiles->setColumnCount(0);
    lstLogfiles->setRootIsDecorated(false);
    lstLogfiles->setItemsExpandable(false);
    lstLogfiles->setUniformRowHeights(true);
    lstLogfiles->setSelectionMode(QAbstractItemView::SingleSelection);
    lstLogfiles->setAllColumnsShowFocus(true);

    cmdButton[1] = pictureButton(fraLogfile, tw(210, 4560, 765, 765), QStringLiteral("開始(&S)"),
                                 QStringLiteral("ログの収集"), standard(QStyle::SP_MediaPlay));
    cmdButton[2] = pictureButton(fraLogfile, tw(1170, 4560, 765, 765), QStringLiteral("停止(&E)"),
                                 QStringLiteral("処理停止"), standard(QStyle::SP_MediaStop));
    fraStatus = new QGroupBox(QStringLiteral("ダウンロード状況"), fraLogfile);
    fraStatus->setObjectName(QStringLiteral("fraStatus"));
    fraStatus->setGeometry(tw(2160, 4560, 1725, 765));
    pgrDownload = new QProgressBar(fraStatus);
    pgrDownload->setObjectName(QStringLiteral("pgrDownload"));
    pgrDownload->setGeometry(tw(180, 450, 1365, 225));
    pgrDownload->setRange(0, 100);
    pgrDownload->setValue(0);
    pgrDownload->setTextVisible(false);
    // The count grows to the left of "/" and the total to its right, so
    // numbers of any length stay readable.
    const QRect countBox = tw(690, 210, 60, 180);
    lblLogCount = new QLabel(fraStatus);
    lblLogCount->setObjectName(QStringLiteral("lblLogCount"));
    lblLogCount->setGeometry(
        QRect(px(180), countBox.top(), countBox.right() - px(180) + 1, countBox.height()));
    lblLogCount->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lblAuction = new QLabel(QStringLiteral("/"), fraStatus);
    lblAuction->setObjectName(QStringLiteral("lblAuction"));
    lblAuction->setGeometry(tw(810, 210, 90, 180));
    const QRect totalBox = tw(960, 210, 60, 180);
    lblLogTotal = new QLabel(fraStatus);
    lblLogTotal->setObjectName(QStringLiteral("lblLogTotal"));
    lblLogTotal->setGeometry(
        QRect(totalBox.left(), totalBox.top(), px(1545) - totalBox.left(), totalBox.height()));
    lblLogTotal->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // The count, "/" and the total keep their line centred where the layout
    // put it, in a box as tall as the font's line.
    for (QLabel *label : {lblLogCount, lblAuction, lblLogTotal})
        kestrune::layout::fitLabel(label, 0);
    cmdButton[5] = pictureButton(fraLogfile, tw(4140, 4560, 315, 315), QString(),
                                 QStringLiteral("ヘルプ"),
                                 QIcon(QStringLiteral(":/icons/help.png")));
    cmdButton[4] = pictureButton(fraLogfile, tw(4140, 5010, 315, 315), QString(),
                                 QStringLiteral("バージョン情報"),
                                 standard(QStyle::SP_MessageBoxInformation));
    cmdButton[3] = pictureButton(fraLogfile, tw(4590, 4560, 765, 765), QStringLiteral("設定(&T)"),
                                 QStringLiteral("設定"),
                                 standard(QStyle::SP_FileDialogDetailedView));
    cmdButton[0] = pictureButton(fraLogfile, tw(5520, 4560, 765, 765), QStringLiteral("終了(&X)"),
                                 QStringLiteral("終了"), standard(QStyle::SP_DialogCloseButton));
    for (int i = 0; i < 6; ++i) {
        cmdButton[i]->setObjectName(QStringLiteral("cmdButton_%1").arg(i));
        connect(cmdButton[i], &QToolButton::clicked, this, [this, i] { cmdButton_Click(i); });
    }
    cmdButton[1]->setEnabled(false);
    cmdButton[2]->setEnabled(false);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setGeometry(tw(0, 7020, 6765, 315));
    const int widths[4] = {1005, 3630, 1200, 600};
    const int minimums[4] = {1000, 1440, 1200, 600};
    for (int i = 0; i < 4; ++i) {
        panels[i] = new QLabel(StatusBar1);
        panels[i]->setObjectName(QStringLiteral("panel_%1").arg(i + 1));
        panels[i]->setFrameShape(QFrame::Panel);
        panels[i]->setFrameShadow(QFrame::Sunken);
        panels[i]->setMinimumWidth(px(minimums[i]));
        if (i >= 2)
            panels[i]->setFixedWidth(px(widths[i]));
    }
    StatusBar1->addWidget(panels[0], 0);
    StatusBar1->addWidget(panels[1], 1);
    StatusBar1->addPermanentWidget(panels[2], 0);
    StatusBar1->addPermanentWidget(panels[3], 0);

    for (int i = 0; i < 2; ++i) {
        Line1[i] = new QFrame(this);
        Line1[i]->setObjectName(QStringLiteral("Line1_%1").arg(i));
        Line1[i]->setGeometry(0, 0, 0, 1);
        Line1[i]->setAutoFillBackground(true);
        QPalette pal = Line1[i]->palette();
        pal.setColor(QPalette::Window, i == 0 ? QColor(0x80, 0x80, 0x80) : QColor(Qt::white));
        Line1[i]->setPalette(pal);
    }

    for (QGroupBox *frame : {fraTarget, fraLogfile, fraStatus})
        kestrune::layout::inlineFrameCaption(frame);
    // Captions wider than their boxes in the desktop's font grow up to the
    // next control instead of being cut.
    kestrune::layout::fitLabel(lblTarget[0], txtURL->x() - lblTarget[0]->x() - 2);
    kestrune::layout::fitLabel(lblTarget[1], txtFolder->x() - lblTarget[1]->x() - 2);

    connect(cmdLoad, &QToolButton::clicked, this, &frmDownload::cmdLoad_Click);
    connect(cmdBrowse, &QToolButton::clicked, this, &frmDownload::cmdBrowse_Click);

    QWidget::setTabOrder(txtURL, cmdBrowse);
    QWidget::setTabOrder(cmdBrowse, cmdButton[1]);
    QWidget::setTabOrder(cmdButton[1], cmdButton[2]);
    QWidget::setTabOrder(cmdButton[2], lstLogfiles);
    QWidget::setTabOrder(lstLogfiles, txtFolder);
    QWidget::setTabOrder(txtFolder, cmdLoad);
    QWidget::setTabOrder(cmdLoad, cmdButton[0]);
    QWidget::setTabOrder(cmdButton[0], cmdButton[3]);
    QWidget::setTabOrder(cmdButton[3], cmdButton[5]);
    QWidget::setTabOrder(cmdButton[5], cmdButton[4]);

    m_clock = new QTimer(this);
    m_clock->setInterval(1000);
    connect(m_clock, &QTimer::timeout, this, &frmDownload::refreshClock);
    refreshClock();
    m_clock->start();
}

void frmDownload::refreshClock()
{
    const QDateTime now = QDateTime::currentDateTime();
    const QLocale locale = QLocale::system();
    // The panels keep their widths; a long date or time format gets a
    // narrower font instead of losing its end.
    kestrune::layout::setNarrowedText(panels[2], locale.toString(now.date(), QLocale::ShortFormat));
    kestrune::layout::setNarrowedText(panels[3], locale.toString(now.time(), QLocale::ShortFormat));
}

void frmDownload::setStatusText(const QString &text)
{
    // Names and addresses in it come from the page: their control
    // characters show as escapes.
    panels[1]->setText(EscapeControlCharacters(transfer::HidePasswords(text)));
}

void frmDownload::Form_Load()
{
    ui().setBusyPointer(true);

    // Centred on the screen now, and again with the frame once it is shown.
    kestrune::layout::centreOnScreen(this, QGuiApplication::primaryScreen());
    setWindowTitle(kestrune::appTitle());
    for (QFrame *line : Line1)
        line->setGeometry(0, 0, width(), 1);

    gstrComputerName = GetLocalComputerName();
    panels[0]->setText(gstrComputerName);

    m_loader->setTimeout(glngTimeout);

    // The rest follows once the blank page has loaded.
    auto *const once = new QObject(this);
    connect(m_loader, &kestrune::ListingLoader::pageLoaded, once, [this, once] {
        delete once;
        finishLoad();
    });
    LoadPage(QStringLiteral("about:blank"));
}

void frmDownload::finishLoad()
{
    if (m_unloaded)
        return;
    if (!brwBrowser()->Document()) {
        ui().setBusyPointer(false);
        ui().messageBox(this, QStringLiteral("アプリケーションエラー！\r\n") + blankPageFailure(),
                        MsgIcon::Exclamation, kestrune::appTitle());
    } else {
        setStatusText(QString());
        setupColumns();
        intRunState = 0;
        ui().setBusyPointer(false);
    }
    m_loaded = true;
    Q_EMIT loadFinished();
}

QString frmDownload::blankPageFailure() const
{
    // In the words the run log uses for a listing page that fails.
    switch (m_loader->pageState()) {
    case kestrune::ListingLoader::PageState::TimedOut:
        return QStringLiteral("タイムアウトが発生しました。");
    case kestrune::ListingLoader::PageState::NavigationError: {
        const QString reason = brwBrowser()->lastErrorText();
        return QStringLiteral("ページを表示できません。")
               + (reason.isEmpty() ? QString() : QStringLiteral(" (") + reason + QLatin1Char(')'));
    }
    default: return QStringLiteral("ページを表示できません。");
    }
}

void frmDownload::showEvent(QShowEvent *event)
{
    // The window frame is known once the window exists: centre again with
    // the outer size.
    if (!m_centredWithFrame) {
        m_centredWithFrame = true;
        kestrune::layout::centreOnScreen(this, QGuiApplication::primaryScreen());
    }
    QWidget::showEvent(event);
}

bool frmDownload::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == fraSource && event->type() == QEvent::Show)
        fillPageSource();
    return QWidget::eventFilter(watched, event);
}

void frmDownload::fillPageSource()
{
    if (!m_pageSourcePending)
        return;
    m_pageSourcePending = false;
    txtHtml->setPlainText(m_pageHtml);
    txtSource->setPlainText(m_pageText);
    m_pageHtml.clear();
    m_pageText.clear();
}

void frmDownload::setupColumns()
{
    lstLogfiles->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lstLogfiles->setColumnCount(2);
    lstLogfiles->setHeaderLabels({QStringLiteral("ファイル名"), QStringLiteral("URL")});
    const QFontMetrics fm(font());
    lstLogfiles->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    lstLogfiles->header()->setStretchLastSection(false);
    lstLogfiles->setColumnWidth(0, fm.horizontalAdvance(QStringLiteral("ファイル名")
                                                        + QString(12, QLatin1Char(' '))));
    lstLogfiles->setColumnWidth(1, fm.horizontalAdvance(QStringLiteral("URL")
                                                        + QString(68, QLatin1Char(' '))));
}

void frmDownload::closeEvent(QCloseEvent *event)
{
    Form_Unload();
    event->accept();
}

void frmDownload::Form_Unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    // The program ends: the file in transfer is dropped, its copy stays as
    // it was, and a page load in progress reports nothing.
    if (m_run)
        m_run->cancel();
    CloseRunLog();
    ui().quitHelp();
    m_clock->stop();
    m_loader->stopTimer();
    m_loader->abandon();
    // A load dropped here never ends on its own to give the pointer back.
    ui().setBusyPointer(false);
    hide();
}

// ---------------------------------------------------------------- listing page

void frmDownload::LoadPage(const QString &url)
{
    m_loader->LoadPage(url);
}

void frmDownload::AnalyzeListingPage(const QString &url)
{
    ui().setBusyPointer(true);
    m_listFill->stop();
    lstLogfiles->clear();
    m_rows.clear();
    m_loader->AnalyzeListing(url);
}

void frmDownload::showListing(const kestrune::ListingResult &result)
{
    if (m_unloaded)
        return;
    m_listed = kestrune::ListingLoader::RowCount(result);
    if (result.status == kestrune::ListingStatus::Listed && !result.rows.isEmpty()) {
        m_rows = result.rows;
        m_filled = 0;
    } else {
        m_filled = m_rows.size(); // the list stays as it is
    }
    fillList();
}

void frmDownload::fillList()
{
    if (m_unloaded)
        return;
    // The list takes a large listing in slices, the event loop turning
    // between them, so the window never stops answering for long.
    constexpr qint64 kSliceMs = 50;
    QElapsedTimer slice;
    slice.start();
    if (m_filled < m_rows.size()) {
        QList<QTreeWidgetItem *> items;
        while (m_filled < m_rows.size()) {
            const kestrune::ListingRow &row = m_rows[m_filled++];
            // The list shows an address without its password and control
            // characters as escapes; the row keeps the name and the address
            // as the page gave them.
            items.append(new QTreeWidgetItem(
                QStringList{EscapeControlCharacters(row.fileName),
                            EscapeControlCharacters(transfer::HidePasswords(row.url))}));
            if ((m_filled & 1023) == 0 && slice.elapsed() >= kSliceMs)
                break;
        }
        lstLogfiles->setUpdatesEnabled(false);
        lstLogfiles->addTopLevelItems(items);
        lstLogfiles->setUpdatesEnabled(true);
        if (m_filled < m_rows.size()) {
            m_listFill->start(0);
            return;
        }
    }
    const qint32 n = m_listed;
    ui().setBusyPointer(false);
    if (n == -1) {
        lstLogfiles->clear();
        m_rows.clear();
        lblLogTotal->setText(QStringLiteral("0"));
    } else {
        lblLogTotal->setText(QString::number(n));
        cmdButton[1]->setEnabled(true);
        cmdButton[2]->setEnabled(false);
        cmdLoad->setEnabled(true);
        cmdBrowse->setEnabled(true);
    }
    Q_EMIT listingLoaded();
}

void frmDownload::cmdLoad_Click()
{
    gstrLogURL = TrimSpaces(txtURL->text());
    if (gstrLogURL.isEmpty()) {
        ui().messageBox(this, QStringLiteral("IISログのURLを指定してください。"),
                        MsgIcon::Exclamation, kestrune::appTitle());
        txtURL->setFocus();
        return;
    }
    lblLogCount->setText(QStringLiteral("0"));
    AnalyzeListingPage(gstrLogURL);
}

void frmDownload::cmdBrowse_Click()
{
    txtFolder->setText(basShowFolders::BrowseForFolder(this,
                                                       QStringLiteral("フォルダを指定してください"),
                                                       txtFolder->text()));
}

// ---------------------------------------------------------------- run log

void frmDownload::OpenRunLog(const QString &strFileName)
{
    strLogFilePath = strFileName;
    intLogFileNo = m_runLog.open(strFileName);
    if (!m_runLog.isOpen())
        ui().setBusyPointer(false);
}

void frmDownload::WriteRunLog(qint16 intFileNo, const QString &strMessage)
{
    m_runLog.write(intFileNo, strMessage);
}

void frmDownload::CloseRunLog()
{
    m_runLog.close();
}

// ---------------------------------------------------------------- commands

void frmDownload::cmdButton_Click(int index)
{
    switch (index) {
    case 0: close(); break;
    case 1: startCommand(); break;
    case 2: stopCommand(); break;
    case 3: {
        frmSetting dialog(this);
        execHoldingRun(dialog);
        ui().setBusyPointer(false);
        break;
    }
    case 4: {
        frmAbout dialog(this);
        execHoldingRun(dialog);
        ui().setBusyPointer(false);
        break;
    }
    case 5:
        ui().showHelp(this, gstrHelpFile);
        ui().setBusyPointer(false);
        break;
    default: break;
    }
}

template <typename Dialog>
void frmDownload::execHoldingRun(Dialog &dialog)
{
    holdRun(true);
    dialog.exec();
    holdRun(false);
}

void frmDownload::holdRun(bool held)
{
    // While a modal dialog is open the run waits: the transfer in flight
    // pauses and no row begins.
    m_holds += held ? 1 : -1;
    if (m_run)
        m_run->setHeld(m_holds > 0);
}

void frmDownload::setIdleState()
{
    leaveBusyProgress();
    lstLogfiles->setEnabled(true);
    cmdButton[1]->setEnabled(true);
    cmdButton[2]->setEnabled(false);
    cmdLoad->setEnabled(true);
    cmdBrowse->setEnabled(true);
}

void frmDownload::startCommand()
{
    gstrLogURL = txtURL->text();
    gstrSaveFolder = txtFolder->text();
    if (gstrLogURL.isEmpty()) {
        ui().messageBox(this, QStringLiteral("IISログのURLを指定してください。"),
                        MsgIcon::Exclamation, kestrune::appTitle());
        txtURL->setFocus();
        return;
    }
    if (gstrSaveFolder.isEmpty()) {
        ui().messageBox(this, QStringLiteral("保存先フォルダを指定してください。"),
                        MsgIcon::Exclamation, kestrune::appTitle());
        txtFolder->setFocus();
        return;
    }
    if (isCollecting()) {
        // A stopped run still ends its last row: this one starts after it.
        m_startPending = true;
        return;
    }
    // One collection at a time in a folder, whether this window's, another
    // window's or the command line's.  The lock goes when the run has
    // ended, has been stopped or the window is closing.  A folder that
    // cannot be locked at all (missing, unreadable) is left to the run,
    // which reports what it cannot store.
    auto folderLock = std::make_unique<kestrune::FolderLock>();
    if (folderLock->lock(gstrSaveFolder) == kestrune::FolderLock::Outcome::InUse) {
        ui().messageBox(this,
                        QStringLiteral("保存先フォルダは他の収集が使用中です。\r\n")
                            + gstrSaveFolder,
                        MsgIcon::Exclamation, kestrune::appTitle());
        return;
    }
    OpenRunLog(kRunLogName);
    if (m_rows.isEmpty()) {
        CloseRunLog();
        ui().setBusyPointer(false);
        return;
    }
    cmdButton[1]->setEnabled(false);
    cmdButton[2]->setEnabled(true);
    cmdLoad->setEnabled(false);
    cmdBrowse->setEnabled(false);
    setStatusText(QStringLiteral("処理中[")
                  + kestrune::RunLog::timeStamp(QDateTime::currentDateTime())
                  + QStringLiteral("開始]"));
    if (QTreeWidgetItem *first = lstLogfiles->topLevelItem(0))
        lstLogfiles->setCurrentItem(first);
    intRunState = 0;

    m_folderLock = std::move(folderLock);
    kestrune::CollectionRun::Options options;
    options.jobs = 1;
    m_run = std::make_unique<kestrune::CollectionRun>(
        static_cast<kestrune::CollectionRun::Host &>(*this), m_rows, gstrSaveFolder,
        [] { return gstrProxy; }, m_runLog.identity(), options);
    connect(m_run.get(), &kestrune::CollectionRun::finished, this, &frmDownload::runFinished);
    m_run->setHeld(m_holds > 0);
    m_run->start();
}

void frmDownload::runFinished(kestrune::CollectionRun::Ending ending)
{
    switch (ending) {
    case kestrune::CollectionRun::Ending::Completed:
        CloseRunLog();
        setStatusText(QString());
        setIdleState();
        ui().setBusyPointer(false);
        break;
    case kestrune::CollectionRun::Ending::Stopped:
        // The row that was in transfer at the stop may have made the bar
        // busy again after the stop command left it idle.
        leaveBusyProgress();
        CloseRunLog();
        ui().setBusyPointer(false);
        break;
    case kestrune::CollectionRun::Ending::Abandoned: break;
    }
    m_run.release()->deleteLater();
    m_folderLock.reset();
    Q_EMIT runEnded();
    if (m_startPending && !m_unloaded) {
        m_startPending = false;
        startCommand();
    }
}

void frmDownload::stopCommand()
{
    intRunState = 1;
    // The row in transfer ends; no further row begins.
    if (m_run)
        m_run->stop();
    lstLogfiles->setEnabled(true);
    CloseRunLog();
    setStatusText(QString());
    setIdleState();
    ui().setBusyPointer(false);
}

// ---------------------------------------------------------------- run front end

void frmDownload::rowStarted(int i, const kestrune::ListingRow &)
{
    lstLogfiles->setFocus();
    if (QTreeWidgetItem *item = lstLogfiles->topLevelItem(i - 1)) {
        lstLogfiles->setCurrentItem(item);
        lstLogfiles->scrollToItem(item);
    }
    pgrDownload->setRange(0, 100);
    pgrDownload->setValue(0);
    lblLogCount->setText(QString::number(i));
}

void frmDownload::remoteSizeKnown(int, std::optional<qint64> size)
{
    lngRemoteSize = size.value_or(0);
}

void frmDownload::rowProgress(int, int percent, bool busy)
{
    setProgress(percent, busy);
}

void frmDownload::rowDone(int, const kestrune::ListingRow &, const kestrune::RowOutcome &outcome)
{
    // After a download the current directory follows the folder box, so a
    // later run's log lands there; a folder that cannot be entered is ignored.
    if (outcome.transfer == kestrune::RowOutcome::Transfer::Opened && outcome.received > 0)
        QDir::setCurrent(txtFolder->text());
}

void frmDownload::setProgress(int percent, bool busy)
{
    if (busy) {
        if (pgrDownload->maximum() != 0)
            pgrDownload->setRange(0, 0);
        return;
    }
    if (pgrDownload->maximum() != 100)
        pgrDownload->setRange(0, 100);
    if (pgrDownload->value() != percent)
        pgrDownload->setValue(percent);
}

void frmDownload::leaveBusyProgress()
{
    if (pgrDownload->maximum() == 0) {
        pgrDownload->setRange(0, 100);
        pgrDownload->setValue(0);
    }
}

void frmDownload::writeRunLog(const QString &message)
{
    WriteRunLog(intLogFileNo, message);
}

} // namespace kestrune
