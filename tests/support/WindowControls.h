#pragma once
// The controls of the program's windows, for tests.  The windows keep their
// widgets to themselves; a test looks each one up once, by the object name
// the window gives it, and then uses them under their usual names:
//
//     frmDownload w;
//     const DownloadControls c(&w);
//     c.txtURL->setText(url);
//     c.cmdLoad->click();
//     QCOMPARE(c.lblLogTotal->text(), QStringLiteral("3"));
//
// A control that is missing, or whose name is found more than once among
// the window's children, fails the running test at the line that looked the
// controls up, and the lookup throws MissingControl, so no test goes on with
// a null pointer (QtTest reports the exception and the test program stops).
// Look the controls up while no dialog of the window is open: an open dialog
// is a child too.

#include <array>
#include <source_location>
#include <stdexcept>

class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QToolButton;
class QTreeWidget;
class QWidget;

// Thrown after the failure has been recorded.
struct MissingControl : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The collector window (frmDownload).
struct DownloadControls {
    explicit DownloadControls(QWidget *window,
                              std::source_location where = std::source_location::current());

    QGroupBox *fraTarget;
    std::array<QLabel *, 2> lblTarget;
    QLineEdit *txtURL;
    QToolButton *cmdLoad;
    QLineEdit *txtFolder;
    QToolButton *cmdBrowse;
    QGroupBox *fraSource;
    QWidget *brwBrowserView; // object name "brwBrowser"
    QPlainTextEdit *txtSource;
    QPlainTextEdit *txtHtml;
    QGroupBox *fraLogfile;
    QTreeWidget *lstLogfiles;
    std::array<QToolButton *, 6> cmdButton;
    QGroupBox *fraStatus;
    QProgressBar *pgrDownload;
    QLabel *lblLogCount;
    QLabel *lblAuction;
    QLabel *lblLogTotal;
    QStatusBar *StatusBar1;
    std::array<QLabel *, 4> panels; // panel_1..panel_4 at 0..3
    std::array<QFrame *, 2> Line1;
};

// The settings dialog (frmSetting).
struct SettingControls {
    explicit SettingControls(QWidget *dialog,
                             std::source_location where = std::source_location::current());

    QLabel *lblWindow;
    QGroupBox *frameCommunication;
    QLabel *lblCommunication;
    QLineEdit *txtTimeOut;
    QGroupBox *frameProxyServer;
    QLabel *lblProxyServer;
    QLineEdit *txtProxyAddress;
    QLabel *lblProxyPort;
    QLineEdit *txtProxyPort;
    std::array<QPushButton *, 2> cmdButton; // 0 save, 1 cancel
};

// The version dialog (frmAbout).
struct AboutControls {
    explicit AboutControls(QWidget *dialog,
                           std::source_location where = std::source_location::current());

    QLabel *picIcon;
    QLabel *lblTitle;
    QLabel *lblVersion;
    QLabel *lblCopyright;
    QLabel *lblURL;
    QLabel *lblDisclaimer;
    QPushButton *cmdOK;
    QPushButton *cmdSysInfo;
    std::array<QWidget *, 2> Line1; // 0 white, 1 gray
};

// The login dialog (frmLogin).
struct LoginControls {
    explicit LoginControls(QWidget *dialog,
                           std::source_location where = std::source_location::current());

    QLabel *lblPrompt;
    QLabel *lblUser;
    QLineEdit *txtUser;
    QLabel *lblPassword;
    QLineEdit *txtPassword;
    QPushButton *cmdOK;
    QPushButton *cmdCancel;
};
