#pragma once
// The settings dialog: edits the page-load time-out and the proxy server,
// stores them in Kestrune.ini and recomputes glngTimeout and gstrProxy.
//
// Every opening reads the file again, so the dialog always shows what the
// file holds.  Created per use and shown modal:
//     frmSetting dlg(this);
//     dlg.exec();

#include <QDialog>
#include <QString>

#include <array>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace kestrune {

class frmSetting : public QDialog {
    Q_OBJECT

public:
    explicit frmSetting(QWidget *parent = nullptr);

    // The folder of the executable whose settings the dialog edits (see
    // AppFiles.h for where they are kept): the executable's folder, unless
    // a folder was set (tests point it at a scratch folder; the empty text
    // restores the executable's folder).
    static QString ExecutableFolder();
    static void SetExecutableFolder(const QString &folder);

    // The click handler of the button array.
    void cmdButton_Click(int index);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    // Controls, under their own names (also their object names; the
    // buttons are cmdButton_0 and cmdButton_1).
    QLabel *lblWindow = nullptr;
    QGroupBox *frameCommunication = nullptr;
    QLabel *lblCommunication = nullptr;
    QLineEdit *txtTimeOut = nullptr;
    QGroupBox *frameProxyServer = nullptr;
    QLabel *lblProxyServer = nullptr;
    QLineEdit *txtProxyAddress = nullptr;
    QLabel *lblProxyPort = nullptr;
    QLineEdit *txtProxyPort = nullptr;
    std::array<QPushButton *, 2> cmdButton{}; // 0 save, 1 cancel

    void Form_Load();
    void SaveSettings();
    // Writes the three keys; false, after one warning, when they could not
    // all be stored.
    bool StoreSettings();
    void FocusTimeOut();

    // The box that gained focus by a mouse press; its whole text is selected
    // once the click has placed the cursor.
    QLineEdit *m_selectAfterClick = nullptr;
};

} // namespace kestrune
