// The collector window loading one listing (the child of bench_listing
// --window): prints "rows=N peak=BYTES ms=N status=0 longest=MS", longest
// being the longest time the window's event loop did not turn while the
// listing loaded and filled the list.
//
//   bench_listing_window --load URL

#include "ProcessMemory.h"
#include "RecordingUi.h"
#include "WindowControls.h"
#include "WindowWaits.h"
#include "base/settings/basKestrune.h"
#include "gui/collector/frmDownload.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>

using namespace kestrune;

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const qsizetype at = args.indexOf(QStringLiteral("--load"));
    if (at < 0 || at + 1 >= args.size()) {
        std::fprintf(stderr, "usage: bench_listing_window --load URL\n");
        return 2;
    }
    basKestrune::glngTimeout = 600000;
    RecordingUi ui;
    frmDownload w;
    if (!windowwaits::loadWindow(w))
        return 1;
    w.show();
    DownloadControls c(&w);
    c.txtURL->setText(args[at + 1]);

    // A tick every 10 ms; the longest gap between two is how long the event
    // loop was held up.
    QElapsedTimer sinceTick;
    qint64 longest = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout,
                     [&] { longest = std::max(longest, sinceTick.restart()); });
    QElapsedTimer clock;
    clock.start();
    sinceTick.start();
    tick.start(10);
    const bool loaded = windowwaits::loadListing(w, 600000);
    const qint64 ms = clock.elapsed();
    longest = std::max(longest, sinceTick.elapsed());
    std::printf("rows=%lld peak=%lld ms=%lld status=%d longest=%lld\n",
                qint64(c.lstLogfiles->topLevelItemCount()), ProcessMemory::peakResidentBytes(), ms,
                loaded ? 0 : 1, longest);
    return loaded ? 0 : 1;
}
