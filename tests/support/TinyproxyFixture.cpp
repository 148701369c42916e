#include "TinyproxyFixture.h"

#include <QFile>

TinyproxyFixture::TinyproxyFixture()
    : ServerProcessFixture(QStringLiteral("tinyproxy"), QStringLiteral("tinyproxy"))
{}

bool TinyproxyFixture::available()
{
    return !findProgram(QStringLiteral("tinyproxy")).isEmpty();
}

bool TinyproxyFixture::configure(quint16 port, QStringList &arguments)
{
    const QString confPath = filePath(QStringLiteral("tinyproxy.conf"));
    const QString logPath = filePath(QStringLiteral("tinyproxy.log"));
    QFile::remove(logPath);
    QFile conf(confPath);
    if (!conf.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        setError(QStringLiteral("cannot write %1").arg(confPath));
        return false;
    }
    // No ConnectPort line: tinyproxy then tunnels CONNECT to any port (one
    // such line would limit CONNECT to the ports listed), which the HTTPS
    // tests need for nginx's TLS port.
    conf.write("Port " + QByteArray::number(port) + "\n"
               "Listen 127.0.0.1\n"
               "Timeout 60\n"
               "LogFile \"" + logPath.toUtf8() + "\"\n"
               "LogLevel Info\n"
               "MaxClients 20\n"
               "Allow 127.0.0.1\n"
               "ViaProxyName \"tinyproxy\"\n");
    if (!m_authUser.isEmpty())
        conf.write("BasicAuth " + m_authUser.toUtf8() + ' ' + m_authPassword.toUtf8() + '\n');
    arguments = {QStringLiteral("-d"), QStringLiteral("-c"), confPath};
    return true;
}

QString TinyproxyFixture::address() const
{
    return QStringLiteral("127.0.0.1:%1").arg(port());
}

QString TinyproxyFixture::logText() const
{
    QFile log(filePath(QStringLiteral("tinyproxy.log")));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(log.readAll());
}
