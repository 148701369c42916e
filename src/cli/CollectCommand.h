#pragma once
// kestrune-collect's run: loads the listing page with the window's loader,
// drives the same collection run and writes the same run log, with progress
// and errors on stderr instead of a window.

#include "cli/CollectOptions.h"

#include <QString>

#include <cstdio>

namespace kestrune::cli {

enum ExitStatus : int {
    ExitAllCollected = 0,  // every row collected or unchanged
    ExitSomeFailed = 1,    // at least one row failed
    ExitNothingDone = 2,   // usage error, folder unusable or in use, listing failed
    ExitInterrupted = 130, // SIGINT, Ctrl+C, --max-time
    ExitTerminated = 143,  // SIGTERM
};

// Runs the command and returns its exit status.  Needs a QCoreApplication.
// exeFolder is where Kestrune.ini is looked for.  out and err are the
// streams for --help/--version and for everything else.
int runCollect(const CollectOptions &options, const QString &exeFolder, std::FILE *out,
               std::FILE *err);

// SIGINT and SIGTERM end the run the way closing the window does: the file
// in transfer is discarded and the program leaves at the next yield.  Install
// once, before runCollect; safe to call again.
void installInterruptHandlers();
bool interrupted();
// The status of an interrupted run: 143 after SIGTERM, else 130.
int interruptedStatus();
// For tests: forget an earlier interrupt.
void resetInterrupted();

} // namespace kestrune::cli
