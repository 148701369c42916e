#include "gui/seam/UiSeam.h"

#include "gui/dialogs/HelpWindow.h"
#include "gui/dialogs/frmLogin.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>

namespace kestrune {

namespace {

class QtUi final : public UiSeam {
public:
    void messageBox(QWidget *parent, const QString &text, MsgIcon icon,
                    const QString &title) override
    {
        QMessageBox box(parent);
        box.setWindowTitle(title);
        box.setText(text);
        switch (icon) {
        case MsgIcon::Exclamation: box.setIcon(QMessageBox::Warning); break;
        case MsgIcon::Information: box.setIcon(QMessageBox::Information); break;
        case MsgIcon::None: box.setIcon(QMessageBox::NoIcon); break;
        }
        box.setStandardButtons(QMessageBox::Ok);
        // The box shows the normal pointer whatever the program was doing.
        const bool wasBusy = QApplication::overrideCursor() != nullptr;
        setBusyPointer(false);
        box.exec();
        if (wasBusy)
            setBusyPointer(true);
    }

    void setBusyPointer(bool busy) override
    {
        if (busy) {
            if (!QApplication::overrideCursor())
                QApplication::setOverrideCursor(Qt::WaitCursor);
        } else {
            while (QApplication::overrideCursor())
                QApplication::restoreOverrideCursor();
        }
    }

    void showHelp(QWidget *parent, const QString &helpFile) override
    {
        ShowHelpWindow(parent, helpFile);
    }

    void quitHelp() override { CloseHelpWindow(); }

    bool startDetached(const QString &program, const QStringList &arguments) override
    {
        return QProcess::startDetached(program, arguments);
    }

    bool openUrl(const QUrl &url) override { return QDesktopServices::openUrl(url); }

    QString chooseDirectory(QWidget *parent, const QString &title,
                            const QString &startFolder) override
    {
        QFileDialog dialog(parent, title, startFolder);
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly, true);
        if (!startFolder.isEmpty() && QFileInfo(startFolder).isDir())
            dialog.setDirectory(startFolder);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return QString();
        return dialog.selectedFiles().constFirst();
    }

    std::optional<LoginAnswer> askLogin(QWidget *parent, const LoginRequest &request) override
    {
        frmLogin dialog(request, parent);
        // Typing wants the normal pointer whatever the program was doing.
        const bool wasBusy = QApplication::overrideCursor() != nullptr;
        setBusyPointer(false);
        dialog.exec();
        if (wasBusy)
            setBusyPointer(true);
        return dialog.TakeAnswer();
    }
};

UiSeam *&installed()
{
    static UiSeam *seam = nullptr;
    return seam;
}

} // namespace

UiSeam &ui()
{
    static QtUi qtUi;
    UiSeam *seam = installed();
    return seam ? *seam : qtUi;
}

void setUi(UiSeam *seam)
{
    installed() = seam;
}

} // namespace kestrune
