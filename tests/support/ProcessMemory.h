#pragma once
// Resident memory of this process, from /proc/self/status (Linux).

#include <QtGlobal>

namespace ProcessMemory {

// Current resident set (VmRSS) in bytes; -1 when it cannot be read.
qint64 residentBytes();
// Peak resident set (VmHWM) in bytes; -1 when it cannot be read.
qint64 peakResidentBytes();
// Lowers the peak mark to the current resident set (writes "5" to
// /proc/self/clear_refs).  False when the kernel does not allow it; callers
// then sample residentBytes() themselves.
bool resetPeak();

} // namespace ProcessMemory
