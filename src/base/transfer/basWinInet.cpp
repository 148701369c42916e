#include "base/transfer/basWinInet.h"

#include "base/transfer/CurlTransport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <memory>

namespace kestrune {

namespace {

using transfer::HttpRequest;
using transfer::RequestOptions;

constexpr qint64 kReadChunk = 1024;
// Bytes a download holds before it stops reading from the network.  A run
// suspended by a modal dialog therefore holds at most this much of a file;
// the sender waits (TCP flow control) until the run reads on.
constexpr qint64 kReadBufferSize = 1024 * 1024;
// A probe reads and drops a body up to this size, so that its connection
// serves the next request; a larger one costs the connection.
constexpr qint64 kProbeDrainLimit = 64 * 1024;
// How long a probe's small rest may take before its connection is given up.
constexpr int kProbeDrainMs = 2000;

// Longest time between two full passes of the event loop while data flows.
constexpr qint64 kFullYieldIntervalNs = 1000000; // 1 ms

const QString kMarkSuccess = QStringLiteral("\u25CB "); // "○ "
const QString kMarkFailure = QStringLiteral("\u00D7 "); // "× "

RequestOptions fileRequest(const QString &strURL, const QString &strProxy)
{
    RequestOptions o;
    o.url = QUrl(strURL);
    o.proxyText = strProxy;
    o.userAgent = "WinInet Test";
    o.headers = {"Cache-Control: no-cache", "Pragma: no-cache", "Accept-Encoding: identity"};
    return o;
}

// Blocks on a local event loop until the request has news or the
// application is quitting.
class RequestWaiter {
public:
    explicit RequestWaiter(HttpRequest *request)
    {
        QObject::connect(request, &HttpRequest::progressed, &m_loop, [this] {
            if (m_waiting)
                m_loop.exit(kNews);
        });
    }

    // False when the program is ending.
    bool wait(QEventLoop::ProcessEventsFlags flags) { return waitCode(flags) != kEnding; }

    // As wait(), but returns by the deadline at the latest; false when the
    // deadline passed or the program is ending.
    bool waitUntil(QEventLoop::ProcessEventsFlags flags, const QDeadlineTimer &deadline)
    {
        QTimer timer;
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, &m_loop, [this] {
            if (m_waiting)
                m_loop.exit(kTimedOut);
        });
        timer.start(std::chrono::milliseconds(std::max<qint64>(deadline.remainingTime(), 0)));
        return waitCode(flags) == kNews;
    }

private:
    int waitCode(QEventLoop::ProcessEventsFlags flags)
    {
        m_waiting = true;
        const int code = m_loop.exec(flags);
        m_waiting = false;
        // Only QCoreApplication::exit() ends this loop with another code
        // (and makes it return at once from then on).
        return code == kNews || code == kTimedOut ? code : kEnding;
    }

