#include "NginxFixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

NginxFixture::NginxFixture()
    : ServerProcessFixture(QStringLiteral("nginx"), QStringLiteral("nginx-light"))
{
    QDir(folder()).mkpath(QStringLiteral("www"));
    QDir(folder()).mkpath(QStringLiteral("tmp"));
}

QString NginxFixture::www() const
{
    return folder() + QStringLiteral("/www");
}

QString NginxFixture::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
}

bool NginxFixture::configure(quint16 port, QStringList &arguments)
{
    const QString d = folder();
    const QString conf = QStringLiteral(
        "daemon off;\n"
        "master_process off;\n"
        "worker_processes 1;\n"
        "error_log %1/error.log warn;\n"
        "pid %1/nginx.pid;\n"
        "events { worker_connections 256; }\n"
        "http {\n"
        "  access_log %1/access.log;\n"
        "  client_body_temp_path %1/tmp/body;\n"
        "  proxy_temp_path %1/tmp/proxy;\n"
        "  fastcgi_temp_path %1/tmp/fastcgi;\n"
        "  uwsgi_temp_path %1/tmp/uwsgi;\n"
        "  scgi_temp_path %1/tmp/scgi;\n"
        "  types { text/html html; text/plain log txt; }\n"
        "  default_type application/octet-stream;\n"
        "  sendfile on;\n"
        "  keepalive_timeout 5;\n"
        "  server {\n"
        "    listen 127.0.0.1:%2;\n"
        "    server_name localhost;\n"
        "    root %1/www;\n"
        "    location /utf8/ { charset utf-8; }\n"
        "    location /slow/ { limit_rate 1m; }\n"
        "  }\n"
        "}\n")
                             .arg(d)
                             .arg(port);
    const QString confPath = d + QStringLiteral("/nginx.conf");
    QFile f(confPath);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(conf.toUtf8()) < 0) {
        setError(QStringLiteral("cannot write %1").arg(confPath));
        return false;
    }
    f.close();
    QFile::remove(d + QStringLiteral("/access.log"));
    arguments = {QStringLiteral("-p"), d, QStringLiteral("-e"), d + QStringLiteral("/error.log"),
                 QStringLiteral("-c"), confPath};
    return true;
}

bool NginxFixture::writeFile(const QString &relative, const QByteArray &bytes) const
{
    const QString p = path(relative);
    QDir().mkpath(QFileInfo(p).absolutePath());
    QFile f(p);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

bool NginxFixture::appendFile(const QString &relative, const QByteArray &bytes) const
{
    QFile f(path(relative));
    return f.open(QIODevice::WriteOnly | QIODevice::Append) && f.write(bytes) == bytes.size();
}

bool NginxFixture::removeFile(const QString &relative) const
{
    return QFile::remove(path(relative));
}

QString NginxFixture::accessLog() const
{
    return QString::fromUtf8(readAll(folder() + QStringLiteral("/access.log")));
}

QStringList NginxFixture::requestLines() const
{
    static const QRegularExpression request(QStringLiteral("\"([A-Z]+ [^\"]* HTTP/[0-9.]+)\""));
    QStringList lines;
    for (const QString &line : accessLog().split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const auto m = request.match(line);
        if (m.hasMatch())
            lines.append(m.captured(1));
    }
    return lines;
}

void NginxFixture::clearAccessLog() const
{
    // nginx keeps the file open in append mode; emptying it in place keeps
    // the later lines coming into the same file.
    QFile f(folder() + QStringLiteral("/access.log"));
    if (f.open(QIODevice::ReadWrite))
        f.resize(0);
}
