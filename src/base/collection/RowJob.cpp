#include "base/collection/RowJob.h"

#include "base/transfer/CurlTransport.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace kestrune {

namespace {

const QString kNotAFile = QStringLiteral("a folder, not a file");
// Bytes asked again before a grown copy's end, to prove it is the same file.
constexpr qint64 kAppendOverlap = 4096;

} // namespace

// Where an answer to the growth request goes: appended to the copy while it
// repeats the copy's last bytes.  An answer from the file's first byte that
// turns out not to repeat them is the whole file all the same: it goes on
// into a new copy, with the bytes that did match, without asking again.
class RowJob::GrowthTarget : public QIODevice {
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

QString RowJob::localPath(const QString &saveFolder, const QString &fileName)
{
    return saveFolder + QDir::separator() + fileName;
}

QString RowJob::rowFolder(const QString &saveFolder, const QString &subFolder)
{
    if (subFolder.isEmpty())
        return saveFolder;
    return saveFolder + QDir::separator() + QDir::toNativeSeparators(subFolder);
}

QString RowJob::checkSubFolder(const QString &saveFolder, const QString &subFolder)
{
    if (subFolder.isEmpty())
        return QString();
    QString path = saveFolder;
    for (const QString &name : subFolder.split(QLatin1Char('/'))) {
        if (isUnsafeFileName(name) || name.isEmpty())
            return QStringLiteral("unsafe folder name");
        path += QDir::separator() + name;
        const QFileInfo info(path);
        if (info.isSymLink() || info.isJunction())
            return QStringLiteral("\"%1\" is a link, not a folder").arg(path);
        if (!info.exists())
            return QStringLiteral("no folder \"%1\"").arg(path);
        if (!info.isDir())
            return QStringLiteral("\"%1\" is not a folder").arg(path);
    }
    return QString();
}

bool RowJob::isUnsafeFileName(const QString &fileName)
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

bool RowJob::isFolderRow(const ListingRow &row)
{
    // The address tells (the window's list keeps no kind); a sort link of a
    // folder's page (".../?C=N;O=D") is that page too.
    return IsFolderAddress(QUrl(row.url));
}

RowJob::RowJob(const RowSettings &settings, const ListingRow &row, QObject *parent)
    : QObject(parent), m_settings(settings), m_row(row),
      m_folder(rowFolder(settings.folder, row.subFolder)), m_path(localPath(m_folder, row.fileName))
{}

RowJob::~RowJob()
{
    if (!m_done)
        cancel();
}

void RowJob::start()
{
    // The first step runs at the next turn of the event loop.
    m_pendingStep = &RowJob::GetLocalFileSize;
    queuePendingStep();
}

void RowJob::runStep(void (RowJob::*step)())
{
    // Called from a step's end, outside the transfer that ended: the next
    // step runs at once unless the job is held.
    if (m_held) {
        m_pendingStep = step;
        return;
    }
    (this->*step)();
}

void RowJob::queuePendingStep()
{
    if (m_held)
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_done || m_held || !m_pendingStep)
                return;
            const auto next = m_pendingStep;
            m_pendingStep = nullptr;
            (this->*next)();
        },
        Qt::QueuedConnection);
}

void RowJob::setHeld(bool held)
{
    if (m_held == held || m_done)
        return;
    m_held = held;
    if (m_probeStep)
        m_probeStep->setHeld(held);
    if (m_download)
        m_download->setHeld(held);
    if (!held && m_pendingStep)
        queuePendingStep();
}

void RowJob::cancel()
{
    if (m_done)
        return;
    m_done = true;
    m_pendingStep = nullptr;
    if (m_probeStep)
        m_probeStep->abort();
    if (m_download)
        m_download->abort();
    if (m_whole)
        m_whole->cancel();
    if (m_appender)
        m_appender->rollback();
}

void RowJob::finishWith(RowOutcome outcome)
{
    if (m_done)
        return;
    m_done = true;
    outcome.localPath = m_path;
    if (m_probed)
        outcome.remoteSize = m_probe.size;
    Q_EMIT finished(outcome);
}

void RowJob::storeFailed(const QString &why, RowOutcome::Transfer transfer, qint64 received)
{
    RowOutcome outcome;
    outcome.received = received;
    outcome.kind = RowOutcome::Kind::StoreFailed;
    outcome.transfer = transfer;
    outcome.reason = QStringLiteral("cannot store the file: ") + why;
    finishWith(outcome);
}

RowJob::LocalCopy RowJob::inspectCopy(const QString &path,
                                      const std::optional<transfer::FileIdentity> &runLog)
{
    const transfer::LocalEntry entry = transfer::InspectLocalPath(path);
    LocalCopy copy{entry.kind, entry.size, QString()};
    if (entry.kind == transfer::LocalEntry::Kind::Other)
        copy.refusal = QStringLiteral("not a plain file");
    else if (entry.kind == transfer::LocalEntry::Kind::PlainFile && runLog
             && entry.identity == *runLog)
        copy.refusal = QStringLiteral("it is the run log");
    return copy;
}

