#pragma once
// The collection run: works the listed rows (see RowJob), a number of them at
// a time, and writes the run log from their outcomes, in the list's order.
// The collector window runs one row at a time, the command-line collector
// several; both on the thread's event loop, nothing here waits.
//
// Rows whose local path is the same never run at the same time: the later
// one starts once the earlier has ended, as if the rows ran one by one.

#include "base/collection/RowJob.h"
#include "base/listing/ListingRow.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <deque>
#include <map>
#include <memory>

namespace kestrune {

class CollectionRun : public QObject {
    Q_OBJECT
public:
    enum class Ending { Completed, Stopped, Abandoned };

    // The front end: what the run shows and where its lines go.
    class Host {
    public:
        virtual ~Host() = default;
        virtual void writeRunLog(const QString &message) = 0;
        // Row i (from 1) begins its work.
        virtual void rowStarted(int i, const ListingRow &row)
        {
            Q_UNUSED(i)
            Q_UNUSED(row)
        }
        // The size the server reported for row i's file.
        virtual void remoteSizeKnown(int i, std::optional<qint64> size)
        {
            Q_UNUSED(i)
            Q_UNUSED(size)
        }
        // Progress of row i's transfer, 0..100; busy when no percentage
        // makes sense.
        virtual void rowProgress(int i, int percent, bool busy)
        {
            Q_UNUSED(i)
            Q_UNUSED(percent)
            Q_UNUSED(busy)
        }
        // Bytes of row i's file received so far (for a rate display).
        virtual void bytesReceived(int i, qint64 received, qint64 expected)
        {
            Q_UNUSED(i)
            Q_UNUSED(received)
            Q_UNUSED(expected)
        }
        // Row i has ended; called in the list's order, after its lines.
        virtual void rowDone(int i, const ListingRow &row, const RowOutcome &outcome)
        {
            Q_UNUSED(i)
            Q_UNUSED(row)
            Q_UNUSED(outcome)
        }
    };

    struct Options {
        int jobs = 1;
        bool probeMissingCopies = true;
        bool failUnansweredProbe = false;
    };

    // proxy is read for every request.
    CollectionRun(Host &host, QList<ListingRow> rows, const QString &saveFolder,
                  std::function<QString()> proxy,
                  std::optional<transfer::FileIdentity> runLog, Options options,
                  QObject *parent = nullptr);
    ~CollectionRun() override;

    // Writes the start line and begins the rows; finished() tells the end.
    // The end line (with the last row's URL) follows a run that completed.
    void start();
    // No further row begins; the rows in work run to their end, then
    // finished(Stopped).
    void stop();
    // The program is ending: every row in work is dropped at once (its local
    // copy stays as it was, no line), finished(Abandoned) follows at once.
    void cancel();
    // Pauses the rows in work and keeps new ones from starting.
    void setHeld(bool held);

    bool isRunning() const { return m_started && !m_ended; }

    // The lines a row's outcome writes into the run log.
    static QStringList runLogLines(const ListingRow &row, const RowOutcome &outcome);

Q_SIGNALS:
    void finished(kestrune::CollectionRun::Ending ending);

private:
    void schedule();
    void rowFinished(int index, const RowOutcome &outcome);
    void deliver();
    // Writes row index's lines and tells the front end it has ended.
    void handOn(int index, const RowOutcome &outcome);
    void end(Ending ending);

    Host &m_host;
    QList<ListingRow> m_rows;
    RowSettings m_settings;
    Options m_options;
    QList<QString> m_paths;
    QStringList m_subFolders; // the paths of the rows' sub-folders, each once
    int m_nextToStart = 0;   // rows below are started (or waiting: m_waiting)
    int m_nextToDeliver = 0; // rows below have been handed on
    std::deque<int> m_waiting; // rows passed over: their path was in use
    QSet<QString> m_busyPaths;
    std::map<int, std::unique_ptr<RowJob>> m_jobs;
    // Jobs that have ended; they go at the next row's end (one of them may
    // still be telling its end when it is put here).
    std::vector<std::unique_ptr<RowJob>> m_spent;
    std::map<int, RowOutcome> m_done;
    bool m_started = false;
    bool m_stopping = false;
    bool m_held = false;
    bool m_ended = false;
};

} // namespace kestrune

Q_DECLARE_METATYPE(kestrune::CollectionRun::Ending)
