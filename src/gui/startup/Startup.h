#pragma once
// The window side of the start-up module: the program's start, and the
// settings write that warns the operator in a box when it fails.

#include "base/settings/basKestrune.h"

#include <QString>

namespace kestrune::basKestrune {

// Writes one value.  Returns true when the write failed, after showing the
// warning that names the file and the system's reason.
bool WriteIniValue(const QString &section, const QString &key, const QString &value,
                   const QString &file);

// The warning of a settings file that could not be written, with the
// system's reason on a second line.
void ShowIniWriteError(const QString &file, const QString &reason);

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
