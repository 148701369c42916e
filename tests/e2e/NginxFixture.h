#pragma once
// Debian's nginx for end-to-end tests: started in the foreground on a free
// loopback port, with its configuration, logs, pid and temporary files in a
// temporary folder, serving the folder www() as its document root; stopped
// when the fixture is destroyed.
//
//     NginxFixture nginx;
//     if (!nginx.start())
//         QSKIP(qPrintable(nginx.errorString()));
//     nginx.writeFile("logs/a.log", bytes);
//     ... nginx.url("/logs/") ...
//     QVERIFY(nginx.accessLog().contains("GET /logs/a.log"));

#include "ServerProcessFixture.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

class NginxFixture : public ServerProcessFixture {
public:
    NginxFixture();

    QString url(const QString &path) const; // "http://127.0.0.1:<port>" + path
    // The document root.  Below it, "/slow/" is served at 1 MiB/s and the
    // "/utf8/" pages carry "charset=utf-8" in their Content-Type.
    QString www() const;
    QString path(const QString &relative) const { return www() + QLatin1Char('/') + relative; }

    // Writes (creating folders) or removes a served file.
    bool writeFile(const QString &relative, const QByteArray &bytes) const;
    bool appendFile(const QString &relative, const QByteArray &bytes) const;
    bool removeFile(const QString &relative) const;

    // The access log so far, and its request lines ("GET /logs/a.log HTTP/1.1").
    QString accessLog() const;
    QStringList requestLines() const;
    void clearAccessLog() const;

protected:
    bool configure(quint16 port, QStringList &arguments) override;
};
