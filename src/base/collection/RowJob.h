#pragma once
// One row of a collection: its steps run on the event loop, one after the
// other, and the job ends with a typed outcome.
//
//   inspect the local path (GetLocalFileSize)
//   -> probe the server (GetRemoteFileSize)
//   -> decide: unchanged, grown (append what it grew by), or anything else
//   -> download (DownloadFile): the growth, or the whole file into a new copy
//   -> commit the copy
//   -> finished(RowOutcome)
//
// Nothing here writes a run-log line or waits: the run turns the outcome into
// lines, and cancel() (the program ending) drops what was in transfer and
// leaves the local copy as it was.

#include "base/listing/ListingRow.h"
#include "base/transfer/LocalFile.h"
#include "base/transfer/basWinInet.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace kestrune {

// What became of one row.
struct RowOutcome {
    enum class Kind {
        Unchanged,   // the local copy has the server's size
        Downloaded,  // the file's body was read (and stored, when it had bytes)
        Failed,      // the server gave no usable answer
        InvalidName, // a name that could leave the save folder
        StoreFailed, // the copy could not be made or replaced
    };
    // What the transfer itself came to, as the run log tells it.
    enum class Transfer {
        None,      // no transfer, or none the log speaks of
        Opened,    // the body was read: "○ "
        NotOpened, // no body: "× "
    };
    Kind kind = Kind::Failed;
    Transfer transfer = Transfer::None;
    qint64 bytes = 0;    // bytes stored
    qint64 received = 0; // body bytes read, stored or not
    QString reason;    // why a row failed, in plain words (English)
    QString localPath; // the copy's path in the save folder
    // The size the server reported, when it reported one.
    std::optional<qint64> remoteSize;
};

// What the rows of a run share.
struct RowSettings {
    QString folder;
    // The proxy in force, read for every request.
    std::function<QString()> proxy;
    // The open run log's file: a row never stores over it.
    std::optional<transfer::FileIdentity> runLog;
    // A row without a local copy is probed all the same (the window's
    // order); false: it is downloaded at once, one request.
    bool probeMissingCopies = true;
    // A probe that got no answer at all ends the row as failed, without a
    // second wait for the download; false: the download is tried.
    bool failUnansweredProbe = false;
};

class RowJob : public QObject {
    Q_OBJECT
public:
    RowJob(const RowSettings &settings, const ListingRow &row, QObject *parent = nullptr);
    ~RowJob() override;

    void start();
    // Gives up at once: a transfer in flight is dropped, the local copy stays
    // as it was, finished() is not emitted.
    void cancel();
    // Pauses the transfer in flight and the next step until released.
    void setHeld(bool held);

    const ListingRow &row() const { return m_row; }
    const QString &localPath() const { return m_path; }
    bool isDone() const { return m_done; }

    // The local path of a row's file: folder, the native separator, name.
    static QString localPath(const QString &saveFolder, const QString &fileName);
    // The folder a row's file is stored in: the save folder, or the row's
    // sub-folder (ListingRow::subFolder) in it.
    static QString rowFolder(const QString &saveFolder, const QString &subFolder);
    // Why the row's sub-folder cannot take its file: a name on its way that
    // is missing, a link or no folder.  Empty when it can (or has none).
    static QString checkSubFolder(const QString &saveFolder, const QString &subFolder);
    // A name that could leave the save folder or is not a plain file name.
    static bool isUnsafeFileName(const QString &fileName);
    // A row that names a folder (its address ends in '/'): it is never
    // fetched or stored.
    static bool isFolderRow(const ListingRow &row);

    // The local copy at path as a run takes it: a plain file in the folder
    // (its size), nothing yet, or something it leaves alone (a link, a
    // folder, a device, the run log itself), with the reason.
    struct LocalCopy {
        transfer::LocalEntry::Kind kind = transfer::LocalEntry::Kind::Missing;
        qint64 size = -1;
        QString refusal; // not empty: the row is left alone
    };
    static LocalCopy inspectCopy(const QString &path,
                                 const std::optional<transfer::FileIdentity> &runLog);

Q_SIGNALS:
    // The size the server reported for the file (or nothing).
    void remoteSizeKnown(std::optional<qint64> size);
    void progress(int percent, bool busy);
    void bytesReceived(qint64 received, qint64 expected);
    void finished(const kestrune::RowOutcome &outcome);

private:
    class GrowthTarget;

    void GetLocalFileSize();
    void GetRemoteFileSize();
    void decide();
    void appendGrowth();
    void afterGrowth();
    void DownloadFile();
    void afterDownload();
    void runStep(void (RowJob::*step)());
    void queuePendingStep();
    void finishWith(RowOutcome outcome);
    void storeFailed(const QString &why, RowOutcome::Transfer transfer = RowOutcome::Transfer::None,
                     qint64 received = 0);
    void followDownload(FileDownload *download, qint64 expected);

    RowSettings m_settings;
    ListingRow m_row;
    QString m_folder; // where the copy is stored
    QString m_path;
    qint64 m_localSize = -1;
    RemoteProbe m_probe;
    bool m_probed = false;
    bool m_held = false;
    bool m_done = false;
    void (RowJob::*m_pendingStep)() = nullptr;

    std::unique_ptr<RemoteSizeProbe> m_probeStep;
    std::unique_ptr<FileDownload> m_download;
    std::unique_ptr<transfer::LocalCopyWriter> m_whole;
    std::unique_ptr<transfer::LocalAppender> m_appender;
    std::unique_ptr<GrowthTarget> m_growth;
};

} // namespace kestrune

Q_DECLARE_METATYPE(kestrune::RowOutcome)
