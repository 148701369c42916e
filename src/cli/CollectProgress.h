#pragma once
// The texts kestrune-collect shows on stderr: the progress line of the file
// in transfer and the summary at the end.

#include <QString>

namespace kestrune::cli {

// "512 B", "8.0 KiB", "12.3 MiB", "2.50 GiB".
QString formatBytes(qint64 bytes);

// Bytes per second over elapsedMs as "… /s"; "-" while no time has passed.
QString formatRate(qint64 bytes, qint64 elapsedMs);

// "i/n name bytes[/expected] rate", at most width characters (the name is
// shortened first; width 0 means no limit).  A control character of the name
// shows as its escape (EscapeControlCharacters).
QString progressLine(int i, int n, const QString &name, qint64 bytes, qint64 expected,
                     qint64 elapsedMs, int width = 0);

struct CollectTotals {
    int downloaded = 0;
    int unchanged = 0;
    int failed = 0;
    qint64 bytes = 0;
};

// "kestrune-collect: 3 downloaded, 7 unchanged, 0 failed, 12345 bytes in 1.2 s"
QString summaryLine(const CollectTotals &totals, qint64 elapsedMs);

} // namespace kestrune::cli
