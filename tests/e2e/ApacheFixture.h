#pragma once
// Debian's Apache (apache2) for end-to-end tests: started in the foreground
// on a free loopback port with a configuration of its own, its logs, pid and
// run-time files in a temporary folder, serving the folder www() with
// mod_autoindex's fancy listings ("Parent Directory", the "?C=N;O=D" sort
// links); stopped when the fixture is destroyed.
//
//     ApacheFixture apache;
//     apache.addConfig("<Directory ...> IndexOptions +HTMLTable </Directory>"); // optional
//     if (!apache.start())
//         QSKIP(qPrintable(apache.errorString()));
//     apache.writeFile("logs/a.log", bytes);
//     ... apache.url("/logs/") ...
//     QVERIFY(apache.requestLines().contains("GET /logs/a.log HTTP/1.1"));
//
// Run as root, Apache serves as nobody:nogroup; the temporary folder is
// opened to them, and the folders above it must let them through.

#include "ServerProcessFixture.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class ApacheFixture : public ServerProcessFixture {
public:
    ApacheFixture();

    // Starts Apache and waits until it has written its pid file and accepts
    // connections.  Hides the base's start().
    bool start();

    QString url(const QString &path) const; // "http://127.0.0.1:<port>" + path
    QString www() const;                    // the document root
    QString path(const QString &relative) const { return www() + QLatin1Char('/') + relative; }

    // Writes a served file, creating its folders.
    bool writeFile(const QString &relative, const QByteArray &bytes) const;
    // Makes an (empty) served folder.
    bool makeFolder(const QString &relative) const;

    // Configuration text added at the end of the main configuration as it
    // is, e.g. a <Directory> block with other IndexOptions.  Takes effect at
    // the next start().
    void addConfig(const QString &snippet);

    // Guards the served folder relative (and what is below it) with
    // Negotiate, Kerberos only and no Basic in its stead (mod_auth_gssapi):
    // the service's keys in keytab, the realm in the krb5.conf config.  The
    // name of the user logged in is %u of the access log.  Takes effect at
    // the next start().
    void requireNegotiate(const QString &relative, const QString &keytab, const QString &config);

    // --- The access log ---
    // Apache writes a request's line once the request has ended; check lines
    // of requests that just ended with QTRY_VERIFY and friends.
    QString accessLog() const;
    // "GET /logs/a.log HTTP/1.1", in order.
    QStringList requestLines() const;
    struct AccessEntry {
        QString requestLine; // "GET /logs/a.log HTTP/1.1"
        int status = 0;
        QString user; // the user logged in; empty when none
    };
    QList<AccessEntry> accessEntries() const;
    void clearAccessLog() const;

protected:
    bool configure(quint16 port, QStringList &arguments) override;

private:
    QStringList m_snippets;
    bool m_gssapiLoaded = false;
};
