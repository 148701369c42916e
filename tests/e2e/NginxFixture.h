#pragma once
// Debian's nginx for end-to-end tests: started in the foreground on a free
// loopback port, with its configuration, logs, pid and temporary files in a
// temporary folder, serving the folder www() as its document root; stopped
// when the fixture is destroyed.
//
//     NginxFixture nginx;
//     nginx.enableTls();                                   // optional, before start()
//     nginx.requireBasicAuth("/private/", "kim", "s3cret"); // optional, before start()
//     if (!nginx.start())
//         QSKIP(qPrintable(nginx.errorString()));
//     nginx.writeFile("logs/a.log", bytes);
//     ... nginx.url("/logs/") ... nginx.httpsUrl("/logs/") ...
//     QVERIFY(nginx.accessLog().contains("GET /logs/a.log"));
//
// One server block answers on both ports, so the plain and the TLS listener
// serve the same root with the same locations and snippets.

#include "ServerProcessFixture.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

class NginxFixture : public ServerProcessFixture {
public:
    NginxFixture();

    // Starts nginx and waits until it has bound every port it listens on
    // (the base class only knows the plain one).  When a port was taken in
    // the meantime, starts again on fresh ports.  Hides the base's start().
    bool start();

    QString url(const QString &path) const; // "http://127.0.0.1:<port>" + path
    // The document root.  Below it, "/slow/" is served at 1 MiB/s and the
    // "/utf8/" pages carry "charset=utf-8" in their Content-Type.
    QString www() const;
    QString path(const QString &relative) const { return www() + QLatin1Char('/') + relative; }

    // Writes (creating folders) or removes a served file.
    bool writeFile(const QString &relative, const QByteArray &bytes) const;
    bool appendFile(const QString &relative, const QByteArray &bytes) const;
    bool removeFile(const QString &relative) const;

    // --- Options; each takes effect at the next start(). ---

    // Also listens with TLS on a second free loopback port.  The certificate
    // comes from a throw-away CA made for this fixture ("Kestrune Test CA",
    // caFile()); its only subject name is the address 127.0.0.1, so
    // https://localhost:<tlsPort()>/ does not match it.
    void enableTls();
    // With enableTls(): the TLS listener also offers HTTP/2 (ALPN "h2"); its
    // requests are logged as "GET /path HTTP/2.0".  The plain port stays
    // HTTP/1.1.
    void enableHttp2() { m_http2 = true; }
    // Basic authentication for everything below locationPrefix (a location
    // prefix such as "/private/").  A second call with the same prefix adds
    // another user there (and sets the realm); calls with other prefixes make
    // further locations.  A location below another one ("/private/x/" under
    // "/private/", "/slow/secret/" under "/slow/") keeps the outer one's
    // settings (rate limit, charset, authentication) unless it sets its own.
    // The user may not contain ':', the password no line break, the realm
    // no '$', '"' or backslash and not be "off" (nginx would read a variable, send
    // a broken header or switch authentication off); start() fails on such
    // values.
    void requireBasicAuth(const QString &locationPrefix, const QString &user,
                          const QString &password,
                          const QString &realm = QStringLiteral("Kestrune test"));
    // Configuration text placed in the server block as it is, e.g.
    // "location = /r1/ { return 302 /r2/; }".  It must not repeat a location
    // the fixture writes itself (/utf8/, /slow/, the authentication prefixes).
    void addServerConfig(const QString &snippet);

    // Valid after start() with enableTls().
    quint16 tlsPort() const { return m_tlsPort; }
    QString httpsUrl(const QString &path) const; // "https://127.0.0.1:<tlsPort>" + path
    QString caFile() const;                      // PEM of the test CA

    // --- The access log ---
    // nginx writes a request's line when the request ends: for a download,
    // after the last byte went out or once it noticed that the client went
    // away.  Check lines of requests that just ended with QTRY_VERIFY and
    // friends.  A TLS handshake the client broke off leaves no line.

    // The access log so far, and its request lines ("GET /logs/a.log HTTP/1.1").
    QString accessLog() const;
    QStringList requestLines() const;
    void clearAccessLog() const;

    struct AccessEntry {
        QString requestLine; // "GET /logs/a.log HTTP/1.1" (nginx's \xHH escapes undone)
        int status = 0;
        qint64 connection = 0;      // nginx's serial number of the connection
        int connectionRequests = 0; // 1 for the first request on its connection, 2 for the next ...
        qint64 bytesSent = 0;       // everything sent to the client, headers included
        QString remoteUser;         // the Basic user name sent; empty when none
        QString scheme;             // "http" or "https"
        QString range;              // the Range header sent ("bytes=0-0"); empty when none
        quint16 remotePort = 0;     // the client's port of the connection
    };
    QList<AccessEntry> accessEntries() const;
    // The number of different connections that carried the requests logged so far.
    int distinctConnections() const;

protected:
    bool configure(quint16 port, QStringList &arguments) override;

private:
    struct AuthLocation {
        QString prefix;
        QString realm;
        QList<QPair<QString, QString>> users; // user, password
    };

    bool makeCertificates();
    bool runOpenssl(const QStringList &arguments, const QByteArray &input, QByteArray *output);
    bool locationsConfig(QString &text);

    bool m_tls = false;
    bool m_http2 = false;
    quint16 m_tlsPort = 0;
    QList<AuthLocation> m_auth;
    QStringList m_snippets;
};
