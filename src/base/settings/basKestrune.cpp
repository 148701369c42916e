#include "base/settings/basKestrune.h"

#include "base/settings/AppFiles.h"
#include "base/settings/IniFile.h"

#include <QDir>
#include <QRegularExpression>
#include <QSysInfo>

#include <limits>

namespace kestrune::basKestrune {

QString ReadIniValue(const QString &section, const QString &key, const QString &file)
{
    return IniFile(file).read(section, key);
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

QString SettingsFile(const QString &exeFolder)
{
    return appfiles::Resolve(exeFolder).iniRead;
}

TimeoutConversion ConvertTimeout(const QString &text)
{
    static const QRegularExpression number(QStringLiteral("^([+-]?)([0-9]*)(?:\\.([0-9]*))?$"));
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
        const bool restNonZero = fraction.mid(1).contains(
            QRegularExpression(QStringLiteral("[1-9]")));
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

QString GetLocalComputerName()
{
    return QSysInfo::machineHostName();
}

} // namespace kestrune::basKestrune
