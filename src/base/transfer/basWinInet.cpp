#include "base/transfer/basWinInet.h"

#include "base/transfer/CurlTransport.h"

#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <chrono>

namespace kestrune {

namespace {

using transfer::HttpRequest;
using transfer::RequestOptions;

// Bytes taken from the client per read.
constexpr qint64 kReadChunk = 64 * 1024;
// Bytes a download holds before it stops reading from the network; the
// sender then waits (TCP flow control) until the target takes them.
constexpr qint64 kReadBufferSize = 1024 * 1024;
// A probe reads and drops a body up to this size, so that its connection
// serves the next request; a larger one costs the connection.
constexpr qint64 kProbeDrainLimit = 64 * 1024;
// How long a probe's small rest may take before its connection is given up.
constexpr int kProbeDrainMs = 2000;

RequestOptions fileRequest(const QString &strURL, const QString &strProxy)
{
    RequestOptions o;
    o.url = QUrl(strURL);
    o.proxyText = strProxy;
    o.userAgent = "WinInet Test";
    o.headers = {"Cache-Control: no-cache", "Pragma: no-cache", "Accept-Encoding: identity"};
    return o;
}

// The size an answer to the first-byte probe reports: the total of its
// Content-Range ("bytes 0-0/N", or "bytes */N" for an empty file), else its
// Content-Length.  Only an answer about the file itself counts: a success,
// or a 416 that names the file's current length.
std::optional<qint64> reportedSize(const HttpRequest &request)
{
    const int status = request.status();
    const bool success = status >= 200 && status <= 299;
    const QByteArray range = request.header("Content-Range");
    if (!range.isEmpty() && (success || status == 416)) {
        const qsizetype slash = range.lastIndexOf('/');
        if (slash >= 0)
            return transfer::ParseByteCount(range.mid(slash + 1).trimmed());
        return std::nullopt;
    }
    if (!success || request.contentLength() < 0)
        return std::nullopt;
    return request.contentLength();
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
    if (!request || request->failed() || request->finished())
        return;
    if (hasSmallRest(*request))
        request.release()->finishDetached(kProbeDrainMs);
    // Otherwise the request dies here and takes its connection along.
}

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
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

// ------------------------------------------------------------ either step

TransferStep::TransferStep(QObject *parent) : QObject(parent) {}

TransferStep::~TransferStep() = default;

void TransferStep::startRequest(const RequestOptions &options)
{
    m_request = std::make_unique<HttpRequest>(options);
    m_request->setHeld(m_held);
    connect(m_request.get(), &HttpRequest::progressed, this, &TransferStep::onProgress);
    if (m_request->failed())
        QMetaObject::invokeMethod(this, &TransferStep::onProgress, Qt::QueuedConnection);
}

void TransferStep::abort()
{
    m_done = true;
    m_request.reset();
}

void TransferStep::setHeld(bool held)
{
    m_held = held;
    if (m_request)
        m_request->setHeld(held);
    if (!held && m_request && !m_done)
        QMetaObject::invokeMethod(this, &TransferStep::onProgress, Qt::QueuedConnection);
}

// ------------------------------------------------------------ size probe

RemoteSizeProbe::RemoteSizeProbe(const QString &strURL, const QString &strProxy, QObject *parent)
    : TransferStep(parent), m_url(strURL), m_proxy(strProxy)
{
    m_restDue.setSingleShot(true);
    m_restDue.setTimerType(Qt::PreciseTimer);
    connect(&m_restDue, &QTimer::timeout, this, &RemoteSizeProbe::finish);
}

RemoteSizeProbe::~RemoteSizeProbe() = default;

void RemoteSizeProbe::start()
{
    RequestOptions options = fileRequest(m_url, m_proxy);
    options.range = "0-0";
    options.discardBody = true;
    options.maxBodyBytes = kProbeDrainLimit;
    m_sentAtMs = nowMs();
    startRequest(options);
}

void RemoteSizeProbe::onProgress()
{
    if (m_done || !m_request || m_held)
        return;
    if (m_restDue.isActive()) {
        // Waiting for the one byte asked for, to keep the connection.
        if (m_request->finished() || m_request->failed() || !hasSmallRest(*m_request))
            finish();
        return;
    }
    if (!m_request->headersReady()) {
        if (m_request->failed()) {
            m_result.error = m_request->error();
            finish();
        }
        return;
    }
    m_result.status = m_request->status();
    m_result.size = reportedSize(*m_request);
    // What a later ranged request may name to get the same version: a strong
    // entity tag, else the modification time.
    const QByteArray etag = m_request->header("ETag").trimmed();
    m_result.validator = !etag.isEmpty() && !etag.startsWith("W/")
                             ? etag
                             : m_request->header("Last-Modified").trimmed();
    // The one byte asked for usually follows its head at once.  Waiting for
    // it leaves the connection free for the next request, which would
    // otherwise open a new one: a round trip at least, about what the head
    // took, so the wait never lasts longer than that.
    if (m_request->finished() || m_request->failed() || !hasSmallRest(*m_request)) {
        finish();
        return;
    }
    m_restDue.start(int(std::clamp<qint64>(nowMs() - m_sentAtMs, 1, kProbeDrainMs)));
}

void RemoteSizeProbe::finish()
{
    if (m_done)
        return;
    m_done = true;
    m_restDue.stop();
    release(std::move(m_request));
    Q_EMIT finished();
}

// ------------------------------------------------------------ download

FileDownload::FileDownload(Request request, BodyTargetChooser choose, QObject *parent)
    : TransferStep(parent), m_spec(std::move(request)), m_choose(std::move(choose))
{}

FileDownload::~FileDownload() = default;

BodyTargetChooser FileDownload::IntoDevice(QIODevice *target)
{
    return [target](const HttpRequest &answer) {
        const bool success = answer.status() >= 200 && answer.status() <= 299;
        return BodyTarget{success ? BodyTarget::Kind::Write : BodyTarget::Kind::Fail, target};
    };
}

void FileDownload::start()
{
    RequestOptions options = fileRequest(m_spec.url, m_spec.proxy);
    options.bufferLimit = kReadBufferSize;
    if (m_spec.start >= 0) {
        options.range = QByteArray::number(m_spec.start) + '-';
        if (!m_spec.validator.isEmpty())
            options.headers.append("If-Range: " + m_spec.validator);
    }
    startRequest(options);
}

void FileDownload::reportProgress()
{
    const qint64 position = m_outcome.bytes;
    const qint64 expected = m_spec.expectedSize;
    int percent = 0;
    bool busy = false;
    if (expected <= 0) {
        busy = true; // no size announced: nothing to measure against
    } else if (position > expected) {
        percent = 100; // the file grew since its size was asked
        busy = true;
    } else {
        percent = int(position * 100 / expected);
    }
    if (percent == m_percent && busy == m_busy)
        return;
    m_percent = percent;
    m_busy = busy;
    Q_EMIT progress(percent, busy);
}

void FileDownload::onProgress()
{
    if (m_done || !m_request || m_held)
        return;
    if (!m_chosen) {
        if (!m_request->headersReady()) {
            if (m_request->failed()) {
                m_outcome.error = m_request->error();
                finish(DownloadResult::Failed);
            }
            return;
        }
        m_chosen = true;
        m_outcome.status = m_request->status();
        m_outcome.lastModified = ParseHttpDate(m_request->header("Last-Modified"));
        // A file's address that the server sends on to a folder: its page
        // is no file, whatever the status.
        if (IsFolderAddress(m_request->url()) && !IsFolderAddress(QUrl(m_spec.url))) {
            finish(DownloadResult::NotAFile);
            return;
        }
        const BodyTarget choice = m_choose(*m_request);
        if (choice.kind == BodyTarget::Kind::Decline) {
            finish(DownloadResult::Declined);
            return;
        }
        if (choice.kind == BodyTarget::Kind::Fail) {
            // An error page never becomes a log file.
            finish(DownloadResult::Failed);
            return;
        }
        m_target = choice.device;
        if (m_request->status() == 206 && !takePart())
            return;
        if (m_spec.expectedSize <= 0 && m_spec.expectAnswersLength)
            m_spec.expectedSize = std::max<qint64>(m_request->contentLength(), 0);
    }
    char buffer[kReadChunk];
    bool moved = false;
    for (;;) {
        const qint64 count = m_request->read(buffer, kReadChunk);
        if (count <= 0)
            break;
        if (m_partLength >= 0 && m_outcome.bytes + count > m_partLength) {
            fail(QStringLiteral("more bytes than the range %1 names")
                     .arg(QString::fromLatin1(m_request->header("Content-Range"))));
            return;
        }
        if (m_target && m_target->write(buffer, count) != count) {
            finish(DownloadResult::NotStorable);
            return;
        }
        m_outcome.bytes += count;
        moved = true;
    }
    if (moved) {
        Q_EMIT bytesReceived(m_outcome.bytes);
        reportProgress();
        if (m_done) // a receiver gave up on the download
            return;
    }
    if (m_request->failed()) {
        // Unreachable, broken or short body, no data in time.
        m_outcome.error = m_request->error();
        m_outcome.bytes = 0;
        finish(DownloadResult::Failed);
    } else if (m_request->finished() && m_request->bytesAvailable() == 0) {
        if (m_partLength >= 0 && m_outcome.bytes != m_partLength) {
            fail(QStringLiteral("%1 bytes for the range %2")
                     .arg(m_outcome.bytes)
                     .arg(QString::fromLatin1(m_request->header("Content-Range"))));
            return;
        }
        reportProgress();
        finish(m_outcome.bytes > 0 ? DownloadResult::Stored : DownloadResult::Empty);
    }
}

// Whether a 206 answer is the part asked for; fails the download when not.
bool FileDownload::takePart()
{
    const QByteArray header = m_request->header("Content-Range");
    const QString shown = QString::fromLatin1(header);
    if (m_spec.start < 0) {
        // A part never stands for the whole file, whatever it says it is.
        fail(QStringLiteral("a part (HTTP 206) for the whole file: %1").arg(shown));
        return false;
    }
    const std::optional<ContentRange> range = ParseContentRange(header);
    if (!range) {
        fail(QStringLiteral("a part (HTTP 206) without a byte range: %1").arg(shown));
        return false;
    }
    if (range->first != m_spec.start || (range->total >= 0 && range->last + 1 != range->total)) {
        fail(QStringLiteral("not the range asked for (from byte %1): %2")
                 .arg(m_spec.start)
                 .arg(shown));
        return false;
    }
    m_partLength = range->last - range->first + 1;
    const qint64 announced = m_request->contentLength();
    if (announced >= 0 && announced != m_partLength) {
        fail(QStringLiteral("Content-Length %1 for the range %2").arg(announced).arg(shown));
        return false;
    }
    return true;
}

void FileDownload::fail(const QString &why)
{
    m_outcome.error = transfer::TransferError{transfer::TransferError::Kind::BadFraming, why};
    finish(DownloadResult::Failed);
}

void FileDownload::finish(DownloadResult result)
{
    if (m_done)
        return;
    m_done = true;
    m_outcome.result = result;
    if (result != DownloadResult::Stored && result != DownloadResult::Empty)
        m_outcome.bytes = result == DownloadResult::NotStorable ? m_outcome.bytes : 0;
    release(std::move(m_request));
    Q_EMIT finished();
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
