#pragma once
// Size of the local copy of a log file.

#include <QString>

// The file's size in bytes (64-bit), or -1 when it cannot be opened for
// reading: missing, a folder, no permission, an empty or otherwise invalid
// path, or a special file (socket, ...).
qint64 GetLocalFileSize(const QString &strFilePath);
