#include "transfer/basWinInet.h"

#include "transfer/HttpExchange.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <atomic>

namespace {

std::atomic<int> g_idleTimeoutMs{60000};

constexpr qint64 kReadChunk = 1024;
// Bytes the connection may hold before it stops reading from the network.  A
// run suspended by a modal dialog therefore holds at most this much of a file;
// the sender waits (TCP flow control) until the run reads on.
constexpr qint64 kReadBufferSize = 1024 * 1024;
// The probe reads only the head of the answer.
constexpr qint64 kProbeBufferSize = 64 * 1024;

// Longest time between two full passes of the event loop while data flows.
constexpr qint64 kFullYieldIntervalNs = 1000000; // 1 ms

const QString kMarkSuccess = QStringLiteral("\u25CB "); // "○ "
const QString kMarkFailure = QStringLiteral("\u00D7 "); // "× "

// Blocks on a local event loop until the exchange has news (headers, data,
// end, failure), the idle time-out passes, or the application is quitting.
class ExchangeWaiter {
public:
    enum class Outcome { News, TimedOut, Quitting };

    explicit ExchangeWaiter(transfer::HttpExchange *exchange)
    {
        m_timer.setSingleShot(true);
        QObject::connect(exchange, &transfer::HttpExchange::progressed, &m_loop, [this] {
            if (m_waiting)
                m_loop.exit(kNews);
        });
        QObject::connect(&m_timer, &QTimer::timeout, &m_loop, [this] {
            if (m_waiting)
                m_loop.exit(kTimedOut);
        });
    }

    Outcome wait(QEventLoop::ProcessEventsFlags flags)
    {
        m_waiting = true;
        m_timer.start(TransferIdleTimeout());
        const int code = m_loop.exec(flags);
        m_timer.stop();
        m_waiting = false;
        if (code == kNews)
            return Outcome::News;
        if (code == kTimedOut)
            return Outcome::TimedOut;
        // Only QCoreApplication::exit() ends this loop with another code
        // (and makes it return at once from then on): the program is ending.
        return Outcome::Quitting;
    }

private:
    static constexpr int kNews = 1;
    static constexpr int kTimedOut = 2;
    QEventLoop m_loop;
    QTimer m_timer;
    bool m_waiting = false;
};

// Reports the percentage only when what is shown changes.
class ProgressReporter {
public:
    ProgressReporter(const std::function<void(int, bool)> &sink, qint64 remoteSize)
        : m_sink(sink), m_remoteSize(remoteSize)
    {
    }

    void update(qint64 position)
    {
        if (!m_sink)
            return;
        int percent = 0;
        bool busy = false;
        if (m_remoteSize <= 0) {
            busy = true; // no size announced: nothing to measure against
        } else if (position > m_remoteSize) {
            percent = 100; // the file grew since its size was asked
            busy = true;
        } else {
            percent = int(position * 100 / m_remoteSize);
        }
        if (percent == m_percent && busy == m_busy)
            return;
        m_percent = percent;
        m_busy = busy;
        m_sink(percent, busy);
    }

private:
    const std::function<void(int, bool)> &m_sink;
    qint64 m_remoteSize;
    int m_percent = -1;
    bool m_busy = false;
};

// The yield between two reads.  Posted events (repaint requests, queued
// calls) are delivered at every yield; the full pass that also polls the
// system for input, timers and network data costs a system call, so it is
// made once at least a millisecond has passed since the last full pass (or
// wait).  Operator input thus waits at most that long, and a fast transfer
// does not spend most of its time polling.
class Yielder {
public:
    Yielder() { m_sinceFullPass.start(); }

    void yield()
    {
        if (m_sinceFullPass.nsecsElapsed() >= kFullYieldIntervalNs) {
            QCoreApplication::processEvents();
            m_sinceFullPass.restart();
        } else {
            QCoreApplication::sendPostedEvents();
        }
    }
    // A wait on the event loop is a full pass too.
    void waited() { m_sinceFullPass.restart(); }

private:
    QElapsedTimer m_sinceFullPass;
};

} // namespace

void SetTransferIdleTimeout(int milliseconds)
{
    g_idleTimeoutMs.store(milliseconds > 0 ? milliseconds : 1);
}

int TransferIdleTimeout()
{
    return g_idleTimeoutMs.load();
}

qint64 GetRemoteFileSize(const QString &strURL, const QString &strProxy)
{
    if (strURL.isEmpty())
        return 0;
    transfer::HttpExchange exchange;
    if (!exchange.start(QUrl(strURL), strProxy, kProbeBufferSize))
        return 0;
    ExchangeWaiter waiter(&exchange);
    while (!exchange.headersReady() && !exchange.failed()) {
        // Operator input waits until the answer is in; repaints and timers run.
        if (waiter.wait(QEventLoop::ExcludeUserInputEvents) != ExchangeWaiter::Outcome::News)
            return 0;
    }
    // The body is never read: the exchange drops the connection on return.
    return exchange.failed() ? 0 : std::max<qint64>(exchange.contentLength(), 0);
}

qint64 DownloadFile(const QString &strURL, QIODevice *target, const QString &strProxy,
                    qint64 lngRemoteSize, const DownloadHooks &hooks)
{
    if (strURL.isEmpty())
        return 0;
    const auto writeLine = [&](const QString &mark) {
        if (hooks.writeRunLog)
            hooks.writeRunLog(mark + strURL);
    };
    const auto abandoned = [&] { return hooks.abandoned && hooks.abandoned(); };

    transfer::HttpExchange exchange;
    if (!exchange.start(QUrl(strURL), strProxy, kReadBufferSize)) {
        writeLine(kMarkFailure);
        return 0;
    }
    ExchangeWaiter waiter(&exchange);
    ProgressReporter progress(hooks.setProgress, lngRemoteSize);
    Yielder yielder;

    char buffer[kReadChunk];
    qint64 position = 0;
    bool statusChecked = false;
    for (;;) {
        if (exchange.failed()) {
            // Unreachable, no answer, a broken connection or a body cut short.
            writeLine(kMarkFailure);
            return 0;
        }
        if (exchange.headersReady() && !statusChecked) {
            statusChecked = true;
            if (exchange.status() < 200 || exchange.status() > 299) {
                // An error page never becomes a log file.
                writeLine(kMarkFailure);
                return 0;
            }
        }
        if (exchange.finished())
            break;
        const qint64 count = exchange.headersReady() ? exchange.read(buffer, kReadChunk) : 0;
        if (count == 0) {
            if (exchange.finished() || exchange.failed())
                continue;
            const ExchangeWaiter::Outcome outcome = waiter.wait(QEventLoop::AllEvents);
            yielder.waited();
            if (outcome == ExchangeWaiter::Outcome::Quitting || abandoned())
                return 0;
            if (outcome == ExchangeWaiter::Outcome::TimedOut && exchange.bytesBuffered() == 0
                && !exchange.finished() && !exchange.failed()) {
                writeLine(kMarkFailure); // no data for the whole idle time-out
                return 0;
            }
            continue;
        }
        if (target && target->write(buffer, count) != count)
            return kDownloadStoreFailed;
        position += count;
        if (hooks.bytesReceived)
            hooks.bytesReceived(position);
        progress.update(position);
        yielder.yield();
        if (abandoned())
            return 0;
    }

    progress.update(position);
    writeLine(kMarkSuccess);
    return position;
}
