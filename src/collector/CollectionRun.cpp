#include "collector/CollectionRun.h"

#include "transfer/basGetFileSize.h"
#include "transfer/basWinInet.h"

#include <QDir>

#include <memory>

namespace kestrune {

QString CollectionRun::localPath(const QString &saveFolder, const QString &fileName)
{
    return saveFolder + QDir::separator() + fileName;
}

bool CollectionRun::isUnsafeFileName(const QString &fileName)
{
    if (fileName.isEmpty())
        return false; // fetched but never stored
    if (fileName == QLatin1String(".") || fileName == QLatin1String(".."))
        return true;
    if (fileName.contains(QLatin1Char('/')) || fileName.contains(QLatin1Char('\\')))
        return true;
    if (QDir::isAbsolutePath(fileName))
        return true;
#ifdef Q_OS_WIN
    if (fileName.contains(QLatin1Char(':'))) // drive-relative paths and streams
        return true;
#endif
    for (const QChar c : fileName) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return true;
    }
    return false;
}

CollectionRun::Ending CollectionRun::run(const QList<ListingRow> &rows, const QString &saveFolder)
{
    m_abandoned = false;
    // New copies are made durable together when the run leaves.
    struct Flush {
        const QString &folder;
        ~Flush() { transfer::FlushFolder(folder); }
    } flush{saveFolder};
    m_host.writeRunLog(QStringLiteral("○ IISログダウンロード開始。\t"));
    const qsizetype n = rows.size();
    for (qsizetype i = 1; i <= n; ++i) {
        if (m_host.stopRequested())
            return Ending::Stopped;
        m_host.yield();
        if (m_host.abandoned())
            return Ending::Abandoned;
        const ListingRow row = rows.at(i - 1);
        m_host.beginRow(int(i), row);
        const RowResult result = doRow(row, saveFolder);
        if (m_abandoned)
            return Ending::Abandoned;
        m_host.rowDone(int(i), row, result);
    }
    m_host.writeRunLog(QStringLiteral("○ IISログダウンロード終了。\t")
                       + (n > 0 ? rows.at(n - 1).url : QString()));
    return Ending::Completed;
}

CollectionRun::RowResult CollectionRun::doRow(const ListingRow &row, const QString &saveFolder)
{
    if (isUnsafeFileName(row.fileName)) {
        m_host.writeRunLog(QStringLiteral("× ファイル名が不正です。\t") + row.url);
        return {RowOutcome::InvalidName, 0, QStringLiteral("unsafe file name")};
    }
    const QString path = localPath(saveFolder, row.fileName);
    const auto storeFailed = [&](const QString &why) {
        m_host.writeRunLog(QStringLiteral("× ファイルを保存できません。\t") + path);
        return RowResult{RowOutcome::StoreFailed, 0, QStringLiteral("cannot store the file: ") + why};
    };
    if (!row.fileName.isEmpty()) {
        // The local copy is a plain file in the folder, or it is left alone:
        // a link, a folder, a device, and the run log itself.
        const transfer::LocalEntry entry = transfer::InspectLocalPath(path);
        if (entry.kind == transfer::LocalEntry::Kind::Other)
            return storeFailed(QStringLiteral("not a plain file"));
        const std::optional<transfer::FileIdentity> log = m_host.runLogIdentity();
        if (entry.kind == transfer::LocalEntry::Kind::PlainFile && log && entry.identity == *log)
            return storeFailed(QStringLiteral("it is the run log"));
    }
    const qint64 localSize = GetLocalFileSize(path);
    m_host.yield();
    if (m_host.abandoned()) {
        m_abandoned = true;
        return {};
    }
    const QString proxy = m_host.proxy();
    const qint64 remoteSize = GetRemoteFileSize(row.url, proxy);
    m_host.remoteSizeKnown(remoteSize);
    if (localSize == remoteSize) {
        m_host.writeRunLog(QStringLiteral("× ファイルサイズが同じ ") + row.url);
        return {RowOutcome::Unchanged, 0, QString()};
    }

    // The body streams into a new file in the folder, which replaces the
    // local copy only once the whole body is in.
    std::unique_ptr<transfer::LocalCopyWriter> target;
    if (!row.fileName.isEmpty()) {
        target = std::make_unique<transfer::LocalCopyWriter>();
        if (!target->open(saveFolder, row.fileName))
            return storeFailed(target->errorString());
    }

    DownloadHooks hooks;
    hooks.writeRunLog = [&](const QString &line) { m_host.writeRunLog(line); };
    hooks.setProgress = [&](int percent, bool busy) { m_host.setProgress(percent, busy); };
    hooks.abandoned = [&] { return m_host.abandoned(); };
    hooks.bytesReceived = [&](qint64 received) { m_host.bytesReceived(received, remoteSize); };
    const DownloadOutcome outcome = DownloadFile(row.url, target.get(), proxy, remoteSize, hooks);

    if (outcome.result == DownloadResult::Interrupted || m_host.abandoned()) {
        m_abandoned = true;
        if (target)
            target->cancel();
        return {};
    }
    if (outcome.result == DownloadResult::NotStorable) {
        const QString why = target->errorString();
        target->cancel();
        return storeFailed(why);
    }
    if (outcome.result != DownloadResult::Stored) {
        if (target)
            target->cancel();
        if (outcome.result == DownloadResult::Failed)
            return {RowOutcome::Failed, 0, outcome.reason()};
        return {RowOutcome::Downloaded, 0, QString()};
    }

    // After a download the current directory follows the folder box, so a
    // later run's log lands there; a folder that cannot be entered is ignored.
    QDir::setCurrent(m_host.currentFolderText());
    if (target && !target->commit(m_host.runLogIdentity()))
        return storeFailed(target->errorString());
    return {RowOutcome::Downloaded, outcome.bytes, QString()};
}

} // namespace kestrune
