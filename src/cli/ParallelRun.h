#pragma once
// kestrune-collect's rows worked several at a time: each worker thread runs
// the collection run's per-row steps (probe, compare, fetch or append, store)
// with connections of its own, and the main thread hands the results on in
// the list's order, so the run log reads as if the rows had been worked one
// after another.

#include "base/collection/CollectionRun.h"
#include "base/listing/ListingRow.h"
#include "base/transfer/LocalFile.h"

#include <QList>
#include <QString>

#include <functional>
#include <optional>

namespace kestrune::cli {

struct ParallelRowsSetup {
    QList<ListingRow> rows;
    QString folder;
    QString proxy;
    std::optional<transfer::FileIdentity> runLog;
    int jobs = 4;
    // True once the program is ending (polled by every worker).
    std::function<bool()> abandoned;
};

// Called on the main thread, in the rows' order: the row's run-log lines,
// then its result.  Rows a worker gave up on (the program ending) are left
// out; the later rows that did finish still follow in order.
struct ParallelRowsSink {
    std::function<void(const QString &message)> writeRunLog;
    std::function<void(int i, const ListingRow &row, const CollectionRun::RowResult &result)>
        rowDone;
    // Bytes of the first row not handed on yet, a few times a second.
    std::function<void(int i, const ListingRow &row, qint64 received, qint64 expected)> progress;
};

// Works every row and returns when all are done, or when the program ends
// (then Abandoned).  Writes neither the start nor the end line.
CollectionRun::Ending runRowsInParallel(const ParallelRowsSetup &setup,
                                        const ParallelRowsSink &sink);

} // namespace kestrune::cli
