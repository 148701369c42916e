#include "base/transfer/LocalFile.h"

#include "base/system/SystemError.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QRandomGenerator>
#include <QSet>

#ifdef Q_OS_WIN
#include <QFileInfo>
#include <QSaveFile>
#include <io.h>
#include <windows.h>
#else
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kestrune::transfer {

namespace {

// Folders that got new copies since they were last flushed (by any thread).
QSet<QString> &unflushedFolders()
{
    static QSet<QString> folders;
    return folders;
}

QMutex &unflushedLock()
{
    static QMutex lock;
    return lock;
}

bool isPlainName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
           && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'))
           && !name.contains(QChar(u'\0'));
}

// The name a body has in the folder until it is committed, where the file
// system cannot make a file without a name.
QString temporaryName()
{
    return QStringLiteral(".kestrune-%1.part")
        .arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
}

} // namespace

#ifndef Q_OS_WIN

namespace {

FileIdentity identityOf(const struct stat &st)
{
    return FileIdentity{quint64(st.st_dev), quint64(st.st_ino)};
}

// Starts writing a batch to the disk while the next one is received, so
// that the flush at the end waits for little more than the last batch.
void startWriteback(int fd, qint64 offset, qint64 length)
{
#ifdef Q_OS_LINUX
    ::sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
#else
    Q_UNUSED(fd);
    Q_UNUSED(offset);
    Q_UNUSED(length);
#endif
}

// Writes length bytes at offset (-1: at the file position), whole or not at all.
bool writeAll(int fd, const char *data, qint64 length, qint64 offset, QString *error)
{
    for (qint64 done = 0; done < length;) {
        const size_t chunk = size_t(length - done);
        const ssize_t n = offset < 0 ? ::write(fd, data + done, chunk)
                                     : ::pwrite(fd, data + done, chunk, offset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (error)
                *error = SystemErrorText(n < 0 ? errno : EIO);
            return false;
        }
        done += n;
    }
    return true;
}

// The body comes in small pieces; the disk gets them in large ones.
constexpr qsizetype kWriteBatch = 256 * 1024;

// Adds bytes to a batch whose buffer is allocated once and kept: giving it
// back after every write and growing it again costs a copy and a fresh page
// for every byte that passes.
void addToBatch(QByteArray &batch, const char *data, qint64 length)
{
    if (batch.capacity() < kWriteBatch + length)
        batch.reserve(kWriteBatch + std::max<qint64>(length, 64 * 1024));
    batch.append(data, qsizetype(length));
}

// Copies size bytes from source (read from its start) over target in place:
// room first, then the bytes, the rest cut off, flushed.
bool overwrite(int target, int source, qint64 size, QString *error)
{
    const auto failed = [error](int code) {
        if (error)
            *error = SystemErrorText(code);
        return false;
    };
    struct stat st {};
    if (::fstat(target, &st) != 0)
        return failed(errno);
    if (size > st.st_size) {
        const int code = ::posix_fallocate(target, st.st_size, size - st.st_size);
        if (code != 0)
            return failed(code);
    }
    char buffer[64 * 1024];
    for (qint64 offset = 0; offset < size;) {
        const ssize_t got = ::pread(source, buffer,
                                    size_t(std::min<qint64>(sizeof buffer, size - offset)), offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return failed(got < 0 ? errno : EIO);
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::pwrite(target, buffer + done, size_t(got - done), offset + done);
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0)
                return failed(put < 0 ? errno : EIO);
            done += put;
        }
        offset += got;
    }
    if (::ftruncate(target, size) != 0 || ::fdatasync(target) != 0)
        return failed(errno);
    return true;
}

