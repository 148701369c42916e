#pragma once
// HTTP transfers of the collection run: the size the web server reports for a
// URL, and the download of its body.  Both are steps that run on the event
// loop and report their end with finished(); nothing here waits.  They go
// through the program's one HTTP client (transfer/CurlTransport.h):
// connections are reused between steps, a login the operator gave for a
// server goes with its requests.
//
// Requests are GETs with the user agent "WinInet Test" that bypass every
// cache (Cache-Control and Pragma no-cache; nothing is cached locally), ask
// for the body as stored (no content coding, so the byte count equals the
// Content-Length; an answer that comes in a coding all the same fails) and
// follow redirects (at most 20, http and https only, never from https down
// to http).
//
// Proxy rule: a non-empty proxy text ("host", "host:port", "[v6]:port"; port
// 80 when absent) is the HTTP proxy of the request; an empty one leaves the
// choice to the system's proxy configuration.  A proxy text that cannot be
// parsed makes the step fail; it never goes direct.
//
// A step is started once; finished() follows later, never inside start().
// abort() ends a step without finished(); deleting it does the same.
// setHeld(true) pauses the transfer in flight (nothing more is received and
// the idle time-out stands still) until setHeld(false).

#include "base/transfer/TransferError.h"

#include <QDateTime>
#include <QIODevice>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

namespace kestrune {

namespace transfer {
class HttpRequest;
struct RequestOptions;
}

// What a probe and a download share: their one request, its hold, its end.
class TransferStep : public QObject {
    Q_OBJECT
public:
    explicit TransferStep(QObject *parent = nullptr);
    ~TransferStep() override;

    void abort();
    void setHeld(bool held);

Q_SIGNALS:
    void finished();

protected:
    // Makes the request; what it tells comes to onProgress(), also a failure
    // to start (from the event loop).
    void startRequest(const transfer::RequestOptions &options);
    virtual void onProgress() = 0;

    std::unique_ptr<transfer::HttpRequest> m_request;
    bool m_held = false;
    bool m_done = false;
};

// What a size probe learnt.
struct RemoteProbe {
    // The file's size: only a 2xx answer (or a 416 that names the current
    // length) reports one, by the total of its Content-Range, else its
    // Content-Length.  Nothing for a failed request, any other status or an
    // answer that names no length.
    std::optional<qint64> size;
    // A strong ETag, else the Last-Modified date; empty when there is none.
    QByteArray validator;
    // The answer's HTTP status; 0 when no answer came at all.
    int status = 0;
    // Why no answer came (refused, unknown host, idle time-out, …).
    transfer::TransferError error;

    bool answered() const { return status != 0; }
};

// Asks the server for the first byte of a file: the head of the answer tells
// the size of the whole.  Operator input is never held back meanwhile.
class RemoteSizeProbe : public TransferStep {
    Q_OBJECT
public:
    RemoteSizeProbe(const QString &strURL, const QString &strProxy, QObject *parent = nullptr);
    ~RemoteSizeProbe() override;

    void start();
    const RemoteProbe &result() const { return m_result; }

private:
    void onProgress() override;
    void finish();

    QString m_url;
    QString m_proxy;
    RemoteProbe m_result;
    QTimer m_restDue;
    qint64 m_sentAtMs = 0;
};

// True when the address names a folder rather than a file: an http(s)
// address whose path is empty or ends in '/'.
bool IsFolderAddress(const QUrl &url);

// The time an HTTP date names (Last-Modified): IMF-fixdate and the two
// obsolete forms; nothing when the text is none of them.
std::optional<QDateTime> ParseHttpDate(const QByteArray &text);

enum class DownloadResult {
    Stored,      // a body of bytes > 0 went into the target
    Empty,       // the answer's body was empty
    Failed,      // no file: the transfer failed; error or status says why
    NotStorable, // the target refused a write
    Declined,    // the answer was not one the caller could use; nothing stored
    NotAFile,    // the answer came from a folder's address (a redirect to ".../"):
                 // nothing went into the target
};

struct DownloadOutcome {
    DownloadResult result = DownloadResult::Failed;
    qint64 bytes = 0;              // body bytes that went into the target
    int status = 0;                // the final answer's HTTP status, 0 when none came
    transfer::TransferError error; // for Failed without a status of its own
    // The final answer's Last-Modified, when it gave a date that can be read.
    std::optional<QDateTime> lastModified;
    // Plain words for Failed: the library's reason or the HTTP status.
    QString reason() const;
};

// Where the body of an answer goes, decided once its head is in.
struct BodyTarget {
    enum class Kind {
        Write,   // into device (nullptr: read and dropped)
        Fail,    // no use: the download fails
        Decline, // not this one: the caller asks otherwise
    };
    Kind kind = Kind::Fail;
    QIODevice *device = nullptr;
};
using BodyTargetChooser = std::function<BodyTarget(const transfer::HttpRequest &answer)>;

// Streams the body of a URL where its chooser says.  Only a whole body
// counts: a broken or short body, no data for the idle time-out, an
// unparseable proxy or an address that is not http/https are Failed, and
// whatever went into the target must then be discarded.  A part (206) is a
// whole body only as the part asked for: the request had a range, the
// Content-Range starts where it asked and runs to the file's end (when the
// total is given), and exactly its bytes come, never one more (the transfer
// stops there) or one less; anything else is Failed.  An answer from a
// folder's address (the file's address redirected to one ending in '/') is
// NotAFile: its page is never read into a target.
class FileDownload : public TransferStep {
    Q_OBJECT
public:
    struct Request {
        QString url;
        QString proxy;
        // From this byte on ("Range: bytes=start-"); -1: the whole body.
        qint64 start = -1;
        // With a range: "If-Range: validator" when not empty.
        QByteArray validator;
        // The size the progress measures against (the range's part of it
        // for a range); 0 or less: unknown.
        qint64 expectedSize = 0;
        // With no expected size, a success's Content-Length becomes it.
        bool expectAnswersLength = false;
    };

    FileDownload(Request request, BodyTargetChooser choose, QObject *parent = nullptr);
    ~FileDownload() override;

    // The usual chooser: a 2xx answer goes into target, any other fails.
    static BodyTargetChooser IntoDevice(QIODevice *target);

    void start();
    const DownloadOutcome &outcome() const { return m_outcome; }
    qint64 expectedSize() const { return m_spec.expectedSize; }

Q_SIGNALS:
    // 0..100; busy is true when no sound percentage exists (the expected
    // size is unknown, or more bytes came than expected).  Emitted only when
    // the shown value changes.
    void progress(int percent, bool busy);
    // The number of body bytes that went into the target so far.
    void bytesReceived(qint64 received);

private:
    void onProgress() override;
    void finish(DownloadResult result);
    void fail(const QString &why);
    bool takePart();
    void reportProgress();

    Request m_spec;
    BodyTargetChooser m_choose;
    DownloadOutcome m_outcome;
    QIODevice *m_target = nullptr;
    // The body's length a 206 answer names by its range; -1 for others.
    qint64 m_partLength = -1;
    bool m_chosen = false;
    int m_percent = -1;
    bool m_busy = false;
};

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
