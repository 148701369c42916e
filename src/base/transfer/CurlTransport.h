#pragma once
// The program's one HTTP client, on libcurl's multi interface driven by Qt's
// event loop: the listing page, the size probes and the downloads all go
// through it.
//
// Connections: every request shares one connection pool for the life of the
// program, so requests to the same scheme, host, port and proxy reuse an
// open connection (and its TLS session, and a connection-based login).  The
// requests of a thread also share their name look-ups and TLS sessions: a new
// connection to a server seen before skips the look-up and resumes the
// session instead of a full handshake.
//
// A call into the library that fails fails the request it concerns with the
// library's reason; one that fails for the whole pool fails every request in
// flight.
//
// Limits that hold for every request, whatever the server does:
//  - a request that sees no new byte for the idle time-out fails (connecting
//    and the TLS handshake included; a reader that pauses the transfer does
//    not count against it);
//  - the head of one answer (interim answers and trailers included) is
//    capped at kHeaderLimit bytes;
//  - a transfer coding other than chunked, a Content-Length that is not one
//    number, a body cut short or badly framed fail the request;
//  - a successful answer whose body comes in a content coding (gzip, ...)
//    that the request did not ask for fails it: such bytes are not the
//    resource as stored;
//  - only http and https, also after a redirect (at most kMaxRedirects).
//
// A request lives on the thread that made it, which must run Qt's event loop
// (its own requests are driven there); threads share no connection.

#include "base/transfer/TransferError.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <deque>
#include <memory>
#include <optional>
#include <vector>

typedef void CURL;
typedef void CURLSH;
struct curl_slist;

namespace kestrune::transfer {

inline constexpr int kMaxRedirects = 20;
inline constexpr qint64 kHeaderLimit = 256 * 1024;

struct RequestOptions {
    QUrl url;
    // The program's proxy text; empty: the system's proxy settings for url.
    QString proxyText;
    QByteArray userAgent;
    // Extra request header lines ("Name: value").
    QList<QByteArray> headers;
    // "first-last" to ask for a range of the body; empty: the whole body.
    QByteArray range;
    // Redirects from https to plain http are followed (a browser's rule);
    // the transfers never step down.
    bool allowHttpsToHttp = false;
    // Body bytes held for the reader before the request stops reading from
    // the network (the sender then waits: TCP flow control).
    qint64 bufferLimit = 1024 * 1024;
    // A body longer than this fails the request (BodyTooLarge); -1: no limit.
    // With decodeContent it is the decoded body that counts.
    qint64 maxBodyBytes = -1;
    // Asks for the body in any content coding the library reads (gzip,
    // deflate, br, ...) and hands it over decoded, as a browser does.
    // false: no coding is asked for, and a successful answer in one fails
    // the request (UnwantedEncoding).
    bool decodeContent = false;
    // The body is counted and dropped, nothing is held.
    bool discardBody = false;
};

class HttpRequest : public QObject {
    Q_OBJECT
public:
    // Starts the request at once.  A request that cannot start (bad address,
    // unparseable proxy) is failed() on return and sends nothing.
    explicit HttpRequest(const RequestOptions &options, QObject *parent = nullptr);
    // Abandons a transfer still in flight; its connection is closed.
    ~HttpRequest() override;

    // The head of the final answer is in: redirects and login rounds are
    // behind, status() and the headers are those of the answer whose body
    // follows.
    bool headersReady() const { return m_headersReady; }
    // The whole body has arrived (it may still wait in the buffer).
    bool finished() const { return m_finished; }
    bool failed() const { return m_error.isError(); }
    const TransferError &error() const { return m_error; }

    int status() const { return m_status; }
    // The first header of that name in the final answer (case-insensitive).
    QByteArray header(const QByteArray &name) const;
    // The Content-Length of the final answer; -1 when there is none.
    qint64 contentLength() const { return m_contentLength; }
    // The address that answered last (after redirects).
    QUrl url() const { return m_url; }

    // What the last 401 or 407 answer asked for.
    QString authRealm() const { return m_authRealm; }
    bool authBasicOnly() const { return m_authBasicOnly; }
    // The last refusal offered Negotiate (a Kerberos ticket) among its schemes.
    bool offersNegotiate() const { return m_offersNegotiate; }
    // The proxy the request went through; an empty host when none.
    QString proxyHost() const { return m_proxyHost; }
    quint16 proxyPort() const { return m_proxyPort; }
    // The code of a failed proxy tunnel (407 when the proxy wants a login).
    int proxyStatus() const { return m_proxyStatus; }
    bool sentServerLogin() const { return m_sentServerLogin; }
    bool sentProxyLogin() const { return m_sentProxyLogin; }

    // Body bytes received and not yet read.
    qint64 bytesAvailable() const { return m_available; }
    qint64 read(char *data, qint64 maxSize);
    QByteArray readAll();
    // Body bytes received in all (dropped ones included).
    qint64 bodyBytesReceived() const { return m_bodyReceived; }

