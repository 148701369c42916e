#pragma once
// kestrune-collect --list: what a run would do with each file of the
// listing, learnt from one size request per file, without storing anything.

#include "base/listing/ListingRow.h"
#include "base/transfer/LocalFile.h"
#include "base/transfer/basWinInet.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace kestrune::cli {

struct ListedRow {
    enum class What {
        New,       // no local copy: the whole file would be fetched
        Unchanged, // the copy has the server's size
        Grown,     // the server's file is longer than a copy with bytes in it
        Differs,   // anything else: the whole file would be fetched again
        Failed,    // the row would fail: reason says why
    };
    QString path; // under the folder
    QString url;
    What what = What::Failed;
    QString reason;
};

// The word printed for what.
QString whatText(ListedRow::What what);

// What a run would do with a file whose local copy has localSize bytes (-1:
// there is none), given the server's answer to the size request.
ListedRow::What whatARunWouldDo(qint64 localSize, const RemoteProbe &probe, QString *reason);

// "PATH<TAB>URL<TAB>WHAT": the address's password masked, a control
// character of the path or the address written as its escape, so that the
// line always has three fields.
QString listLine(const ListedRow &row);

// Probes the rows, jobs at a time on the thread's event loop, and hands
// each one on in the list's order as soon as it and every row before it are
// known.
class RowLister : public QObject {
    Q_OBJECT
public:
    struct Settings {
        QString folder;
        std::function<QString()> proxy;
        // The run log a run would write: a run never stores over it.
        std::optional<transfer::FileIdentity> runLog;
        int jobs = 8;
    };

    RowLister(const QList<ListingRow> &rows, Settings settings,
              std::function<void(const ListedRow &)> onRow, QObject *parent = nullptr);
    ~RowLister() override;

    // finished() follows later, never inside start().
    void start();
    // Drops the requests in flight; finished() is not emitted.
    void cancel();

Q_SIGNALS:
    void finished();

private:
    void fill();
    void probeFinished(qsizetype i);
    void handOn();

    const QList<ListingRow> m_rows; // shared with the caller's list, not copied
    Settings m_settings;
    std::function<void(const ListedRow &)> m_onRow;
    // Rows known but not handed on yet, and the copies' sizes of the rows in
    // work: a long listing is not held a second time.
    std::map<qsizetype, ListedRow> m_done;
    std::map<qsizetype, qint64> m_localSizes;
    std::map<qsizetype, std::unique_ptr<RemoteSizeProbe>> m_probes;
    qsizetype m_next = 0;   // the next row to start
    qsizetype m_handed = 0; // rows handed on
    bool m_cancelled = false;
};

} // namespace kestrune::cli
