#pragma once
// The window side of the start-up module: the program's start.

#include "base/settings/basKestrune.h"

#include <QString>

namespace kestrune::basKestrune {

// The program's start: exeFolder is the folder of the executable.  Shows the
// collector window and returns true, or shows the start-up error box and
// returns false (no window).
//
// The current directory, where the first run writes Kestrune.log, becomes
// the executable's folder when the user may write it; else the user's state
// folder (created when missing), or the executable's folder again when that
// cannot be made or entered.  An executable's folder that cannot be entered
// is a start-up error.
bool Main(const QString &exeFolder);

} // namespace kestrune::basKestrune
