#pragma once
// One collection at a time per save folder.  A run holds the lock of its
// folder for as long as it works; a second run into the same folder, from
// this or another process, the window or the command line, finds it taken
// and does not start.
//
// On Linux and the other Unix systems the lock is flock(2) on a descriptor
// of the folder itself: nothing is written into the folder, and the lock
// goes with the process, however it ends.  On Windows it is a hidden file in
// the folder, opened without sharing and deleted when closed.

#include <QString>

namespace kestrune {

class FolderLock {
public:
    enum class Outcome {
        Locked,    // this object holds the folder's lock now
        InUse,     // another run holds it
        NotLocked, // the folder could not be locked (missing, unreadable, ...): errorText()
    };

    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

    // Takes the lock of folder without waiting.  A lock this object held
    // before is released first.  Two objects of the same process are two
    // runs: the second finds the folder in use.
    Outcome lock(const QString &folder);
    void unlock();
    bool isLocked() const;

    // The system's reason of the last NotLocked, in its own words.
    QString errorText() const { return m_error; }

private:
#ifdef Q_OS_WIN
    void *m_handle = nullptr;
#else
    int m_fd = -1;
#endif
    QString m_error;
};

} // namespace kestrune
