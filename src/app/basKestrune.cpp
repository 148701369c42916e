#include "app/basKestrune.h"

#include "app/AppInfo.h"
#include "app/IniFile.h"
#include "app/UiSeam.h"
#include "collector/frmDownload.h"

#include <QDir>
#include <QRegularExpression>
#include <QSysInfo>

#include <cerrno>
#include <cstring>

namespace basKestrune {

using kestrune::MsgIcon;
using kestrune::ui;

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

QString ReadIniValue(const QString &section, const QString &key, const QString &file)
{
    return kestrune::IniFile(file).read(section, key);
}

bool WriteIniValue(const QString &section, const QString &key, const QString &value,
                   const QString &file)
{
    if (kestrune::IniFile(file).write(section, key, value))
        return false;
    ui().messageBox(nullptr,
                    file + QStringLiteral(" ファイルの書き込み時にエラーが発生しました。"),
                    MsgIcon::Exclamation, kestrune::appTitle());
    return true;
}

QString TrimSpaces(const QString &text)
{
    qsizetype start = 0;
    qsizetype end = text.size();
    while (start < end && text.at(start) == QLatin1Char(' '))
        ++start;
    while (end > start && text.at(end - 1) == QLatin1Char(' '))
        --end;
    return text.mid(start, end - start);
}

QString IniFilePath(const QString &exeFolder)
{
    return exeFolder + QDir::separator() + kIniFileName;
}

TimeoutConversion ConvertTimeout(const QString &text)
{
    static const QRegularExpression number(
        QStringLiteral("^([+-]?)([0-9]*)(?:\\.([0-9]*))?$"));
    const QString t = TrimSpaces(text);
    const auto m = number.match(t);
    if (!m.hasMatch() || (m.capturedLength(2) == 0 && m.capturedLength(3) == 0))
        return {std::nullopt, kTypeMismatch};

    const bool negative = m.captured(1) == QLatin1String("-");
    QString whole = m.captured(2);
    while (whole.size() > 1 && whole.front() == QLatin1Char('0'))
        whole.remove(0, 1);
    if (whole.size() > 12)
        return {std::nullopt, kOverflow};
    qint64 magnitude = whole.isEmpty() ? 0 : whole.toLongLong();

    // Round the fraction to the nearest whole number, halves to the even one.
    const QString fraction = m.captured(3);
    if (!fraction.isEmpty()) {
        const int firstDigit = fraction.front().digitValue();
        const bool restNonZero =
            fraction.mid(1).contains(QRegularExpression(QStringLiteral("[1-9]")));
        if (firstDigit > 5 || (firstDigit == 5 && restNonZero)
            || (firstDigit == 5 && !restNonZero && (magnitude % 2) == 1))
            ++magnitude;
    }
    const qint64 value = negative ? -magnitude : magnitude;
    if (value < std::numeric_limits<qint32>::min() || value > std::numeric_limits<qint32>::max())
        return {std::nullopt, kOverflow};
    const qint64 ms = value * 1000;
    if (ms < std::numeric_limits<qint32>::min() || ms > std::numeric_limits<qint32>::max())
        return {std::nullopt, kOverflow};
    return {qint32(ms), QString()};
}

bool Main(const QString &exeFolder)
{
    const auto startupError = [](const QString &description) {
        ui().setBusyPointer(false);
        ui().messageBox(nullptr, QStringLiteral("起動エラー！\r\n") + description,
                        MsgIcon::Exclamation, kestrune::appTitle());
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

QString GetLocalComputerName()
{
    return QSysInfo::machineHostName();
}

} // namespace basKestrune
