#include "NginxFixture.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <csignal>

#include <sys/prctl.h>

namespace {

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool portAccepts(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    const bool ok = socket.waitForConnected(200);
    socket.abort();
    return ok;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

NginxFixture::NginxFixture()
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    // nginx runs in the foreground as our child; should the test crash, the
    // kernel stops it too instead of leaving it serving a deleted folder.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    if (m_dir.isValid()) {
        QDir(m_dir.path()).mkpath(QStringLiteral("www"));
        QDir(m_dir.path()).mkpath(QStringLiteral("tmp"));
    }
}

NginxFixture::~NginxFixture()
{
    stop();
}

QString NginxFixture::executable()
{
    QString path = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(QStringLiteral("nginx"),
                                              {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    return path;
}

QString NginxFixture::www() const
{
    return m_dir.path() + QStringLiteral("/www");
}

QString NginxFixture::confPath() const
{
    return m_dir.path() + QStringLiteral("/nginx.conf");
}

QString NginxFixture::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path);
}

bool NginxFixture::start()
{
    if (executable().isEmpty()) {
        m_error = QStringLiteral("nginx is not installed (apt-get install nginx-light)");
        return false;
    }
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder for nginx");
        return false;
    }
    // The free port is found by binding and letting go; another process may
    // take it in between, so try a few times.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (startOnce())
            return true;
    }
    return false;
}

bool NginxFixture::startOnce()
{
    stop();
    m_port = freeLoopbackPort();
    if (m_port == 0) {
        m_error = QStringLiteral("no free loopback port");
        return false;
    }
    const QString d = m_dir.path();
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
                             .arg(m_port);
    QFile f(confPath());
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(conf.toUtf8()) < 0) {
        m_error = QStringLiteral("cannot write %1").arg(confPath());
        return false;
    }
    f.close();
    QFile::remove(d + QStringLiteral("/access.log"));

    m_process.start(executable(), {QStringLiteral("-p"), d, QStringLiteral("-e"),
                                   d + QStringLiteral("/error.log"), QStringLiteral("-c"), confPath()});
    if (!m_process.waitForStarted(5000)) {
        m_error = QStringLiteral("nginx did not start: %1").arg(m_process.errorString());
        return false;
    }
    const QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        if (m_process.state() != QProcess::Running) {
            m_error = QStringLiteral("nginx ended at once: %1 %2")
                          .arg(QString::fromLocal8Bit(m_process.readAll()),
                               QString::fromLocal8Bit(readAll(d + QStringLiteral("/error.log"))));
            return false;
        }
        if (portAccepts(m_port))
            return true;
        QThread::msleep(20);
    }
    m_error = QStringLiteral("nginx did not accept connections on port %1").arg(m_port);
    stop();
    return false;
}

void NginxFixture::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate(); // SIGTERM: fast shutdown
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(2000);
    }
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
    return QString::fromUtf8(readAll(m_dir.path() + QStringLiteral("/access.log")));
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
    QFile f(m_dir.path() + QStringLiteral("/access.log"));
    if (f.open(QIODevice::ReadWrite))
        f.resize(0);
}
