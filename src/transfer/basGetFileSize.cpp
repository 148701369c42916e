#include "transfer/basGetFileSize.h"

#include <QFile>
#include <QFileInfo>

qint64 GetLocalFileSize(const QString &strFilePath)
{
    if (strFilePath.isEmpty() || strFilePath.contains(QChar(u'\0')))
        return -1;
    // Only regular files count: a folder, a pipe or a socket has no size
    // that a downloaded copy could be compared with (opening a FIFO would
    // even block until a writer appears).
    const QFileInfo info(strFilePath);
    if (!info.isFile())
        return -1;
    QFile file(strFilePath);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    return file.size();
}
