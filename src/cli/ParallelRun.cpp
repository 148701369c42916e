#include "cli/ParallelRun.h"

#include "base/transfer/CurlTransport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <memory>

namespace kestrune::cli {

namespace {

// The front end of one worker: it keeps the lines of the row in work and
// shows nothing (the main thread reports rows as they are handed on).
class WorkerHost : public CollectionRun::Host {
public:
    WorkerHost(const ParallelRowsSetup &setup, std::function<void(int, qint64, qint64)> progress)
        : m_setup(setup), m_progress(std::move(progress))
    {}

    void yield() override { QCoreApplication::processEvents(); }
    bool stopRequested() const override { return false; }
    bool abandoned() const override { return m_setup.abandoned && m_setup.abandoned(); }
    void beginRow(int i, const ListingRow &) override
    {
        lines.clear();
        m_row = i;
        m_sinceReport.invalidate();
    }
    void setProgress(int, bool) override {}
    void bytesReceived(qint64 received, qint64 expected) override
    {
        // A few reports a second are plenty for a progress line.
        if (m_sinceReport.isValid() && m_sinceReport.elapsed() < 100)
            return;
        m_sinceReport.start();
        m_progress(m_row, received, expected);
    }
    void writeRunLog(const QString &message) override { lines.append(message); }
    QString currentFolderText() const override { return m_setup.folder; }
    QString proxy() const override { return m_setup.proxy; }
    std::optional<transfer::FileIdentity> runLogIdentity() const override { return m_setup.runLog; }

    QStringList lines;

private:
    const ParallelRowsSetup &m_setup;
    std::function<void(int, qint64, qint64)> m_progress;
    int m_row = 0;
    QElapsedTimer m_sinceReport;
};

struct Delivery {
    QStringList lines;
    CollectionRun::RowResult result;
    bool abandoned = false;
};

} // namespace

CollectionRun::Ending runRowsInParallel(const ParallelRowsSetup &setup,
                                        const ParallelRowsSink &sink)
{
    const int n = int(setup.rows.size());
    const int jobs = std::max(1, std::min(setup.jobs, n));
    std::atomic<int> next{0};
    QObject receiver; // the main thread's end of the hand-over
    QList<std::optional<Delivery>> done(n);
    int written = 0;
    bool abandoned = false;
    const auto handOn = [&] {
        while (written < n && done[written]) {
            const Delivery &d = *done[written];
            if (!d.abandoned) {
                for (const QString &line : d.lines)
                    sink.writeRunLog(line);
                sink.rowDone(written + 1, setup.rows[written], d.result);
            }
            ++written;
        }
    };

    QEventLoop loop;
    int running = jobs;
    std::vector<std::unique_ptr<QThread>> workers;
    for (int w = 0; w < jobs; ++w) {
        workers.emplace_back(QThread::create([&] {
            WorkerHost host(setup, [&](int i, qint64 received, qint64 expected) {
                QMetaObject::invokeMethod(
                    &receiver,
                    [&, i, received, expected] {
                        // Only the row the line stands at (the first not
                        // handed on) is shown.
                        if (sink.progress && i == written + 1)
                            sink.progress(i, setup.rows[i - 1], received, expected);
                    },
                    Qt::QueuedConnection);
            });
            CollectionRun run(host);
            for (;;) {
                if (host.abandoned())
                    break;
                const int i = next.fetch_add(1);
                if (i >= n)
                    break;
                host.beginRow(i + 1, setup.rows[i]);
                Delivery d;
                d.result = run.workRow(setup.rows[i], setup.folder);
                d.abandoned = run.abandonedRow();
                d.lines = host.lines;
                QMetaObject::invokeMethod(
                    &receiver,
                    [&, i, d] {
                        done[i] = d;
                        abandoned = abandoned || d.abandoned;
                        handOn();
                    },
                    Qt::QueuedConnection);
                if (d.abandoned)
                    break;
            }
            transfer::ReleaseThreadConnections();
        }));
        QObject::connect(workers.back().get(), &QThread::finished, &loop, [&] {
            if (--running == 0)
                loop.quit();
        });
        workers.back()->start();
    }

    // The program ending ends every worker's waits at once.
    const auto endWorkers = [&] {
        for (const auto &worker : workers)
            worker->exit(130);
    };
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &loop, [&] {
        if (setup.abandoned && setup.abandoned()) {
            endWorkers();
            abandoned = true;
        }
    });
    watch.start(50);
    if (running > 0)
        loop.exec();
    watch.stop();
    // Also when the loop was ended from outside (an interrupt): no worker
    // outlives this call, and every row it finished is handed on.
    if (setup.abandoned && setup.abandoned()) {
        endWorkers();
        abandoned = true;
    }
    for (const auto &worker : workers)
        worker->wait();
    QCoreApplication::sendPostedEvents(&receiver);
    if (abandoned) {
        // What a worker gave up on is left out; the rows after it that
        // finished are handed on in order.
        for (int i = written; i < n; ++i) {
            if (!done[i])
                done[i] = Delivery{{}, {}, true};
        }
        handOn();
        return CollectionRun::Ending::Abandoned;
    }
    handOn();
    return CollectionRun::Ending::Completed;
}

} // namespace kestrune::cli
