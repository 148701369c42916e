#include "TinyproxyFixture.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

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

} // namespace

TinyproxyFixture::TinyproxyFixture()
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

TinyproxyFixture::~TinyproxyFixture()
{
    stop();
}

QString TinyproxyFixture::executable()
{
    QString path = QStandardPaths::findExecutable(QStringLiteral("tinyproxy"));
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(QStringLiteral("tinyproxy"),
                                              {QStringLiteral("/usr/bin"),
                                               QStringLiteral("/usr/sbin")});
    return path;
}

bool TinyproxyFixture::available()
{
    return !executable().isEmpty();
}

bool TinyproxyFixture::start()
{
    if (!available()) {
        m_error = QStringLiteral("tinyproxy is not installed (apt-get install tinyproxy)");
        return false;
    }
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder for the tinyproxy configuration");
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

bool TinyproxyFixture::startOnce()
{
    stop();
    m_port = freeLoopbackPort();
    if (m_port == 0) {
        m_error = QStringLiteral("no free loopback port");
        return false;
    }
    const QString confPath = m_dir.filePath(QStringLiteral("tinyproxy.conf"));
    const QString logPath = m_dir.filePath(QStringLiteral("tinyproxy.log"));
    QFile::remove(logPath);
    QFile conf(confPath);
    if (!conf.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_error = QStringLiteral("cannot write %1").arg(confPath);
        return false;
    }
    const QByteArray text = "Port " + QByteArray::number(m_port) + "\n"
                            "Listen 127.0.0.1\n"
                            "Timeout 60\n"
                            "LogFile \"" + logPath.toUtf8() + "\"\n"
                            "LogLevel Info\n"
                            "MaxClients 20\n"
                            "Allow 127.0.0.1\n"
                            "ViaProxyName \"tinyproxy\"\n";
    conf.write(text);
    conf.close();

    m_process.start(executable(), {QStringLiteral("-d"), QStringLiteral("-c"), confPath});
    if (!m_process.waitForStarted(5000)) {
        m_error = QStringLiteral("tinyproxy did not start: %1").arg(m_process.errorString());
        return false;
    }
    const QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        if (m_process.state() != QProcess::Running)
            break;
        if (portAccepts(m_port))
            return true;
        QThread::msleep(20);
    }
    m_error = QStringLiteral("tinyproxy did not accept connections on port %1: %2")
                  .arg(m_port)
                  .arg(QString::fromLocal8Bit(m_process.readAll()));
    stop();
    return false;
}

void TinyproxyFixture::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(3000)) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}

bool TinyproxyFixture::isRunning() const
{
    return m_process.state() == QProcess::Running;
}

QString TinyproxyFixture::address() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_port);
}

QString TinyproxyFixture::logText() const
{
    QFile log(m_dir.filePath(QStringLiteral("tinyproxy.log")));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(log.readAll());
}
