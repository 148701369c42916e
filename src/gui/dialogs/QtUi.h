#pragma once
// The UI seam through Qt: real message boxes, the application's override
// pointer, the help window, the folder and login dialogs, and launches
// through QProcess and QDesktopServices.  kestrune::qtUi() is the program's
// one instance; tests install a recorder in its place.

#include "gui/seam/UiSeam.h"

namespace kestrune {

class QtUi final : public UiSeam {
public:
    void messageBox(QWidget *parent, const QString &text, MsgIcon icon,
                    const QString &title) override;
    void setBusyPointer(bool busy) override;
    void showHelp(QWidget *parent, const QString &helpFile) override;
    void quitHelp() override;
    bool startDetached(const QString &program, const QStringList &arguments) override;
    bool openUrl(const QUrl &url) override;
    QString chooseDirectory(QWidget *parent, const QString &title,
                            const QString &startFolder) override;
    std::optional<LoginAnswer> askLogin(QWidget *parent, const LoginRequest &request) override;
};

} // namespace kestrune
