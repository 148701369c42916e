#pragma once
// The collector window: the listing address and the save folder, the list of
// log files, the run's progress and the command buttons.  The window owns the
// widgets; loading the listing, the run and the run log are units of their own
// that it drives.

#include "base/collection/CollectionRun.h"
#include "base/listing/ListingRow.h"
#include "base/collection/RunLog.h"

#include <QWidget>

#include <array>
#include <memory>

class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QStatusBar;
class QPlainTextEdit;
class QTimer;
class QToolButton;
class QTreeWidget;

namespace kestrune {

class FolderLock;
class ListingLoader;
struct ListingResult;
class WebBrowser;

class frmDownload : public QWidget, private kestrune::CollectionRun::Host {
    Q_OBJECT
public:
    explicit frmDownload(QWidget *parent = nullptr);
    ~frmDownload() override;

    // Creates the program's window if needed, runs its load handling and
    // shows it.
    static frmDownload *Show();
    static frmDownload *instance();
    static void destroyInstance();

    // Load handling: run once before the window is first shown.  It ends
    // once the blank page has loaded: loadFinished().
    void Form_Load();
    bool isLoaded() const { return m_loaded; }

    // The handlers of the window's controls.
    void cmdLoad_Click();
    void cmdBrowse_Click();
    void cmdButton_Click(int index);

    // Listing page (delegates to the listing unit).  Both start a load;
    // its end comes as a signal.
    void LoadPage(const QString &url);
    void AnalyzeListingPage(const QString &url);

    // Run log.
    void OpenRunLog(const QString &strFileName);
    void WriteRunLog(qint16 intFileNo, const QString &strMessage);
    void CloseRunLog();

    // Window variables.
    qint16 intRunState = 0;
    qint16 intLogFileNo = 0;
    QString strLogFilePath;
    qint64 lngRemoteSize = 0;

    // The listing unit's hidden browser, page-load timer and page state.
    kestrune::WebBrowser *brwBrowser() const;
    const QTimer *tmrIE() const;
    qint16 intPageState() const;
    kestrune::ListingLoader *listingLoader() const { return m_loader; }

    // True once the window has been unloaded: every wait gives up.
    bool isUnloaded() const { return m_unloaded; }

    // The rows of the list, as the run reads them.
    const QList<kestrune::ListingRow> &rows() const { return m_rows; }

    // Whether a run is in work (also one stopped whose last row still ends).
    bool isCollecting() const;

    // The pause after a failed page load, in milliseconds (tests shorten it).
    static void setNavigateErrorPause(int milliseconds);

Q_SIGNALS:
    // Load handling has ended (the window is ready, or it failed).
    void loadFinished();
    // A listing load the load command started has ended and the list shows it.
    void listingLoaded();
    // A run has ended: completed, stopped (its last row ended) or abandoned.
    void runEnded();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildControls();
    void fillPageSource();
    void fillList();
    void setupColumns();
    void Form_Unload();
    void refreshClock();
    void setIdleState();
    void startCommand();
    void stopCommand();
    void setStatusText(const QString &text);
    // What went wrong when the blank page left no document (load handling).
    QString blankPageFailure() const;
    // A busy (0...0) progress bar becomes a 0...100 bar at 0 again.
    void leaveBusyProgress();
    void finishLoad();
    void showListing(const kestrune::ListingResult &result);
    void runFinished(kestrune::CollectionRun::Ending ending);
    // Runs a modal dialog with the run in work held until it closes.
    template <typename Dialog>
    void execHoldingRun(Dialog &dialog);
    void holdRun(bool held);

    // The run's front end.
    void rowStarted(int i, const kestrune::ListingRow &row) override;
    void remoteSizeKnown(int i, std::optional<qint64> size) override;
    void rowProgress(int i, int percent, bool busy) override;
    void writeRunLog(const QString &message) override;
    void rowDone(int i, const kestrune::ListingRow &row,
                 const kestrune::RowOutcome &outcome) override;
    void setProgress(int percent, bool busy);

    // Controls, under the names the operator's manual uses; each carries its
    // name as its object name (cmdButton_0..5, lblTarget_0..1, Line1_0..1,
    // panel_1..4, and brwBrowser for brwBrowserView).
    QGroupBox *fraTarget = nullptr;
    std::array<QLabel *, 2> lblTarget{};
    QLineEdit *txtURL = nullptr;
    QToolButton *cmdLoad = nullptr;
    QLineEdit *txtFolder = nullptr;
    QToolButton *cmdBrowse = nullptr;
    QGroupBox *fraSource = nullptr;
    QWidget *brwBrowserView = nullptr; // where a browser would draw; never visible
    QPlainTextEdit *txtSource = nullptr;
    QPlainTextEdit *txtHtml = nullptr;
    QGroupBox *fraLogfile = nullptr;
    QTreeWidget *lstLogfiles = nullptr;
    std::array<QToolButton *, 6> cmdButton{};
    QGroupBox *fraStatus = nullptr;
    QProgressBar *pgrDownload = nullptr;
    QLabel *lblLogCount = nullptr;
    QLabel *lblAuction = nullptr;
    QLabel *lblLogTotal = nullptr;
    QStatusBar *StatusBar1 = nullptr;
    std::array<QLabel *, 4> panels{}; // StatusBar1's panels 1..4 at 0..3
    std::array<QFrame *, 2> Line1{};

    kestrune::ListingLoader *m_loader = nullptr;
    kestrune::RunLog m_runLog;
    QList<kestrune::ListingRow> m_rows; // what lstLogfiles shows
    // The markup and text of the page last loaded, until txtHtml and
    // txtSource take them.
    QString m_pageHtml;
    QString m_pageText;
    bool m_pageSourcePending = false;
    QTimer *m_listFill = nullptr; // the next slice of m_rows for lstLogfiles
    qsizetype m_filled = 0;       // the rows lstLogfiles holds
    qint32 m_listed = 0;          // the count of the listing being shown
    std::unique_ptr<kestrune::CollectionRun> m_run;
    std::unique_ptr<kestrune::FolderLock> m_folderLock; // held while m_run works
    bool m_startPending = false; // 開始 given while a stopped run still ends
    int m_holds = 0;             // modal dialogs open over the window
    QTimer *m_clock = nullptr;
    bool m_unloaded = false;
    bool m_loaded = false;
    bool m_centredWithFrame = false;
};

} // namespace kestrune
