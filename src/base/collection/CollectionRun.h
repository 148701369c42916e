#pragma once
// The collection run: walks the listed rows, compares each local copy's size
// with the size the server reports, and fetches and stores the files that
// differ.  The collector window and the command-line collector both drive
// this one loop; what it shows or asks of its front end goes through Host.

#include "base/listing/ListingRow.h"
#include "base/transfer/LocalFile.h"
#include "base/transfer/basWinInet.h"

#include <QList>
#include <QString>

namespace kestrune {

class CollectionRun {
public:
    enum class RowOutcome { Unchanged, Downloaded, Failed, InvalidName, StoreFailed };
    enum class Ending { Completed, Stopped, Abandoned };

    // What became of one row.
    struct RowResult {
        RowOutcome outcome = RowOutcome::Failed;
        qint64 bytes = 0; // bytes stored
        QString reason;   // why a row failed, in plain words (English)
    };

    class Host {
    public:
        virtual ~Host() = default;
        // One turn of the event loop (the operator's commands run here).
        virtual void yield() = 0;
        // The stop command has been given; tested before each row.
        virtual bool stopRequested() const = 0;
        // The program is ending: the run leaves at once and never resumes.
        virtual bool abandoned() const = 0;
        // Row i (from 1) is about to be worked: select it, reset the progress.
        virtual void beginRow(int i, const ListingRow &row) = 0;
        // The size the server reported for the current file.
        virtual void remoteSizeKnown(qint64 size) { Q_UNUSED(size) }
        // Progress of the current file, 0..100; busy when no percentage makes sense.
        virtual void setProgress(int percent, bool busy) = 0;
        // Bytes of the current file received so far (for a rate display).
        virtual void bytesReceived(qint64 received, qint64 expected)
        {
            Q_UNUSED(received)
            Q_UNUSED(expected)
        }
        virtual void writeRunLog(const QString &message) = 0;
        // The folder the current directory moves to after a download.
        virtual QString currentFolderText() const = 0;
        // The proxy in force, read for every row.
        virtual QString proxy() const = 0;
        // The open run log's file: a row never stores over it.
        virtual std::optional<transfer::FileIdentity> runLogIdentity() const
        {
            return std::nullopt;
        }
        virtual void rowDone(int i, const ListingRow &row, const RowResult &result)
        {
            Q_UNUSED(i)
            Q_UNUSED(row)
            Q_UNUSED(result)
        }
    };

    explicit CollectionRun(Host &host) : m_host(host) {}

    // Writes the start line, works rows 1..n of rows (n taken once), and on
    // completion writes the end line with the last row's URL.
    Ending run(const QList<ListingRow> &rows, const QString &saveFolder);

    // One row's work on its own (the run's per-row steps without the start
    // and end lines): for front ends that work several rows at once, each
    // with a CollectionRun and a Host of its own.  abandonedRow() tells when
    // the program was ending.
    RowResult workRow(const ListingRow &row, const QString &saveFolder)
    {
        m_abandoned = false;
        return doRow(row, saveFolder);
    }
    bool abandonedRow() const { return m_abandoned; }

    // The local path of a row's file: folder, the native separator, name.
    static QString localPath(const QString &saveFolder, const QString &fileName);
    // A name that could leave the save folder or is not a plain file name.
    static bool isUnsafeFileName(const QString &fileName);
    // A row that names a folder (its address ends in '/'): it is never
    // fetched or stored.
    static bool isFolderRow(const ListingRow &row);

private:
    // Bytes asked again before a grown copy's end, to prove it is the same file.
    static constexpr qint64 kAppendOverlap = 4096;

    RowResult doRow(const ListingRow &row, const QString &saveFolder);
    std::optional<RowResult> appendGrowth(const ListingRow &row, const QString &saveFolder,
                                          qint64 localSize, const RemoteProbe &probe,
                                          const QString &proxy);
    RowResult fetchWhole(const ListingRow &row, const QString &saveFolder, qint64 remoteSize,
                         const QString &proxy);
    RowResult finishWhole(const DownloadOutcome &outcome, transfer::LocalCopyWriter *target,
                          const QString &path);
    RowResult storeFailed(const QString &path, const QString &why);
    DownloadHooks downloadHooks(qint64 remoteSize);

    Host &m_host;
    bool m_abandoned = false;
};

} // namespace kestrune
