#include "gui/startup/Startup.h"

#include "base/settings/AppInfo.h"
#include "base/settings/IniFile.h"
#include "gui/collector/frmDownload.h"
#include "gui/seam/UiSeam.h"

#include <QDir>

#include <cerrno>
#include <cstring>

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
    return QString::fromLocal8Bit(std::strerror(error));
#endif
}

} // namespace

bool WriteIniValue(const QString &section, const QString &key, const QString &value,
                   const QString &file)
{
    if (IniFile(file).write(section, key, value))
        return false;
    ui().messageBox(nullptr, file + QStringLiteral(" ファイルの書き込み時にエラーが発生しました。"),
                    MsgIcon::Exclamation, appTitle());
    return true;
}

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

    gstrIniFile = IniFilePath(exeFolder);
    gstrTimeout = ReadIniValue(kSection, QStringLiteral("Timeout"), gstrIniFile);
    const TimeoutConversion timeout = ConvertTimeout(gstrTimeout);
    if (!timeout.milliseconds)
        return startupError(timeout.error);
    glngTimeout = *timeout.milliseconds;

    QString folder = exeFolder;
    if (!folder.endsWith(QDir::separator()) && !folder.endsWith(QLatin1Char('/')))
        folder += QDir::separator();
    if (QDir::isRelativePath(gstrHelpFile))
        gstrHelpFile = folder + gstrHelpFile;

    frmDownload::Show();
    return true;
}

} // namespace kestrune::basKestrune
