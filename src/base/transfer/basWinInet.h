#pragma once
// HTTP transfers of the collection run: the size the web server reports for a
// URL, and the download of its body.  Both go through the program's one HTTP
// client (transfer/CurlTransport.h): connections are reused between calls,
// a login the operator gave for a server goes with its requests.
//
// Requests are GETs with the user agent "WinInet Test" that bypass every
// cache (Cache-Control and Pragma no-cache; nothing is cached locally), ask
// for the body as stored (no content coding, so the byte count equals the
// Content-Length) and follow redirects (at most 20, http and https only,
// never from https down to http).
//
// Proxy rule: a non-empty strProxy ("host", "host:port", "[v6]:port"; port 80
// when absent) is the HTTP proxy of the request; an empty one leaves the
// choice to the system's proxy configuration.  A proxy text that cannot be
// parsed makes the call fail; it never goes direct.

#include "base/transfer/TransferError.h"

#include <QDateTime>
#include <QIODevice>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

namespace kestrune {

// The size of strURL's file as the web server reports it, or 0 when there is
// none (empty URL, unreachable or unknown host, no or non-numeric length,
// unparseable proxy, no answer within the idle time-out).  The request asks
// for the first byte only: a ranged answer gives the total of its
// Content-Range; any other answer its Content-Length, whatever its status (a
// 404 page of n bytes yields n).  The call returns as soon as the head is in.
// Waits on a local event loop that holds back operator input (the window
// repaints, clicks and keys wait until the probe is done).
qint64 GetRemoteFileSize(const QString &strURL, const QString &strProxy);

// The same probe, with what names the version the size belongs to.
struct RemoteProbe {
    qint64 size = 0;
    // A strong ETag, else the Last-Modified date; empty when there is none.
    QByteArray validator;
};
RemoteProbe ProbeRemoteFile(const QString &strURL, const QString &strProxy);

struct DownloadHooks {
    // Receives "○ " + URL or "× " + URL.  May be empty.
    std::function<void(const QString &)> writeRunLog;
    // 0..100; busy is true when no sound percentage exists (the announced size
    // is 0, or more bytes came than announced).  Called only when the shown
    // value changes.  May be empty.
    std::function<void(int percent, bool busy)> setProgress;
    // The number of body bytes received so far, after every read.  May be empty.
    std::function<void(qint64 received)> bytesReceived;
    // Polled after every yield: true means the program is ending -> the
    // transfer stops at once and writes no line.  May be empty.
    std::function<bool()> abandoned;
};

// True when the address names a folder rather than a file: an http(s)
// address whose path is empty or ends in '/'.
bool IsFolderAddress(const QUrl &url);

// The time an HTTP date names (Last-Modified): IMF-fixdate and the two
// obsolete forms; nothing when the text is none of them.
std::optional<QDateTime> ParseHttpDate(const QByteArray &text);

enum class DownloadResult {
    Stored,      // a body of bytes > 0 went into the target; line "○ "
    Empty,       // nothing to store: an empty body (line "○ ") or an empty URL (no line)
    Failed,      // no file: the transfer failed; line "× "; error says why
    NotStorable, // the target refused a write; no line, the caller reports it
    Interrupted, // the program is ending; no line
    Declined,    // the answer was not one the caller could use (DownloadRange); no line
    NotAFile,    // the answer came from a folder's address (a redirect to ".../"): nothing
                 // went into the target; no line, the caller reports it
};

struct DownloadOutcome {
    DownloadResult result = DownloadResult::Empty;
    qint64 bytes = 0;              // body bytes that went into the target
    int status = 0;                // the final answer's HTTP status, 0 when none came
    transfer::TransferError error; // for Failed without a status of its own
    // The final answer's Last-Modified, when it gave a date that can be read.
    std::optional<QDateTime> lastModified;
    // Plain words for Failed: the library's reason or the HTTP status.
    QString reason() const;
};

// Streams the body of strURL into target (open for writing; nullptr reads and
// discards).  Only a whole body of a 2xx answer counts: a non-2xx answer, a
// broken or short body, no data for the idle time-out, an unparseable proxy
// or an address that is not http/https are Failed, and whatever went into
// target must then be discarded.  An answer from a folder's address (the
// file's address redirected to one ending in '/') is NotAFile: its page is
// never read into target.
//
// The body is read in pieces of at most 1024 bytes with one yield to the
// event loop (operator input included) between reads; while nothing is
// buffered the call waits on the event loop.  lngRemoteSize is the 100 %
// mark of the progress.
DownloadOutcome DownloadFile(const QString &strURL, QIODevice *target, const QString &strProxy,
                             qint64 lngRemoteSize, const DownloadHooks &hooks);

// Where the body of an answer goes, decided once its head is in.
struct BodyTarget {
    enum class Kind {
        Write,   // into device (nullptr: read and dropped)
        Fail,    // no use: the download fails, line "× "
        Decline, // not this one: no line, the caller asks otherwise
    };
    Kind kind = Kind::Fail;
    QIODevice *device = nullptr;
};
namespace transfer {
class HttpRequest;
}
using BodyTargetChooser = std::function<BodyTarget(const transfer::HttpRequest &answer)>;

// Asks for strURL's body from byte start on ("Range: bytes=start-"), with
// "If-Range: validator" when one is given, and streams the answer's body
// where choose says, in the pieces and with the yields of DownloadFile (an
// answer from a folder's address is NotAFile there too).  The progress counts
// the bytes of the range (lngRemoteSize - start).
DownloadOutcome DownloadRange(const QString &strURL, const QString &strProxy, qint64 start,
                              const QByteArray &validator, qint64 lngRemoteSize,
                              const BodyTargetChooser &choose, const DownloadHooks &hooks);

// A Content-Range value: "bytes first-last/total" (total -1 for "*").
struct ContentRange {
    qint64 first = 0;
    qint64 last = 0;
    qint64 total = -1;
};
std::optional<ContentRange> ParseContentRange(const QByteArray &value);

// How long the probes and downloads wait without any data (connecting
// included) before they give up; 60,000 ms unless changed (tests shorten it).
void SetTransferIdleTimeout(int milliseconds);
int TransferIdleTimeout();

} // namespace kestrune
