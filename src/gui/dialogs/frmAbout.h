#pragma once
// The version dialog: title, version, copyright, physical memory and the
// program's web address, and a button that starts the platform's
// system-information program.  Created per use and shown modal:
//     frmAbout dlg(this);
//     dlg.exec();

#include <QDialog>
#include <QLocale>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <array>

class QLabel;
class QPushButton;
class QWidget;

namespace kestrune {

// Total physical memory in KB as "###,###,###": groups of three digits
// joined by the locale's group separator, no leading zeros; 0 gives the
// empty text.
QString FormatMemoryKB(quint64 kilobytes, const QLocale &locale);

// The machine's total physical memory in KB (0 when the platform does not
// say).
quint64 TotalPhysicalMemoryKB();

// Where the system-information program is looked for outside Windows: the
// first name of candidates found as an executable on searchPaths (the
// PATH when searchPaths is empty).
struct SystemInfoLookup {
    QStringList candidates;
    QStringList searchPaths;

    static SystemInfoLookup defaults();
};

// The program to start, or the empty text when there is none.
QString FindSystemInformationProgram(const SystemInfoLookup &lookup);

// The home page this build was given (the CMake cache variable
// KESTRUNE_HOME_PAGE); empty when none.
QString BuildHomePage();

// The web address the dialog shows and opens: homePage when there is one,
// else the installed manual helpFile (made absolute) as a file address.
QUrl AboutAddress(const QString &homePage, const QString &helpFile);

// What goes to the desktop to show address in the web browser.  The manual
// is HTML under a name that desktops give to an old help format, so a local
// file not named .htm or .html goes as a copy named .html in folder; any
// other address, and a file that cannot be copied, goes as it is.
QUrl BrowserAddress(const QUrl &address, const QString &folder);

class frmAbout : public QDialog {
    Q_OBJECT

public:
    explicit frmAbout(QWidget *parent = nullptr);

    // The figure of the memory line: the total physical memory in KB,
    // formatted for the user's locale.
    static QString GetPhysicalMemoryText();

    // Starts the system-information program without waiting for it, or says
    // that there is none.
    void LaunchSystemInformation();

    // Replaces the PATH lookup (tests).
    void setSystemInfoLookup(const kestrune::SystemInfoLookup &lookup) { m_lookup = lookup; }

    // The address lblURL shows and a click opens.
    QUrl webAddress() const { return m_address; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    // Controls, under their own names (also their object names; the rule's
    // lines are Line1_0 and Line1_1).
    QLabel *picIcon = nullptr;
    QLabel *lblTitle = nullptr;
    QLabel *lblVersion = nullptr;
    QLabel *lblCopyright = nullptr;
    QLabel *lblURL = nullptr;
    QLabel *lblDisclaimer = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdSysInfo = nullptr;
    std::array<QWidget *, 2> Line1{}; // 0 white, 1 gray: the etched rule

    void Form_Load();
    void CentreOnScreen();
    void ShowWebAddress();
    void OpenWebAddress();

    bool m_centredWithFrame = false;
    QUrl m_address;
    kestrune::SystemInfoLookup m_lookup = kestrune::SystemInfoLookup::defaults();
};

} // namespace kestrune
