#pragma once
// The one place where the program touches the desktop: message boxes, the
// mouse pointer, the help window, the folder and login dialogs and launching
// programs.
// Production goes through Qt; tests install a recorder so every box can be
// inspected and nothing ever waits for a person.

#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

class QWidget;

namespace kestrune {

enum class MsgIcon { None, Exclamation, Information };

// What the login dialog is asked for: the server (or, with proxy set, the
// proxy) that wants credentials, the realm it named (empty when none), the
// user name to offer and which try this is for the same server (1 first).
struct LoginRequest {
    QString host;
    QString realm;
    bool proxy = false;
    QString user;
    int attempt = 1;
};

// What the operator typed.  An empty user name is a valid answer.
struct LoginAnswer {
    QString user;
    QString password;
};

class UiSeam {
public:
    virtual ~UiSeam() = default;

    // An OK-only message box; returns when it has been dismissed.
    virtual void messageBox(QWidget *parent, const QString &text, MsgIcon icon,
                            const QString &title) = 0;

    // Busy (hourglass) or default pointer.  An assignment, not a stack:
    // after setBusyPointer(false) the normal pointer shows, however many
    // times busy was set before.
    virtual void setBusyPointer(bool busy) = 0;

    // Opens the help file in the help window (one instance, brought to the
    // front when already open) and closes it again.
    virtual void showHelp(QWidget *parent, const QString &helpFile) = 0;
    virtual void quitHelp() = 0;

    // Starts a program detached; false when it could not be started.
    virtual bool startDetached(const QString &program, const QStringList &arguments) = 0;

    // Opens an address with the desktop's browser; false on failure.
    virtual bool openUrl(const QUrl &url) = 0;

    // A modal directory chooser.  Returns the chosen folder, or a null
    // QString when the operator cancels.
    virtual QString chooseDirectory(QWidget *parent, const QString &title,
                                    const QString &startFolder) = 0;

    // Asks for a user name and password (modal).  Nothing when cancelled.
    virtual std::optional<LoginAnswer> askLogin(QWidget *parent, const LoginRequest &request) = 0;
};

// The seam in force.  Defaults to the Qt implementation.
UiSeam &ui();
// Installs another implementation (tests); nullptr restores the default.
void setUi(UiSeam *seam);
// The Qt implementation, the default.  It is defined beside the dialogs it
// opens (gui/dialogs/QtUi.cpp); this folder includes none of them.
UiSeam &qtUi();

} // namespace kestrune
