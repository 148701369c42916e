#pragma once
// Waits for the collector window's work to end, for tests.  Loading the
// window, loading a listing and a run all start and return; their ends come
// as signals.  Each helper starts the work as the operator would and waits
// for its end; it returns false when the end did not come in time (or the
// work never started), so tests write
//
//     QVERIFY(loadWindow(w));
//     c.txtURL->setText(url);
//     QVERIFY(loadListing(w));
//     c.txtFolder->setText(folder);
//     QVERIFY(runToEnd(w));

namespace kestrune {
class frmDownload;
}

namespace windowwaits {

// Generous: loopback work on a busy machine.  What has not ended by then
// never will.
constexpr int kWindowWaitMs = 60000;

// Form_Load() and the wait for loadFinished().
bool loadWindow(kestrune::frmDownload &w, int timeoutMs = kWindowWaitMs);

// Clicks the load command and waits for listingLoaded().
bool loadListing(kestrune::frmDownload &w, int timeoutMs = kWindowWaitMs);

// Clicks 開始 and waits for runEnded(); false when no run started.
bool runToEnd(kestrune::frmDownload &w, int timeoutMs = kWindowWaitMs);

// Waits for the run in work to end (one started some other way).
bool waitRunEnded(kestrune::frmDownload &w, int timeoutMs = kWindowWaitMs);

} // namespace windowwaits
