#pragma once
#include "base/settings/Version.h"

#include <QString>

namespace kestrune {

// The application title: window caption, message-box title, first run-log line.
inline QString appTitle()
{
    return QStringLiteral("Kestrune");
}

inline int versionMajor()
{
    return KESTRUNE_VERSION_MAJOR;
}
inline int versionMinor()
{
    return KESTRUNE_VERSION_MINOR;
}
inline int versionRevision()
{
    return KESTRUNE_VERSION_PATCH;
}

inline QString copyrightText()
{
    return QStringLiteral("Copyright (C) 2026 The Kestrune developers");
}

} // namespace kestrune
