#pragma once
// Where the program keeps its files.
//
// A copy whose folder the user may write (the build tree, an unpacked
// archive) keeps everything beside the executable: Kestrune.ini, the manual
// and the first run's Kestrune.log.  An installed copy lives in a folder the
// user may not write (/usr/bin); then
//   - the settings are read from the user's own file
//     ($XDG_CONFIG_HOME/kestrune/Kestrune.ini) once it exists, before that
//     from the system's file, and a save always goes to the user's file;
//   - the system's file is Kestrune.ini beside the executable when there is
//     one, else <P>/etc/kestrune/Kestrune.ini or <P>/../etc/kestrune/ for an
//     executable in <P>/bin (so /usr/bin reads /etc/kestrune/);
//   - the manual is beside the executable when there is one, else
//     <P>/share/kestrune/Kestrune.hlp;
//   - the first run's log goes to $XDG_STATE_HOME/kestrune/.
// Everything is found at run time from the executable's folder, so a copy
// installed under any prefix finds its own files.

#include <QString>

namespace kestrune::appfiles {

inline const QString kFolderName = QStringLiteral("kestrune");
inline const QString kHelpFileName = QStringLiteral("Kestrune.hlp");

// The environment that decides the user's folders.
struct Environment {
    QString home;          // HOME
    QString xdgConfigHome; // XDG_CONFIG_HOME, as set (may be empty or relative)
    QString xdgStateHome;  // XDG_STATE_HOME, as set

    static Environment current();
};

// The user's folders for the program, per the XDG base directories: a
// variable that is empty or not an absolute path is ignored and the default
// under HOME is used.  Empty when neither gives an absolute folder.
QString UserConfigFolder(const Environment &env);
QString UserStateFolder(const Environment &env);

// True when the user may create files in folder.
bool FolderWritable(const QString &folder);

struct Layout {
    // True when everything stays beside the executable.
    bool portable = true;
    // The settings file to read, and the one a save writes.  The same file
    // in a portable copy; in an installed one the save target is the user's
    // file, and the read file is that same file once it exists.
    QString iniRead;
    QString iniWrite;
    // The settings file the user's file starts from on its first save.
    QString iniSystem;
    // The manual (absolute).
    QString helpFile;
    // The folder where the first run's log belongs; empty: the executable's
    // folder.
    QString stateFolder;
};

// The files of the program whose executable lies in exeFolder.
// exeFolderWritable says whether the user may write that folder.
Layout Resolve(const QString &exeFolder, const Environment &env, bool exeFolderWritable);
// The same for the current user and environment.
Layout Resolve(const QString &exeFolder);

// Makes sure the user's settings file exists before its first save: creates
// its folder (0700, as XDG asks for folders it creates) and copies the
// system's file into it, so that keys and lines other than the saved ones
// survive.  Nothing to do when userFile is there already.  False, with the
// system's reason, when the file cannot be made.
bool PrepareUserSettings(const QString &userFile, const QString &systemFile,
                         QString *reason = nullptr);

// Creates folder and its missing parents with 0700.  False, with the
// system's reason, when it is not a folder afterwards.
bool MakePrivateFolder(const QString &folder, QString *reason = nullptr);

} // namespace kestrune::appfiles
