#include "gui/startup/Startup.h"
#include "base/system/SystemError.h"

#include "base/settings/AppFiles.h"
#include "base/settings/AppInfo.h"
#include "base/settings/TextCodec.h"
#include "gui/collector/frmDownload.h"
#include "gui/seam/UiSeam.h"

#include <QDir>

#include <cerrno>

namespace kestrune::basKestrune {

namespace {

// Why a folder could not be entered, in the system's words (in its language
// where the C library has a translation).
QString folderErrorText()
{
#ifdef Q_OS_WIN
    return qt_error_string(-1); // the thread's last error
#else
    const int error = errno;
    if (error == 0)
        return QStringLiteral("パスが見つかりません。");
    return SystemErrorText(error);
#endif
}

} // namespace

bool Main(const QString &exeFolder)
{
    const auto startupError = [](const QString &description) {
        ui().setBusyPointer(false);
        ui().messageBox(nullptr, QStringLiteral("起動エラー！\r\n") + description,
                        MsgIcon::Exclamation, appTitle());
        return false;
    };

    errno = 0;
    if (!QDir::setCurrent(exeFolder)) {
        // The system's own words for why the folder cannot be entered, and
        // the folder.
        return startupError(folderErrorText() + QStringLiteral("\r\n")
                            + QDir::toNativeSeparators(exeFolder));
    }

    // An installed copy cannot write beside itself: its first run's log goes
    // to the user's state folder instead of being lost.  Where that folder
    // cannot be made the program stays in its own folder, as before.
    const appfiles::Layout files = appfiles::Resolve(exeFolder);
    if (!files.portable && appfiles::MakePrivateFolder(files.stateFolder))
        QDir::setCurrent(files.stateFolder);

    gstrIniFile = files.iniRead;
    gstrIniSaveFile = files.iniWrite;
    gstrTimeout = ReadIniValue(kSection, QStringLiteral("Timeout"), gstrIniFile);
    const TimeoutConversion timeout = ConvertTimeout(gstrTimeout);
    if (!timeout.milliseconds)
        return startupError(timeout.error);
    glngTimeout = *timeout.milliseconds;

    if (QDir::isRelativePath(gstrHelpFile))
        gstrHelpFile = files.helpFile;

    frmDownload::Show();
    return true;
}

} // namespace kestrune::basKestrune