void RowJob::GetLocalFileSize()
{
    // A folder's page is no log file: nothing is asked for it.
    if (isFolderRow(m_row)) {
        storeFailed(kNotAFile);
        return;
    }
    if (isUnsafeFileName(m_row.fileName)) {
        RowOutcome outcome;
        outcome.kind = RowOutcome::Kind::InvalidName;
        outcome.reason = QStringLiteral("unsafe file name");
        finishWith(outcome);
        return;
    }
    if (const QString why = checkSubFolder(m_settings.folder, m_row.subFolder); !why.isEmpty()) {
        storeFailed(why);
        return;
    }
    if (!m_row.fileName.isEmpty()) {
        const LocalCopy copy = inspectCopy(m_path, m_settings.runLog);
        if (!copy.refusal.isEmpty()) {
            storeFailed(copy.refusal);
            return;
        }
        m_localSize = copy.size;
        if (copy.kind == transfer::LocalEntry::Kind::Missing && !m_settings.probeMissingCopies) {
            DownloadFile();
            return;
        }
    }
    GetRemoteFileSize();
}

void RowJob::GetRemoteFileSize()
{
    m_probeStep = std::make_unique<RemoteSizeProbe>(m_row.url, m_settings.proxy());
    connect(m_probeStep.get(), &RemoteSizeProbe::finished, this, [this] {
        m_probe = m_probeStep->result();
        m_probed = true;
        Q_EMIT remoteSizeKnown(m_probe.size);
        runStep(&RowJob::decide);
    });
    m_probeStep->setHeld(m_held);
    m_probeStep->start();
}

void RowJob::decide()
{
    if (m_probe.size && *m_probe.size == m_localSize) {
        RowOutcome outcome;
        outcome.kind = RowOutcome::Kind::Unchanged;
        finishWith(outcome);
        return;
    }
    if (!m_probe.answered() && m_settings.failUnansweredProbe) {
        RowOutcome outcome;
        outcome.kind = RowOutcome::Kind::Failed;
        outcome.transfer = RowOutcome::Transfer::NotOpened;
        outcome.reason = m_probe.error.describe();
        finishWith(outcome);
        return;
    }
    // A log that grew: fetch only what it grew by, when the server can tell.
    if (!m_row.fileName.isEmpty() && m_localSize > 0 && m_probe.size
        && *m_probe.size > m_localSize) {
        appendGrowth();
        return;
    }
    DownloadFile();
}

void RowJob::followDownload(FileDownload *download, qint64 expected)
{
    connect(download, &FileDownload::progress, this, &RowJob::progress);
    connect(download, &FileDownload::bytesReceived, this, [this, download, expected](qint64 received) {
        Q_EMIT bytesReceived(received, expected > 0 ? expected : download->expectedSize());
    });
    download->setHeld(m_held);
    download->start();
}

void RowJob::appendGrowth()
{
    // Asked from a little before the copy's end: the bytes both have prove
    // the copy is the start of the file on the server.
    const qint64 start = std::max<qint64>(m_localSize - kAppendOverlap, 0);
    m_appender = std::make_unique<transfer::LocalAppender>();
    if (!m_appender->open(m_folder, m_row.fileName, start)) {
        m_appender.reset();
        DownloadFile();
        return;
    }
    const auto openWhole = [this]() -> transfer::LocalCopyWriter * {
        m_whole = std::make_unique<transfer::LocalCopyWriter>();
        m_whole->open(m_folder, m_row.fileName);
        return m_whole.get();
    };
    m_growth = std::make_unique<GrowthTarget>(
        *m_appender,
        start == 0 ? std::function<transfer::LocalCopyWriter *()>(openWhole) : nullptr);
    const qint64 localSize = m_localSize;
    const BodyTargetChooser choose = [this, start, localSize,
                                      openWhole](const transfer::HttpRequest &answer) -> BodyTarget {
        if (answer.status() == 206) {
            const std::optional<ContentRange> range = ParseContentRange(
                answer.header("Content-Range"));
            // From the first byte, the part may become the whole file (see
            // GrowthTarget): then only a part that names the file's size
            // will do.
            const bool exact = range && range->first == start && range->last + 1 > localSize
                               && (range->total < 0 ? start > 0 : range->last + 1 == range->total);
            return {exact ? BodyTarget::Kind::Write : BodyTarget::Kind::Decline, m_growth.get()};
        }
        if (answer.status() == 200) {
            // The server sends the whole file (a changed file, or no
            // ranges): it is the full download already.
            return {BodyTarget::Kind::Write, openWhole()};
        }
        return {BodyTarget::Kind::Decline, nullptr};
    };
    const qint64 size = *m_probe.size;
    m_download = std::make_unique<FileDownload>(
        FileDownload::Request{m_row.url, m_settings.proxy(), start, m_probe.validator,
                              size - start},
        choose);
    connect(m_download.get(), &FileDownload::finished, this, &RowJob::afterGrowth);
    followDownload(m_download.get(), size);
}

