#pragma once
// The system's words for an error number, below every other part of the
// base library (settings, transfers and the run all report with them).

#include <QString>

#include <cstring>

namespace kestrune {

// The system's words for the error number error, in the language of the
// locale where the C library has a translation (許可がありません).
inline QString SystemErrorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace kestrune
