#pragma once
// The local copies in the save folder.  A copy is a plain file inside the
// folder or nothing is done to it: a name that is a symbolic link (dangling
// or not), a folder, a device or a pipe is never read through, written
// through or replaced, and a body is stored by creating a new file in the
// folder and renaming it over the name, both relative to the folder, so that
// no link, not even one put in place while the body is in transfer, leads
// the write elsewhere.  The save folder itself may be a link: the operator
// named it.

#include <QDateTime>
#include <QIODevice>
#include <QString>

#include <optional>

namespace kestrune::transfer {

// Which file a name stands for: two names with the same identity are the
// same file, however they are spelt.
struct FileIdentity {
    quint64 device = 0;
    quint64 inode = 0;
    bool operator==(const FileIdentity &other) const = default;
};

struct LocalEntry {
    enum class Kind {
        Missing,   // nothing of that name
        PlainFile, // a regular file, not a link
        Other,     // a link, a folder, a device, a pipe, a socket
    };
    Kind kind = Kind::Missing;
    FileIdentity identity;
    // The size of a plain file; -1 for anything else.
    qint64 size = -1;
};

// What path names now; its last part is never followed.
LocalEntry InspectLocalPath(const QString &path);

// The identity of an open file.
std::optional<FileIdentity> IdentityOf(int fileDescriptor);

// A body on its way to folder/name.  Writes go into a new file in the folder,
// one without a name where the file system can make one (nothing is left
// behind by a program that is killed); commit() names it and renames it over
// the name.  Where a name is needed from the start, the file is named
// ".kestrune-" + 16 hexadecimal digits + ".part" and locked (flock) while it
// is written; RemoveStaleTemporaryFiles() removes those a killed run left.  Replacing an existing
// copy waits until the new bytes are on disk (the old copy survives any crash); a new copy is
// flushed with the rest of the run by FlushFolder().
//
// A folder that lets nobody make a file in it, holding a copy the operator
// may write: the body goes into a file in the system's temporary folder, and
// commit() writes it over the copy in place (see OverwriteFileInPlace); the
// copy keeps its owner and permissions.
class LocalCopyWriter : public QIODevice {
public:
    LocalCopyWriter() = default;
    ~LocalCopyWriter() override;

    // False (see errorString()) when the folder cannot be entered, the
    // name is not a plain file name, or no file can be created there.
    bool open(const QString &folder, const QString &name);
    // Replaces folder/name with what was written.  Refused, and nothing
    // stored, when the name has become something other than a plain file
    // or is the file keepOff (the open run log).  Once the copy is in place
    // it takes modified, when given, as its modification time (the name is
    // not followed should it have become a link meanwhile).
    bool commit(const std::optional<FileIdentity> &keepOff = std::nullopt,
                const std::optional<QDateTime> &modified = std::nullopt);
    // Drops what was written; the name stays as it was.
    void cancel();

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 length) override;

private:
    bool openInPlace(int createError);
    bool flushPending();
    void discard();

    QString m_folder;
    QString m_name;
    QString m_tempName;
    bool m_unnamed = false; // m_fd has no name in the folder (yet)
    int m_folderFd = -1;
    int m_fd = -1;
    int m_targetFd = -1;  // the copy itself, when it is written in place
    qint64 m_written = 0; // bytes on disk
    QByteArray m_pending; // bytes still to go there
    bool m_failed = false;
};

// Adds to the plain file folder/name what it grew by.  The bytes written
// first must repeat the copy's bytes from `start` to its end (the overlap
// that proves it is the same file grown); any difference fails the write and
// mismatched() tells.  The rest goes at the end.  finish() makes it durable
// and then gives the copy the modification time modified, when given;
// rollback() cuts the copy back to its old size, as it was.
class LocalAppender : public QIODevice {
public:
    LocalAppender() = default;
    ~LocalAppender() override;

    // False when folder/name is not a plain file longer than start.
    bool open(const QString &folder, const QString &name, qint64 start);
    bool mismatched() const { return m_mismatch; }
    qint64 oldSize() const { return m_oldSize; }
    // The copy's bytes from start on, and how many of them the answer repeated.
    const QByteArray &expected() const { return m_expected; }
    qint64 compared() const { return m_compared; }
    bool finish(const std::optional<QDateTime> &modified = std::nullopt);
    void rollback();

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 length) override;

private:
    bool flushPending();
    void closeFile();

    int m_fd = -1;
    qint64 m_oldSize = 0;
    QByteArray m_expected; // the copy's last bytes, from start on
    qint64 m_compared = 0;
    qint64 m_appended = 0;
    QByteArray m_pending;
    bool m_mismatch = false;
};

// Writes bytes over the plain file path where a new file cannot be made
// beside it.  The new size is reserved first, so a full disk fails before any
// old byte changes; then the bytes go in from the start, the rest is cut off
// and everything is flushed.  Owner and permissions stay.  False (with the
// reason) when path is no writable plain file or anything fails.
bool OverwriteFileInPlace(const QString &path, const QByteArray &bytes, QString *error);

// Removes from folder the temporary files of LocalCopyWriter that no process
// holds any more (left by a run that was killed before its commit).  A run
// calls it before it starts.
void RemoveStaleTemporaryFiles(const QString &folder);

// Makes the copies stored in folder since the last call durable.
void FlushFolder(const QString &folder);

} // namespace kestrune::transfer