void RowJob::afterGrowth()
{
    const DownloadOutcome outcome = m_download->outcome();
    const auto fallBack = [this] {
        // The whole file, as if the copy were not there.  The growth's
        // download goes once it has told its end.
        m_appender->rollback();
        m_growth.reset();
        m_appender.reset();
        m_download.release()->deleteLater();
        runStep(&RowJob::DownloadFile);
    };
    if (m_whole) {
        m_appender->rollback();
        afterDownload();
        return;
    }
    switch (outcome.result) {
    case DownloadResult::Stored:
        if (!m_appender->finish(outcome.lastModified)) {
            const QString why = m_appender->errorString();
            m_appender->rollback();
            storeFailed(why, RowOutcome::Transfer::Opened, outcome.bytes);
            return;
        } else {
            RowOutcome done;
            done.kind = RowOutcome::Kind::Downloaded;
            done.transfer = RowOutcome::Transfer::Opened;
            done.bytes = outcome.bytes;
            done.received = outcome.bytes;
            m_appender.reset();
            finishWith(done);
            return;
        }
    case DownloadResult::Failed: {
        m_appender->rollback();
        RowOutcome failed;
        failed.kind = RowOutcome::Kind::Failed;
        failed.transfer = RowOutcome::Transfer::NotOpened;
        failed.reason = outcome.reason();
        finishWith(failed);
        return;
    }
    case DownloadResult::NotAFile:
        m_appender->rollback();
        storeFailed(kNotAFile);
        return;
    case DownloadResult::NotStorable:
        if (!m_growth->mismatched()) {
            const QString why = m_appender->errorString();
            m_appender->rollback();
            storeFailed(why);
            return;
        }
        fallBack();
        return;
    case DownloadResult::Empty:
    case DownloadResult::Declined: fallBack(); return;
    }
}

void RowJob::DownloadFile()
{
    // The body streams into a new file in the folder, which replaces the
    // local copy only once the whole body is in.
    if (!m_row.fileName.isEmpty()) {
        m_whole = std::make_unique<transfer::LocalCopyWriter>();
        if (!m_whole->open(m_folder, m_row.fileName)) {
            const QString why = m_whole->errorString();
            m_whole.reset();
            storeFailed(why);
            return;
        }
    }
    const qint64 expected = m_probe.size.value_or(0);
    // Without a probe the answer tells the size to measure against.
    m_download = std::make_unique<FileDownload>(
        FileDownload::Request{m_row.url, m_settings.proxy(), -1, QByteArray(), expected, !m_probed},
        FileDownload::IntoDevice(m_whole.get()));
    connect(m_download.get(), &FileDownload::finished, this, &RowJob::afterDownload);
    followDownload(m_download.get(), expected);
}

void RowJob::afterDownload()
{
    const DownloadOutcome outcome = m_download->outcome();
    transfer::LocalCopyWriter *target = m_whole.get();
    const auto drop = [target] {
        if (target)
            target->cancel();
    };
    RowOutcome done;
    switch (outcome.result) {
    case DownloadResult::NotAFile:
        drop();
        storeFailed(kNotAFile);
        return;
    case DownloadResult::NotStorable: {
        const QString why = target ? target->errorString() : QString();
        drop();
        storeFailed(why);
        return;
    }
    case DownloadResult::Failed:
    case DownloadResult::Declined:
        drop();
        done.kind = RowOutcome::Kind::Failed;
        done.transfer = RowOutcome::Transfer::NotOpened;
        done.reason = outcome.reason();
        finishWith(done);
        return;
    case DownloadResult::Empty:
        // Nothing to store: the copy stays as it is.
        drop();
        done.kind = RowOutcome::Kind::Downloaded;
        done.transfer = RowOutcome::Transfer::Opened;
        finishWith(done);
        return;
    case DownloadResult::Stored:
        // The copy carries the server's time of the file, as far as it told.
        if (target && !target->commit(m_settings.runLog, outcome.lastModified)) {
            const QString why = target->errorString();
            storeFailed(why, RowOutcome::Transfer::Opened, outcome.bytes);
            return;
        }
        done.kind = RowOutcome::Kind::Downloaded;
        done.transfer = RowOutcome::Transfer::Opened;
        done.bytes = outcome.bytes;
        done.received = outcome.bytes;
        finishWith(done);
        return;
    }
}

} // namespace kestrune