    // Gives up: the request fails with Aborted and says nothing more.
    void abort();
    // Holds the transfer: while held, nothing more is taken from the network
    // (the connection and the TLS handshake may still be made; what the
    // library has already read waits there), the idle time-out does not run,
    // and progressed() is not emitted (a failure that comes meanwhile, a
    // refused connection say, shows in failed() and is told on release).
    // Releasing it goes on where it stopped, so the transfer ends as it would
    // have; the idle time-out counts afresh from the release.  Works at any
    // stage, before the head as well; holding a held request or releasing a
    // free one does nothing.
    void setHeld(bool held);
    bool held() const { return m_held; }

    // Hands the request over to run to its end on its own, so that a small
    // rest of a body does not cost the connection; it is deleted when it
    // ends, or after ms.
    void finishDetached(int ms);

Q_SIGNALS:
    // Something happened that may let a waiting reader go on: the final
    // head, body data, the end, a failure.  Never emitted inside a call
    // into this object.
    void progressed();

private:
    friend class CurlDriver;

    static size_t onHeaderData(char *data, size_t size, size_t count, void *self);
    static size_t onBodyData(char *data, size_t size, size_t count, void *self);
    size_t headerData(const char *data, size_t length);
    size_t headerLine(const char *data, size_t length);
    size_t bodyData(const char *data, size_t length);
    void endOfAnswerHead();
    bool settleHead();
    void onDone(int code);
    void failNow(TransferError::Kind kind, const QString &detail);
    void failEarly(TransferError::Kind kind, const QString &detail);
    // Fails the request and takes it out of the pool: the library cannot
    // carry it on.
    void failAndStop(TransferError::Kind kind, const QString &detail);
    void touched() { m_sinceActivity.restart(); }
    void resumeIfRoom();
    void onWatchdog();
    void markDirty();
    void detachFromMulti();
    QUrl effectiveUrl() const;
    bool configure(const RequestOptions &options);

    CURL *m_easy = nullptr;
    // Set on m_easy: released only after it is cleaned up.
    std::shared_ptr<CURLSH> m_share;
    curl_slist *m_headerList = nullptr;
    bool m_inMulti = false;
    bool m_dirty = false;
    bool m_detached = false;
    char m_errorBuffer[256] = {};

    QUrl m_url;
    bool m_discardBody = false;
    bool m_decodeContent = false;
    qint64 m_bufferLimit = 0;
    qint64 m_maxBodyBytes = -1;
    bool m_sentServerLogin = false;
    bool m_sentProxyLogin = false;
    QString m_proxyHost;
    quint16 m_proxyPort = 0;
    int m_proxyStatus = 0;

    // The answer whose head is coming in.
    int m_answerStatus = 0;
    QByteArray m_headLine; // a head line not complete yet
    QList<QPair<QByteArray, QByteArray>> m_answerHeaders;
    bool m_answerComplete = false; // its empty line has come
    qint64 m_headBytes = 0;

    // The final answer.
    bool m_headersReady = false;
    bool m_finished = false;
    int m_status = 0;
    QList<QPair<QByteArray, QByteArray>> m_headers;
    qint64 m_contentLength = -1;
    QString m_authRealm;
    bool m_authBasicOnly = false;
    bool m_offersNegotiate = false;
    QUrl m_challengedAt; // where a 401 answered a login the library then retried

    // Received body bytes not read yet, in pieces filled up to their
    // capacity; the first is read from m_frontPos on.
    std::deque<QByteArray> m_pieces;
    qint64 m_frontPos = 0;
    // Pieces read to their end, emptied, kept to be filled again: a long
    // body then passes through the same few buffers instead of a new
    // allocation (and fresh pages) for every piece.
    std::vector<QByteArray> m_spares;
    qint64 m_available = 0;
    qint64 m_bodyReceived = 0;
    // The library holds the transfer: the reader's buffer is full, or it is
    // held (setHeld).
    bool m_paused = false;
    bool m_held = false;
    bool m_withheld = false; // news the reader hears of on release

    TransferError m_error;
    QTimer m_watchdog;
    QElapsedTimer m_sinceActivity;
};

// Each thread that makes requests has a connection pool of its own; a thread
// other than the main one closes it with this before it ends.
void ReleaseThreadConnections();

// How long a request may go without a new byte; 60,000 ms unless changed
// (tests shorten it).  Applies to requests started afterwards.
void SetIdleTimeout(int milliseconds);
int IdleTimeout();

// Trusts the certificate authorities in the PEM file as well as the
// system's.  False (with the reason) when the file holds no certificate.
bool AddTrustedCaFile(const QString &path, QString *error);

// A byte count as a header writes it: decimal digits only, at most 18 of
// them (so it fits a qint64); nothing for anything else.
std::optional<qint64> ParseByteCount(const QByteArray &text);

} // namespace kestrune::transfer
