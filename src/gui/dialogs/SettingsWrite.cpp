#include "gui/dialogs/SettingsWrite.h"

#include "base/settings/AppInfo.h"
#include "base/settings/IniFile.h"
#include "gui/seam/UiSeam.h"

namespace kestrune::basKestrune {

void ShowIniWriteError(const QString &file, const QString &reason)
{
    QString text = file + QStringLiteral(" ファイルの書き込み時にエラーが発生しました。");
    if (!reason.isEmpty())
        text += QStringLiteral("\r\n") + reason;
    ui().messageBox(nullptr, text, MsgIcon::Exclamation, appTitle());
}

bool WriteIniValue(const QString &section, const QString &key, const QString &value,
                   const QString &file)
{
    QString reason;
    if (IniFile(file).write(section, key, value, &reason))
        return false;
    ShowIniWriteError(file, reason);
    return true;
}

} // namespace kestrune::basKestrune
