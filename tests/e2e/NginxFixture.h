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

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class NginxFixture {
public:
    NginxFixture();
    ~NginxFixture();
    NginxFixture(const NginxFixture &) = delete;
    NginxFixture &operator=(const NginxFixture &) = delete;

    static QString executable();

    // Starts nginx and waits until its port accepts connections.  False (see
    // errorString()) when nginx is missing or would not come up.
    bool start();
    void stop();

    quint16 port() const { return m_port; }
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
    QString errorString() const { return m_error; }

private:
    bool startOnce();
    QString confPath() const;

    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};
