#include "base/transfer/basGetFileSize.h"

#include "base/transfer/LocalFile.h"

#include <QFile>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kestrune {

qint64 GetLocalFileSize(const QString &strFilePath)
{
    // Only a plain file counts: a folder, a pipe or a socket has no size that
    // a downloaded copy could be compared with (opening a FIFO would even
    // block until a writer appears), and a link may lead out of the folder.
    if (transfer::InspectLocalPath(strFilePath).kind != transfer::LocalEntry::Kind::PlainFile)
        return -1;
#ifdef Q_OS_WIN
    QFile file(strFilePath);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    return file.size();
#else
    // Opened without following a link that took the file's place meanwhile.
    const int fd = ::open(QFile::encodeName(strFilePath).constData(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st {};
    const bool plain = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return plain ? qint64(st.st_size) : -1;
#endif
}

} // namespace kestrune