    static constexpr int kEnding = 0;
    static constexpr int kNews = 1;
    static constexpr int kTimedOut = 2;
    QEventLoop m_loop;
    bool m_waiting = false;
};

// Reports the percentage only when what is shown changes.
class ProgressReporter {
public:
    ProgressReporter(const std::function<void(int, bool)> &sink, qint64 remoteSize)
        : m_sink(sink), m_remoteSize(remoteSize)
    {}

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

// The size an answer to the first-byte probe reports: the total of its
// Content-Range ("bytes 0-0/N", or "bytes */N" for an empty file), else its
// Content-Length.
qint64 reportedSize(const HttpRequest &request)
{
    const QByteArray range = request.header("Content-Range");
    if (!range.isEmpty()) {
        if (const auto total = transfer::ParseByteCount(
                range.mid(range.lastIndexOf('/') + 1).trimmed()))
            return *total;
        if (request.status() == 206)
            return 0; // a range of a size the server does not know
    }
    return std::max<qint64>(request.contentLength(), 0);
}

// True when what is left of the answer's body is known and small enough to
// read and drop for the sake of its connection.
bool hasSmallRest(const HttpRequest &request)
{
    const qint64 length = request.contentLength();
    return request.headersReady() && length >= 0
           && length - request.bodyBytesReceived() <= kProbeDrainLimit;
}

// Ends a request whose answer is no longer wanted.  A small rest is read to
// its end on its own, so that the connection serves the next request.
void release(std::unique_ptr<HttpRequest> request)
{
    if (request->failed() || request->finished()) {
        return;
    }
    if (hasSmallRest(*request)) {
        request.release()->finishDetached(kProbeDrainMs);
    }
    // Otherwise the request dies here and takes its connection along.
}

} // namespace

void SetTransferIdleTimeout(int milliseconds)
{
    transfer::SetIdleTimeout(milliseconds);
}

int TransferIdleTimeout()
{
    return transfer::IdleTimeout();
}

bool IsFolderAddress(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty()
        || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return false;
    const QString path = url.path(QUrl::FullyEncoded);
    return path.isEmpty() || path.endsWith(QLatin1Char('/'));
}

std::optional<QDateTime> ParseHttpDate(const QByteArray &text)
{
    const QByteArray date = text.trimmed();
    if (date.isEmpty())
        return std::nullopt;
    // libcurl reads the IMF-fixdate ("Sun, 06 Nov 1994 08:49:37 GMT"), the
    // RFC 850 form and asctime's, as an HTTP client must.
    const time_t seconds = curl_getdate(date.constData(), nullptr);
    if (seconds == time_t(-1))
        return std::nullopt;
    return QDateTime::fromSecsSinceEpoch(qint64(seconds), Qt::UTC);
}

QString DownloadOutcome::reason() const
{
    if (status != 0 && (status < 200 || status > 299))
        return transfer::DescribeHttpStatus(status);
    return error.describe();
}

qint64 GetRemoteFileSize(const QString &strURL, const QString &strProxy)
{
    return ProbeRemoteFile(strURL, strProxy).size;
}

RemoteProbe ProbeRemoteFile(const QString &strURL, const QString &strProxy)
{
    if (strURL.isEmpty())
        return {};
    RequestOptions options = fileRequest(strURL, strProxy);
    options.range = "0-0";
    options.discardBody = true;
    options.maxBodyBytes = kProbeDrainLimit;
    QElapsedTimer sent;
    sent.start();
    auto request = std::make_unique<HttpRequest>(options);
    RequestWaiter waiter(request.get());
    while (!request->headersReady() && !request->failed()) {
        // Operator input waits until the answer is in; repaints and timers run.
        if (!waiter.wait(QEventLoop::ExcludeUserInputEvents))
            return {};
    }
    if (!request->headersReady())
        return {};
    // The one byte asked for usually follows its head at once.  Waiting for
    // it leaves the connection free for the next request, which would
    // otherwise open a new one: a round trip at least, about what the head
    // took, so the wait never lasts longer than that.
    const QDeadlineTimer restDue(std::max<qint64>(sent.elapsed(), 1), Qt::PreciseTimer);
    while (!request->finished() && !request->failed() && hasSmallRest(*request)
           && !restDue.hasExpired()) {
        if (!waiter.waitUntil(QEventLoop::ExcludeUserInputEvents, restDue))
            break;
    }
    RemoteProbe probe;
    probe.size = reportedSize(*request);
    // What a later ranged request may name to get the same version: a strong
    // entity tag, else the modification time.
    const QByteArray etag = request->header("ETag").trimmed();
    probe.validator = !etag.isEmpty() && !etag.startsWith("W/")
                          ? etag
                          : request->header("Last-Modified").trimmed();
    release(std::move(request));
    return probe;
}

namespace {

// Streams the body of the request that options describe into the target that
// choose picks once the final head is in.
DownloadOutcome streamBody(const QString &strURL, const RequestOptions &options,
                           qint64 progressTotal, const BodyTargetChooser &choose,
                           const DownloadHooks &hooks)
{
    DownloadOutcome outcome;
    const auto writeLine = [&](const QString &mark) {
        if (hooks.writeRunLog)
            hooks.writeRunLog(mark + strURL);
    };
    const auto abandoned = [&] { return hooks.abandoned && hooks.abandoned(); };

    auto request = std::make_unique<HttpRequest>(options);
    const auto fail = [&] {
        outcome.result = DownloadResult::Failed;
        outcome.bytes = 0;
        outcome.error = request->error();
        writeLine(kMarkFailure);
        return outcome;
    };
    if (request->failed())
        return fail();

    RequestWaiter waiter(request.get());
    ProgressReporter progress(hooks.setProgress, progressTotal);
    Yielder yielder;

    char buffer[kReadChunk];
    qint64 position = 0;
    bool chosen = false;
    QIODevice *target = nullptr;
    for (;;) {
        if (request->failed())
            return fail(); // unreachable, no answer, broken or short body, no data in time
        if (request->headersReady() && !chosen) {
            chosen = true;
            outcome.status = request->status();
            outcome.lastModified = ParseHttpDate(request->header("Last-Modified"));
            // A file's address that the server sends on to a folder: its
            // page is no file, whatever the status.
            if (IsFolderAddress(request->url()) && !IsFolderAddress(options.url)) {
                release(std::move(request));
                outcome.result = DownloadResult::NotAFile;
                return outcome;
            }
            const BodyTarget choice = choose(*request);
            if (choice.kind != BodyTarget::Kind::Write) {
                release(std::move(request));
                if (choice.kind == BodyTarget::Kind::Decline) {
                    outcome.result = DownloadResult::Declined;
                    return outcome;
                }
                // An error page never becomes a log file.
                outcome.result = DownloadResult::Failed;
                writeLine(kMarkFailure);
                return outcome;
            }
            target = choice.device;
        }
        const qint64 count = request->headersReady() ? request->read(buffer, kReadChunk) : 0;
        if (count == 0) {
            if (request->finished())
                break;
            if (request->failed())
                continue;
            const bool news = waiter.wait(QEventLoop::AllEvents);
            yielder.waited();
            if (!news || abandoned()) {
                outcome.result = DownloadResult::Interrupted;
                return outcome;
            }
            continue;
        }
        if (target && target->write(buffer, count) != count) {
            outcome.result = DownloadResult::NotStorable;
            return outcome;
        }
        position += count;
        outcome.bytes = position;
        if (hooks.bytesReceived)
            hooks.bytesReceived(position);
        progress.update(position);
        yielder.yield();
        if (abandoned()) {
            outcome.result = DownloadResult::Interrupted;
            return outcome;
        }
    }

    progress.update(position);
    writeLine(kMarkSuccess);
    outcome.result = position > 0 ? DownloadResult::Stored : DownloadResult::Empty;
    return outcome;
}

} // namespace

DownloadOutcome DownloadFile(const QString &strURL, QIODevice *target, const QString &strProxy,
                             qint64 lngRemoteSize, const DownloadHooks &hooks)
{
    if (strURL.isEmpty())
        return {};
    RequestOptions options = fileRequest(strURL, strProxy);
    options.bufferLimit = kReadBufferSize;
    return streamBody(
        strURL, options, lngRemoteSize,
        [target](const HttpRequest &answer) {
            const bool success = answer.status() >= 200 && answer.status() <= 299;
            return BodyTarget{success ? BodyTarget::Kind::Write : BodyTarget::Kind::Fail, target};
        },
        hooks);
}

DownloadOutcome DownloadRange(const QString &strURL, const QString &strProxy, qint64 start,
                              const QByteArray &validator, qint64 lngRemoteSize,
                              const BodyTargetChooser &choose, const DownloadHooks &hooks)
{
    if (strURL.isEmpty())
        return {};
    RequestOptions options = fileRequest(strURL, strProxy);
    options.bufferLimit = kReadBufferSize;
    options.range = QByteArray::number(start) + '-';
    if (!validator.isEmpty())
        options.headers.append("If-Range: " + validator);
    return streamBody(strURL, options, std::max<qint64>(lngRemoteSize - start, 0), choose, hooks);
}

std::optional<ContentRange> ParseContentRange(const QByteArray &value)
{
    // "bytes first-last/total", total "*" when unknown.
    const QByteArray text = value.trimmed();
    if (!text.startsWith("bytes "))
        return std::nullopt;
    const QByteArray bounds = text.mid(6).trimmed();
    const qsizetype dash = bounds.indexOf('-');
    const qsizetype slash = bounds.indexOf('/');
    if (dash <= 0 || slash <= dash + 1)
        return std::nullopt;
    const auto first = transfer::ParseByteCount(bounds.left(dash));
    const auto last = transfer::ParseByteCount(bounds.mid(dash + 1, slash - dash - 1));
    const QByteArray total = bounds.mid(slash + 1);
    if (!first || !last || *last < *first)
        return std::nullopt;
    ContentRange range;
    range.first = *first;
    range.last = *last;
    if (total != "*") {
        const auto size = transfer::ParseByteCount(total);
        if (!size)
            return std::nullopt;
        range.total = *size;
    }
    return range;
}

} // namespace kestrune
