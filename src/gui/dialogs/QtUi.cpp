#include "gui/dialogs/QtUi.h"

#include "gui/dialogs/HelpWindow.h"
#include "gui/dialogs/frmLogin.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>

namespace kestrune {

void QtUi::messageBox(QWidget *parent, const QString &text, MsgIcon icon, const QString &title)
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

void QtUi::setBusyPointer(bool busy)
{
    if (busy) {
        if (!QApplication::overrideCursor())
            QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        while (QApplication::overrideCursor())
            QApplication::restoreOverrideCursor();
    }
}

void QtUi::showHelp(QWidget *parent, const QString &helpFile)
{
    ShowHelpWindow(parent, helpFile);
}

void QtUi::quitHelp()
{
    CloseHelpWindow();
}

bool QtUi::startDetached(const QString &program, const QStringList &arguments)
{
    return QProcess::startDetached(program, arguments);
}

bool QtUi::openUrl(const QUrl &url)
{
    return QDesktopServices::openUrl(url);
}

QString QtUi::chooseDirectory(QWidget *parent, const QString &title, const QString &startFolder)
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

std::optional<LoginAnswer> QtUi::askLogin(QWidget *parent, const LoginRequest &request)
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

UiSeam &qtUi()
{
    static QtUi instance;
    return instance;
}

} // namespace kestrune
