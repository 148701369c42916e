#include "cli/CollectProgress.h"

#include "base/system/ControlCharacters.h"

namespace kestrune::cli {

QString formatBytes(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    static const char *const units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = double(bytes);
    int unit = -1;
    // 1023.5 and up would round to "1024": show the next unit instead.
    while (value >= 1023.5 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    // Three significant digits at most: 8.0 KiB, 12.3 MiB, 2.50 GiB, 256 MiB.
    const int decimals = value < 10.0 ? 2 : value < 100.0 ? 1 : 0;
    return QStringLiteral("%1 %2")
        .arg(value, 0, 'f', unit == 0 && decimals == 2 ? 1 : decimals)
        .arg(QLatin1String(units[unit]));
}

QString formatRate(qint64 bytes, qint64 elapsedMs)
{
    if (elapsedMs <= 0)
        return QStringLiteral("-");
    const qint64 perSecond = qint64(double(bytes) * 1000.0 / double(elapsedMs));
    return formatBytes(perSecond) + QStringLiteral("/s");
}

QString progressLine(int i, int n, const QString &name, qint64 bytes, qint64 expected,
                     qint64 elapsedMs, int width)
{
    QString amount = formatBytes(bytes);
    if (expected > 0)
        amount += QLatin1Char('/') + formatBytes(expected);
    const QString head = QStringLiteral("%1/%2 ").arg(i).arg(n);
    const QString tail = QLatin1Char(' ') + amount + QLatin1Char(' ')
                         + formatRate(bytes, elapsedMs);
    // The name as the operator may see it, and as wide as it is shown.
    QString shown = EscapeControlCharacters(name);
    if (width > 0) {
        const qsizetype room = qsizetype(width) - head.size() - tail.size();
        if (shown.size() > room)
            shown = room > 3 ? shown.left(room - 3) + QStringLiteral("...") : QString();
    }
    QString line = head + shown + tail;
    if (width > 0 && line.size() > width)
        line.truncate(width);
    return line;
}

QString summaryLine(const CollectTotals &t, qint64 elapsedMs)
{
    return QStringLiteral(
               "kestrune-collect: %1 downloaded, %2 unchanged, %3 failed, %4 bytes in %5 s")
        .arg(t.downloaded)
        .arg(t.unchanged)
        .arg(t.failed)
        .arg(t.bytes)
        .arg(double(elapsedMs) / 1000.0, 0, 'f', 1);
}

} // namespace kestrune::cli
