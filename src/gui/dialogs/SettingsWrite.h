#pragma once
// Settings writes made from a window: a write that fails is reported to the
// operator in a warning box.

#include <QString>

namespace kestrune::basKestrune {

// Writes one value.  Returns true when the write failed, after showing the
// warning that names the file and the system's reason.
bool WriteIniValue(const QString &section, const QString &key, const QString &value,
                   const QString &file);

// The warning of a settings file that could not be written, with the
// system's reason on a second line.
void ShowIniWriteError(const QString &file, const QString &reason);

} // namespace kestrune::basKestrune
