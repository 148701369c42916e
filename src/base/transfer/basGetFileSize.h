#pragma once
// Size of the local copy of a log file.

#include <QString>

namespace kestrune {

// The file's size in bytes (64-bit), or -1 when it is not a plain file that
// can be opened for reading: missing, a folder, a symbolic link (which is
// never followed), a device or pipe, no permission, an empty or otherwise
// invalid path.
qint64 GetLocalFileSize(const QString &strFilePath);

} // namespace kestrune
