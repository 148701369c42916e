#include "base/collection/CollectionRun.h"

#include "base/transfer/basGetFileSize.h"
#include "base/transfer/basWinInet.h"
#include "base/transfer/CurlTransport.h"

#include <QDir>
#include <QUrl>

#include <memory>

namespace kestrune {

namespace {

const QString kNotAFile = QStringLiteral("a folder, not a file");

} // namespace

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

bool CollectionRun::isFolderRow(const ListingRow &row)
{
    // The address tells (the window's list keeps no kind); a sort link of a
    // folder's page (".../?C=N;O=D") is that page too.
    return IsFolderAddress(QUrl(row.url));
}

CollectionRun::RowResult CollectionRun::doRow(const ListingRow &row, const QString &saveFolder)
{
    // A folder's page is no log file: nothing is asked for it.
    if (isFolderRow(row))
        return storeFailed(localPath(saveFolder, row.fileName), kNotAFile);
    if (isUnsafeFileName(row.fileName)) {
        m_host.writeRunLog(QStringLiteral("× ファイル名が不正です。\t") + row.url);
        return {RowOutcome::InvalidName, 0, QStringLiteral("unsafe file name")};
    }
    const QString path = localPath(saveFolder, row.fileName);
    const auto storeFailed = [&](const QString &why) { return this->storeFailed(path, why); };
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
    const RemoteProbe probe = ProbeRemoteFile(row.url, proxy);
    const qint64 remoteSize = probe.size;
    m_host.remoteSizeKnown(remoteSize);
    if (localSize == remoteSize) {
        m_host.writeRunLog(QStringLiteral("× ファイルサイズが同じ ") + row.url);
        return {RowOutcome::Unchanged, 0, QString()};
    }
    // A log that grew: fetch only what it grew by, when the server can tell.
    if (!row.fileName.isEmpty() && localSize > 0 && remoteSize > localSize) {
        if (const std::optional<RowResult> appended = appendGrowth(row, saveFolder, localSize,
                                                                   probe, proxy))
            return *appended;
        if (m_abandoned)
            return {};
    }
    return fetchWhole(row, saveFolder, remoteSize, proxy);
}

DownloadHooks CollectionRun::downloadHooks(qint64 remoteSize)
{
    DownloadHooks hooks;
    hooks.writeRunLog = [this](const QString &line) { m_host.writeRunLog(line); };
    hooks.setProgress = [this](int percent, bool busy) { m_host.setProgress(percent, busy); };
    hooks.abandoned = [this] { return m_host.abandoned(); };
    hooks.bytesReceived = [this, remoteSize](qint64 received) {
        m_host.bytesReceived(received, remoteSize);
    };
    return hooks;
}

CollectionRun::RowResult CollectionRun::storeFailed(const QString &path, const QString &why)
{
    m_host.writeRunLog(QStringLiteral("× ファイルを保存できません。\t") + path);
    return RowResult{RowOutcome::StoreFailed, 0, QStringLiteral("cannot store the file: ") + why};
}

CollectionRun::RowResult CollectionRun::fetchWhole(const ListingRow &row, const QString &saveFolder,
                                                   qint64 remoteSize, const QString &proxy)
{
    const QString path = localPath(saveFolder, row.fileName);
    // The body streams into a new file in the folder, which replaces the
    // local copy only once the whole body is in.
    std::unique_ptr<transfer::LocalCopyWriter> target;
    if (!row.fileName.isEmpty()) {
        target = std::make_unique<transfer::LocalCopyWriter>();
        if (!target->open(saveFolder, row.fileName))
            return storeFailed(path, target->errorString());
    }
    const DownloadOutcome outcome = DownloadFile(row.url, target.get(), proxy, remoteSize,
                                                 downloadHooks(remoteSize));
    return finishWhole(outcome, target.get(), path);
}

CollectionRun::RowResult CollectionRun::finishWhole(const DownloadOutcome &outcome,
                                                    transfer::LocalCopyWriter *target,
                                                    const QString &path)
{
    if (outcome.result == DownloadResult::Interrupted || m_host.abandoned()) {
        m_abandoned = true;
        if (target)
            target->cancel();
        return {};
    }
    if (outcome.result == DownloadResult::NotAFile) {
        if (target)
            target->cancel();
        return storeFailed(path, kNotAFile);
    }
    if (outcome.result == DownloadResult::NotStorable) {
        const QString why = target ? target->errorString() : QString();
        if (target)
            target->cancel();
        return storeFailed(path, why);
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
    // The copy carries the server's time of the file, as far as it told.
    if (target && !target->commit(m_host.runLogIdentity(), outcome.lastModified))
        return storeFailed(path, target->errorString());
    return {RowOutcome::Downloaded, outcome.bytes, QString()};
}

namespace {

// Where an answer to the growth request goes: appended to the copy while it
// repeats the copy's last bytes.  An answer from the file's first byte that
// turns out not to repeat them is the whole file all the same: it goes on
// into a new copy, with the bytes that did match, without asking again.
class GrowthTarget : public QIODevice {
public:
    GrowthTarget(transfer::LocalAppender &appender,
                 std::function<transfer::LocalCopyWriter *()> openWhole)
        : m_appender(appender), m_openWhole(std::move(openWhole))
    {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }

    transfer::LocalCopyWriter *whole() const { return m_whole; }
    bool mismatched() const { return m_appender.mismatched() && !m_whole; }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 length) override
    {
        if (m_whole)
            return m_whole->write(data, length);
        if (m_appender.write(data, length) == length)
            return length;
        if (!m_appender.mismatched() || !m_openWhole)
            return -1;
        m_whole = m_openWhole();
        const QByteArray matched = m_appender.expected().left(m_appender.compared());
        m_appender.rollback();
        if (!m_whole || m_whole->write(matched) != matched.size()
            || m_whole->write(data, length) != length)
            return -1;
        return length;
    }

private:
    transfer::LocalAppender &m_appender;
    std::function<transfer::LocalCopyWriter *()> m_openWhole;
    transfer::LocalCopyWriter *m_whole = nullptr;
};

} // namespace

std::optional<CollectionRun::RowResult>
CollectionRun::appendGrowth(const ListingRow &row, const QString &saveFolder, qint64 localSize,
                            const RemoteProbe &probe, const QString &proxy)
{
    // Asked from a little before the copy's end: the bytes both have prove
    // the copy is the start of the file on the server.
    const qint64 start = std::max<qint64>(localSize - kAppendOverlap, 0);
    transfer::LocalAppender appender;
    if (!appender.open(saveFolder, row.fileName, start))
        return std::nullopt;
    std::unique_ptr<transfer::LocalCopyWriter> whole;
    const auto openWhole = [&]() -> transfer::LocalCopyWriter * {
        whole = std::make_unique<transfer::LocalCopyWriter>();
        whole->open(saveFolder, row.fileName);
        return whole.get();
    };
    GrowthTarget growth(appender, start == 0
                                      ? std::function<transfer::LocalCopyWriter *()>(openWhole)
                                      : nullptr);
    const BodyTargetChooser choose = [&](const transfer::HttpRequest &answer) -> BodyTarget {
        if (answer.status() == 206) {
            const std::optional<ContentRange> range = ParseContentRange(
                answer.header("Content-Range"));
            const bool exact = range && range->first == start && range->last + 1 > localSize
                               && (range->total < 0 || range->last + 1 == range->total);
            return {exact ? BodyTarget::Kind::Write : BodyTarget::Kind::Decline, &growth};
        }
        if (answer.status() == 200) {
            // The server sends the whole file (a changed file, or no
            // ranges): it is the full download already.
            return {BodyTarget::Kind::Write, openWhole()};
        }
        return {BodyTarget::Kind::Decline, nullptr};
    };
    const DownloadOutcome outcome = DownloadRange(row.url, proxy, start, probe.validator,
                                                  probe.size, choose, downloadHooks(probe.size));
    if (whole) {
        appender.rollback();
        return finishWhole(outcome, whole.get(), localPath(saveFolder, row.fileName));
    }
    switch (outcome.result) {
    case DownloadResult::Stored:
        if (!appender.finish(outcome.lastModified)) {
            const QString why = appender.errorString();
            appender.rollback();
            return storeFailed(localPath(saveFolder, row.fileName), why);
        }
        QDir::setCurrent(m_host.currentFolderText());
        return RowResult{RowOutcome::Downloaded, outcome.bytes, QString()};
    case DownloadResult::Failed:
        appender.rollback();
        return RowResult{RowOutcome::Failed, 0, outcome.reason()};
    case DownloadResult::Interrupted:
        appender.rollback();
        m_abandoned = true;
        return RowResult{};
    case DownloadResult::NotAFile:
        appender.rollback();
        return storeFailed(localPath(saveFolder, row.fileName), kNotAFile);
    case DownloadResult::NotStorable:
        if (!growth.mismatched()) {
            const QString why = appender.errorString();
            appender.rollback();
            return storeFailed(localPath(saveFolder, row.fileName), why);
        }
        [[fallthrough]];
    case DownloadResult::Empty:
    case DownloadResult::Declined:
        appender.rollback();
        return std::nullopt; // the whole file, as if the copy were not there
    }
    return std::nullopt;
}

} // namespace kestrune
