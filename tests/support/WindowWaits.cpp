#include "WindowWaits.h"

#include "gui/collector/frmDownload.h"

#include <QSignalSpy>
#include <QToolButton>

namespace windowwaits {

using kestrune::frmDownload;

namespace {

QToolButton *button(frmDownload &w, const char *name)
{
    return w.findChild<QToolButton *>(QLatin1String(name));
}

// Waits until spy has caught its signal once; true when it did.
bool caughtOnce(QSignalSpy &spy, int timeoutMs)
{
    if (spy.isEmpty() && !spy.wait(timeoutMs))
        return false;
    return spy.size() == 1;
}

} // namespace

bool loadWindow(frmDownload &w, int timeoutMs)
{
    QSignalSpy finished(&w, &frmDownload::loadFinished);
    w.Form_Load();
    // The blank page reports from the event loop, never inside Form_Load.
    if (!finished.isEmpty())
        return false;
    return caughtOnce(finished, timeoutMs) && w.isLoaded();
}

bool loadListing(frmDownload &w, int timeoutMs)
{
    QToolButton *load = button(w, "cmdLoad");
    if (!load || !load->isEnabled())
        return false;
    QSignalSpy loaded(&w, &frmDownload::listingLoaded);
    load->click();
    return caughtOnce(loaded, timeoutMs);
}

bool runToEnd(frmDownload &w, int timeoutMs)
{
    QToolButton *start = button(w, "cmdButton_1");
    if (!start || !start->isEnabled())
        return false;
    QSignalSpy ended(&w, &frmDownload::runEnded);
    start->click();
    if (ended.isEmpty() && !w.isCollecting())
        return false; // refused, or nothing to collect
    return caughtOnce(ended, timeoutMs);
}

bool waitRunEnded(frmDownload &w, int timeoutMs)
{
    QSignalSpy ended(&w, &frmDownload::runEnded);
    if (!w.isCollecting())
        return false;
    return caughtOnce(ended, timeoutMs);
}

} // namespace windowwaits