// The modification time as utimensat() takes it; the access time stays.
struct FileTimes {
    struct timespec times[2];
    explicit FileTimes(const QDateTime &modified)
    {
        const qint64 ms = modified.toMSecsSinceEpoch();
        times[0].tv_sec = 0;
        times[0].tv_nsec = UTIME_OMIT;
        times[1].tv_sec = time_t(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
        times[1].tv_nsec = long((ms - qint64(times[1].tv_sec) * 1000) * 1000000);
    }
};

// Gives the open file fd the modification time, when one is given.  A
// failure (a copy written in place that another user owns) leaves the time
// the write made.
void setModified(int fd, const std::optional<QDateTime> &modified)
{
    if (fd >= 0 && modified && modified->isValid())
        ::futimens(fd, FileTimes(*modified).times);
}

// A file in the system's temporary folder that nobody else can reach.
int openScratchFile()
{
    const QByteArray folder = QFile::encodeName(QDir::tempPath());
#ifdef O_TMPFILE
    const int fd = ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0)
        return fd;
#endif
    QByteArray name = folder + "/kestrune-XXXXXX";
    const int named = ::mkostemp(name.data(), O_CLOEXEC);
    if (named >= 0)
        ::unlink(name.constData());
    return named;
}

bool isTemporaryName(const QByteArray &name)
{
    static const QByteArray head = ".kestrune-";
    static const QByteArray tail = ".part";
    if (name.size() != head.size() + 16 + tail.size() || !name.startsWith(head)
        || !name.endsWith(tail))
        return false;
    for (qsizetype i = head.size(); i < head.size() + 16; ++i) {
        const char c = name.at(i);
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

// Whether a file made without a name (O_TMPFILE) can be given one later:
// that goes through /proc (or needs a privilege few processes have).
bool unnamedFilesCanBeLinked()
{
#ifdef O_TMPFILE
    static const bool canLink = ::access("/proc/self/fd", X_OK) == 0;
    return canLink;
#else
    return false;
#endif
}

// Gives the open file fd, which has no name yet, the new name `name` in the
// folder; errno tells why not.
bool linkUnnamed(int fd, int folderFd, const char *name)
{
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    if (::linkat(AT_FDCWD, self.constData(), folderFd, name, AT_SYMLINK_FOLLOW) == 0)
        return true;
#ifdef AT_EMPTY_PATH
    if (errno == ENOENT && ::linkat(fd, "", folderFd, name, AT_EMPTY_PATH) == 0)
        return true;
#endif
    return false;
}

} // namespace

void RemoveStaleTemporaryFiles(const QString &folder)
{
    const int folderFd = ::open(QFile::encodeName(folder).constData(),
                                O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0)
        return;
    const int listFd = ::dup(folderFd);
    DIR *dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        ::close(folderFd);
        return;
    }
    QList<QByteArray> candidates;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (isTemporaryName(name))
            candidates.append(name);
    }
    ::closedir(dir);
    for (const QByteArray &name : std::as_const(candidates)) {
        // A body in work is locked by the process writing it (this one
        // included); one that can be locked was left by a run that ended
        // before its commit.
        const int fd = ::openat(folderFd, name.constData(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat held {};
        struct stat named {};
        if (::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0
            && ::fstatat(folderFd, name.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0
            && identityOf(named) == identityOf(held))
            ::unlinkat(folderFd, name.constData(), 0);
        ::close(fd);
    }
    ::close(folderFd);
}

LocalEntry InspectLocalPath(const QString &path)
{
    LocalEntry entry;
    struct stat st {};
    if (path.isEmpty() || path.contains(QChar(u'\0'))
        || ::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return entry;
    entry.kind = S_ISREG(st.st_mode) ? LocalEntry::Kind::PlainFile : LocalEntry::Kind::Other;
    entry.identity = identityOf(st);
    if (entry.kind == LocalEntry::Kind::PlainFile)
        entry.size = qint64(st.st_size);
    return entry;
}

std::optional<FileIdentity> IdentityOf(int fileDescriptor)
{
    struct stat st {};
    if (fileDescriptor < 0 || ::fstat(fileDescriptor, &st) != 0)
        return std::nullopt;
    return identityOf(st);
}

LocalCopyWriter::~LocalCopyWriter()
{
    discard();
    if (m_folderFd >= 0)
        ::close(m_folderFd);
}

bool LocalCopyWriter::open(const QString &folder, const QString &name)
{
    discard(); // a body written before is dropped, never continued
    m_folder = folder;
    m_name = name;
    m_failed = false;
    if (!isPlainName(name)) {
        setErrorString(QStringLiteral("not a plain file name"));
        return false;
    }
    if (m_folderFd < 0)
        m_folderFd = ::open(QFile::encodeName(folder).constData(),
                            O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_folderFd < 0) {
        setErrorString(SystemErrorText(errno));
        return false;
    }
#ifdef O_TMPFILE
    // A file without a name: nothing is left in the folder should the
    // program end before the commit, however it ends.
    if (unnamedFilesCanBeLinked()) {
        m_fd = ::openat(m_folderFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
        if (m_fd >= 0) {
            m_unnamed = true;
            ::flock(m_fd, LOCK_EX | LOCK_NB);
            return QIODevice::open(QIODevice::WriteOnly | QIODevice::Unbuffered);
        }
    }
#endif
    // Else a new name of our own: O_EXCL never follows a link nor reuses a
    // file.  The lock tells a later run that the file is in work: one left
    // by a run that was killed can be locked and is removed.
    for (int attempt = 0; attempt < 8 && m_fd < 0; ++attempt) {
        m_tempName = temporaryName();
        m_fd = ::openat(m_folderFd, QFile::encodeName(m_tempName).constData(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (m_fd < 0 && errno == EEXIST)
            m_tempName.clear(); // another's: never ours to remove
        else if (m_fd < 0) {
            m_tempName.clear();
            const int error = errno;
            if ((error == EACCES || error == EPERM || error == EROFS) && openInPlace(error))
                break;
            setErrorString(SystemErrorText(error));
            return false;
        }
    }
    if (m_fd < 0) {
        setErrorString(QStringLiteral("no free temporary name"));
        return false;
    }
    if (m_targetFd < 0)
        ::flock(m_fd, LOCK_EX | LOCK_NB);
    return QIODevice::open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

bool LocalCopyWriter::openInPlace(int createError)
{
    // Only an existing plain file the operator may write, reached without
    // following a link.
    m_targetFd = ::openat(m_folderFd, QFile::encodeName(m_name).constData(),
                          O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (m_targetFd < 0 || ::fstat(m_targetFd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (m_targetFd >= 0)
            ::close(m_targetFd);
        m_targetFd = -1;
        errno = createError;
        return false;
    }
    m_fd = openScratchFile();
    if (m_fd < 0) {
        ::close(m_targetFd);
        m_targetFd = -1;
        return false;
    }
    return true;
}

qint64 LocalCopyWriter::writeData(const char *data, qint64 length)
{
    if (m_failed)
        return -1;
    addToBatch(m_pending, data, length);
    if (m_pending.size() >= kWriteBatch) {
        // A large copy goes to the disk while the rest is received (not a
        // scratch file, which is read back and dropped).
        const qint64 at = m_written;
        if (!flushPending())
            return -1;
        if (m_targetFd < 0)
            startWriteback(m_fd, at, m_written - at);
    }
    return length;
}

bool LocalCopyWriter::flushPending()
{
    QString why;
    if (!m_failed && !writeAll(m_fd, m_pending.constData(), m_pending.size(), -1, &why)) {
        m_failed = true;
        setErrorString(why);
    }
    if (!m_failed)
        m_written += m_pending.size();
    m_pending.resize(0); // keeps the buffer
    return !m_failed;
}

bool LocalCopyWriter::commit(const std::optional<FileIdentity> &keepOff,
                             const std::optional<QDateTime> &modified)
{
    if (!isOpen() || m_fd < 0 || !flushPending()) {
        discard();
        return false;
    }
    const QByteArray name = QFile::encodeName(m_name);
    const auto refuse = [this](const QString &why) {
        setErrorString(why);
        discard();
        return false;
    };
    struct stat st {};
    if (m_targetFd >= 0) {
        // In place: the name must still be the file we opened.
        struct stat target {};
        if (::fstat(m_targetFd, &target) != 0
            || ::fstatat(m_folderFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0
            || !S_ISREG(st.st_mode) || identityOf(st) != identityOf(target))
            return refuse(QStringLiteral("not a plain file"));
        if (keepOff && identityOf(target) == *keepOff)
            return refuse(QStringLiteral("the run log"));
        QString why;
        if (!overwrite(m_targetFd, m_fd, m_written, &why))
            return refuse(why);
        setModified(m_targetFd, modified);
        discard();
        return true;
    }
    bool replacing = false;
    if (::fstatat(m_folderFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(st.st_mode))
            return refuse(QStringLiteral("not a plain file"));
        if (keepOff && identityOf(st) == *keepOff)
            return refuse(QStringLiteral("the run log"));
        replacing = true;
        // The new copy keeps the old one's permissions.
        ::fchmod(m_fd, st.st_mode & 07777);
    } else if (errno != ENOENT) {
        return refuse(SystemErrorText(errno));
    }
    // The old copy is only given up for bytes that are on disk.
    if (replacing && ::fdatasync(m_fd) != 0)
        return refuse(SystemErrorText(errno));
    // A body without a name gets one of ours first; the rename below then
    // puts it in place as it does a named one.
    for (int attempt = 0; m_unnamed && m_tempName.isEmpty(); ++attempt) {
        const QString candidate = temporaryName();
        if (linkUnnamed(m_fd, m_folderFd, QFile::encodeName(candidate).constData()))
            m_tempName = candidate;
        else if (errno != EEXIST || attempt == 7)
            return refuse(SystemErrorText(errno));
    }
    if (::close(m_fd) != 0) {
        m_fd = -1;
        return refuse(SystemErrorText(errno));
    }
    m_fd = -1;
    // The rename replaces the directory entry itself: a link put there
    // since the check above is replaced, never written through.
    if (::renameat(m_folderFd, QFile::encodeName(m_tempName).constData(), m_folderFd,
                   name.constData())
        != 0)
        return refuse(SystemErrorText(errno));
    m_tempName.clear();
    // The copy is in place; should its name have become a link since, the
    // link itself gets the time, never what it points at.
    if (modified && modified->isValid())
        ::utimensat(m_folderFd, name.constData(), FileTimes(*modified).times, AT_SYMLINK_NOFOLLOW);
    if (!replacing) {
        const QMutexLocker locker(&unflushedLock());
        unflushedFolders().insert(m_folder);
    }
    QIODevice::close();
    return true;
}

void LocalCopyWriter::cancel()
{
    discard();
}

void LocalCopyWriter::discard()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_targetFd >= 0) {
        ::close(m_targetFd);
        m_targetFd = -1;
    }
    m_written = 0;
    m_pending.clear();
    m_unnamed = false;
    if (!m_tempName.isEmpty() && m_folderFd >= 0)
        ::unlinkat(m_folderFd, QFile::encodeName(m_tempName).constData(), 0);
    m_tempName.clear();
    if (isOpen())
        QIODevice::close();
}

LocalAppender::~LocalAppender()
{
    rollback();
}

bool LocalAppender::open(const QString &folder, const QString &name, qint64 start)
{
    closeFile();
    m_mismatch = false;
    m_compared = m_appended = 0;
    if (!isPlainName(name) || start < 0)
        return false;
    const int dir = ::open(QFile::encodeName(folder).constData(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    m_fd = ::openat(dir, QFile::encodeName(name).constData(),
                    O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    ::close(dir);
    struct stat st {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= start) {
        closeFile();
        return false;
    }
    m_oldSize = st.st_size;
    m_expected.resize(m_oldSize - start);
    qint64 done = 0;
    while (done < m_expected.size()) {
        const ssize_t n = ::pread(m_fd, m_expected.data() + done, size_t(m_expected.size() - done),
                                  start + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            closeFile();
            return false;
        }
        done += n;
    }
    return QIODevice::open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

qint64 LocalAppender::writeData(const char *data, qint64 length)
{
    qint64 used = 0;
    if (m_compared < m_expected.size()) {
        const qint64 n = std::min(length, qint64(m_expected.size()) - m_compared);
        if (std::memcmp(data, m_expected.constData() + m_compared, size_t(n)) != 0) {
            m_mismatch = true;
            setErrorString(QStringLiteral("the copy is not the start of the file on the server"));
            return -1;
        }
        m_compared += n;
        used = n;
    }
    addToBatch(m_pending, data + used, length - used);
    if (m_pending.size() >= kWriteBatch && !flushPending())
        return -1;
    return length;
}

bool LocalAppender::flushPending()
{
    QString why;
    const qint64 at = m_oldSize + m_appended;
    const bool ok = writeAll(m_fd, m_pending.constData(), m_pending.size(), at, &why);
    if (ok)
        startWriteback(m_fd, at, m_pending.size());
    else
        setErrorString(why);
    // Counted also when it did not get in: rollback() cuts it off again.
    m_appended += m_pending.size();
    m_pending.resize(0); // keeps the buffer
    return ok;
}

bool LocalAppender::finish(const std::optional<QDateTime> &modified)
{
    if (m_fd < 0 || m_mismatch || m_compared < m_expected.size() || !flushPending())
        return false;
    if (::fdatasync(m_fd) != 0) {
        setErrorString(SystemErrorText(errno));
        return false;
    }
    setModified(m_fd, modified);
    closeFile();
    return true;
}

void LocalAppender::rollback()
{
    m_pending.clear();
    if (m_fd < 0)
        return;
    if (m_appended > 0 && ::ftruncate(m_fd, m_oldSize) == 0)
        ::fdatasync(m_fd);
    closeFile();
}

void LocalAppender::closeFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_expected.clear();
    if (isOpen())
        QIODevice::close();
}

bool OverwriteFileInPlace(const QString &path, const QByteArray &bytes, QString *error)
{
    const int target = ::open(QFile::encodeName(path).constData(),
                              O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (target < 0 || ::fstat(target, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (error)
            *error = target < 0 ? SystemErrorText(errno) : QStringLiteral("not a plain file");
        if (target >= 0)
            ::close(target);
        return false;
    }
    const int scratch = openScratchFile();
    bool ok = scratch >= 0;
    if (!ok && error)
        *error = SystemErrorText(errno);
    for (qsizetype done = 0; ok && done < bytes.size();) {
        const ssize_t n = ::write(scratch, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            if (error)
                *error = SystemErrorText(n < 0 ? errno : EIO);
            break;
        }
        done += n;
    }
    ok = ok && overwrite(target, scratch, bytes.size(), error);
    if (scratch >= 0)
        ::close(scratch);
    ::close(target);
    return ok;
}

void FlushFolder(const QString &folder)
{
    {
        const QMutexLocker locker(&unflushedLock());
        if (!unflushedFolders().remove(folder))
            return;
    }
    const int fd = ::open(QFile::encodeName(folder).constData(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    // One flush of the folder's file system: a journal commit and the
    // writes of every new copy together (a flush of each copy by itself
    // costs a commit each, some ten times as long for a folder of small
    // logs).
#ifdef Q_OS_LINUX
    ::syncfs(fd);
#else
    ::fsync(fd);
    ::sync();
#endif
    ::close(fd);
}

#else // Q_OS_WIN: the same rules through the platform's file API.

namespace {

std::optional<FileIdentity> identityOfHandle(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info))
        return std::nullopt;
    return FileIdentity{quint64(info.dwVolumeSerialNumber),
                        (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

} // namespace

LocalEntry InspectLocalPath(const QString &path)
{
    LocalEntry entry;
    if (path.isEmpty())
        return entry;
    const std::wstring native =
        QFileInfo(path).absoluteFilePath().replace(u'/', u'\\').toStdWString();
    const DWORD attributes = ::GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return entry;
    const bool plain = !(
        attributes
        & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
    entry.kind = plain ? LocalEntry::Kind::PlainFile : LocalEntry::Kind::Other;
    if (plain)
        entry.size = QFileInfo(path).size();
    HANDLE h = ::CreateFileW(native.c_str(), 0,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        if (const auto id = identityOfHandle(h))
            entry.identity = *id;
        ::CloseHandle(h);
    }
    return entry;
}

std::optional<FileIdentity> IdentityOf(int fileDescriptor)
{
    const intptr_t handle = ::_get_osfhandle(fileDescriptor);
    if (handle == -1)
        return std::nullopt;
    return identityOfHandle(reinterpret_cast<HANDLE>(handle));
}

// The Windows build keeps the body in a QSaveFile; m_fd stays -1.
static QHash<const LocalCopyWriter *, QSaveFile *> &saveFiles()
{
    static QHash<const LocalCopyWriter *, QSaveFile *> files;
    return files;
}

LocalCopyWriter::~LocalCopyWriter()
{
    discard();
}

bool LocalCopyWriter::open(const QString &folder, const QString &name)
{
    m_folder = folder;
    m_name = name;
    m_failed = false;
    if (!isPlainName(name)) {
        setErrorString(QStringLiteral("not a plain file name"));
        return false;
    }
    auto *file = new QSaveFile(folder + QLatin1Char('\\') + name);
    if (!file->open(QIODevice::WriteOnly)) {
        setErrorString(file->errorString());
        delete file;
        return false;
    }
    saveFiles().insert(this, file);
    return QIODevice::open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

qint64 LocalCopyWriter::writeData(const char *data, qint64 length)
{
    QSaveFile *file = saveFiles().value(this);
    const qint64 n = file ? file->write(data, length) : -1;
    if (n != length) {
        m_failed = true;
        setErrorString(file ? file->errorString() : QStringLiteral("not open"));
        return -1;
    }
    return n;
}

bool LocalCopyWriter::commit(const std::optional<FileIdentity> &keepOff,
                             const std::optional<QDateTime> &modified)
{
    QSaveFile *file = saveFiles().value(this);
    const LocalEntry now = InspectLocalPath(m_folder + QLatin1Char('\\') + m_name);
    QString why;
    if (!file || m_failed)
        why = QStringLiteral("not written");
    else if (now.kind == LocalEntry::Kind::Other)
        why = QStringLiteral("not a plain file");
    else if (now.kind == LocalEntry::Kind::PlainFile && keepOff && now.identity == *keepOff)
        why = QStringLiteral("the run log");
    if (!why.isEmpty()) {
        setErrorString(why);
        discard();
        return false;
    }
    const bool ok = file->commit();
    if (!ok)
        setErrorString(file->errorString());
    if (ok && modified && modified->isValid()) {
        QFile copy(m_folder + QLatin1Char('\\') + m_name);
        if (copy.open(QIODevice::Append))
            copy.setFileTime(*modified, QFileDevice::FileModificationTime);
    }
    saveFiles().remove(this);
    delete file;
    QIODevice::close();
    return ok;
}

void LocalCopyWriter::cancel()
{
    discard();
}

void LocalCopyWriter::discard()
{
    if (QSaveFile *file = saveFiles().take(this)) {
        file->cancelWriting();
        delete file;
    }
    if (isOpen())
        QIODevice::close();
}

bool OverwriteFileInPlace(const QString &path, const QByteArray &bytes, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    const bool ok = file.write(bytes) == bytes.size() && file.resize(bytes.size()) && file.flush();
    if (!ok && error)
        *error = file.errorString();
    return ok;
}

// Windows: no appending; the caller then fetches the whole file.
LocalAppender::~LocalAppender() = default;
bool LocalAppender::open(const QString &, const QString &, qint64)
{
    return false;
}
qint64 LocalAppender::writeData(const char *, qint64)
{
    return -1;
}
bool LocalAppender::finish(const std::optional<QDateTime> &)
{
    return false;
}
void LocalAppender::rollback() {}
void LocalAppender::closeFile() {}

void RemoveStaleTemporaryFiles(const QString &)
{
    // QSaveFile's files are its own business.
}

void FlushFolder(const QString &folder)
{
    // QSaveFile flushes every copy it commits.
    const QMutexLocker locker(&unflushedLock());
    unflushedFolders().remove(folder);
}

#endif

} // namespace kestrune::transfer
