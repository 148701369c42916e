#pragma once
// HTTP transfers of the collection run: the size the web server reports for a
// URL, and the download of its body.
//
// Every call opens its own connection ("Connection: close") and keeps nothing
// (cookies, cache, connections) for the next one.  Requests are GETs with the
// user agent "WinInet Test" that bypass every cache (Cache-Control and Pragma
// no-cache; nothing is cached locally), ask for the body as stored (no content
// coding, so the byte count equals the Content-Length) and follow redirects as
// a browser does (at most 50, never from https down to http).
//
// Proxy rule: a non-empty strProxy ("host", "host:port", "[v6]:port"; port 80
// when absent) is the HTTP proxy of the request; an empty one leaves the
// choice to the system's proxy configuration.  A proxy text that cannot be
// parsed makes the call fail; it never goes direct.

#include <QIODevice>
#include <QString>

#include <functional>

// The Content-Length the web server announces for strURL, or 0 when there is
// none (empty URL, unreachable or unknown host, no or chunked or non-numeric
// Content-Length, unparseable proxy, no answer within the idle time-out).
// The status code is not examined: a 404 page of n bytes yields n.  Only the
// headers are read; the request is aborted as soon as they are in.  Waits on
// a local event loop that holds back operator input (the window repaints,
// clicks and keys wait until the probe is done).
qint64 GetRemoteFileSize(const QString &strURL, const QString &strProxy);

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
    // transfer stops at once, writes no line and returns 0.  May be empty.
    std::function<bool()> abandoned;
};

// Returned when writing into the target failed (disk full ...): the transfer
// is abandoned without a run-log line; the caller reports its own failure.
inline constexpr qint64 kDownloadStoreFailed = -1;

// Streams the body of strURL into target (open for writing; nullptr reads and
// discards).  Returns the number of body bytes; 0 when nothing is to be
// stored.
//
//  - empty URL: 0, no line;
//  - the whole body read, status 2xx: its length (0 for an empty body), line
//    "○ " + URL;
//  - failure (unreachable, non-2xx status, a broken or short body, no data
//    for the idle time-out, unparseable proxy, not an http/https URL):
//    0, line "× " + URL; whatever went into target must be discarded;
//  - target refused a write: kDownloadStoreFailed, no line.
//
// The body is read in pieces of at most 1024 bytes with one yield to the
// event loop (operator input included) between reads; while no data is
// buffered the call blocks on the event loop.  lngRemoteSize is the 100 %
// mark of the progress.
qint64 DownloadFile(const QString &strURL, QIODevice *target, const QString &strProxy,
                    qint64 lngRemoteSize, const DownloadHooks &hooks);

// How long the probes and downloads wait without any data (connecting
// included) before they give up; 60,000 ms unless changed (tests shorten it).
void SetTransferIdleTimeout(int milliseconds);
int TransferIdleTimeout();
