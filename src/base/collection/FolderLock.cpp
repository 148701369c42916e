#include "base/collection/FolderLock.h"
#include "base/system/SystemError.h"

#include "base/settings/TextCodec.h"

#include <QDir>
#include <QFile>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace kestrune {

FolderLock::~FolderLock()
{
    unlock();
}

#ifdef Q_OS_WIN

namespace {

const wchar_t kLockName[] = L".kestrune-collect.lock";

QString systemMessage(DWORD code)
{
    wchar_t *text = nullptr;
    const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                         | FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0,
                                     nullptr);
    QString message = n ? QString::fromWCharArray(text, int(n)).trimmed()
                        : QStringLiteral("error %1").arg(code);
    if (text)
        ::LocalFree(text);
    return message;
}

} // namespace

FolderLock::Outcome FolderLock::lock(const QString &folder)
{
    unlock();
    m_error.clear();
    const std::wstring path = QDir::toNativeSeparators(
                                  QDir(folder).absoluteFilePath(QString::fromWCharArray(kLockName)))
                                  .toStdWString();
    // No sharing: a second open fails while this one stays; the file goes
    // with the handle, also when the process is killed.
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED
            || code == ERROR_LOCK_VIOLATION) {
            // A lock file being deleted answers "access denied" for a moment;
            // the folder is taken either way.
            if (code != ERROR_ACCESS_DENIED
                || ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
                return Outcome::InUse;
        }
        m_error = systemMessage(code);
        return Outcome::NotLocked;
    }
    m_handle = h;
    return Outcome::Locked;
}

void FolderLock::unlock()
{
    if (m_handle) {
        ::CloseHandle(static_cast<HANDLE>(m_handle));
        m_handle = nullptr;
    }
}

bool FolderLock::isLocked() const
{
    return m_handle != nullptr;
}

#else

FolderLock::Outcome FolderLock::lock(const QString &folder)
{
    unlock();
    m_error.clear();
    const QByteArray path = QFile::encodeName(folder);
    int fd;
    do {
        fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        m_error = SystemErrorText(errno);
        return Outcome::NotLocked;
    }
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            return Outcome::InUse;
        m_error = SystemErrorText(error);
        return Outcome::NotLocked;
    }
    m_fd = fd;
    return Outcome::Locked;
}

void FolderLock::unlock()
{
    if (m_fd >= 0) {
        // Closing the descriptor ends the lock.
        ::close(m_fd);
        m_fd = -1;
    }
}

bool FolderLock::isLocked() const
{
    return m_fd >= 0;
}

#endif

} // namespace kestrune
