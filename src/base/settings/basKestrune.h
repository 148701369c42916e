#pragma once
// The settings that the windows and the command-line collector share: the
// globals, the profile file and the time-out conversion.  The start-up that
// shows the window, and the write that warns in a box, are the window's
// (gui/startup/Startup.h).

#include <QString>

#include <optional>

namespace kestrune::basKestrune {

// Settings globals, process-wide, touched only on the user-interface thread.
inline QString gstrIniFile; // full path of the Kestrune.ini the settings are read from
// Where a save writes: gstrIniFile itself in a copy whose folder the user may
// write, else the user's own Kestrune.ini (see AppFiles.h), which becomes
// gstrIniFile once it exists.
inline QString gstrIniSaveFile;
inline QString gstrTimeout;      // page-load time-out in seconds, as text
inline qint32 glngTimeout = 0;   // page-load time-out in milliseconds
inline QString gstrProxyAddress; // proxy host
inline QString gstrProxyPort;    // proxy port
inline QString gstrProxy;        // proxy in force; empty: the system's settings
inline QString gstrComputerName;
inline QString gstrLogURL;
inline QString gstrSaveFolder;
// The help file; a bare name until start-up makes it absolute.
inline QString gstrHelpFile = QStringLiteral("Kestrune.hlp");

inline const QString kSection = QStringLiteral("Kestrune");
inline const QString kIniFileName = QStringLiteral("Kestrune.ini");

// Removes leading and trailing spaces (spaces only, as the runtime's Trim
// does: tabs and line breaks stay).
QString TrimSpaces(const QString &text);

// One value of the settings file; the empty text when it cannot be read.
QString ReadIniValue(const QString &section, const QString &key, const QString &file);

// The settings file beside the executable in exeFolder.  The separator is
// always inserted, even after a root folder.
QString IniFilePath(const QString &exeFolder);

// The settings file the program in exeFolder reads now: IniFilePath in a
// copy whose folder the user may write, else the user's own file or the
// system's (see AppFiles.h).
QString SettingsFile(const QString &exeFolder);

// The time-out text converted to milliseconds: trimmed, a decimal number with
// an optional sign, halves rounded to the even neighbour, times 1000.
struct TimeoutConversion {
    std::optional<qint32> milliseconds;
    QString error; // the runtime's description when milliseconds is empty
};
TimeoutConversion ConvertTimeout(const QString &text);

inline const QString kTypeMismatch = QStringLiteral("型が一致しません。");
inline const QString kOverflow = QStringLiteral("オーバーフローしました。");

// The host name, or the empty text when there is none.
QString GetLocalComputerName();

} // namespace kestrune::basKestrune
