#pragma once
// The window side of the start-up module: the program's start, and the
// settings write that warns the operator in a box when it fails.

#include "base/settings/basKestrune.h"

#include <QString>

namespace kestrune::basKestrune {

// Writes one value.  Returns true when the write failed, after showing the
// warning that names the file.
bool WriteIniValue(const QString &section, const QString &key, const QString &value,
                   const QString &file);

// The program's start: exeFolder is the folder of the executable.  Shows the
// collector window and returns true, or shows the start-up error box and
// returns false (no window).
bool Main(const QString &exeFolder);

} // namespace kestrune::basKestrune
