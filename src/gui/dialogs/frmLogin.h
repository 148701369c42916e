#pragma once
// The login dialog: asks for the user name and password a server (or a
// proxy) wants before it answers.  Created per request and shown modal; the
// answer is taken once, which also empties the password box:
//     frmLogin dlg(request, this);
//     dlg.exec();
//     const std::optional<kestrune::LoginAnswer> answer = dlg.TakeAnswer();
// Production code asks through kestrune::ui().askLogin() instead.

#include "gui/seam/UiSeam.h"

#include <QDialog>
#include <QString>

#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace kestrune {

class frmLogin : public QDialog {
    Q_OBJECT

public:
    explicit frmLogin(const kestrune::LoginRequest &request, QWidget *parent = nullptr);

    // The whole prompt for a host and realm: "<host> へのログイン", and the
    // realm in 「」 on a second line when there is one.  Characters that
    // would not print (line breaks, tabs, direction overrides) show as spaces.
    static QString PromptText(const QString &host, const QString &realm);

    // What was typed when the dialog was accepted, nothing otherwise.  The
    // password box is emptied either way, so the password stays only in the
    // answer the caller holds.
    std::optional<kestrune::LoginAnswer> TakeAnswer();

private:
    // Controls, under their own names (also their object names).
    QLabel *lblPrompt = nullptr;
    QLabel *lblUser = nullptr;
    QLineEdit *txtUser = nullptr;
    QLabel *lblPassword = nullptr;
    QLineEdit *txtPassword = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;

    void ShowPrompt(const QString &host, const QString &realm);
};

} // namespace kestrune
