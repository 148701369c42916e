#pragma once
// An HTTP/1.1 server on 127.0.0.1 that logs clients in with NTLM (v2) as an
// IIS site with Windows authentication does: the login belongs to the
// connection.  A request on a connection that has not logged in gets 401
// with the offered schemes; "Authorization: NTLM <negotiate>" gets the
// challenge; "Authorization: NTLM <authenticate>" is checked against the
// account's password (the NTLMv2 proof; an LM or NTLMv1 answer is refused),
// and once it is right, that request and every later one on the connection
// are served without any header.  A new connection starts logged out.
//
// Files and pages are served from memory, with keep-alive, GET, HEAD and
// "Range: bytes=a-b".  The server runs on a thread of its own, so a test may
// wait for a process (or run a window) while it answers; every public call
// is thread-safe.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>

#include <memory>

class QThread;
class QTcpServer;
class NtlmConnection;

class NtlmTestServer {
public:
    struct Request {
        QByteArray method;
        QByteArray path;            // origin form, also of a request sent to the proxy
        QByteArray range;           // the Range header as sent, if any
        int connection = 0;         // 1, 2, ... in the order accepted
        bool authorization = false; // the request carried an Authorization header
        bool authenticated = false; // served on a logged-in connection
        int status = 0;
    };

    // What one NTLM authenticate message carried, and the challenge it answered.
    struct Login {
        int connection = 0;
        QString domain;
        QString user;
        QByteArray challenge;  // the server's 8 bytes
        QByteArray ntResponse; // the client's NT challenge response
        bool accepted = false;
    };

    NtlmTestServer(const QString &domain, const QString &user, const QString &password);
    ~NtlmTestServer();
    NtlmTestServer(const NtlmTestServer &) = delete;
    NtlmTestServer &operator=(const NtlmTestServer &) = delete;

    // Starts the thread and listens there; false when listening failed.
    bool start();
    QString url(const QString &path) const; // "http://127.0.0.1:<port>" + path

    // The schemes a logged-out request is offered, one WWW-Authenticate
    // header each; {"Negotiate", "NTLM"} unless set.  Only NTLM is accepted.
    void setOffered(const QList<QByteArray> &schemes);
    // Answers as an HTTP proxy that wants the login: 407 with
    // Proxy-Authenticate, the login in Proxy-Authorization, and a request
    // for any absolute URL served by its path.
    void setProxy(bool proxy);
    // Serves body at path (exactly, query ignored).
    void setFile(const QString &path, const QByteArray &body,
                 const QByteArray &contentType = "application/octet-stream");

    QList<Request> requests() const;
    QList<Login> logins() const;
    void clearRecord();

    // Whether an NTLMv2 response to challenge was made with password for
    // the given user and domain (as the authenticate message names them).
    static bool ntlmV2Matches(const QByteArray &ntResponse, const QByteArray &challenge,
                              const QString &user, const QString &domain, const QString &password);

private:
    friend class NtlmConnection;
    struct File {
        QByteArray body;
        QByteArray contentType;
    };

    void onNewConnection();
    void record(const Request &request);
    void recordLogin(const Login &login);

    const QString m_domain;
    const QString m_user;
    const QString m_password;
    std::unique_ptr<QThread> m_thread;
    QTcpServer *m_server = nullptr; // lives on m_thread
    mutable QMutex m_mutex;
    quint16 m_port = 0;
    int m_connections = 0;
    QList<QByteArray> m_offered{"Negotiate", "NTLM"};
    bool m_proxy = false;
    QHash<QString, File> m_files;
    QList<Request> m_requests;
    QList<Login> m_logins;
};
