#pragma once
// The version dialog: title, version, copyright, physical memory and the
// project's web address, and a button that starts the platform's
// system-information program.  Created per use and shown modal:
//     frmAbout dlg(this);
//     dlg.exec();

#include <QDialog>
#include <QLocale>
#include <QString>
#include <QStringList>

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

} // namespace kestrune

class frmAbout : public QDialog {
    Q_OBJECT

public:
    explicit frmAbout(QWidget *parent = nullptr);

    // Controls, under their own names.
    QLabel *picIcon = nullptr;
    QLabel *lblTitle = nullptr;
    QLabel *lblVersion = nullptr;
    QLabel *lblCopyright = nullptr;
    QLabel *lblURL = nullptr;
    QLabel *lblDisclaimer = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdSysInfo = nullptr;
    std::array<QWidget *, 2> Line1{}; // 0 white, 1 gray: the etched rule

    // The figure of the memory line: the total physical memory in KB,
    // formatted for the user's locale.
    static QString GetPhysicalMemoryText();

    // Starts the system-information program without waiting for it, or says
    // that there is none.
    void LaunchSystemInformation();

    // Replaces the PATH lookup (tests).
    void setSystemInfoLookup(const kestrune::SystemInfoLookup &lookup) { m_lookup = lookup; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void Form_Load();
    void CentreOnScreen();
    void OpenWebAddress();

    bool m_centredWithFrame = false;
    kestrune::SystemInfoLookup m_lookup = kestrune::SystemInfoLookup::defaults();
};
