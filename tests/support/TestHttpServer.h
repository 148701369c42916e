#pragma once
// A small HTTP/1.1 server on 127.0.0.1 for tests and benchmarks.
//
// Every answer closes the connection ("Connection: close"); keep-alive is not
// offered.  Bodies are written with flow control: the server tops the
// socket's write buffer up only when it has drained below a bound, so a
// generated body of hundreds of MiB never sits in memory.
//
// Routes, served folders and the request record are guarded by a mutex, so
// setRoute(), requests() and friends may be called from any thread, also while
// the server runs on a worker thread (see TestHttpServerThread).

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QMutex>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>

#include <functional>
#include <memory>

class QTcpServer;
class QThread;

struct TestResponse {
    int status = 200;
    QByteArray contentType = "application/octet-stream";
    QByteArray body;                // fixed body
    qint64 generatedSize = -1;      // >= 0: this many bytes of TestHttpServer::patternBytes
    bool chunked = false;           // chunked transfer encoding, no Content-Length
    bool omitContentLength = false; // no Content-Length; closing the connection ends the body
    qint64 cutAfter = -1;           // announce the full length but close after this many body bytes
    bool stallAfterHeaders = false; // send the headers, then nothing more (socket stays open)
    bool stallBeforeHeaders = false;                   // accept, read the request, never answer
    int delayMs = 0;                                   // wait this long before answering
    QList<QPair<QByteArray, QByteArray>> extraHeaders; // e.g. {"Location", "/x"}
    // Non-empty: sent verbatim instead of everything above (status line,
    // headers and body framing are the test's), then the connection closes
    // unless one of the next two says otherwise.
    QByteArray rawReply;
    // With rawReply: after it, keep the connection open and send nothing
    // more, e.g. to stall inside a header line or a chunk-size line.
    bool keepOpenAfterRaw = false;
    // With rawReply (or alone): after the raw bytes, send these over and
    // over, flow-controlled like a generated body, until the client goes
    // away: endless header lines, endless "100 Continue" answers, an endless
    // chunked trailer.  Takes precedence over keepOpenAfterRaw.
    QByteArray endlessRepeat;
    // Read the request, then answer only once the test calls
    // TestHttpServer::releaseHeld(): a slow server whose answer comes exactly
    // when the test says, not after a time that a busy machine may overrun.
    bool holdUntilReleased = false;

    // Credentials the request must carry.  A request without valid ones gets
    // a plain 401 page with the challenge in WWW-Authenticate (none of the
    // settings above apply to it); a valid one gets the response configured
    // here.  Digest is MD5 with qop "auth" (a client's reply without qop, in
    // the older form, is taken too); the server's nonces stay valid for its
    // whole life, and one it did not issue is refused.
    enum class Auth { None, Basic, Digest };
    Auth auth = Auth::None;
    QByteArray authUser;
    QByteArray authPassword;
    QByteArray authRealm = "Kestrune test";
};

Q_DECLARE_METATYPE(TestResponse)

struct RecordedRequest {
    QByteArray method;
    QByteArray path; // origin form as received, query included ("/a/b.log?x=1")
    QList<QPair<QByteArray, QByteArray>> headers;
    // The first header of that name (case-insensitive); empty when absent.
    QByteArray header(const QByteArray &name) const;
};

class TestHttpServer : public QObject {
    Q_OBJECT
public:
    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override;

    // Listens on 127.0.0.1 on a free port.  Must run on the server's thread.
    Q_INVOKABLE bool listen();
    quint16 port() const;
    QString url(const QString &path) const; // "http://127.0.0.1:<port>" + path

    // Routes match the path exactly, without the query; the raw (still
    // percent-encoded) path is tried first, then its decoded form.
    void setRoute(const QString &path, const TestResponse &response);
    void removeRoute(const QString &path);
    // Files below folder under urlPrefix ("/logs/" + "a.log" -> folder/a.log),
    // read when the request comes, with their Content-Length.  A missing file
    // or a path that leaves the folder gets the 404 page.
    void serveDirectory(const QString &urlPrefix, const QString &folder);

    QList<RecordedRequest> requests() const;
    void clearRequests();
    // Connections accepted so far.
    int connectionCount() const;
    // Accepted connections that neither side has closed yet.
    int openConnectionCount() const;
    // Body bytes handed to sockets so far (all connections).
    qint64 bodyBytesSent() const;

    // Requests with holdUntilReleased whose answer is still held back.
    int heldCount() const;
    // Answers every request held now (a held request whose client has gone
    // away meanwhile is dropped).  Requests that come later are held again.
    // Callable from any thread.
    void releaseHeld();

    // Deterministic content for generated bodies: byte i of an endless stream
    // whose period (65,521, a prime) is no multiple of any read or buffer
    // size, so a lost, doubled or swapped block shows.
    static QByteArray patternBytes(qint64 offset, qint64 length);

    // The 404 page sent for unknown paths.
    static QByteArray notFoundBody();

Q_SIGNALS:
    // Emitted by releaseHeld(); the held connections answer on it.
    void heldReleased();

private:
    friend class TestHttpConnection;
    struct Resolved {
        TestResponse response;
        QString filePath; // non-empty: stream this file as the body
    };
    Resolved resolve(const QByteArray &rawPath) const;
    void record(const RecordedRequest &request);
    void countBodyBytes(qint64 bytes);
    void countHeld(int change);
    void connectionClosed();
    void onNewConnection();
    // Digest nonces: made here, and remembered for the server's life.
    QByteArray issueNonce();
    bool issuedNonce(const QByteArray &nonce) const;
    QByteArray opaque() const { return m_opaque; }

    QTcpServer *m_server = nullptr;
    quint16 m_port = 0;
    mutable QMutex m_mutex;
    QList<QPair<QString, TestResponse>> m_routes;
    QList<QPair<QString, QString>> m_folders;
    QList<RecordedRequest> m_requests;
    int m_connections = 0;
    int m_openConnections = 0;
    qint64 m_bodyBytesSent = 0;
    int m_held = 0;
    QSet<QByteArray> m_nonces;
    const QByteArray m_opaque;
};

// Runs a TestHttpServer on a thread of its own, so that a client which yields
// to its own event loop between small reads does not throttle the server.
// Configure it through server() (thread-safe calls only: setRoute,
// serveDirectory, requests, url, port ...).
class TestHttpServerThread {
public:
    TestHttpServerThread();
    ~TestHttpServerThread();
    TestHttpServerThread(const TestHttpServerThread &) = delete;
    TestHttpServerThread &operator=(const TestHttpServerThread &) = delete;

    // Starts the thread and listens there; false when listening failed.
    bool start();
    TestHttpServer *server() const { return m_server; }

private:
    std::unique_ptr<QThread> m_thread;
    TestHttpServer *m_server = nullptr;
};
